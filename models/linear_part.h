#pragma once

#include "models/model_card.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// The linear part of a model ("linear.json"): partial least squares on the same covariates as the
// forests, blended with them draw by draw. Each draw of a prediction becomes
// `forest_weight` x (the forests' draw) + (1 - `forest_weight`) x (the linear prediction), on the
// scale the model was fitted on (log(y) for a model of log(y)); a weight of 0 predicts with the
// linear part alone, every draw keeping its own error spread. A model without the file predicts
// with its forests alone.
struct LinearPart {
    std::string method; // "pls" (weight 0) or "blend"
    double forest_weight = 0.0;
    double intercept = 0.0;
    std::vector<std::string> covariates; // the card's covariate names, in their order
    std::vector<double> coefficients;    // one per covariate
    std::size_t components = 0;
    std::string component_rule;
    std::string preprocessing; // what the covariates went through, as the card says it
    // The factor the forests' error spreads were multiplied by in "sigma.txt", for a record.
    double spread_factor = 1.0;

    // The linear prediction of one row of covariates.
    double predict(const double* row) const;
};

extern const char* const linear_file_name; // "linear.json"

// The largest "linear.json" read.
constexpr std::size_t largest_linear_part_bytes = 64u << 20;

// The file's text: keys in a fixed order, numbers in their shortest exact form.
std::string linear_part_text(const LinearPart& part);

// The part from its text; `name` names the file in messages. Raises a message for text that is
// not such an object, a method other than "pls" or "blend", a weight outside 0 to 1 (0 for
// "pls"), a number that is not finite, or as many names as coefficients.
LinearPart parse_linear_part(const std::string& text, const std::string& name);

// The linear part of the model in `folder`, checked against its card (when given): nothing when
// the folder has none and the card's method does not need one. Raises a message naming the file
// when it is missing where the card says the model has one, larger than its bound, damaged, or
// of other covariates than the card's (count and names). `digest`, when given, receives the
// digest of the bytes read.
std::optional<LinearPart> read_linear_part(const boost::filesystem::path& folder,
                                           const ModelCard* card, std::string* digest = nullptr);

// Blends `draws` (one row of values per draw, one value per sample, on the fitted scale) with
// the part's predictions of `covariates` (one row per sample), as the model predicts.
void blend_draws(const LinearPart& part, const std::vector<std::vector<double>>& covariates,
                 std::vector<std::vector<double>>& draws);

} // namespace veldra
