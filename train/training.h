#pragma once

#include "input/spectral_pipeline.h"
#include "logging/logger_set.h"
#include "models/calibration_domain.h"
#include "models/linear_part.h"
#include "models/model_card.h"
#include "train/accuracy.h"
#include "train/bart_sampler.h"
#include "train/training_set.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Calibrating a model from spectra and reference values: the same readers and covariate
// transformation as prediction, BART fitted on the property's values, the model written where
// prediction looks for it.

struct TrainingSettings {
    TrainingInput input;
    std::string spectrometer_type;
    std::string property;
    boost::filesystem::path models;
    bool force = false; // replace an existing model
    int cv_folds = 0;   // random folds from the seed
    std::string folds;  // CSV: "SSN", "fold"
    BartOptions bart;
    // Two or more values of the leaf prior's k: each is cross-validated on the same folds and
    // seeds (so cross-validation must be asked for), and the one whose 95% predictive bands
    // have the lowest out-of-fold interval score fits the model (the first of equals).
    // `bart.k` is then not used.
    std::vector<double> k_choices;
    // Preprocessing pipelines (see SpectralPipeline) in place of `input.transformation`: one is
    // applied; two or more are each cross-validated on the same folds, seeds and error draws
    // (before k is chosen: at k 2 when it is a candidate, else at the first candidate; at the
    // model's k without candidates) and the one with the lowest out-of-fold interval
    // score fits the model. "auto" stands for `automatic_pipelines()`. Empty: the
    // transformation alone, as before.
    std::vector<std::string> preprocess;
    // How the model predicts: "bart" (the forests), "pls" (partial least squares on the same
    // covariates, each draw its prediction with the forests' error spread) or "blend" (each
    // draw w x the forests' + (1 - w) x the linear prediction, w from 0 to 1 in steps of 0.1 with
    // the lowest out-of-fold RMSE); two or more are cross-validated on the same folds (after the
    // pipeline and k are chosen) and the one with the lowest out-of-fold interval score is kept
    // by the rule of the other choices, "blend" being the default among them. "auto" stands for
    // all three. Empty: "bart".
    std::vector<std::string> methods;
};

// The methods asked for, "auto" standing for all three, each once, in the order "bart", "pls",
// "blend"; raises the trainer's message for an unknown one.
std::vector<std::string> method_names(const std::vector<std::string>& asked);

struct CrossValidation {
    std::string method; // "random K folds" or "folds from <file>"
    int folds = 0;
    Accuracy accuracy;
    // Per sample of the set, out of fold: the lab value, the posterior mean and the 95%
    // posterior-predictive band.
    std::vector<std::string> ids;
    std::vector<double> observed;
    std::vector<double> predicted;
    std::vector<double> low;
    std::vector<double> high;
    // The lab value's probability-integral transform under its out-of-fold predictive draws
    // (`predictive_pit`), what calibrates the intervals of predictions; NaN for a sample no fold
    // left out.
    std::vector<double> pit;
    // Its standardized residual (`standardized_residual`), what bounds a level no draw can.
    std::vector<double> residuals;
    // Its out-of-fold draws on the fitted scale (log(y) for a model of log(y)) and its fold's
    // error spreads, so that a blend with a linear part is scored as it would predict.
    std::vector<std::vector<double>> draws;
    std::vector<int> fold;
    std::vector<std::vector<double>> fold_sigma; // of fold f at f - 1
};

// One candidate pipeline and the out-of-fold accuracy it gave, with each sample's interval score
// (for comparing candidates sample by sample).
struct PipelineChoice {
    std::string pipeline;
    Accuracy accuracy;
    std::vector<double> scores;
};

// One candidate k, likewise.
struct KChoice {
    double k = 0.0;
    Accuracy accuracy;
    std::vector<double> scores;
};

// One candidate method, likewise, with the forests' weight it predicts with.
struct MethodChoice {
    std::string method;
    double forest_weight = 1.0;
    Accuracy accuracy;
    std::vector<double> scores;
};

