#pragma once

#include "models/model_layout.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// What prediction reads from a model's card ("model.json", written by the trainer): what the
// job must match, and how good the model is. Absent keys stay empty.
struct ModelCard {
    std::optional<Transformation> transformation;
    std::optional<bool> log; // fitted log(y): predict with exponential back-transformation
    std::optional<std::size_t> covariates;
    std::vector<std::string> covariate_names; // empty when the card has none
    std::string spectrometer_type;
    std::optional<std::size_t> samples;
    std::optional<std::size_t> draws; // the number of draw files the model was written with
    std::optional<double> r2;   // cross-validated where the card has it, else the training fit
    std::optional<double> rmse; // the same
    bool cross_validated = false;
    bool demonstration = false; // drawn at random from the prior: its predictions mean nothing
};

// The largest card read; a larger "model.json" is refused.
constexpr std::size_t largest_model_card_bytes = 4u << 20;

// The card of the model in `folder`; nothing when the folder has no "model.json". Raises a
// message naming the file when it cannot be read, is not a JSON object, or holds a key of the
// wrong kind.
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

// The wavenumber at the end of each name ("wn_3799", "m7497.960"); nothing when a name has none.
std::optional<std::vector<double>> wavenumbers_of(const std::vector<std::string>& names);

} // namespace veldra
