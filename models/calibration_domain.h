#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// The calibration domain of a model: where its calibration spectra lie, on exactly the
// covariates the forests see (after the transformation). A principal-component model of the
// calibration set, with limits for Hotelling's T² (distance within the components, in units of
// their spread) and the Q residual (squared distance from the components' plane).
struct CalibrationDomain {
    std::vector<double> center;                  // one value per covariate
    std::vector<std::vector<double>> components; // orthonormal loadings, one row per component
    std::vector<double> variances;               // the calibration scores' variance per component
    double t2_limit = 0.0;                       // 99% limits, derived out of sample
    double q_limit = 0.0;
};

// Where one spectrum lies against a domain.
struct DomainScore {
    double t2 = 0.0;
    double q = 0.0;
    bool outside = false; // T² or Q above its limit
};

// The largest domain file read, and the most components it may hold.
constexpr std::size_t largest_domain_bytes = 256u << 20;
constexpr std::size_t largest_domain_components = 100;

// T², Q and the verdict of one row of transformed covariates (as many as the domain's center).
DomainScore score_in_domain(const CalibrationDomain& domain, const double* row);

// The same with the row's parts: centred on the domain, and its score on each component.
struct DomainProjection {
    std::vector<double> centred;
    std::vector<double> scores;
    DomainScore score;
};
DomainProjection project_on_domain(const CalibrationDomain& domain, const double* row);

// The names of the domain files in a model folder.
extern const char* const domain_file_name;       // "domain.json"
extern const char* const input_domain_file_name; // "input_domain.json"

// The domain file "domain.json" of the model in `folder`; nothing when there is none. Raises a
// message naming the file when it is not a well-formed domain: a JSON object with "covariates",
// "center", "variances", "components" (rows of "covariates" numbers), "t2_limit" and "q_limit",
// every number finite, variances and limits above 0, at most 100 components, 256 MB.
// `name` input_domain_file_name reads the domain of the spectra before a model's own
// preprocessing, which the trainer writes beside such a model.
// With `digest`, it receives the digest of the bytes read (`bytes_digest`).
std::optional<CalibrationDomain> read_calibration_domain(const boost::filesystem::path& folder,
                                                         const std::string& name = domain_file_name,
                                                         std::string* digest = nullptr);

// The domain as the JSON text of "domain.json" (every number in its shortest exact form).
std::string domain_document(const CalibrationDomain& domain);

// The same from the file's text; `name` names it in messages.
CalibrationDomain parse_calibration_domain(const std::string& text, const std::string& name);

} // namespace veldra
