#include "train/accuracy.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace veldra {

double mean_of(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

Accuracy accuracy_of(const std::vector<double>& observed, const std::vector<double>& predicted,
                     const std::vector<double>& low, const std::vector<double>& high) {
    Accuracy a;
    const auto n = static_cast<double>(observed.size());
    const double mean = mean_of(observed);
    double sse = 0.0;
    double sst = 0.0;
    double bias = 0.0;
    double inside = 0.0;
    double score = 0.0;
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const double e = predicted[i] - observed[i];
        sse += e * e;
        sst += (observed[i] - mean) * (observed[i] - mean);
        bias += e;
        if (i < low.size()) {
            const double y = observed[i];
            inside += y >= low[i] && y <= high[i] ? 1.0 : 0.0;
            score +=
                high[i] - low[i] + 40.0 * (std::max(low[i] - y, 0.0) + std::max(y - high[i], 0.0));
        }
    }
    a.rmse = std::sqrt(sse / n);
    a.r2 = 1.0 - sse / sst;
    a.bias = bias / n;
    // Interquartile range with the usual linear interpolation between order statistics.
    std::vector<double> sorted = observed;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double share) {
        const double position = share * (n - 1.0);
        const auto below = static_cast<std::size_t>(std::floor(position));
        const std::size_t above = std::min(below + 1, sorted.size() - 1);
        return sorted[below] + (position - std::floor(position)) * (sorted[above] - sorted[below]);
    };
    a.rpiq = (at(0.75) - at(0.25)) / a.rmse;
    a.coverage = low.empty() ? 0.0 : inside / n;
    a.interval_score = low.empty() ? 0.0 : score / n;
    return a;
}

} // namespace veldra
