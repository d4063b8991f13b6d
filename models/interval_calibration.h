#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace veldra {

// What recalibrates a model's posterior-predictive draws: the probability-integral transforms
// (PIT) of its calibration samples' lab values under their out-of-fold predictive draws, sorted.
// A calibrated interval at level L keeps the draws between two order statistics of these
// values (split-conformal prediction with the PIT as the score): for a new sample exchangeable
// with the calibration samples, the chance that its PIT falls below the lower one is at most
// (1 - L) / 2, and that it falls outside both at most 1 - L, so the interval covers its lab
// value with probability at least L. Out-of-fold values make it cross-conformal, whose worst
// case is lower (1 - 2(1 - L)); measured coverage is in the README.
//
// Where that order statistic is a PIT of 0 or 1 (lab values below or above every draw: the
// draws too narrow, or too few for the level), no draw can bound the interval. It is then
// bounded by the standardized residuals |y - mean| / sd of the same samples (split-conformal
// again, with that score: mean ± q sd on the fitted scale, q their order statistic of rank
// ceil((n + 1) L)), or, for a calibration without them, left open on that side.
struct IntervalCalibration {
    std::string method;
    std::size_t samples = 0; // the calibration samples the values come from
    std::vector<double> pit; // sorted, each in [0, 1]
    // Sorted, each at least 0, as many as `pit`; empty in a card of an earlier version.
    std::vector<double> residuals;
};

// The most values a card holds; a larger calibration keeps this many evenly spaced order
// statistics.
constexpr std::size_t largest_calibration_values = 20000;

// The calibration of out-of-fold PIT values and standardized residuals (any order, the same
// samples' or none); NaN values are left out.
IntervalCalibration interval_calibration(std::vector<double> pit,
                                         std::vector<double> residuals = {});

// The two draw levels (0 to 1) bounding the calibrated interval at `level`; nothing when the
// calibration holds fewer samples than `calibration_samples_needed(level)`.
struct CalibratedLevels {
    double low = 0.0;
    double high = 1.0;
    // Where `low` is 0 or `high` 1 and the calibration has residuals: the interval is the mean
    // of the draws ± this many of their standard deviations instead (NaN otherwise).
    double residual_bound = std::nan("");
    // The level asked for (NaN when not known): intervals of several levels are nested by it.
    double level = std::nan("");
};
std::optional<CalibratedLevels> calibrated_levels(const IntervalCalibration& calibration,
                                                  double level);

// The fewest calibration samples that give an interval at `level` (19 at 0.9, 39 at 0.95): the
// one rule behind the calibrated bounds, the warnings and the decisions. 0 for a level that is
// not one (`is_interval_level`).
std::size_t calibration_samples_needed(double level);

// How far from either end of the calibration set the interval at `level` is bounded: the rank of
// the order statistic on its thinner side (2 for 0.95 with 103 samples: the second most extreme
// value bounds it), 0 when the set is too small for the level. A bound set by one of the two or
// three most extreme calibration samples moves a lot with which samples they were.
std::size_t bounding_rank(const IntervalCalibration& calibration, double level);

// The percentages of the interval's bounds as the summary names them: 0.9 gives "5" and "95",
// 0.95 gives "2.5" and "97.5".
std::string lower_percent(double level);
std::string upper_percent(double level);

// Whether `level` is one an interval can be asked at: above 0 and below 1.
bool is_interval_level(double level);

} // namespace veldra
