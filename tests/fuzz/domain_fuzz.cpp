// Arbitrary bytes as a model's calibration-domain file; an accepted domain scores a row.
#include "models/calibration_domain.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

// The domain read from `text` to the bit, or the error's message.
std::string reading_of(const std::string& text) {
    std::string read;
    try {
        const veldra::CalibrationDomain domain = veldra::parse_calibration_domain(text, "fuzz");
        std::vector<double> numbers = domain.center;
        numbers.insert(numbers.end(), domain.variances.begin(), domain.variances.end());
        for (const std::vector<double>& component : domain.components) {
            numbers.insert(numbers.end(), component.begin(), component.end());
        }
        numbers.push_back(domain.t2_limit);
        numbers.push_back(domain.q_limit);
        read.assign(reinterpret_cast<const char*>(numbers.data()), numbers.size() * sizeof(double));
    } catch (const std::exception& e) {
        read = std::string("error: ") + e.what();
    }
    return read;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // A file as the trainer writes it is read in one pass; a space before it sends it through
    // the JSON events: both read every text alike.
    if (reading_of(text) != reading_of(" " + text)) {
        std::abort();
    }
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
