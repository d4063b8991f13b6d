#include "input/spectral_pipeline.h"
#include "text/first_derivative.h"

#include "tests/support/error_text.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::error_text;

std::vector<double> run(SpectralPipeline& pipeline, const std::vector<double>& row,
                        const std::vector<double>& wavenumbers = {}) {
    pipeline.prepare(wavenumbers, row.size());
    std::vector<double> out;
    std::vector<double> scratch;
    pipeline.apply(row.data(), out, scratch);
    return out;
}

void expect_near(const std::vector<double>& got, const std::vector<double>& expected,
                 double tolerance = 1e-12) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i], expected[i], tolerance) << i;
    }
}

// The classical tables (Savitzky and Golay 1964, as corrected by Steinier et al. 1972).
TEST(SpectralPipeline, SavitzkyGolayWeightsAreTheTablesOnes) {
    const auto scaled = [](std::vector<double> values, double norm) {
        for (double& value : values) {
            value /= norm;
        }
        return values;
    };
    expect_near(savitzky_golay_weights(5, 2, 0, 2), scaled({-3, 12, 17, 12, -3}, 35));
    expect_near(savitzky_golay_weights(5, 2, 1, 2), scaled({-2, -1, 0, 1, 2}, 10));
    expect_near(savitzky_golay_weights(7, 2, 2, 3), scaled({5, 0, -3, -4, -3, 0, 5}, 42));
    expect_near(savitzky_golay_weights(7, 3, 1, 3), scaled({22, -67, -58, 0, 58, 67, -22}, 252));
    // At the window's first point, order 1: the line through five points, evaluated there.
    expect_near(savitzky_golay_weights(5, 1, 0, 0), scaled({6, 4, 2, 0, -2}, 10));
}

// A polynomial of the filter's order is reproduced exactly, its derivatives too, at every
// point including both edges: the independent check of the least-squares weights.
TEST(SpectralPipeline, SavitzkyGolayReproducesPolynomialsToTheEdges) {
    std::vector<double> row;
    for (int i = 0; i < 30; ++i) {
        const double x = i;
        row.push_back(0.5 - 0.25 * x + 0.125 * x * x);
    }
    SpectralPipeline smooth("sg(9,2,0)");
    expect_near(run(smooth, row), row, 1e-9);
    SpectralPipeline slope("sg(9,2,1)");
    std::vector<double> first;
    std::vector<double> second;
    for (int i = 0; i < 30; ++i) {
        first.push_back(-0.25 + 0.25 * i);
        second.push_back(0.25);
    }
    expect_near(run(slope, row), first, 1e-9);
    SpectralPipeline curvature("sg(11,3,2)");
    expect_near(run(curvature, row), second, 1e-9);
    EXPECT_EQ(error_text([&] {
                  run(smooth, {1, 2, 3});
              }),
              "The preprocessing step \"sg(9,2,0)\" needs at least 9 points; it gets 3.");
}

TEST(SpectralPipeline, ScatterCorrectionsAndBinsByHand) {
    SpectralPipeline snv("snv");
    expect_near(run(snv, {1, 2, 3}), {-1, 0, 1});
    expect_near(run(snv, {2, 4, 4, 4, 5, 5, 7, 9}),
                {-3 / std::sqrt(32.0 / 7), -1 / std::sqrt(32.0 / 7), -1 / std::sqrt(32.0 / 7),
                 -1 / std::sqrt(32.0 / 7), 0, 0, 2 / std::sqrt(32.0 / 7), 4 / std::sqrt(32.0 / 7)});

    // MSC: the reference is the calibration mean; a spectrum a + b m becomes m.
    SpectralPipeline msc("msc");
    msc.prepare({}, 4);
    const std::vector<std::vector<double>> calibration = {{1, 2, 4, 3}, {3, 4, 6, 7}};
    msc.fit(calibration);
    ASSERT_EQ(msc.references().size(), 1u);
    expect_near(msc.references()[0], {2, 3, 5, 5});
    std::vector<double> out;
    std::vector<double> scratch;
    const std::vector<double> scattered = {0.5 + 2 * 2, 0.5 + 2 * 3, 0.5 + 2 * 5, 0.5 + 2 * 5};
    msc.apply(scattered.data(), out, scratch);
    expect_near(out, {2, 3, 5, 5});
    EXPECT_EQ(error_text([&] {
                  msc.set_references({{1, 2}});
              }),
              "The preprocessing step \"msc\" needs a reference spectrum of 4 points; the model "
              "holds none that fits.");
    expect_near(msc.references()[0], {2, 3, 5, 5}); // a refused set leaves the fitted one

    // Flat spectra give finite numbers, never NaN: SNV centres them, MSC removes their offset.
    expect_near(run(snv, {3, 3, 3}), {0, 0, 0});
    const std::vector<double> flat = {7, 7, 7, 7};
    msc.apply(flat.data(), out, scratch);
    expect_near(out, {0, 0, 0, 0});

    // Bins average adjacent points and their wavenumbers; a last short bin takes what is left.
    SpectralPipeline bins("bin(2)");
    expect_near(run(bins, {1, 2, 3, 4, 5}, {10, 8, 6, 4, 2}), {1.5, 3.5, 5});
    expect_near(bins.output_wavenumbers(), {9, 5, 2});

    // first_der is the transformation itself.
    SpectralPipeline derivative("first_der");
    const std::vector<double> row = {1, 4, 9, 16};
    std::vector<double> expected(4);
    first_derivative(row.data(), 4, expected.data());
    EXPECT_EQ(run(derivative, row), expected);
}

