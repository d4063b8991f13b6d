#include "models/calibration_domain.h"
#include "text/platform.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>
#include <nlohmann/json.hpp>

namespace veldra {

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& name, const std::string& what) {
    throw std::runtime_error("The domain file \"" + name + "\" " + what);
}

double finite_number(const json& value, const std::string& name, const char* key) {
    if (!value.is_number() || !std::isfinite(value.get<double>())) {
        fail(name, std::string("holds a value of \"") + key + "\" that is not a finite number.");
    }
    return value.get<double>();
}

std::vector<double> numbers(const json& object, const char* key, std::size_t size,
                            const std::string& name) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_array() || found->size() != size) {
        fail(name, std::string("needs \"") + key + "\" as a list of " + std::to_string(size) +
                       " numbers.");
    }
    std::vector<double> values;
    values.reserve(size);
    for (const json& value : *found) {
        values.push_back(finite_number(value, name, key));
    }
    return values;
}

double positive(const json& object, const char* key, const std::string& name) {
    const auto found = object.find(key);
    if (found == object.end()) {
        fail(name, std::string("has no \"") + key + "\".");
    }
    const double value = finite_number(*found, name, key);
    if (!(value > 0.0)) {
        fail(name, std::string("needs \"") + key + "\" above 0.");
    }
    return value;
}

} // namespace

DomainScore score_in_domain(const CalibrationDomain& domain, const double* row) {
    const std::size_t width = domain.center.size();
    std::vector<double> centred(width);
    double total = 0.0;
    for (std::size_t j = 0; j < width; ++j) {
        centred[j] = row[j] - domain.center[j];
        total += centred[j] * centred[j];
    }
    DomainScore score;
    double explained = 0.0;
    for (std::size_t c = 0; c < domain.components.size(); ++c) {
        const std::vector<double>& loading = domain.components[c];
        double t = 0.0;
        for (std::size_t j = 0; j < width; ++j) {
            t += loading[j] * centred[j];
        }
        score.t2 += t * t / domain.variances[c];
        explained += t * t;
    }
    score.q = std::max(0.0, total - explained);
    score.outside = !(score.t2 <= domain.t2_limit) || !(score.q <= domain.q_limit);
    return score;
}

namespace {

// Scores are projections on the components: rows that are scaled, repeated or zero would give
// every spectrum a wrong T² and Q, so they are refused, within a tolerance far above rounding.
void check_orthonormal(const std::vector<std::vector<double>>& components,
                       const std::string& name) {
    constexpr double tolerance = 1e-6;
    for (std::size_t a = 0; a < components.size(); ++a) {
        for (std::size_t b = a; b < components.size(); ++b) {
            double dot = 0.0;
            for (std::size_t j = 0; j < components[a].size(); ++j) {
                dot += components[a][j] * components[b][j];
            }
            if (std::abs(dot - (a == b ? 1.0 : 0.0)) > tolerance) {
                fail(name, "needs orthonormal \"components\" (each of length 1 and at right "
                           "angles to the others, within 1e-6): " +
                               (a == b ? "component " + std::to_string(a + 1) + " has length " +
                                             std::to_string(std::sqrt(dot)) + "."
                                       : "components " + std::to_string(a + 1) + " and " +
                                             std::to_string(b + 1) + " are not at right angles."));
            }
        }
    }
}

} // namespace

CalibrationDomain parse_calibration_domain(const std::string& text, const std::string& name) {
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        fail(name, "is not a JSON object.");
    }
    const auto covariates = document.find("covariates");
    if (covariates == document.end() || !covariates->is_number_unsigned() ||
        covariates->get<std::size_t>() == 0 || covariates->get<std::size_t>() > 10000000) {
        fail(name, "needs \"covariates\" as a whole number from 1 to 10000000.");
    }
    const std::size_t width = covariates->get<std::size_t>();
    CalibrationDomain domain;
    domain.center = numbers(document, "center", width, name);
    const auto components = document.find("components");
    if (components == document.end() || !components->is_array() || components->empty() ||
        components->size() > largest_domain_components) {
        fail(name, "needs \"components\" as a list of 1 to " +
                       std::to_string(largest_domain_components) + " loadings.");
    }
    domain.variances = numbers(document, "variances", components->size(), name);
    for (const double variance : domain.variances) {
        if (!(variance > 0.0)) {
            fail(name, "needs every value of \"variances\" above 0.");
        }
    }
    for (const json& loading : *components) {
        if (!loading.is_array() || loading.size() != width) {
            fail(name, "needs every row of \"components\" as a list of " + std::to_string(width) +
                           " numbers.");
        }
        std::vector<double> row;
        row.reserve(width);
        for (const json& value : loading) {
            row.push_back(finite_number(value, name, "components"));
        }
        domain.components.push_back(std::move(row));
    }
    check_orthonormal(domain.components, name);
    domain.t2_limit = positive(document, "t2_limit", name);
    domain.q_limit = positive(document, "q_limit", name);
    return domain;
}

std::optional<CalibrationDomain> read_calibration_domain(const boost::filesystem::path& folder) {
    const boost::filesystem::path file = folder / "domain.json";
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    if (boost::filesystem::file_size(file, error) > largest_domain_bytes || error) {
        fail(file.string(),
             "is larger than " + std::to_string(largest_domain_bytes >> 20) + " MB.");
    }
    std::ifstream in(native_path(file.string()), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse_calibration_domain(text, file.string());
}

std::string domain_document(const CalibrationDomain& domain) {
    nlohmann::ordered_json document;
    document["format"] = "veldra calibration domain 1";
    document["rule"] = "principal components explaining 99% of the variance (at most 20); "
                       "99% limits of a scaled chi-square fitted to out-of-sample scores "
                       "(10 folds)";
    document["covariates"] = domain.center.size();
    document["t2_limit"] = domain.t2_limit;
    document["q_limit"] = domain.q_limit;
    document["variances"] = domain.variances;
    document["center"] = domain.center;
    document["components"] = domain.components;
    return document.dump() + "\n";
}

} // namespace veldra
