#pragma once

#include "models/calibration_domain.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace veldra {

// How much each covariate of `row` adds to the limit it exceeds most (by the ratio of figure to
// limit): its squared residual for Q, its share of T² (the score's terms spread back over the
// covariates by the loadings, negative shares as 0) for T². All 0 inside the domain.
std::vector<double> domain_contributions(const CalibrationDomain& domain, const double* row);

// A range of wavenumbers (cm-1, `high` above `low`) and its share of the contributions, with the
// well-known band it falls on ("CO₂", "water") or "".
struct SpectralBand {
    double high = 0.0;
    double low = 0.0;
    double share = 0.0;
    std::string name;
    // `high` and `low` are covariate numbers (1-based): the input's names carry no wavenumbers.
    bool numbered = false;
};

// The `most` ranges of adjacent covariates that contribute most, largest first: each grows
// from the largest contribution not yet taken over its neighbours of at least a tenth of it,
// across short gaps (a derivative's zero crossing inside one band), and a range under 5% of the
// total is left out. `wavenumbers` are the covariates' (empty: covariate numbers, 1-based).
std::vector<SpectralBand> contributing_bands(const std::vector<double>& contributions,
                                             const std::vector<double>& wavenumbers,
                                             std::size_t most = 3);

// The well-known band a range lies within: "CO₂" (2400–2280 cm-1), "water" (3700–3000 and
// 1700–1580 cm-1); "" for none, and for a broader range that merely crosses one.
std::string known_band_name(double high, double low);

// "2390–2280 cm⁻¹ (CO₂); 1660–1620 cm⁻¹ (water)": the summary's "domain reason" ("covariates
// 12–40" without wavenumbers).
std::string bands_text(const std::vector<SpectralBand>& bands);

// The ranges of such a text, high then low, for shading; parts that are not ranges are skipped.
std::vector<std::pair<double, double>> ranges_of_bands_text(const std::string& text);

} // namespace veldra
