#include "models/linear_part.h"

#include "models/model_digest.h"
#include "models/model_open.h"

#include <cmath>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>

namespace veldra {

const char* const linear_file_name = "linear.json";

namespace {

[[noreturn]] void fail(const std::string& name, const std::string& problem) {
    throw std::runtime_error("The linear part '" + name + "' " + problem);
}

double finite(const nlohmann::json& value, const std::string& key, const std::string& name) {
    if (!value.is_number() || !std::isfinite(value.get<double>())) {
        fail(name, "has no finite number \"" + key + "\".");
    }
    return value.get<double>();
}

} // namespace

double LinearPart::predict(const double* row) const {
    double sum = 0.0;
    for (std::size_t j = 0; j < coefficients.size(); ++j) {
        sum += coefficients[j] * row[j];
    }
    return intercept + sum;
}

std::string linear_part_text(const LinearPart& part) {
    nlohmann::ordered_json document;
    document["format"] = "veldra linear part 1";
    document["method"] = part.method;
    document["forest_weight"] = part.forest_weight;
    document["rule"] =
        "each draw is forest_weight times the forests' draw plus (1 - forest_weight) "
        "times intercept + coefficients . covariates, on the fitted scale";
    document["preprocessing"] = part.preprocessing;
    document["error_spread_factor"] = part.spread_factor;
    document["components"] = part.components;
    document["component_rule"] = part.component_rule;
    document["intercept"] = part.intercept;
    document["covariates"] = part.covariates;
    document["coefficients"] = part.coefficients;
    return document.dump(2) + "\n";
}

LinearPart parse_linear_part(const std::string& text, const std::string& name) {
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (!document.is_object()) {
        fail(name, "is not a JSON object.");
    }
    LinearPart part;
    const auto text_of = [&](const char* key) {
        const auto found = document.find(key);
        if (found == document.end() || !found->is_string()) {
            fail(name, std::string("has no text \"") + key + "\".");
        }
        return found->get<std::string>();
    };
    const auto number_of = [&](const char* key) {
        const auto found = document.find(key);
        return finite(found == document.end() ? nlohmann::json() : *found, key, name);
    };
    part.method = text_of("method");
    if (part.method != "pls" && part.method != "blend") {
        fail(name, "has the method \"" + part.method + "\", not \"pls\" or \"blend\".");
    }
    part.forest_weight = number_of("forest_weight");
    if (part.forest_weight < 0.0 || part.forest_weight > 1.0 ||
        (part.method == "pls" && part.forest_weight != 0.0)) {
        fail(name, "has a forest_weight outside 0 to 1 (0 for \"pls\").");
    }
    part.intercept = number_of("intercept");
    part.spread_factor = number_of("error_spread_factor");
    if (part.spread_factor <= 0.0) {
        fail(name, "has an error_spread_factor not above 0.");
    }
    part.preprocessing = text_of("preprocessing");
    part.component_rule = text_of("component_rule");
    const double components = number_of("components");
    if (components < 0 || components != std::floor(components) || components > 1e6) {
        fail(name, "has no whole number of components.");
    }
    part.components = static_cast<std::size_t>(components);
    const auto names = document.find("covariates");
    const auto coefficients = document.find("coefficients");
    if (names == document.end() || !names->is_array() || coefficients == document.end() ||
        !coefficients->is_array() || names->size() != coefficients->size() || names->empty()) {
        fail(name, "has not as many covariate names as coefficients.");
    }
    for (const nlohmann::json& covariate : *names) {
        if (!covariate.is_string()) {
            fail(name, "has a covariate name that is not text.");
        }
        part.covariates.push_back(covariate.get<std::string>());
    }
    for (const nlohmann::json& coefficient : *coefficients) {
        part.coefficients.push_back(finite(coefficient, "coefficients", name));
    }
    return part;
}

std::optional<LinearPart> read_linear_part(const boost::filesystem::path& folder,
                                           const ModelCard* card, std::string* digest) {
    const boost::filesystem::path file = folder / linear_file_name;
    const bool needed = card != nullptr && (card->method == "pls" || card->method == "blend");
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(file, error)) {
        if (needed) {
            throw std::runtime_error("The model in '" + folder.string() +
                                     "' has lost its linear part \"" + linear_file_name +
                                     "\", which its card says it predicts with: copy the whole "
                                     "model folder again, or train the model again.");
        }
        return std::nullopt;
    }
    const std::string text = read_at_most(file.string(), largest_linear_part_bytes);
    if (text.size() > largest_linear_part_bytes) {
        fail(file.string(),
             "is larger than " + std::to_string(largest_linear_part_bytes >> 20) + " MB.");
    }
    if (digest != nullptr) {
        *digest = bytes_digest(text);
    }
    LinearPart part = parse_linear_part(text, file.string());
    if (card != nullptr) {
        if (card->method != part.method) {
            fail(file.string(), "is of the method \"" + part.method + "\", but the card says \"" +
                                    (card->method.empty() ? "bart" : card->method) + "\".");
        }
        if (card->covariates && *card->covariates != part.coefficients.size()) {
            fail(file.string(), "has " + std::to_string(part.coefficients.size()) +
                                    " coefficients, but the model has " +
                                    std::to_string(*card->covariates) + " covariates.");
        }
        if (!card->covariate_names.empty() && card->covariate_names != part.covariates) {
            fail(file.string(), "names other covariates than the model's card.");
        }
    }
    return part;
}

void blend_draws(const LinearPart& part, const std::vector<std::vector<double>>& covariates,
                 std::vector<std::vector<double>>& draws) {
    std::vector<double> linear(covariates.size());
    for (std::size_t i = 0; i < covariates.size(); ++i) {
        if (covariates[i].size() != part.coefficients.size()) {
            throw std::runtime_error("The linear part has " +
                                     std::to_string(part.coefficients.size()) +
                                     " coefficients, but a sample has " +
                                     std::to_string(covariates[i].size()) + " covariates.");
        }
        linear[i] = part.predict(covariates[i].data());
    }
    const double w = part.forest_weight;
    for (std::vector<double>& draw : draws) {
        for (std::size_t i = 0; i < draw.size() && i < linear.size(); ++i) {
            draw[i] = w == 0.0 ? linear[i] : w * draw[i] + (1.0 - w) * linear[i];
        }
    }
}

} // namespace veldra
