#include "models/interval_calibration.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace veldra {

namespace {

// The values without NaN, sorted; a larger set keeps `largest_calibration_values` evenly spaced
// order statistics.
std::vector<double> kept_order_statistics(std::vector<double> values) {
    values.erase(
        std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
        values.end());
    std::sort(values.begin(), values.end());
    if (values.size() <= largest_calibration_values) {
        return values;
    }
    std::vector<double> kept(largest_calibration_values);
    const double step = static_cast<double>(values.size() - 1) /
                        static_cast<double>(largest_calibration_values - 1);
    for (std::size_t k = 0; k < kept.size(); ++k) {
        kept[k] = values[static_cast<std::size_t>(std::lround(step * static_cast<double>(k)))];
    }
    return kept;
}

} // namespace

IntervalCalibration interval_calibration(std::vector<double> pit, std::vector<double> residuals) {
    IntervalCalibration calibration;
    calibration.method = "split-conformal on the out-of-fold probability-integral transforms of "
                         "the lab values under the predictive draws";
    calibration.samples = static_cast<std::size_t>(
        std::count_if(pit.begin(), pit.end(), [](double p) { return !std::isnan(p); }));
    const std::size_t residual_count = static_cast<std::size_t>(
        std::count_if(residuals.begin(), residuals.end(), [](double r) { return !std::isnan(r); }));
    calibration.pit = kept_order_statistics(std::move(pit));
    if (residual_count == calibration.samples && residual_count > 0) {
        calibration.residuals = kept_order_statistics(std::move(residuals));
        calibration.method += "; where no draw can bound a level, on the standardized residuals "
                              "|y - mean| / sd of the same draws";
    }
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

// Whether `samples` calibration values hold both order statistics of the interval at `level`.
bool enough_for(std::size_t samples, double level) {
    const auto [lower_rank, upper_rank] = bounding_ranks(samples, level);
    return lower_rank >= 1.0 && upper_rank <= static_cast<double>(samples);
}

} // namespace

std::size_t calibration_samples_needed(double level) {
    if (!is_interval_level(level)) {
        return 0;
    }
    // About 2 / (1 - level) - 1; rounding and the ranks' floors are settled by trying upward.
    const double estimate = std::floor(2.0 / (1.0 - level)) - 3.0;
    std::size_t samples = estimate > 1.0 ? static_cast<std::size_t>(std::min(estimate, 1e15)) : 1;
    while (!enough_for(samples, level)) {
        ++samples;
    }
    return samples;
}

std::optional<CalibratedLevels> calibrated_levels(const IntervalCalibration& calibration,
                                                  double level) {
    const std::size_t n = calibration.pit.size();
    if (n == 0 || !is_interval_level(level)) {
        return std::nullopt;
    }
    if (!enough_for(calibration.samples, level)) {
        return std::nullopt;
    }
    const auto [lower_rank, upper_rank] = bounding_ranks(calibration.samples, level);
    // The stored values are the whole set's order statistics, or evenly spaced ones of them.
    const auto value_at = [&](const std::vector<double>& values, double rank) {
        const double position = (rank - 1.0) * static_cast<double>(values.size() - 1) /
                                std::max(1.0, static_cast<double>(calibration.samples) - 1.0);
        return values[std::min(values.size() - 1, static_cast<std::size_t>(std::lround(position)))];
    };
    CalibratedLevels levels{value_at(calibration.pit, lower_rank),
                            value_at(calibration.pit, upper_rank)};
    levels.level = level;
    if ((levels.low <= 0.0 || levels.high >= 1.0) &&
        calibration.residuals.size() == calibration.pit.size()) {
        // The least share of the n + 1 places that is at least L: rank ceil((n + 1) L) <= n.
        const double rank =
            std::ceil((static_cast<double>(calibration.samples) + 1.0) * level - 1e-9);
        levels.residual_bound = value_at(calibration.residuals, rank);
    }
    return levels;
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
