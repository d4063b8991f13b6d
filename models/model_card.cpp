#include "models/model_card.h"

#include "models/model_digest.h"
#include "models/model_open.h"
#include "text/number_text.h"
#include "text/platform.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>

namespace veldra {

namespace {

namespace fs = boost::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;

[[noreturn]] void fail(const fs::path& file, const std::string& what) {
    throw std::runtime_error("The model card \"" + file.string() + "\" " + what);
}

// The value of `key` when present and of the kind `is` accepts; raises for another kind.
const json* member(const json& object, const char* key, bool (json::*is)() const noexcept,
                   const fs::path& file, const char* kind) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    if (!((*found).*is)()) {
        fail(file, std::string("holds \"") + key + "\" that is not " + kind + ".");
    }
    return &*found;
}

std::optional<double> number(const json& object, const char* key, const fs::path& file) {
    const json* value = member(object, key, &json::is_number, file, "a number");
    return value ? std::optional<double>(value->get<double>()) : std::nullopt;
}

std::optional<std::size_t> count(const json& object, const char* key, const fs::path& file) {
    const json* value = member(object, key, &json::is_number_unsigned, file, "a whole number");
    return value ? std::optional<std::size_t>(value->get<std::size_t>()) : std::nullopt;
}

std::string text(const json& object, const char* key, const fs::path& file) {
    const json* value = member(object, key, &json::is_string, file, "a text");
    return value ? value->get<std::string>() : std::string();
}

std::optional<bool> truth(const json& object, const char* key, const fs::path& file) {
    const json* value = member(object, key, &json::is_boolean, file, "true or false");
    return value ? std::optional<bool>(value->get<bool>()) : std::nullopt;
}

ordered_json figure_json(const std::optional<double>& value) {
    return value && std::isfinite(*value) ? ordered_json(*value) : ordered_json();
}

ordered_json figures_json(const CardFigures& figures) {
    return {{"r2", figure_json(figures.r2)},
            {"rmse", figure_json(figures.rmse)},
            {"bias", figure_json(figures.bias)},
            {"rpiq", figure_json(figures.rpiq)},
            {"coverage_95", figure_json(figures.coverage_95)},
            {"interval_score_95", figure_json(figures.interval_score_95)}};
}

// Figures read from `object`, each checked against the range it can take.
CardFigures read_figures(const json& object, const std::string& where, const fs::path& file) {
    CardFigures figures;
    figures.r2 = number(object, "r2", file);
    figures.rmse = number(object, "rmse", file);
    figures.bias = number(object, "bias", file);
    figures.rpiq = number(object, "rpiq", file);
    figures.coverage_95 = number(object, "coverage_95", file);
    figures.interval_score_95 = number(object, "interval_score_95", file);
    const auto check = [&](const std::optional<double>& value, const char* key, bool bad,
                           const char* range) {
        if (value && bad) {
            std::ostringstream shown;
            shown << *value;
            fail(file, std::string("gives \"") + key + "\" " + shown.str() + " in \"" + where +
                           "\", which cannot be: it is " + range + ".");
        }
    };
    check(figures.r2, "r2", figures.r2 && *figures.r2 > 1.0 + 1e-9, "at most 1");
    check(figures.rmse, "rmse", figures.rmse && *figures.rmse < 0.0, "at least 0");
    check(figures.rpiq, "rpiq", figures.rpiq && *figures.rpiq < 0.0, "at least 0");
    check(figures.coverage_95, "coverage_95",
          figures.coverage_95 && !(*figures.coverage_95 >= 0.0 && *figures.coverage_95 <= 1.0),
          "between 0 and 1");
    check(figures.interval_score_95, "interval_score_95",
          figures.interval_score_95 && *figures.interval_score_95 < 0.0, "at least 0");
    return figures;
}

std::optional<CardSampler> read_sampler(const json& document, const fs::path& file) {
    if (!count(document, "trees", file)) {
        return std::nullopt;
    }
    CardSampler sampler;
    const auto whole = [&](const char* key) {
        return static_cast<int>(count(document, key, file).value_or(0));
    };
    sampler.trees = whole("trees");
    sampler.burn_in = whole("burn_in");
    sampler.thin = whole("thin");
    sampler.chains = whole("chains");
    sampler.alpha = number(document, "alpha", file).value_or(0.0);
    sampler.beta = number(document, "beta", file).value_or(0.0);
    sampler.k = number(document, "k", file).value_or(0.0);
    sampler.nu = number(document, "nu", file).value_or(0.0);
    sampler.q = number(document, "q", file).value_or(0.0);
    sampler.max_cuts = whole("max_cuts");
    sampler.sparse = truth(document, "sparse", file).value_or(false);
    sampler.seed = count(document, "seed", file).value_or(0);
    return sampler;
}

// A selection's "rule" and its "candidates", objects each with its "accuracy"; `take` receives
// every candidate with its figures. `noun` and `where` name them in messages.
std::string read_selection(const json& selection, const fs::path& file, const std::string& noun,
                           const std::string& where,
                           const std::function<void(const json&, const CardFigures&)>& take) {
    if (const json* candidates = member(selection, "candidates", &json::is_array, file, "a list")) {
        for (const json& candidate : *candidates) {
            if (!candidate.is_object()) {
                fail(file, "holds a " + noun + " candidate that is not an object.");
            }
            CardFigures figures;
            if (const json* accuracy =
                    member(candidate, "accuracy", &json::is_object, file, "an object")) {
                figures = read_figures(*accuracy, where, file);
            }
            take(candidate, figures);
        }
    }
    return text(selection, "rule", file);
}

void read_validation(const json& document, const fs::path& file, ModelCard& card) {
    if (const json* fit = member(document, "training_fit", &json::is_object, file, "an object")) {
        card.training_fit = read_figures(*fit, "training_fit", file);
    }
    if (const json* cv =
            member(document, "cross_validation", &json::is_object, file, "an object")) {
        if (const json* accuracy = member(*cv, "accuracy", &json::is_object, file, "an object")) {
            CardCrossValidation validation;
            validation.method = text(*cv, "method", file);
            validation.folds = static_cast<int>(count(*cv, "folds", file).value_or(0));
            validation.accuracy = read_figures(*accuracy, "cross_validation", file);
            card.cross_validation = validation;
        }
    }
    if (const json* selection =
            member(document, "k_selection", &json::is_object, file, "an object")) {
        card.k_rule = read_selection(
            *selection, file, "k", "k_selection",
            [&](const json& candidate, const CardFigures& figures) {
                card.k_candidates.push_back({number(candidate, "k", file).value_or(0.0), figures});
            });
    }
}

void read_method(const json& document, const fs::path& file, ModelCard& card) {
    const json* method = member(document, "method", &json::is_object, file, "an object");
    if (method == nullptr) {
        return;
    }
    card.method = text(*method, "name", file);
    if (card.method != "bart" && card.method != "pls" && card.method != "blend") {
        fail(file, "names the method \"" + card.method +
                       "\"; it must be \"bart\", \"pls\" or "
                       "\"blend\".");
    }
    card.forest_weight = number(*method, "forest_weight", file);
    if (card.forest_weight && !(*card.forest_weight >= 0.0 && *card.forest_weight <= 1.0)) {
        fail(file, "holds a \"forest_weight\" outside 0 to 1.");
    }
    card.error_spread_factor = number(*method, "error_spread_factor", file);
    card.pls_components = count(*method, "pls_components", file);
    if (const json* selection = member(*method, "selection", &json::is_object, file, "an object")) {
        card.method_rule = read_selection(
            *selection, file, "method", "method", [&](const json& candidate, const CardFigures& f) {
                card.method_candidates.push_back(
                    {text(candidate, "method", file),
                     number(candidate, "forest_weight", file).value_or(1.0), f});
            });
    }
}

void read_calibration(const json& document, const fs::path& file, ModelCard& card) {
    const json* object =
        member(document, "interval_calibration", &json::is_object, file, "an object");
    if (object == nullptr) {
        return;
    }
    IntervalCalibration calibration;
    calibration.method = text(*object, "method", file);
    calibration.samples = count(*object, "samples", file).value_or(0);
    const json* values = member(*object, "pit", &json::is_array, file, "a list");
    if (values == nullptr || values->empty() || values->size() > largest_calibration_values ||
        values->size() > calibration.samples) {
        fail(file, "holds \"interval_calibration\" without 1 to " +
                       std::to_string(largest_calibration_values) +
                       " \"pit\" values, at most its \"samples\".");
    }
    double last = 0.0;
    for (const json& value : *values) {
        const double pit = value.is_number() ? value.get<double>() : -1.0;
        if (!(pit >= last && pit <= 1.0)) {
            fail(file, "holds \"interval_calibration\" \"pit\" values that are not numbers "
                       "from 0 to 1 in increasing order.");
        }
        calibration.pit.push_back(pit);
        last = pit;
    }
    // Standardized residuals came later: a card without them bounds only what the draws can.
    if (const json* residuals = member(*object, "residuals", &json::is_array, file, "a list")) {
        last = 0.0;
        for (const json& value : *residuals) {
            const double residual = value.is_number() ? value.get<double>() : -1.0;
            if (!(residual >= last && std::isfinite(residual))) {
                fail(file, "holds \"interval_calibration\" \"residuals\" that are not numbers "
                           "from 0 up in increasing order.");
            }
            calibration.residuals.push_back(residual);
            last = residual;
        }
        if (calibration.residuals.size() != calibration.pit.size()) {
            fail(file, "holds \"interval_calibration\" with " +
                           std::to_string(calibration.residuals.size()) + " \"residuals\" for " +
                           std::to_string(calibration.pit.size()) + " \"pit\" values.");
        }
    }
    card.calibration = std::move(calibration);
}

void read_preprocessing(const json& document, const fs::path& file, ModelCard& card) {
    const json* preprocessing =
        member(document, "preprocessing", &json::is_object, file, "an object");
    if (preprocessing == nullptr) {
        return;
    }
    card.preprocessing = text(*preprocessing, "pipeline", file);
    if (card.preprocessing.empty()) {
        fail(file, "holds \"preprocessing\" without its \"pipeline\".");
    }
    if (const json* references =
            member(*preprocessing, "references", &json::is_array, file, "a list")) {
        for (const json& reference : *references) {
            std::vector<double> values;
            for (const json& value : reference.is_array() ? reference : json::array({nullptr})) {
                if (!value.is_number()) {
                    fail(file, "holds a preprocessing reference that is not a list of numbers.");
                }
                values.push_back(value.get<double>());
            }
            card.preprocessing_references.push_back(std::move(values));
        }
    }
    if (const json* selection =
            member(*preprocessing, "selection", &json::is_object, file, "an object")) {
        card.preprocessing_rule =
            read_selection(*selection, file, "preprocessing", "preprocessing",
                           [&](const json& candidate, const CardFigures& figures) {
                               card.preprocessing_candidates.push_back(
                                   {text(candidate, "pipeline", file), figures});
                           });
    }
}

ModelCard parse_card(const std::string& content, const fs::path& file) {
    const json document = json::parse(content, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        fail(file, "is not a JSON object.");
    }
    ModelCard card;
    card.property = text(document, "property", file);
    card.model_folder = text(document, "model_folder", file);
    card.spectrometer_type = text(document, "spectrometer_type", file);
    const std::string transformation = text(document, "transformation", file);
    if (!transformation.empty()) {
        card.transformation = transformation_from_text(transformation);
        if (!card.transformation) {
            fail(file, "names the transformation \"" + transformation +
                           "\"; it must be \"first_der\" or \"none\".");
        }
    }
    read_preprocessing(document, file, card);
    card.log = truth(document, "log", file);
    card.target = text(document, "target", file);
    card.samples = count(document, "samples_used", file);
    card.samples_skipped = count(document, "samples_skipped", file);
    card.covariates = count(document, "covariates", file);
    if (const json* names = member(document, "covariate_names", &json::is_array, file, "a list")) {
        for (const json& name : *names) {
            if (!name.is_string()) {
                fail(file, "holds a covariate name that is not a text.");
            }
            card.covariate_names.push_back(name.get<std::string>());
        }
    }
    card.sampler = read_sampler(document, file);
    card.draws = count(document, "draws", file);
    card.program = text(document, "program", file);
    card.date = text(document, "date", file);
    card.domain = truth(document, "domain", file);
    card.input_domain = truth(document, "input_domain", file);
    card.demonstration = truth(document, "demonstration", file).value_or(false);
    card.description = text(document, "description", file);
    read_validation(document, file, card);
    read_calibration(document, file, card);
    read_method(document, file, card);
    if (const json* digest = member(document, "digest", &json::is_object, file, "an object")) {
        for (const auto& [key, value] : digest->items()) {
            if (!value.is_string()) {
                fail(file, "holds \"digest\" \"" + key + "\" that is not a text.");
            }
            card.digest[key] = value.get<std::string>();
        }
    }
    card.shaping_digest = card_shaping_digest(content);
    return card;
}

// The keys prediction's checks need, and that the card belongs where it is.
void check_card_place(const ModelCard& card, const fs::path& folder, const fs::path& file) {
    std::vector<const char*> missing;
    if (card.property.empty()) {
        missing.push_back("property");
    }
    if (card.spectrometer_type.empty()) {
        missing.push_back("spectrometer_type");
    }
    if (!card.demonstration) {
        if (!card.transformation && card.preprocessing.empty()) {
            missing.push_back("transformation");
        }
        if (!card.log) {
            missing.push_back("log");
        }
        if (!card.covariates) {
            missing.push_back("covariates");
        }
    }
    if (!missing.empty()) {
        std::string keys;
        for (const char* key : missing) {
            keys += std::string(keys.empty() ? "" : ", ") + "\"" + key + "\"";
        }
        fail(file, "lacks " + keys +
                       ", which prediction needs to check the model. Train the model again.");
    }
    const std::string folder_name = folder.filename().string();
    const std::string type_name = folder.parent_path().filename().string();
    const std::string expected =
        card.model_folder.empty() ? model_property_name(card.property) : card.model_folder;
    if (card.spectrometer_type != type_name || expected != folder_name ||
        model_property_name(card.property) != folder_name) {
        fail(file, "is the card of the " + card.spectrometer_type + " model of \"" + card.property +
                       "\", not of a model in '" + type_name + "/" + folder_name +
                       "': the folder was copied or renamed. Train a model for this folder.");
    }
}

} // namespace

