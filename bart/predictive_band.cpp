#include "bart/predictive_band.h"

#include "bart/order_statistics.h"

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

// The normal of a draw of the sample whose identifier hashes to `id_hash`: the identifier is
// hashed once per sample, not once per draw.
double draw_normal(std::uint64_t id_hash, std::size_t draw) {
    const std::uint64_t seed = mix(id_hash ^ mix(static_cast<std::uint64_t>(draw)));
    const double u1 = unit(mix(seed));
    const double u2 = unit(mix(seed ^ 0x5851f42d4c957f2dULL));
    // Box-Muller: one of the pair of independent normals.
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

} // namespace

double sample_draw_normal(const std::string& id, std::size_t draw) {
    return draw_normal(text_hash(id), draw);
}

void predictive_values(const std::vector<double>& fitted, const std::vector<double>& sigma,
                       const std::string& id, bool exponential, std::vector<double>& values) {
    const std::size_t draws = fitted.size();
    const std::uint64_t id_hash = text_hash(id);
    values.resize(draws);
    for (std::size_t d = 0; d < draws; ++d) {
        const double value = fitted[d] + sigma[d] * draw_normal(id_hash, d);
        values[d] = exponential ? std::exp(value) : value;
    }
}

void predictive_draws(const std::vector<double>& fitted, const std::vector<double>& sigma,
                      const std::string& id, bool exponential, std::vector<double>& sorted) {
    predictive_values(fitted, sigma, id, exponential, sorted);
    std::sort(sorted.begin(), sorted.end(), before_in_draw_order);
}

BandRanks predictive_band_ranks(std::size_t draws) {
    const auto at = [draws](double level) {
        return std::min(draws - 1, static_cast<std::size_t>(level * static_cast<double>(draws)));
    };
    return draws == 0 ? BandRanks{} : BandRanks{at(0.025), at(0.975)};
}

PredictiveBand predictive_band(const std::vector<double>& fitted, const std::vector<double>& sigma,
                               const std::string& id, bool exponential,
                               std::vector<double>& scratch) {
    predictive_draws(fitted, sigma, id, exponential, scratch);
    return band_at(scratch, predictive_band_ranks(fitted.size()));
}

PredictiveBand band_between(const std::vector<double>& sorted, double low, double high) {
    return band_at(sorted, band_ranks(sorted.size(), low, high));
}

BandRanks band_ranks(std::size_t draws, double low, double high) {
    BandRanks ranks;
    if (draws == 0) {
        return ranks;
    }
    // A value above m of the draws lies above the draw of index m - 1 and at or below index m.
    const double count = static_cast<double>(draws);
    const double below_low = std::ceil(low * count - 1e-9);
    const double below_high = std::floor(high * count + 1e-9);
    // A level the draws cannot bound (no draw below the value, or none above it) leaves that
    // side open: cutting it at the extreme draw would cover less than the calibration promises.
    const std::size_t last = draws - 1;
    if (below_low >= 1.0) {
        ranks.lower = std::min(last, static_cast<std::size_t>(below_low) - 1);
    }
    if (below_high <= static_cast<double>(last)) {
        ranks.upper = static_cast<std::size_t>(below_high);
    }
    return ranks;
}

PredictiveBand band_at(const std::vector<double>& ordered, const BandRanks& ranks) {
    if (ordered.empty()) {
        return {std::nan(""), std::nan("")};
    }
    const double infinity = std::numeric_limits<double>::infinity();
    return {ranks.lower ? ordered[*ranks.lower] : -infinity,
            ranks.upper ? ordered[*ranks.upper] : infinity};
}

PredictiveSpread predictive_spread(const std::vector<double>& fitted,
                                   const std::vector<double>& sigma, const std::string& id) {
    const std::size_t draws = fitted.size();
    if (draws == 0) {
        return {std::nan(""), std::nan("")};
    }
    const std::uint64_t id_hash = text_hash(id);
    double mean = 0.0;
    double square = 0.0;
    // Welford's running mean and sum of squared deviations: steady for values far from 0.
    for (std::size_t d = 0; d < draws; ++d) {
        const double value = fitted[d] + sigma[d] * draw_normal(id_hash, d);
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
    const std::uint64_t id_hash = text_hash(id);
    std::size_t below = 0;
    for (std::size_t d = 0; d < fitted.size(); ++d) {
        below += fitted[d] + sigma[d] * draw_normal(id_hash, d) < observed ? 1 : 0;
    }
    return fitted.empty() ? std::nan("")
                          : static_cast<double>(below) / static_cast<double>(fitted.size());
}

} // namespace veldra