TEST(SpectralPipeline, RangesUseTheWavenumbersAndStepsComposeInOrder) {
    const std::vector<double> wavenumbers = {2500, 2400, 2350, 2300, 2250, 2200, 2100, 2000};
    const std::vector<double> row = {1, 2, 30, 40, 50, 6, 7, 8};
    SpectralPipeline drop("drop(2400-2250)");
    expect_near(run(drop, row, wavenumbers), {1, 6, 7, 8});
    expect_near(drop.output_wavenumbers(), {2500, 2200, 2100, 2000});
    SpectralPipeline keep("keep(2000-2100, 2500-2450)");
    expect_near(run(keep, row, wavenumbers), {1, 7, 8});
    EXPECT_EQ(error_text([&] { run(keep, row); }),
              "The preprocessing step \"keep(2100-2000,2500-2450)\" needs covariate names that "
              "end in wavenumbers (such as wn_3799).");
    EXPECT_EQ(error_text([&] { run(keep, row, std::vector<double>(8, 100)); }),
              "The preprocessing step \"keep(2100-2000,2500-2450)\" leaves no point of the "
              "spectrum.");

    // The whole is the steps one after another.
    SpectralPipeline whole("drop(2400-2250) + first_der + snv");
    SpectralPipeline second("first_der");
    SpectralPipeline third("snv");
    EXPECT_EQ(run(whole, row, wavenumbers), run(third, run(second, run(drop, row, wavenumbers))));
    EXPECT_EQ(whole.text(), "drop(2400-2250)+first_der+snv");
    EXPECT_EQ(whole.output_width(), 4u);
    EXPECT_EQ(SpectralPipeline("none").text(), "none");
    EXPECT_TRUE(SpectralPipeline(" none ").empty());
}

TEST(SpectralPipeline, WrittenPipelinesAreCheckedStepByStep) {
    const std::vector<std::pair<std::string, std::string>> wrong = {
        {"second_der", "step \"second_der\" is not one this version knows (keep, drop, bin, "
                       "snv, msc, sg, first_der)."},
        {"sg(20,2,1)", "step \"sg(20,2,1)\" needs an odd window, not 20."},
        {"sg(5,2,3)", "step \"sg(5,2,3)\" needs the derivative as a whole number from 0 to 2, "
                      "not 3."},
        {"sg(5,2)", "step \"sg(5,2)\" takes 3 arguments."},
        {"bin(1)", "step \"bin(1)\" needs the points per bin as a whole number from 2 to 1000, "
                   "not 1."},
        {"snv(3)", "step \"snv(3)\" takes no arguments."},
        {"drop(2400)", "step \"drop(2400)\" needs ranges written A-B; \"2400\" is not one."},
        {"keep(1e5-600)", "step \"keep(1e5-600)\" needs wavenumbers written as plain numbers "
                          "from 0 to 1000000; \"1e5\" is not one."},
        {"drop(-5-600)", "step \"drop(-5-600)\" needs wavenumbers written as plain numbers from "
                         "0 to 1000000; \"\" is not one."},
        {"keep(600-2000000)", "step \"keep(600-2000000)\" needs wavenumbers written as plain "
                              "numbers from 0 to 1000000; \"2000000\" is not one."},
        {"sg(5,2,1", "step \"sg(5,2,1\" lacks its closing parenthesis."},
        {"snv++msc", "\"snv++msc\" has an empty step."},
        {"sg(+21,2,1)", "step \"sg(+21,2,1)\" holds a sign: its numbers are written without "
                        "one, as in sg(21,2,1)."},
        {"snv+sg(21,+2,1)+msc", "step \"sg(21,+2,1)\" holds a sign: its numbers are written "
                                "without one, as in sg(21,2,1)."},
        {"", "is empty: give steps such as sg(21,2,1)+snv, or none."},
    };
    for (const auto& [written, message] : wrong) {
        const std::string text = written; // a lambda cannot capture a structured binding
        EXPECT_EQ(error_text([&] { SpectralPipeline pipeline(text); }),
                  "The preprocessing " + message)
            << text;
    }
    for (const std::string& automatic : automatic_pipelines()) {
        EXPECT_EQ(SpectralPipeline(automatic).text(), automatic);
    }
}

// A card stores the pipeline as its text: every wavenumber a range may hold must read back from
// it, the large and the long ones too (shortest text would write 100000 as "1e+05", which
// splits into two steps at its "+").
TEST(SpectralPipeline, WrittenRangesReadBackAsTheSameWavenumbers) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"drop(100000-4000.5)", "drop(100000-4000.5)"},
        {"keep(1000000-0)", "keep(1000000-0)"},
        {"keep(.5-7.)", "keep(7-0.5)"},
        {"drop(0.0001-0.00012, 3799.123456789012-12500)",
         "drop(0.00012-0.0001,12500-3799.123456789012)"},
    };
    for (const auto& [typed, written] : cases) {
        const SpectralPipeline pipeline(typed);
        EXPECT_EQ(pipeline.text(), written) << typed;
        const SpectralPipeline again(pipeline.text());
        EXPECT_EQ(again.text(), written) << typed;
        EXPECT_EQ(again.steps().front().ranges, pipeline.steps().front().ranges) << typed;
    }
}

} // namespace
} // namespace veldra
