#pragma once

#include "models/calibration_domain.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace veldra {

// How many components the domain keeps: the fewest that explain 99% of the calibration
// spectra's variance, at most 20 and at most the samples less two.
constexpr double domain_explained_share = 0.99;
constexpr std::size_t domain_most_components = 20;

// Folds for the out-of-sample limits, and the limits' level.
constexpr std::size_t domain_folds = 10;
constexpr double domain_level = 0.99;

// The calibration domain of `rows` (the covariates the forests see), or nothing for fewer than
// five rows. The components are the leading eigenvectors of the centred rows' Gram matrix. The
// limits are derived out of sample: each row is scored (T², Q) against components fitted, with
// the same count, on the rows of the other folds (row i in fold i mod 10); a scaled chi-square
// g chi2(h) with the mean and variance of those scores (Box's approximation) gives the 99%
// quantile. Limits from the calibration rows' own scores would be far too tight where covariates
// outnumber samples: new spectra always lie farther from the components than those that made them.
std::optional<CalibrationDomain>
fit_calibration_domain(const std::vector<std::vector<double>>& rows);

// The 99% quantile of the scaled chi-square with the mean and variance of `values`.
double scaled_chi_square_limit(const std::vector<double>& values);

} // namespace veldra
