// Arbitrary bytes as a model's calibration-domain file; an accepted domain scores a row.
#include "models/calibration_domain.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const veldra::CalibrationDomain domain = veldra::parse_calibration_domain(text, "fuzz");
        if (domain.center.empty() || domain.components.size() != domain.variances.size() ||
            !(domain.t2_limit > 0) || !(domain.q_limit > 0)) {
            std::abort();
        }
        const std::vector<double> row(domain.center.size(), 1.0);
        const veldra::DomainScore score = veldra::score_in_domain(domain, row.data());
        if (score.q < 0) {
            std::abort();
        }
    } catch (const std::exception&) {
    }
    return 0;
}
