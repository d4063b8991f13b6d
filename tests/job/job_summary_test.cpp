#include "job/job_summary.h"
#include "job/prediction_driver.h"
#include "models/model_card.h"
#include "models/model_layout.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::error_text;
using test::TempDir;

// The normal numbers behind the predictive draws: standard normal over many (sample, draw)
// pairs, and fixed by the pair alone.
TEST(JobSummary, SampleDrawNormalsAreStandardAndRepeatable) {
    double sum = 0.0;
    double squares = 0.0;
    std::size_t beyond = 0;
    const std::size_t n = 200000;
    for (std::size_t k = 0; k < n; ++k) {
        const double z = sample_draw_normal("soil" + std::to_string(k % 1000), k / 1000);
        sum += z;
        squares += z * z;
        beyond += std::abs(z) > 1.959964 ? 1 : 0;
    }
    const double mean = sum / static_cast<double>(n);
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(squares / static_cast<double>(n) - mean * mean, 1.0, 0.01);
    EXPECT_NEAR(static_cast<double>(beyond) / static_cast<double>(n), 0.05, 0.003);
    EXPECT_EQ(sample_draw_normal("s1", 7), sample_draw_normal(std::string("s") + "1", 7));
    EXPECT_NE(sample_draw_normal("s1", 7), sample_draw_normal("s1", 8));
    EXPECT_NE(sample_draw_normal("s1", 7), sample_draw_normal("s2", 7));
}

TEST(JobSummary, PredictiveBoundsWidenTheCredibleOnes) {
    // 40 draws of two samples: draw d is d for the first, -d for the second.
    PredictionMatrix matrix(40, std::vector<double>(2));
    for (std::size_t d = 0; d < 40; ++d) {
        matrix[d] = {static_cast<double>(d), -static_cast<double>(d)};
    }
    std::vector<double> low;
    std::vector<double> high;
    const auto in_order = [](std::size_t draws) {
        std::vector<std::size_t> order(draws);
        for (std::size_t d = 0; d < draws; ++d) {
            order[d] = d;
        }
        return order;
    };
    // No error spread: the draws' own quantiles, index 1 and 39 of 40 sorted.
    predictive_bounds(matrix, in_order(40), std::vector<double>(40, 0.0), {"a", "b"}, false, low,
                      high);
    EXPECT_EQ(low, (std::vector<double>{1, -38}));
    EXPECT_EQ(high, (std::vector<double>{39, 0}));
    // With exp, the bounds are the exponentials of the same draws.
    predictive_bounds(matrix, in_order(40), std::vector<double>(40, 0.0), {"a", "b"}, true, low,
                      high);
    EXPECT_DOUBLE_EQ(low[0], std::exp(1.0));
    // A constant mean function and a spread of 1: the bounds of a normal sample of 40.
    const PredictionMatrix flat(4000, std::vector<double>(1, 5.0));
    predictive_bounds(flat, in_order(4000), std::vector<double>(4000, 1.0), {"a"}, false, low,
                      high);
    EXPECT_NEAR(low[0], 5.0 - 1.96, 0.15);
    EXPECT_NEAR(high[0], 5.0 + 1.96, 0.15);

    // Each draw keeps its own error spread and error draws whatever order its file is read in:
    // rows in the byte order of MCMC1, MCMC10, MCMC11, MCMC2, ... give the band of the draws in
    // their numbered order.
    std::vector<std::string> files;
    for (int n = 1; n <= 12; ++n) {
        files.push_back("m/MCMC" + std::to_string(n) + ".json");
    }
    std::sort(files.begin(), files.end());
    const std::vector<std::size_t> order = draw_indices(files);
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 9, 10, 11, 1, 2, 3, 4, 5, 6, 7, 8}));
    PredictionMatrix numbered(12, std::vector<double>(1));
    std::vector<double> sigma(12);
    for (std::size_t d = 0; d < 12; ++d) {
        numbered[d][0] = static_cast<double>(d);
        sigma[d] = d < 6 ? 0.0 : 5.0; // the later draws are the noisy ones
    }
    PredictionMatrix as_read(12);
    for (std::size_t r = 0; r < 12; ++r) {
        as_read[r] = numbered[order[r]];
    }
    std::vector<double> expected_low;
    std::vector<double> expected_high;
    predictive_bounds(numbered, in_order(12), sigma, {"s"}, false, expected_low, expected_high);
    predictive_bounds(as_read, order, sigma, {"s"}, false, low, high);
    EXPECT_EQ(low, expected_low);
    EXPECT_EQ(high, expected_high);
    // Names that are not all numbered draws keep their listed positions.
    EXPECT_EQ(draw_indices({"m/MCMC1.json", "m/MCMC1s.json", "m/MCMC2.json"}),
              (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(draw_indices({"m/MCMC1.json", "m/MCMC3.json"}), (std::vector<std::size_t>{0, 1}));
}

TEST(JobSummary, SummaryPathsAreNamedAndLargeSummariesRefused) {
    TempDir dir;
    EXPECT_EQ(test::slashes(summary_path("/a/out.csv")), "/a/out-summary.csv");
    EXPECT_EQ(test::slashes(summary_path("/a/out")), "/a/out-summary");

    // The results window opens summaries up to its limit; a missing one is the reader's to tell.
    const std::string small = dir.write("small-summary.csv", std::string(summary_header) + "\n");
    EXPECT_EQ(summary_window_problem(small), "");
    EXPECT_EQ(summary_window_problem(dir.file("missing.csv")), "");
    const std::string large = dir.file("large-summary.csv");
    boost::filesystem::ofstream(large).close();
    boost::filesystem::resize_file(large, largest_window_summary_bytes + 1);
    EXPECT_EQ(summary_window_problem(large),
              "The summary \"" + large +
                  "\" holds 65 MB, more than the results window shows (64 MB): open it in a "
                  "spreadsheet or a script instead.");
}

TEST(JobSummary, ModelAccuracyIsToldFromTheCard) {
    const ModelCard card = parse_model_card(
        R"({"samples_used": 103, "training_fit": {"r2": 0.99, "rmse": 0.01},
            "cross_validation": {"accuracy": {"r2": 0.916, "rmse": 0.127}}})",
        "model.json");
    EXPECT_EQ(model_accuracy_text(card),
              "Model card: cross-validated R2 0.916, RMSE 0.127, 103 samples.");
    EXPECT_EQ(model_accuracy_text(parse_model_card(R"({"training_fit": {"r2": 0.5}})", "m")),
              "Model card: training fit R2 0.5, RMSE NA, NA samples.");
}

} // namespace
} // namespace veldra