std::optional<double> ModelCard::r2() const {
    return cross_validation ? cross_validation->accuracy.r2
                            : (training_fit ? training_fit->r2 : std::nullopt);
}

std::optional<double> ModelCard::rmse() const {
    return cross_validation ? cross_validation->accuracy.rmse
                            : (training_fit ? training_fit->rmse : std::nullopt);
}

namespace {

// The card's "preprocessing": the pipeline, its references and how it was chosen.
ordered_json preprocessing_json(const ModelCard& card) {
    ordered_json preprocessing = {{"pipeline", card.preprocessing}};
    if (!card.preprocessing_references.empty()) {
        preprocessing["references"] = card.preprocessing_references;
    }
    if (!card.preprocessing_candidates.empty()) {
        ordered_json candidates = ordered_json::array();
        for (const CardPipelineCandidate& choice : card.preprocessing_candidates) {
            candidates.push_back(
                {{"pipeline", choice.pipeline}, {"accuracy", figures_json(choice.accuracy)}});
        }
        preprocessing["selection"] = {{"rule", card.preprocessing_rule},
                                      {"candidates", candidates}};
    }
    return preprocessing;
}

// The trees, the draws and the sampler's settings, in the card's order.
void put_sampler(ordered_json& out, const ModelCard& card) {
    if (card.sampler) {
        out["trees"] = card.sampler->trees;
    }
    if (card.draws) {
        out["draws"] = *card.draws;
    }
    if (const std::optional<CardSampler>& s = card.sampler) {
        out["burn_in"] = s->burn_in;
        out["thin"] = s->thin;
        out["chains"] = s->chains;
        out["alpha"] = s->alpha;
        out["beta"] = s->beta;
        out["k"] = s->k;
        out["nu"] = s->nu;
        out["q"] = s->q;
        out["max_cuts"] = s->max_cuts;
        out["sparse"] = s->sparse;
        out["seed"] = s->seed;
    }
}

// How well the model did, and what chose k and recalibrates its intervals.
void put_figures(ordered_json& out, const ModelCard& card) {
    if (card.training_fit) {
        out["training_fit"] = figures_json(*card.training_fit);
    }
    if (const std::optional<CardCrossValidation>& cv = card.cross_validation) {
        out["cross_validation"] = {
            {"method", cv->method}, {"folds", cv->folds}, {"accuracy", figures_json(cv->accuracy)}};
    }
    if (!card.k_candidates.empty()) {
        ordered_json candidates = ordered_json::array();
        for (const CardKCandidate& choice : card.k_candidates) {
            candidates.push_back({{"k", choice.k}, {"accuracy", figures_json(choice.accuracy)}});
        }
        out["k_selection"] = {{"rule", card.k_rule}, {"candidates", candidates}};
    }
    if (!card.method.empty()) {
        ordered_json method = {{"name", card.method}};
        if (card.forest_weight) {
            method["forest_weight"] = *card.forest_weight;
        }
        if (card.error_spread_factor) {
            method["error_spread_factor"] = *card.error_spread_factor;
        }
        if (card.pls_components) {
            method["pls_components"] = *card.pls_components;
        }
        if (!card.method_candidates.empty()) {
            ordered_json candidates = ordered_json::array();
            for (const CardMethodCandidate& choice : card.method_candidates) {
                candidates.push_back({{"method", choice.method},
                                      {"forest_weight", choice.forest_weight},
                                      {"accuracy", figures_json(choice.accuracy)}});
            }
            method["selection"] = {{"rule", card.method_rule}, {"candidates", candidates}};
        }
        out["method"] = method;
    }
    if (const std::optional<IntervalCalibration>& calibration = card.calibration) {
        out["interval_calibration"] = {{"method", calibration->method},
                                       {"samples", calibration->samples},
                                       {"pit", calibration->pit}};
        if (!calibration->residuals.empty()) {
            out["interval_calibration"]["residuals"] = calibration->residuals;
        }
    }
}

} // namespace