struct TrainingReport {
    boost::filesystem::path folder;
    std::size_t samples = 0;
    std::size_t skipped = 0;
    std::size_t unmatched = 0;
    std::size_t covariates = 0;
    std::string target;
    std::vector<std::string> covariate_names;
    Accuracy fit;                    // in-sample, posterior mean
    std::vector<double> observed;    // the reference value per training sample, in the set's order
    std::vector<double> fitted;      // posterior mean per training sample, in the set's order
    std::vector<double> fitted_low;  // its 95% predictive band (`predictive_band`), the same
    std::vector<double> fitted_high; // band a prediction's summary gives the sample
    std::optional<CrossValidation> cross_validation; // with the chosen k
    double k = 0.0;                                  // the model's k
    std::vector<KChoice> k_choices;                  // when k was chosen, in the order given
    std::string k_rule;                              // how it was chosen (`CandidateChoice::rule`)
    bool domain = false;                             // a calibration domain was written
    bool input_domain = false;                       // and one of the spectra before the pipeline
    std::string preprocessing;                       // the pipeline applied ("" without one)
    std::vector<std::vector<double>> preprocessing_references; // its MSC references
    std::vector<PipelineChoice> pipeline_choices; // when it was chosen, in the order given
    std::string pipeline_rule;                    // how it was chosen
    std::string method;                           // "" for the forests alone, as asked by default
    double forest_weight = 1.0;
    double spread_factor = 1.0;               // of the forests' error spreads (`spread_factor`)
    std::size_t pls_components = 0;           // of the linear part, when the model has one
    std::vector<MethodChoice> method_choices; // when it was chosen, in the order given
    std::string method_rule;                  // how it was chosen
};

// A calibration made and not yet written: the final fit, the report of it (its folder not yet
// set), the calibration domains, the preprocessing its rows went through (when the settings ask
// for a pipeline) and the progress total of its run.
struct TrainedModel {
    TrainingReport report;
    BartFit fit;
    std::optional<CalibrationDomain> domain;
    std::optional<CalibrationDomain> input_domain;
    std::optional<SpectralPipeline> pipeline;
    std::optional<LinearPart> linear;
    long steps = 0;
};

// Cross-validates as asked, chooses the pipeline and k, fits the final model on every sample of
// `set` (as `load_training_set` or `training_set_of` makes it, untransformed when the settings
// ask for a pipeline) and fits its domains. Nothing is written; messages, progress and stops as
// `train_model`'s.
TrainedModel calibrate_model(const TrainingSettings& settings, TrainingSet set, LoggerSet& log);

// Writes `model` where the settings' directory, type and property place it, with its card, as
// `train_model` does (refusing to replace a model without `force`); sets the report's folder.
void write_trained_model(const TrainingSettings& settings, TrainedModel& model, LoggerSet& log);

// Writes a copy of the model in `source` where the settings' directory, type and property place
// it, as `write_trained_model` would have written it (the same checks and replacement; the card
// names the new property, type and `target`); returns its folder. The compiled model is not
// copied: the first job makes it.
boost::filesystem::path copy_trained_model(const boost::filesystem::path& source,
                                           const TrainingSettings& settings,
                                           const std::string& target, LoggerSet& log);

// Checks the settings, loads the set, runs the cross-validation if asked, fits the final
// model on every sample and writes the model folder. Errors are exceptions with the message
// for the user. Messages, progress (every sampler iteration of the run, then the writing) and
// stop requests (an exception thrown by an observer) go through the observers of `log`; a stop
// leaves the existing model as it was.
TrainingReport train_model(const TrainingSettings& settings, LoggerSet& log);

// The model card of a trained model: what it is, how it was fitted, how well it did.
// SOURCE_DATE_EPOCH fixes its date, so that the same seed gives the same bytes.
ModelCard training_card(const TrainingSettings& settings, const TrainingReport& report);

} // namespace veldra
