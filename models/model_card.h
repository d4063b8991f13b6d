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
    std::string spectrometer_type;
    std::optional<std::size_t> samples;
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

// The differences between a card and a job's choices, each a sentence naming both sides; empty
// when they agree or the card does not say.
std::vector<std::string> card_mismatches(const ModelCard& card, const std::string& folder,
                                         Transformation transformation, bool exponential,
                                         std::size_t covariates);

} // namespace veldra
