#include "input/resampling.h"

#include <gsl/gsl_interp.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

std::vector<double> axis(double first, double last, std::size_t points) {
    std::vector<double> values(points);
    for (std::size_t i = 0; i < points; ++i) {
        values[i] =
            first + static_cast<double>(i) * (last - first) / static_cast<double>(points - 1);
    }
    return values;
}

template <class F>
std::vector<double> on(const std::vector<double>& x, F f) {
    std::vector<double> y;
    for (const double v : x) {
        y.push_back(f(v));
    }
    return y;
}

TEST(Resampling, AStraightLineIsKeptOnAnyAxesInEitherDirection) {
    const auto line = [](double x) { return 0.25 - 3e-4 * x; };
    const std::vector<std::pair<std::vector<double>, std::vector<double>>> cases = {
        {axis(4000, 600, 1763), axis(3999, 601, 400)},              // finer source, both falling
        {axis(600, 4000, 200), axis(3990, 610, 3000)},              // coarser source, rising
        {axis(4000, 600, 1763), axis(4000, 600, 1763)},             // the same axis
        {axis(7497.97, 599.76, 3578), axis(7497.70, 599.74, 3578)}, // an end just outside
    };
    for (const auto& [source, target] : cases) {
        const SpectrumResampler resample(source, target);
        ASSERT_EQ(resample.source_size(), source.size());
        const std::vector<double> out = resample(on(source, line).data());
        ASSERT_EQ(out.size(), target.size());
        for (std::size_t j = 0; j < target.size(); ++j) {
            ASSERT_NEAR(out[j], line(std::clamp(target[j], 599.76, 7497.97)), 1e-12) << j;
        }
    }
}

// Steffen's curve through (x, y) (x rising, GSL's): its mean over [low, high], or its value at
// `low` when `high` is the same.
double curve_mean(const std::vector<double>& x, const std::vector<double>& y, double low,
                  double high) {
    gsl_interp* curve = gsl_interp_alloc(gsl_interp_steffen, x.size());
    gsl_interp_init(curve, x.data(), y.data(), x.size());
    const double mean =
        high > low
            ? gsl_interp_eval_integ(curve, x.data(), y.data(), low, high, nullptr) / (high - low)
            : gsl_interp_eval(curve, x.data(), y.data(), low, nullptr);
    gsl_interp_free(curve);
    return mean;
}

TEST(Resampling, TheWindowGrowsFromNoneToTheWholeIntervalAsTheSourceGetsFiner) {
    // Target steps of 1. A source step s of 1 / sqrt(2) and more gives the curve's value at the
    // point; a finer one its mean over a window of sqrt(1 - 2 s^2), up to the whole interval for
    // a very fine source. The curve follows a sine within its error (largest at the extremes,
    // where a monotone curve is flat): the window's mean is sin(t) sin(w / 2) / (w / 2).
    const std::vector<double> target = axis(2, 28, 27);
    for (const double step : {1.0, 0.75, 0.6, 0.5, 0.25, 0.1, 0.02}) {
        const std::vector<double> source =
            axis(0, 30, static_cast<std::size_t>(std::lround(30 / step)) + 1);
        const std::vector<double> y = on(source, [](double x) { return std::sin(x); });
        const std::vector<double> out = SpectrumResampler(source, target)(y.data());
        const double width = std::sqrt(std::max(0.0, 1 - 2 * step * step));
        const double damping = width == 0 ? 1.0 : std::sin(width / 2) / (width / 2);
        for (std::size_t j = 0; j < target.size(); ++j) {
            EXPECT_NEAR(out[j], curve_mean(source, y, target[j] - width / 2, target[j] + width / 2),
                        1e-12)
                << step << " " << j;
            EXPECT_NEAR(out[j], std::sin(target[j]) * damping, 0.15 * step * step)
                << step << " " << j;
        }
    }
    // An alternating pattern finer than the target's step averages out instead of aliasing.
    const std::vector<double> fine = axis(0, 30, 301);
    std::vector<double> comb(fine.size());
    for (std::size_t i = 0; i < comb.size(); ++i) {
        comb[i] = i % 2 == 0 ? 1.0 : -1.0;
    }
    for (const double value : SpectrumResampler(fine, target)(comb.data())) {
        EXPECT_NEAR(value, 0.0, 0.11);
    }
}

