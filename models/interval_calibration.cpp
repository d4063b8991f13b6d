#include "models/interval_calibration.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace veldra {

IntervalCalibration interval_calibration(std::vector<double> pit) {
    pit.erase(std::remove_if(pit.begin(), pit.end(), [](double p) { return std::isnan(p); }),
              pit.end());
    std::sort(pit.begin(), pit.end());
    IntervalCalibration calibration;
    calibration.method = "split-conformal on the out-of-fold probability-integral transforms of "
                         "the lab values under the predictive draws";
    calibration.samples = pit.size();
    if (pit.size() > largest_calibration_values) {
        std::vector<double> kept(largest_calibration_values);
        const double step = static_cast<double>(pit.size() - 1) /
                            static_cast<double>(largest_calibration_values - 1);
        for (std::size_t k = 0; k < kept.size(); ++k) {
            kept[k] = pit[static_cast<std::size_t>(std::lround(step * static_cast<double>(k)))];
        }
        pit = std::move(kept);
    }
    calibration.pit = std::move(pit);
    return calibration;
}

namespace {

// The 1-based ranks r and s, among `samples` calibration values, of the order statistics bounding
// the interval at `level`: r = floor((n + 1)(1 - L) / 2) and s = r + ceil((n + 1) L). A new
// value exchangeable with the n falls between them with probability (s - r) / (n + 1), the
// least such share that is at least L; rounding each bound outward on its own would add up to
// another 1 / (n + 1).
std::pair<double, double> bounding_ranks(std::size_t samples, double level) {
    const double places = static_cast<double>(samples) + 1.0;
    const double lower = std::floor(places * (1.0 - level) / 2.0 + 1e-9);
    return {lower, lower + std::ceil(places * level - 1e-9)};
}

} // namespace

std::optional<CalibratedLevels> calibrated_levels(const IntervalCalibration& calibration,
                                                  double level) {
    const std::size_t n = calibration.pit.size();
    if (n == 0 || !is_interval_level(level)) {
        return std::nullopt;
    }
    const auto [lower_rank, upper_rank] = bounding_ranks(calibration.samples, level);
    if (upper_rank > static_cast<double>(calibration.samples) || lower_rank < 1.0) {
        return std::nullopt;
    }
    // The stored values are the whole set's order statistics, or evenly spaced ones of them.
    const auto value_at = [&](double rank) {
        const double position = (rank - 1.0) * static_cast<double>(n - 1) /
                                std::max(1.0, static_cast<double>(calibration.samples) - 1.0);
        return calibration.pit[std::min(n - 1, static_cast<std::size_t>(std::lround(position)))];
    };
    return CalibratedLevels{value_at(lower_rank), value_at(upper_rank)};
}

std::size_t bounding_rank(const IntervalCalibration& calibration, double level) {
    if (!calibrated_levels(calibration, level)) {
        return 0;
    }
    const auto [lower_rank, upper_rank] = bounding_ranks(calibration.samples, level);
    return static_cast<std::size_t>(
        std::min(lower_rank, static_cast<double>(calibration.samples) + 1.0 - upper_rank));
}

namespace {

// Six significant digits, with a point whatever the C locale (a window sets the user's).
std::string percent_text(double percent) {
    char text[32];
    const auto end =
        std::to_chars(text, text + sizeof text, percent, std::chars_format::general, 6).ptr;
    return std::string(text, end);
}

} // namespace

std::string lower_percent(double level) {
    return percent_text(50.0 * (1.0 - level));
}

std::string upper_percent(double level) {
    return percent_text(100.0 - 50.0 * (1.0 - level));
}

bool is_interval_level(double level) {
    return level > 0.0 && level < 1.0;
}

} // namespace veldra
