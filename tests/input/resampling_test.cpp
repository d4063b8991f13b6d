#include "input/resampling.h"

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

TEST(Resampling, FinerSourcesAreAveragedCoarserOnesInterpolated) {
    // A source ten times finer: each target point is the mean over its interval (the linear
    // curve's mean of x^2 over [c - 1/2, c + 1/2] is c^2 + 1/12 plus the chord's excess).
    const std::vector<double> fine = axis(0, 10, 101);
    const std::vector<double> coarse = axis(1, 9, 9);
    const auto square = [](double x) { return x * x; };
    const std::vector<double> averaged = SpectrumResampler(fine, coarse)(on(fine, square).data());
    for (std::size_t j = 0; j < coarse.size(); ++j) {
        // Chords of x^2 over steps of 0.1 lie 0.1^2/6 above the curve on average.
        EXPECT_NEAR(averaged[j], coarse[j] * coarse[j] + 1.0 / 12 + 0.01 / 6, 1e-9) << j;
    }
    // An alternating pattern finer than the target's step averages out instead of aliasing.
    std::vector<double> comb(fine.size());
    for (std::size_t i = 0; i < comb.size(); ++i) {
        comb[i] = i % 2 == 0 ? 1.0 : -1.0;
    }
    for (const double value : SpectrumResampler(fine, coarse)(comb.data())) {
        EXPECT_NEAR(value, 0.0, 0.11);
    }
    // A coarse source onto a fine axis: where no source point falls inside a target interval,
    // the value is the straight line between the two source points around it.
    const std::vector<double> knots = axis(0, 10, 11);
    const std::vector<double> dense = {2.5, 2.55, 2.6};
    const std::vector<double> between = SpectrumResampler(knots, dense)(on(knots, square).data());
    EXPECT_NEAR(between[0], 4 + 0.5 * 5, 1e-12);
    EXPECT_NEAR(between[1], 4 + 0.55 * 5, 1e-12);
    EXPECT_NEAR(between[2], 4 + 0.6 * 5, 1e-12);
}

TEST(Resampling, NothingIsExtrapolatedAndBadAxesAreRefused) {
    try {
        SpectrumResampler(axis(4000, 600, 100), axis(4100, 700, 50));
        FAIL() << "a target beyond the source was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "The spectra cover 4000.00–600.00 cm-1, 100 points; they cannot be resampled "
                  "onto 4100.00–700.00 cm-1, 50 points without extrapolating.");
    }
    EXPECT_THROW(SpectrumResampler({1, 2, 2, 3}, {1.5, 2.5}), std::runtime_error);
    EXPECT_THROW(SpectrumResampler({1, 3, 2}, {1.5, 2.5}), std::runtime_error);
    EXPECT_THROW(SpectrumResampler({1, 2, 3}, {2}), std::runtime_error);
    EXPECT_THROW(SpectrumResampler({1, NAN, 3}, {1.5, 2.5}), std::runtime_error);
}

TEST(Resampling, AxesWithinAHundredthOfAWavenumberAreTheSame) {
    EXPECT_TRUE(same_axis({4000.0, 3998.0}, {4000.004, 3997.9951}));
    EXPECT_FALSE(same_axis({4000.0, 3998.0}, {4000.02, 3998.0}));
    EXPECT_FALSE(same_axis({4000.0, 3998.0}, {4000.0}));
    EXPECT_EQ(axis_text({7497.698, 599.739}), "7497.70–599.74 cm-1, 2 points");
}

} // namespace
} // namespace veldra
