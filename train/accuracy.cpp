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
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const double e = predicted[i] - observed[i];
        sse += e * e;
        sst += (observed[i] - mean) * (observed[i] - mean);
        bias += e;
        if (i < low.size()) {
            const double y = observed[i];
            inside += y >= low[i] && y <= high[i] ? 1.0 : 0.0;
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
    a.interval_score = low.empty() ? 0.0 : mean_of(interval_scores(observed, low, high));
    return a;
}

std::vector<double> interval_scores(const std::vector<double>& observed,
                                    const std::vector<double>& low,
                                    const std::vector<double>& high) {
    std::vector<double> scores(std::min(observed.size(), low.size()));
    for (std::size_t i = 0; i < scores.size(); ++i) {
        const double y = observed[i];
        scores[i] =
            high[i] - low[i] + 40.0 * (std::max(low[i] - y, 0.0) + std::max(y - high[i], 0.0));
    }
    return scores;
}

PairedDifference paired_difference(const std::vector<double>& a, const std::vector<double>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    PairedDifference difference;
    if (n < 2) {
        return difference;
    }
    std::vector<double> d(n);
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = a[i] - b[i];
    }
    difference.mean = mean_of(d);
    double squares = 0.0;
    for (const double x : d) {
        squares += (x - difference.mean) * (x - difference.mean);
    }
    difference.standard_error =
        std::sqrt(squares / static_cast<double>(n - 1) / static_cast<double>(n));
    return difference;
}

CandidateChoice choose_candidate(const std::vector<std::vector<double>>& scores,
                                 std::optional<std::size_t> fallback) {
    CandidateChoice choice;
    const auto lowest_of = [&](const std::vector<std::size_t>& among) {
        std::size_t best = among.front();
        for (const std::size_t k : among) {
            best = mean_of(scores[k]) < mean_of(scores[best]) ? k : best;
        }
        return best;
    };
    if (scores.empty()) {
        return choice;
    }
    if (!fallback || *fallback >= scores.size()) {
        std::vector<std::size_t> all(scores.size());
        for (std::size_t k = 0; k < all.size(); ++k) {
            all[k] = k;
        }
        choice.index = lowest_of(all);
        choice.rule = "the lowest";
        return choice;
    }
    std::vector<std::size_t> better;
    for (std::size_t k = 0; k < scores.size(); ++k) {
        const PairedDifference d = paired_difference(scores[*fallback], scores[k]);
        if (k != *fallback && d.mean > d.standard_error) {
            better.push_back(k);
        }
    }
    if (better.empty()) {
        choice.index = *fallback;
        choice.rule = "the default";
    } else {
        choice.index = lowest_of(better);
        choice.rule = "lower than the default by more than one standard error";
    }
    return choice;
}

} // namespace veldra
