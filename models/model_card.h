#pragma once

#include "models/interval_calibration.h"
#include "models/model_layout.h"
#include "text/number_text.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Validation figures as a card holds them; absent (or non-finite when written: null) stay empty.
struct CardFigures {
    std::optional<double> r2;
    std::optional<double> rmse;
    std::optional<double> bias;
    std::optional<double> rpiq;
    std::optional<double> coverage_95;       // share inside the 95% predictive bands
    std::optional<double> interval_score_95; // their mean interval score
};

// The sampler settings a trained model was fitted with ("trees" to "seed" on the card).
struct CardSampler {
    int trees = 0;
    int burn_in = 0;
    int thin = 0;
    int chains = 0;
    double alpha = 0.0;
    double beta = 0.0;
    double k = 0.0;
    double nu = 0.0;
    double q = 0.0;
    int max_cuts = 0;
    bool sparse = false;
    std::uint64_t seed = 0;
};

struct CardCrossValidation {
    std::string method;
    int folds = 0;
    CardFigures accuracy;
};

struct CardPipelineCandidate {
    std::string pipeline;
    CardFigures accuracy;
};

struct CardKCandidate {
    double k = 0.0;
    CardFigures accuracy;
};

struct CardMethodCandidate {
    std::string method;
    double forest_weight = 1.0;
    CardFigures accuracy;
};

// A model's card ("model.json"): what the model is, how it was fitted, how well it did. Written
// by the trainer and the model-tree generator, read by prediction, the windows and the report,
// all through `model_card_text` and `parse_model_card`. Absent keys stay empty.
struct ModelCard {
    std::string property;
    std::string model_folder; // the property's folder name, as the trainer wrote it
    std::string spectrometer_type;
    std::optional<Transformation> transformation;
    // The preprocessing pipeline the forests were fitted on, in place of the transformation (its
    // text, read by SpectralPipeline), with the reference spectra of its MSC steps and, when it
    // was chosen, every candidate's figures.
    std::string preprocessing;
    std::vector<std::vector<double>> preprocessing_references;
    std::string preprocessing_rule;
    std::vector<CardPipelineCandidate> preprocessing_candidates;
    std::optional<bool> log; // fitted log(y): predict with exponential back-transformation
    std::string target;
    std::optional<std::size_t> samples; // "samples_used"
    std::optional<std::size_t> samples_skipped;
    std::optional<std::size_t> covariates;
    std::vector<std::string> covariate_names; // empty when the card has none
    std::optional<CardSampler> sampler;
    std::optional<std::size_t> draws; // the number of draw files the model was written with
    std::string program;
    std::string date;
    std::optional<bool> domain;       // whether the trainer wrote "domain.json" beside the card
    std::optional<bool> input_domain; // and "input_domain.json"
    bool demonstration = false; // drawn at random from the prior: its predictions mean nothing
    std::string description;
    std::optional<CardFigures> training_fit;
    std::optional<CardCrossValidation> cross_validation;
    std::string k_rule; // how k was chosen among k_candidates
    std::vector<CardKCandidate> k_candidates;
    // How the model predicts: "" (an earlier version's card) or "bart", the forests alone;
    // "pls", its linear part alone; "blend", both (see LinearPart), with the forests' weight and
    // the linear part's components, and, when it was chosen, every candidate's figures.
    std::string method;
    std::optional<double> forest_weight;
    std::optional<double> error_spread_factor; // of the forests' spreads in "sigma.txt"
    std::optional<std::size_t> pls_components;
    std::string method_rule;
    std::vector<CardMethodCandidate> method_candidates;
    // What recalibrates the predictive draws at any level: a cross-validated model has it.
    std::optional<IntervalCalibration> calibration;
    // What the trainer recorded of the files and settings that shape predictions ("digest": see
    // `ModelDigest`), empty in an earlier version's card; and the digest of this card's own
    // shaping settings as read, to compare with its "card" entry.
    std::map<std::string, std::string> digest;
    std::string shaping_digest;

    // The figures a model is judged by: cross-validated where the card has them, else the fit.
    bool cross_validated() const { return cross_validation.has_value(); }
    std::optional<double> r2() const;
    std::optional<double> rmse() const;
};

// The name of the card in a model folder, and its path in `folder`.
extern const char* const card_file_name; // "model.json"
boost::filesystem::path card_file(const boost::filesystem::path& folder);

// The largest card read; a larger "model.json" is refused.
constexpr std::size_t largest_model_card_bytes = 4u << 20;

// The card as JSON, keys in a fixed order, two-space indents, ending in a line break.
std::string model_card_text(const ModelCard& card);

// The card from its text; `name` names the file in messages. Raises a message when the text is
// not a JSON object, holds a key of the wrong kind, or a figure out of its range (R2 above 1,
// a negative RMSE, RPIQ or interval score, a coverage outside 0 to 1).
ModelCard parse_model_card(const std::string& text, const std::string& name);

// The card of the model in `folder`; nothing when the folder has no "model.json". Raises a
// message naming the file when it cannot be read (a folder, a dangling link), is larger than
// its bound, does not parse, lacks a key prediction checks ("property", "spectrometer_type";
// also "transformation" (or "preprocessing"), "log" and "covariates" unless a demonstration), or
// belongs to another
// folder: its spectrometer type must name the folder's parent and its property the folder.
std::optional<ModelCard> read_model_card(const boost::filesystem::path& folder);

// A card's validation figures: "cross-validated R2 0.911, RMSE 0.13, 103 samples" (three
// significant digits; "training fit" for figures without cross-validation, NA where absent).
std::string card_figures(const ModelCard& card);

// What a job brings to a model: its choices and what its input holds.
struct JobSide {
    Transformation transformation = Transformation::first_derivative;
    bool exponential = true;
    std::size_t covariates = 0;
    const std::vector<std::string>* names = nullptr; // the input's covariate names, if known
    std::string spectrometer_type;                   // "" when not known
};

// The differences between a card and a job, each a sentence naming both sides; empty when they
// agree or the card does not say. Covariate names are compared by the wavenumbers they end in
// (within 0.01 cm-1), so "wn_3799" and "m3799.000" agree; names that are not wavenumbers on
// either side are not compared.
std::vector<std::string> card_mismatches(const ModelCard& card, const std::string& folder,
                                         const JobSide& job);

} // namespace veldra
