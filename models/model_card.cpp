#include "models/model_card.h"
#include "text/platform.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
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

} // namespace

std::optional<ModelCard> read_model_card(const fs::path& folder) {
    const fs::path file = folder / "model.json";
    boost::system::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return std::nullopt;
    }
    if (fs::file_size(file, error) > largest_model_card_bytes || error) {
        fail(file, "is larger than " + std::to_string(largest_model_card_bytes >> 20) + " MB.");
    }
    std::ifstream in(native_path(file.string()), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        fail(file, "cannot be read.");
    }
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        fail(file, "is not a JSON object.");
    }
    ModelCard card;
    if (const json* value = member(document, "transformation", &json::is_string, file, "a text")) {
        card.transformation = transformation_from_text(value->get<std::string>());
        if (!card.transformation) {
            fail(file, "names the transformation \"" + value->get<std::string>() +
                           "\"; it must be \"first_der\" or \"none\".");
        }
    }
    if (const json* value = member(document, "log", &json::is_boolean, file, "true or false")) {
        card.log = value->get<bool>();
    }
    if (const json* value =
            member(document, "demonstration", &json::is_boolean, file, "true or false")) {
        card.demonstration = value->get<bool>();
    }
    if (const json* value =
            member(document, "spectrometer_type", &json::is_string, file, "a text")) {
        card.spectrometer_type = value->get<std::string>();
    }
    card.covariates = count(document, "covariates", file);
    if (const json* names = member(document, "covariate_names", &json::is_array, file, "a list")) {
        for (const json& name : *names) {
            if (!name.is_string()) {
                fail(file, "holds a covariate name that is not a text.");
            }
            card.covariate_names.push_back(name.get<std::string>());
        }
    }
    card.samples = count(document, "samples_used", file);
    card.draws = count(document, "draws", file);
    const json* accuracy = nullptr;
    if (const json* cv =
            member(document, "cross_validation", &json::is_object, file, "an object")) {
        accuracy = member(*cv, "accuracy", &json::is_object, file, "an object");
        card.cross_validated = accuracy != nullptr;
    }
    if (accuracy == nullptr) {
        accuracy = member(document, "training_fit", &json::is_object, file, "an object");
    }
    if (accuracy != nullptr) {
        card.r2 = number(*accuracy, "r2", file);
        card.rmse = number(*accuracy, "rmse", file);
    }
    return card;
}

std::optional<std::vector<double>> wavenumbers_of(const std::vector<std::string>& names) {
    std::vector<double> values;
    values.reserve(names.size());
    for (const std::string& name : names) {
        std::size_t start = name.size();
        while (start > 0 && (std::isdigit(static_cast<unsigned char>(name[start - 1])) != 0 ||
                             name[start - 1] == '.')) {
            --start;
        }
        const char* first = name.data() + start;
        const char* last = name.data() + name.size();
        double value = 0.0;
        const auto read = std::from_chars(first, last, value);
        if (start == name.size() || read.ec != std::errc() || read.ptr != last) {
            return std::nullopt;
        }
        values.push_back(value);
    }
    return values;
}

std::vector<std::string> card_mismatches(const ModelCard& card, const std::string& folder,
                                         const JobSide& job) {
    std::vector<std::string> found;
    const std::string model = "The model in '" + folder + "'";
    if (!card.spectrometer_type.empty() && !job.spectrometer_type.empty() &&
        card.spectrometer_type != job.spectrometer_type) {
        found.push_back(model + " was calibrated for the " + card.spectrometer_type +
                        " spectrometer type; this job predicts " + job.spectrometer_type + ".");
    }
    if (card.transformation && *card.transformation != job.transformation) {
        found.push_back(model + " was calibrated with the transformation \"" +
                        transformation_text(*card.transformation) + "\"; this job uses \"" +
                        transformation_text(job.transformation) + "\".");
    }
    if (card.log && *card.log != job.exponential) {
        found.push_back(model +
                        (*card.log ? " fits log(y) and needs the exponential back-transformation; "
                                     "this job does not apply it."
                                   : " fits y itself; this job applies the exponential "
                                     "back-transformation, which it must not."));
    }
    if (card.covariates && *card.covariates != job.covariates) {
        found.push_back(model + " was calibrated on " + std::to_string(*card.covariates) +
                        " covariates; the input has " + std::to_string(job.covariates) + ".");
    } else if (job.names != nullptr && card.covariate_names.size() == job.names->size() &&
               !card.covariate_names.empty()) {
        const auto calibrated = wavenumbers_of(card.covariate_names);
        const auto given = wavenumbers_of(*job.names);
        if (calibrated && given) {
            for (std::size_t j = 0; j < calibrated->size(); ++j) {
                const double a = (*calibrated)[j];
                const double b = (*given)[j];
                if (std::abs(a - b) > 0.01 + 1e-9 * std::abs(a)) {
                    found.push_back(model + " was calibrated on the wavenumbers " +
                                    card.covariate_names.front() + " ... " +
                                    card.covariate_names.back() + "; the input's covariate " +
                                    std::to_string(j + 1) + " is " + (*job.names)[j] + ", not " +
                                    card.covariate_names[j] + ".");
                    break;
                }
            }
        }
    }
    return found;
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
    text << (card.cross_validated ? "cross-validated" : "training fit") << " R2 ";
    figure(card.r2);
    text << ", RMSE ";
    figure(card.rmse);
    text << ", " << (card.samples ? std::to_string(*card.samples) : std::string("NA"))
         << " samples";
    return text.str();
}

} // namespace veldra