TEST(Resampling, AShiftOfAFractionOfAStepMovesValuesByThatFractionOfTheirNeighbours) {
    // A spectrum with detail at every point, on its own axis shifted by a fraction of a step, and
    // on an axis of the same points in another order: the shift moves each value by about that
    // fraction of the difference to a neighbour (the curve's slope at a point is at most twice
    // the steeper neighbouring one's); the reordering moves nothing, to the bit.
    const std::vector<double> own = axis(7497.96, 599.76, 3578);
    std::vector<double> y(own.size());
    for (std::size_t k = 0; k < y.size(); ++k) {
        y[k] = std::sin(0.37 * static_cast<double>(k)) + 0.1 * std::cos(2.9 * own[k]);
    }
    y[5] = -0.0;
    const double step = own[0] - own[1];
    for (const double fraction : {0.01, -0.01, 0.2}) {
        std::vector<double> shifted = own;
        for (double& v : shifted) {
            v += fraction * step;
        }
        const SpectrumResampler resample(shifted, own);
        EXPECT_FALSE(resample.reorders());
        const std::vector<double> out = resample(y.data());
        for (std::size_t k = 1; k + 1 < y.size(); ++k) {
            const double neighbours =
                std::max(std::fabs(y[k + 1] - y[k]), std::fabs(y[k] - y[k - 1]));
            ASSERT_LE(std::fabs(out[k] - y[k]), 2 * std::fabs(fraction) * neighbours * 1.05)
                << fraction << " " << k;
        }
    }
    std::vector<double> reversed_axis(own.rbegin(), own.rend());
    std::vector<double> reversed(y.rbegin(), y.rend());
    std::vector<std::size_t> shuffle(own.size());
    for (std::size_t k = 0; k < own.size(); ++k) {
        shuffle[k] = (k * 1031) % own.size(); // 1031 is prime to 3578: every point once
    }
    std::vector<double> shuffled_axis;
    std::vector<double> shuffled;
    for (const std::size_t k : shuffle) {
        shuffled_axis.push_back(own[k] + 0.004); // within the same-axis distance
        shuffled.push_back(y[k]);
    }
    for (const auto& [source, values] :
         {std::make_pair(reversed_axis, reversed), std::make_pair(shuffled_axis, shuffled)}) {
        const SpectrumResampler resample(source, own);
        EXPECT_TRUE(resample.reorders());
        const std::vector<double> out = resample(values.data());
        ASSERT_EQ(out.size(), y.size());
        for (std::size_t k = 0; k < y.size(); ++k) {
            ASSERT_EQ(std::signbit(out[k]), std::signbit(y[k])) << k;
            ASSERT_EQ(out[k], y[k]) << k;
        }
    }
}

TEST(Resampling, PointsWithoutAValueReachOnlyTheTargetPointsThatReadThem) {
    const std::vector<double> source = axis(4000, 600, 1701); // steps of 2
    const std::vector<double> target = axis(3990, 610, 339);  // steps of about 10
    std::vector<double> y(source.size(), 1.0);
    y[10] = std::nan(""); // 3980
    const std::vector<double> out = SpectrumResampler(source, target)(y.data());
    for (std::size_t j = 0; j < target.size(); ++j) {
        EXPECT_EQ(std::isnan(out[j]), std::fabs(target[j] - 3980) < 7) << target[j];
    }
}

TEST(Resampling, PointsBeyondTheRangeTakeItsEndAndFurtherOnesAreRefused) {
    // Half a step beyond either end: the end values.
    const std::vector<double> out = SpectrumResampler({1, 2, 3, 4}, {0.5, 1.5, 2.5, 3.5, 4.5})(
        std::vector<double>{10, 20, 40, 80}.data());
    EXPECT_EQ(out.front(), 10);
    EXPECT_EQ(out.back(), 80);
    EXPECT_GT(out[2], 20); // between its neighbours: the curve never overshoots them
    EXPECT_LT(out[2], 40);
    try {
        SpectrumResampler(axis(4000, 600, 100), axis(4100, 700, 50));
        FAIL() << "a target beyond the source was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "The spectra cover 4000.00–600.00 cm-1, 100 points; they cannot be resampled "
                  "onto 4100.00–700.00 cm-1, 50 points without extrapolating.");
    }
    // A source in any order is taken; repeated or missing wavenumbers and bad targets are not.
    EXPECT_NO_THROW(SpectrumResampler({1, 3, 2}, {1.5, 2.5}));
    EXPECT_THROW(SpectrumResampler({1, 2, 2, 3}, {1.5, 2.5}), std::runtime_error);
    EXPECT_THROW(SpectrumResampler({1, 2, 3}, {2}), std::runtime_error);
    EXPECT_THROW(SpectrumResampler({1, 2, 3}, {2.5, 1.5, 2}), std::runtime_error);
    EXPECT_THROW(SpectrumResampler({1, NAN, 3}, {1.5, 2.5}), std::runtime_error);
    EXPECT_THROW(SpectrumResampler({1}, {1.5, 2.5}), std::runtime_error);
}

TEST(Resampling, AxesWithinAHundredthOfAWavenumberAreTheSame) {
    EXPECT_TRUE(same_axis({4000.0, 3998.0}, {4000.004, 3997.9951}));
    EXPECT_FALSE(same_axis({4000.0, 3998.0}, {4000.02, 3998.0}));
    EXPECT_FALSE(same_axis({4000.0, 3998.0}, {4000.0}));
    EXPECT_EQ(axis_text({7497.698, 599.739}), "7497.70–599.74 cm-1, 2 points");
}

} // namespace
} // namespace veldra