std::string model_card_text(const ModelCard& card) {
    ordered_json out = ordered_json::object();
    const auto put_text = [&](const char* key, const std::string& value) {
        if (!value.empty()) {
            out[key] = value;
        }
    };
    put_text("property", card.property);
    put_text("model_folder", card.model_folder);
    put_text("spectrometer_type", card.spectrometer_type);
    if (card.transformation) {
        out["transformation"] = transformation_text(*card.transformation);
    }
    if (!card.preprocessing.empty()) {
        out["preprocessing"] = preprocessing_json(card);
    }
    if (card.log) {
        out["log"] = *card.log;
        out["back_transformation"] = *card.log
                                         ? "exp (predict with exponential back-transformation)"
                                         : "none (predict without exponential back-transformation)";
    }
    put_text("target", card.target);
    if (card.samples) {
        out["samples_used"] = *card.samples;
    }
    if (card.samples_skipped) {
        out["samples_skipped"] = *card.samples_skipped;
    }
    if (card.covariates) {
        out["covariates"] = *card.covariates;
    }
    if (!card.covariate_names.empty()) {
        out["covariate_names"] = card.covariate_names;
    }
    put_sampler(out, card);
    put_text("program", card.program);
    put_text("date", card.date);
    if (card.domain) {
        out["domain"] = *card.domain;
    }
    if (card.input_domain) {
        out["input_domain"] = *card.input_domain;
    }
    if (card.demonstration) {
        out["demonstration"] = true;
    }
    put_text("description", card.description);
    put_figures(out, card);
    if (!card.digest.empty()) {
        out["digest"] = card.digest;
    }
    return out.dump(2) + "\n";
}

