#include "bart/predictive_band.h"
#include "models/domain_reason.h"
#include "models/interval_calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace veldra {
namespace {

// The calibrated levels are order statistics of the stored values: with 99 values k / 100 the
// 90% interval keeps ranks floor(100 * 0.05) = 5 and 5 + ceil(100 * 0.9) = 95; a level the set
// is too small for has none; evenly kept values of a large set give the same levels.
TEST(IntervalCalibration, LevelsAreTheOrderStatisticsOfTheValues) {
    std::vector<double> pit;
    for (int k = 99; k >= 1; --k) {
        pit.push_back(k / 100.0);
    }
    const IntervalCalibration calibration = interval_calibration(pit);
    EXPECT_EQ(calibration.samples, 99u);
    const auto ninety = calibrated_levels(calibration, 0.9);
    ASSERT_TRUE(ninety);
    EXPECT_DOUBLE_EQ(ninety->low, 0.05);
    EXPECT_DOUBLE_EQ(ninety->high, 0.95);
    const auto sixty_eight = calibrated_levels(calibration, 0.68);
    ASSERT_TRUE(sixty_eight);
    EXPECT_DOUBLE_EQ(sixty_eight->low, 0.16);
    EXPECT_DOUBLE_EQ(sixty_eight->high, 0.84);
    // 99 samples give ranks up to 99: 0.99 needs 199.
    EXPECT_FALSE(calibrated_levels(calibration, 0.99));
    // The 90% interval's bounds are the 5th value from each end, the 95% one's the 2nd from
    // below (floor(100 x 0.025)) and the 3rd from above (rank 2 + 95 = 97); 0.99 has none.
    EXPECT_EQ(bounding_rank(calibration, 0.9), 5u);
    EXPECT_EQ(bounding_rank(calibration, 0.95), 2u);
    EXPECT_EQ(bounding_rank(calibration, 0.99), 0u);
    EXPECT_FALSE(calibrated_levels(calibration, 1.0));
    EXPECT_FALSE(calibrated_levels(IntervalCalibration{}, 0.9));

    std::vector<double> many;
    for (int k = 1; k <= 99999; ++k) {
        many.push_back(k / 100000.0);
    }
    const IntervalCalibration kept = interval_calibration(many);
    EXPECT_EQ(kept.samples, 99999u);
    EXPECT_EQ(kept.pit.size(), largest_calibration_values);
    const auto from_kept = calibrated_levels(kept, 0.9);
    ASSERT_TRUE(from_kept);
    EXPECT_NEAR(from_kept->low, 0.05, 1e-4);
    EXPECT_NEAR(from_kept->high, 0.95, 1e-4);
    EXPECT_EQ(lower_percent(0.9) + "/" + upper_percent(0.9), "5/95");
    EXPECT_EQ(lower_percent(0.95) + "/" + upper_percent(0.95), "2.5/97.5");
    EXPECT_EQ(lower_percent(0.68) + "/" + upper_percent(0.68), "16/84");
}

// For every calibration size and level the ranks r < s of the bounds keep the guarantee with
// nothing to spare: a new exchangeable value falls between them with probability (s - r) / (n + 1),
// which must be at least L and drop below it with one rank fewer; below the lower bound with
// probability r / (n + 1), at most (1 - L) / 2 and as close to it as ranks allow. With 103
// values the 68% interval keeps ranks 16 and 87: rounding the upper bound outward on its own
// would keep 88 and cover 1 / 104 more than needed.
TEST(IntervalCalibration, RanksCoverTheLevelWithNothingToSpare) {
    for (std::size_t n = 1; n <= 400; ++n) {
        std::vector<double> pit;
        for (std::size_t k = 1; k <= n; ++k) {
            pit.push_back(static_cast<double>(k) / static_cast<double>(n + 1));
        }
        const IntervalCalibration calibration = interval_calibration(pit);
        for (const long percent : {50L, 68L, 80L, 90L, 95L, 99L}) {
            const double level = static_cast<double>(percent) / 100.0;
            const auto levels = calibrated_levels(calibration, level);
            const long places = static_cast<long>(n) + 1;
            // The lower bound needs a rank of at least 1: (n + 1)(1 - L) / 2 >= 1.
            const bool enough = places * (100 - percent) >= 200;
            ASSERT_EQ(levels.has_value(), enough) << n << " " << percent;
            if (!levels) {
                continue;
            }
            const long r = std::lround(levels->low * static_cast<double>(places));
            const long s = std::lround(levels->high * static_cast<double>(places));
            ASSERT_GE(r, 1);
            ASSERT_LE(s, static_cast<long>(n));
            EXPECT_GE((s - r) * 100, percent * places) << n << " " << percent;
            EXPECT_LT((s - r - 1) * 100, percent * places) << n << " " << percent;
            EXPECT_LE(r * 200, (100 - percent) * places) << n << " " << percent;
            EXPECT_GT((r + 1) * 200, (100 - percent) * places) << n << " " << percent;
            EXPECT_EQ(bounding_rank(calibration, level), static_cast<std::size_t>(r));
            if (n == 103 && percent == 68) {
                EXPECT_EQ(r, 16);
                EXPECT_EQ(s, 87);
            }
        }
    }
}

// Predictive draws twice too wide cover too much; recalibrated on one set of samples by their
// PIT values, the intervals of other samples cover what they say, at every level.
TEST(IntervalCalibration, RecalibratedDrawsCoverTheirLevel) {
    std::mt19937_64 random(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t draws = 400;
    const auto sample = [&](std::size_t i, std::vector<double>& fitted, std::vector<double>& sigma,
                            double& observed) {
        const double truth = normal(random);
        fitted.assign(draws, truth);
        sigma.assign(draws, 2.0); // the lab value's real spread is 1
        observed = truth + normal(random);
        return "s" + std::to_string(i);
    };
    std::vector<double> fitted;
    std::vector<double> sigma;
    double observed = 0.0;
    std::vector<double> pit;
    for (std::size_t i = 0; i < 2000; ++i) {
        const std::string id = sample(i, fitted, sigma, observed);
        pit.push_back(predictive_pit(fitted, sigma, id, observed));
    }
    const IntervalCalibration calibration = interval_calibration(pit);
    for (const double level : {0.5, 0.68, 0.9, 0.95}) {
        const auto levels = calibrated_levels(calibration, level);
        ASSERT_TRUE(levels);
        std::size_t covered = 0;
        std::size_t raw = 0;
        const std::size_t tests = 3000;
        std::vector<double> sorted;
        for (std::size_t i = 0; i < tests; ++i) {
            const std::string id = sample(100000 + i, fitted, sigma, observed);
            predictive_draws(fitted, sigma, id, false, sorted);
            const PredictiveBand band = band_between(sorted, levels->low, levels->high);
            covered += observed >= band.low && observed <= band.high ? 1 : 0;
            const double tail = (1.0 - level) / 2.0;
            const PredictiveBand uncalibrated = band_between(sorted, tail, 1.0 - tail);
            raw += observed >= uncalibrated.low && observed <= uncalibrated.high ? 1 : 0;
        }
        const double share = static_cast<double>(covered) / tests;
        EXPECT_NEAR(share, level, 0.03) << level;
        EXPECT_GT(static_cast<double>(raw) / tests, level + 0.04) << level;
    }
}

// The fewest samples a level needs is the one rule of the calibrated bounds: a set of that many
// gives the level, one fewer does not, for levels whose arithmetic rounds either way.
TEST(IntervalCalibration, OneRuleForTheSamplesALevelNeeds) {
    EXPECT_EQ(calibration_samples_needed(0.9), 19u);
    EXPECT_EQ(calibration_samples_needed(0.95), 39u);
    EXPECT_EQ(calibration_samples_needed(0.5), 3u);
    EXPECT_EQ(calibration_samples_needed(1.0), 0u);
    for (const double level : {0.5, 0.6, 0.68, 0.7, 0.8, 0.9, 0.95, 0.975, 0.99, 0.999}) {
        const std::size_t needed = calibration_samples_needed(level);
        for (const std::size_t n : {needed - 1, needed, needed + 1, 2 * needed + 7}) {
            IntervalCalibration calibration;
            calibration.samples = n;
            calibration.pit.assign(n, 0.5);
            EXPECT_EQ(calibrated_levels(calibration, level).has_value(), n >= needed)
                << level << " with " << n;
        }
    }
}

// A value whose PIT lies between two levels lies in the band between them, at the edges too: a
// value below or above every draw lies in a band open on that side.
TEST(IntervalCalibration, BandBetweenLevelsHoldsTheValuesOfThosePits) {
    std::vector<double> fitted;
    std::vector<double> sigma;
    for (int d = 0; d < 50; ++d) {
        fitted.push_back(0.1 * d);
        sigma.push_back(0.3);
    }
    std::vector<double> sorted;
    predictive_draws(fitted, sigma, "x", false, sorted);
    for (double value = -2.0; value <= 7.0; value += 0.01) {
        const double pit = predictive_pit(fitted, sigma, "x", value);
        for (const auto& [low, high] : {std::pair{0.1, 0.9}, std::pair{0.02, 0.98},
                                        std::pair{0.0, 1.0}, std::pair{0.5, 0.5}}) {
            if (pit >= low && pit <= high) {
                const PredictiveBand band = band_between(sorted, low, high);
                EXPECT_TRUE(value >= band.low && value <= band.high)
                    << value << " pit " << pit << " in " << low << "-" << high;
            }
        }
    }
}

// A domain of one component along the first covariates: a spectrum with a bump elsewhere lies
// outside by Q, and the bump's range is named first; a derivative's two lobes are one band; a
// range on 2350 cm-1 is CO2; a spectrum inside has no reason.
TEST(DomainReason, TheBandsThatPutASpectrumOutside) {
    const std::size_t width = 400;
    std::vector<double> wavenumbers;
    for (std::size_t j = 0; j < width; ++j) {
        wavenumbers.push_back(4000.0 - 4.0 * static_cast<double>(j)); // 4000 to 2404 cm-1
    }
    CalibrationDomain domain;
    domain.center.assign(width, 0.0);
    std::vector<double> loading(width, 0.0);
    loading[0] = 1.0;
    domain.components = {loading};
    domain.variances = {1.0};
    domain.t2_limit = 9.0;
    domain.q_limit = 0.01;
    const auto reason = [&](const std::vector<double>& row) {
        return bands_text(
            contributing_bands(domain_contributions(domain, row.data()), wavenumbers));
    };
    std::vector<double> row(width, 0.0);
    row[0] = 2.0; // within the component: inside
    EXPECT_EQ(reason(row), "");
    // A Gaussian's derivative at 3000 cm-1: two lobes either side of a zero.
    for (std::size_t j = 0; j < width; ++j) {
        const double x = (wavenumbers[j] - 3000.0) / 20.0;
        row[j] = -x * std::exp(-x * x) * 0.5;
    }
    row[0] = 0.0;
    const auto bands = contributing_bands(domain_contributions(domain, row.data()), wavenumbers);
    ASSERT_FALSE(bands.empty());
    EXPECT_GE(bands[0].high, 3000.0);
    EXPECT_LE(bands[0].low, 3000.0);
    EXPECT_LT(bands[0].high - bands[0].low, 100.0);
    EXPECT_GT(bands[0].share, 0.95);
    // Out by T² alone: the share of the component's covariate.
    std::vector<double> far(width, 0.0);
    far[0] = 10.0;
    EXPECT_EQ(reason(far), "4000 cm⁻¹");
    EXPECT_EQ(known_band_name(2390.0, 2280.0), "CO₂");
    EXPECT_EQ(known_band_name(3450.0, 3380.0), "water");
    EXPECT_EQ(known_band_name(1660.0, 1620.0), "water");
    EXPECT_EQ(known_band_name(2330.0, 2270.0), "");
    // A broad distortion that merely crosses a known band is not named after it.
    EXPECT_EQ(known_band_name(4000.0, 1001.0), "");
    EXPECT_EQ(known_band_name(3500.0, 1600.0), "");
    EXPECT_EQ(known_band_name(1720.0, 1620.0), "");
    const std::vector<SpectralBand> named = {{2390.0, 2280.0, 0.6, "CO₂"},
                                             {1660.4, 1619.6, 0.3, ""}};
    const std::string text = bands_text(named);
    EXPECT_EQ(text, "2390–2280 cm⁻¹ (CO₂); 1660–1620 cm⁻¹");
    EXPECT_EQ(ranges_of_bands_text(text),
              (std::vector<std::pair<double, double>>{{2390.0, 2280.0}, {1660.0, 1620.0}}));
    EXPECT_TRUE(ranges_of_bands_text("covariates; nonsense cm⁻¹").empty());
    // Covariates without wavenumbers are numbered.
    EXPECT_EQ(bands_text(contributing_bands(domain_contributions(domain, far.data()), {})),
              "covariate 1");
}

} // namespace
} // namespace veldra
