#include "models/domain_reason.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>

namespace veldra {

std::vector<double> domain_contributions(const CalibrationDomain& domain, const double* row) {
    const std::size_t width = domain.center.size();
    const DomainProjection projection = project_on_domain(domain, row);
    std::vector<double> contributions(width, 0.0);
    const double q_ratio = projection.score.q / domain.q_limit;
    const double t2_ratio = projection.score.t2 / domain.t2_limit;
    if (!projection.score.outside) {
        return contributions;
    }
    if (q_ratio >= t2_ratio) {
        std::vector<double> residual = projection.centred;
        for (std::size_t c = 0; c < domain.components.size(); ++c) {
            for (std::size_t j = 0; j < width; ++j) {
                residual[j] -= projection.scores[c] * domain.components[c][j];
            }
        }
        for (std::size_t j = 0; j < width; ++j) {
            contributions[j] = residual[j] * residual[j];
        }
        return contributions;
    }
    for (std::size_t c = 0; c < domain.components.size(); ++c) {
        const double weight = projection.scores[c] / domain.variances[c];
        for (std::size_t j = 0; j < width; ++j) {
            contributions[j] += weight * domain.components[c][j] * projection.centred[j];
        }
    }
    for (double& value : contributions) {
        value = std::isfinite(value) ? std::max(0.0, value) : 0.0;
    }
    return contributions;
}

std::string known_band_name(double high, double low) {
    // Atmospheric CO2's stretching band, and liquid water's stretching and bending bands.
    const auto within = [&](double top, double bottom) { return bottom <= low && high <= top; };
    if (within(2400.0, 2280.0)) {
        return "CO₂";
    }
    if (within(3700.0, 3000.0) || within(1700.0, 1580.0)) {
        return "water";
    }
    return std::string();
}

std::vector<SpectralBand> contributing_bands(const std::vector<double>& contributions,
                                             const std::vector<double>& wavenumbers,
                                             std::size_t most) {
    const std::size_t n = contributions.size();
    std::vector<double> c(n);
    for (std::size_t j = 0; j < n; ++j) {
        c[j] = std::isfinite(contributions[j]) ? std::max(0.0, contributions[j]) : 0.0;
    }
    const double total = std::accumulate(c.begin(), c.end(), 0.0);
    std::vector<SpectralBand> bands;
    if (!(total > 0.0)) {
        return bands;
    }
    const bool numbered = wavenumbers.size() != n;
    const auto place = [&](std::size_t j) {
        return numbered ? static_cast<double>(j + 1) : wavenumbers[j];
    };
    const std::size_t gap = std::max<std::size_t>(2, n / 100);
    std::vector<char> taken(n, 0);
    while (bands.size() < most) {
        std::size_t seed = n;
        for (std::size_t j = 0; j < n; ++j) {
            if (!taken[j] && (seed == n || c[j] > c[seed])) {
                seed = j;
            }
        }
        if (seed == n || !(c[seed] > 0.0)) {
            break;
        }
        const double floor = 0.1 * c[seed];
        std::size_t first = seed;
        std::size_t last = seed;
        for (std::size_t j = seed + 1, below = 0; j < n && !taken[j] && below <= gap; ++j) {
            below = c[j] >= floor ? 0 : below + 1;
            last = below == 0 ? j : last;
        }
        for (std::size_t j = seed, below = 0; j-- > 0 && !taken[j] && below <= gap;) {
            below = c[j] >= floor ? 0 : below + 1;
            first = below == 0 ? j : first;
        }
        double sum = 0.0;
        for (std::size_t j = first; j <= last; ++j) {
            sum += c[j];
            taken[j] = 1;
        }
        SpectralBand band;
        band.high = std::max(place(first), place(last));
        band.low = std::min(place(first), place(last));
        band.share = sum / total;
        band.numbered = numbered;
        if (band.share < 0.05) {
            continue; // taken, but too small to name
        }
        if (!numbered) {
            band.name = known_band_name(band.high, band.low);
        }
        bands.push_back(band);
    }
    std::stable_sort(bands.begin(), bands.end(), [](const SpectralBand& a, const SpectralBand& b) {
        return a.share > b.share;
    });
    return bands;
}

std::string bands_text(const std::vector<SpectralBand>& bands) {
    std::string text;
    for (const SpectralBand& band : bands) {
        if (!text.empty()) {
            text += "; ";
        }
        const bool one = std::lround(band.low) == std::lround(band.high);
        if (band.numbered) {
            text += one ? "covariate " : "covariates ";
            text += std::to_string(std::lround(band.low));
            text += one ? "" : "–" + std::to_string(std::lround(band.high));
            continue;
        }
        text += std::to_string(std::lround(band.high));
        if (!one) {
            text += "–" + std::to_string(std::lround(band.low));
        }
        text += " cm⁻¹";
        if (!band.name.empty()) {
            text += " (" + band.name + ")";
        }
    }
    return text;
}

std::vector<std::pair<double, double>> ranges_of_bands_text(const std::string& text) {
    std::vector<std::pair<double, double>> ranges;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("; ", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string part = text.substr(start, end - start);
        const std::size_t unit = part.find(" cm⁻¹");
        if (unit != std::string::npos) {
            const std::string numbers = part.substr(0, unit);
            const std::size_t dash = numbers.find("–");
            const char* begin = numbers.data();
            const char* stop = begin + numbers.size();
            double high = 0.0;
            const auto first = std::from_chars(begin, stop, high);
            double low = high;
            const bool read =
                first.ec == std::errc() &&
                (dash == std::string::npos
                     ? first.ptr == stop
                     : first.ptr == begin + dash &&
                           std::from_chars(begin + dash + std::string("–").size(), stop, low).ptr ==
                               stop);
            if (read) {
                ranges.emplace_back(high, low);
            }
        }
        start = end + 2;
    }
    return ranges;
}

} // namespace veldra