ModelCard parse_model_card(const std::string& content, const std::string& name) {
    return parse_card(content, fs::path(name));
}

const char* const card_file_name = "model.json";

fs::path card_file(const fs::path& folder) {
    return folder / card_file_name;
}

std::optional<ModelCard> read_model_card(const fs::path& folder) {
    const fs::path file = card_file(folder);
    boost::system::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (!fs::exists(fs::symlink_status(file, error))) {
        return std::nullopt;
    }
    if (!fs::is_regular_file(status)) {
        fail(file, "cannot be read: it is not a file (a folder, or a link to nothing).");
    }
    if (fs::file_size(file, error) > largest_model_card_bytes || error) {
        fail(file, "is larger than " + std::to_string(largest_model_card_bytes >> 20) + " MB.");
    }
    const std::string content = read_at_most(file.string(), largest_model_card_bytes);
    if (content.size() > largest_model_card_bytes) {
        fail(file, "is larger than " + std::to_string(largest_model_card_bytes >> 20) + " MB.");
    }
    ModelCard card = parse_card(content, file);
    check_card_place(card, folder, file);
    return card;
}

std::string card_figures(const ModelCard& card) {
    std::ostringstream text;
    const auto figure = [&](const std::optional<double>& value) {
        if (value) {
            text << std::setprecision(3) << *value;
        } else {
            text << "NA";
        }
    };
    text << (card.cross_validated() ? "cross-validated" : "training fit") << " R2 ";
    figure(card.r2());
    text << ", RMSE ";
    figure(card.rmse());
    text << ", " << (card.samples ? std::to_string(*card.samples) : std::string("NA"))
         << " samples";
    return text.str();
}

} // namespace veldra
