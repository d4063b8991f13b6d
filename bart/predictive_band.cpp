#include "bart/predictive_band.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace veldra {

namespace {

std::uint64_t mix(std::uint64_t x) {
    // SplitMix64's finaliser: every input bit reaches every output bit.
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t text_hash(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL; // FNV-1a
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return hash;
}

// A uniform number in (0, 1] from the top 53 bits.
double unit(std::uint64_t bits) {
    return (static_cast<double>(bits >> 11) + 1.0) * 0x1.0p-53;
}

} // namespace

double sample_draw_normal(const std::string& id, std::size_t draw) {
    const std::uint64_t seed = mix(text_hash(id) ^ mix(static_cast<std::uint64_t>(draw)));
    const double u1 = unit(mix(seed));
    const double u2 = unit(mix(seed ^ 0x5851f42d4c957f2dULL));
    // Box-Muller: one of the pair of independent normals.
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

void predictive_draws(const std::vector<double>& fitted, const std::vector<double>& sigma,
                      const std::string& id, bool exponential, std::vector<double>& sorted) {
    const std::size_t draws = fitted.size();
    sorted.resize(draws);
    for (std::size_t d = 0; d < draws; ++d) {
        const double value = fitted[d] + sigma[d] * sample_draw_normal(id, d);
        sorted[d] = exponential ? std::exp(value) : value;
    }
    std::sort(sorted.begin(), sorted.end(),
              [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
}

PredictiveBand predictive_band(const std::vector<double>& fitted, const std::vector<double>& sigma,
                               const std::string& id, bool exponential,
                               std::vector<double>& scratch) {
    predictive_draws(fitted, sigma, id, exponential, scratch);
    const std::size_t draws = fitted.size();
    const auto at = [&](double level) {
        return scratch[std::min(draws - 1,
                                static_cast<std::size_t>(level * static_cast<double>(draws)))];
    };
    return {at(0.025), at(0.975)};
}

PredictiveBand band_between(const std::vector<double>& sorted, double low, double high) {
    const double draws = static_cast<double>(sorted.size());
    if (sorted.empty()) {
        return {std::nan(""), std::nan("")};
    }
    // A value above m of the draws lies above the draw of index m - 1 and at or below index m.
    const double below_low = std::ceil(low * draws - 1e-9);
    const double below_high = std::floor(high * draws + 1e-9);
    // A level the draws cannot bound (no draw below the value, or none above it) leaves that
    // side open: cutting it at the extreme draw would cover less than the calibration promises.
    const double infinity = std::numeric_limits<double>::infinity();
    const std::size_t last = sorted.size() - 1;
    const double lower = below_low < 1.0
                             ? -infinity
                             : sorted[std::min(last, static_cast<std::size_t>(below_low) - 1)];
    const double upper = below_high > static_cast<double>(last)
                             ? infinity
                             : sorted[static_cast<std::size_t>(below_high)];
    return {lower, upper};
}

PredictiveSpread predictive_spread(const std::vector<double>& fitted,
                                   const std::vector<double>& sigma, const std::string& id) {
    const std::size_t draws = fitted.size();
    if (draws == 0) {
        return {std::nan(""), std::nan("")};
    }
    double mean = 0.0;
    double square = 0.0;
    // Welford's running mean and sum of squared deviations: steady for values far from 0.
    for (std::size_t d = 0; d < draws; ++d) {
        const double value = fitted[d] + sigma[d] * sample_draw_normal(id, d);
        const double delta = value - mean;
        mean += delta / static_cast<double>(d + 1);
        square += delta * (value - mean);
    }
    return {mean, draws > 1 ? std::sqrt(square / static_cast<double>(draws - 1)) : 0.0};
}

double standardized_residual(const std::vector<double>& fitted, const std::vector<double>& sigma,
                             const std::string& id, double observed) {
    const PredictiveSpread spread = predictive_spread(fitted, sigma, id);
    return spread.sd > 0.0 ? std::abs(observed - spread.mean) / spread.sd : std::nan("");
}

double predictive_pit(const std::vector<double>& fitted, const std::vector<double>& sigma,
                      const std::string& id, double observed) {
    std::size_t below = 0;
    for (std::size_t d = 0; d < fitted.size(); ++d) {
        below += fitted[d] + sigma[d] * sample_draw_normal(id, d) < observed ? 1 : 0;
    }
    return fitted.empty() ? std::nan("")
                          : static_cast<double>(below) / static_cast<double>(fitted.size());
}

} // namespace veldra
