#pragma once

#include "bart/bart_sampler.h"
#include "logging/logger_set.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Calibrating a model from spectra and reference values: the same readers and covariate
// transformation as prediction, BART fitted on the property's values, the model written where
// prediction looks for it.

struct TrainingSettings {
    std::string spectra;            // a CSV table, or an OPUS folder (resampled with "opus.conf")
    std::string opus_configuration; // "opus.conf" for an OPUS folder
    std::string targets;            // CSV: "SSN" and one column per property
    std::string target;             // the column; empty: the only one besides "SSN"
    std::string spectrometer_type;
    std::string property;
    boost::filesystem::path models;
    std::string transformation = "first_der"; // or "none"
    bool log = false;   // fit log(y): predictions are then back-transformed with exp
    bool force = false; // replace an existing model
    int cv_folds = 0;   // random folds from the seed
    std::string folds;  // CSV: "SSN", "fold"
    BartOptions bart;
};

// The samples a model is fitted on: transformed covariate rows and their values, matched by
// SSN; samples without a value (empty or "NA") are skipped and counted.
struct TrainingSet {
    std::vector<std::string> ids;
    std::vector<std::vector<double>> rows;
    std::vector<double> values; // on the property's scale (before any logarithm)
    std::size_t skipped = 0;    // spectra without a reference value
    std::size_t unmatched = 0;  // reference values without a spectrum
    std::string target;         // the column the values come from
};

TrainingSet load_training_set(const TrainingSettings& settings, LoggerSet& log);

// Accuracy of out-of-sample predictions on the property's scale.
struct Accuracy {
    double r2 = 0.0;
    double rmse = 0.0;
    double bias = 0.0;     // mean of predicted minus observed
    double rpiq = 0.0;     // interquartile range of the observed values over the RMSE
    double coverage = 0.0; // share inside the 95% band of the draws plus the error spread
};

// `predicted[i]` against `observed[i]`; `low` and `high` bound the 95% bands.
Accuracy accuracy_of(const std::vector<double>& observed, const std::vector<double>& predicted,
                     const std::vector<double>& low, const std::vector<double>& high);

struct CrossValidation {
    std::string method; // "random K folds" or "folds from <file>"
    int folds = 0;
    Accuracy accuracy;
    std::vector<double> observed;
    std::vector<double> predicted;
};

struct TrainingReport {
    boost::filesystem::path folder;
    std::size_t samples = 0;
    std::size_t skipped = 0;
    std::size_t unmatched = 0;
    std::size_t covariates = 0;
    std::string target;
    Accuracy fit;               // in-sample, posterior mean
    std::vector<double> fitted; // posterior mean per training sample, in the set's order
    std::optional<CrossValidation> cross_validation;
};

// Checks the settings, loads the set, runs the cross-validation if asked, fits the final
// model on every sample and writes the model folder. Errors are exceptions with the message
// for the user.
TrainingReport train_model(const TrainingSettings& settings, LoggerSet& log);

// The fold of every sample of `set` (1-based): from the folds file, or random from the seed.
std::vector<int> assign_folds(const TrainingSettings& settings, const TrainingSet& set);

} // namespace veldra
