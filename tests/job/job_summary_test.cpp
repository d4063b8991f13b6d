#include "job/decision_settings.h"
#include "job/job_summary.h"
#include "job/output_names.h"
#include "job/prediction_driver.h"
#include "models/model_card.h"
#include "models/model_layout.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <random>
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
// Draws half as wide as the errors, and only 20 of them: many calibration samples lie below or
// above every draw, so no draw can bound the wider levels. Averaged over many calibration sets
// (new samples through the job's own bounds), each level covers at least what it says, less
// three binomial standard deviations of the whole count, where bounds cut at the extreme draws
// held about 64% at 95%: bounded by the standardized residuals, or open without them.
// The bands a job writes read the places of each sample's predictive draws that a full sort
// would put there, on every level (open sides included) and for draws in any file order.
TEST(JobSummary, BandsAreTheSortedDrawsAtTheirPlaces) {
    std::mt19937_64 random(11);
    std::normal_distribution<double> spread(0.0, 1.0);
    for (const std::size_t draws : {1u, 7u, 40u, 333u}) {
        PredictionMatrix matrix(draws);
        for (std::vector<double>& row : matrix) {
            row = {spread(random), spread(random)};
        }
        std::vector<std::size_t> order(draws);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::shuffle(order.begin(), order.end(), random);
        const std::vector<double> sigma(draws, 0.5);
        CalibratedBounds bounds;
        const std::vector<std::pair<double, double>> between = {
            {0.0, 1.0}, {0.1, 0.9}, {0.025, 0.975}, {0.5, 0.5}, {0.3, 1.0}};
        for (const auto& [low, high] : between) {
            bounds.levels.push_back(CalibratedLevels{low, high});
        }
        std::vector<double> low;
        std::vector<double> high;
        predictive_bounds(matrix, order, sigma, {"a", "b"}, true, low, high, &bounds);
        for (std::size_t j = 0; j < 2; ++j) {
            std::vector<double> fitted(draws);
            for (std::size_t d = 0; d < draws; ++d) {
                fitted[order[d]] = matrix[d][j];
            }
            std::vector<double> sorted;
            const PredictiveBand band =
                predictive_band(fitted, sigma, j == 0 ? "a" : "b", true, sorted);
            EXPECT_EQ(low[j], band.low);
            EXPECT_EQ(high[j], band.high);
            for (std::size_t l = 0; l < between.size(); ++l) {
                const PredictiveBand expected =
                    band_between(sorted, between[l].first, between[l].second);
                EXPECT_EQ(bounds.low[l][j], expected.low) << draws << " " << l;
                EXPECT_EQ(bounds.high[l][j], expected.high) << draws << " " << l;
            }
        }
    }
}

TEST(CalibratedBounds, DrawsTooNarrowAreBoundedByResidualsOrLeftOpen) {
    std::mt19937_64 random(5);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t draws = 20;
    std::vector<double> fitted;
    std::size_t next = 0;
    const std::vector<double> sigma(draws, 0.5);
    const auto sample = [&](double& observed) {
        const double truth = normal(random);
        fitted.assign(draws, truth);
        observed = truth + normal(random);
        return "n" + std::to_string(next++);
    };
    const std::vector<double> levels = {0.5, 0.68, 0.9, 0.95};
    std::array<std::vector<std::size_t>, 2> covered{std::vector<std::size_t>(levels.size()),
                                                    std::vector<std::size_t>(levels.size())};
    std::array<std::size_t, 2> open{};
    std::size_t tests = 0;
    double observed = 0.0;
    for (int set = 0; set < 60; ++set) {
        std::vector<double> pit;
        std::vector<double> residuals;
        for (int i = 0; i < 100; ++i) {
            const std::string id = sample(observed);
            pit.push_back(predictive_pit(fitted, sigma, id, observed));
            residuals.push_back(standardized_residual(fitted, sigma, id, observed));
        }
        // With residuals, as a card writes them now; without, as an earlier card holds it.
        const std::array<IntervalCalibration, 2> calibrations = {
            interval_calibration(pit, residuals), interval_calibration(pit)};
        for (int i = 0; i < 100; ++i, ++tests) {
            const std::string id = sample(observed);
            std::vector<std::size_t> order(draws);
            std::iota(order.begin(), order.end(), std::size_t{0});
            PredictionMatrix matrix(draws);
            for (std::size_t d = 0; d < draws; ++d) {
                matrix[d] = {fitted[d]};
            }
            for (std::size_t c = 0; c < 2; ++c) {
                CalibratedBounds bounds;
                for (const double level : levels) {
                    bounds.levels.push_back(calibrated_levels(calibrations[c], level));
                }
                std::vector<double> low;
                std::vector<double> high;
                predictive_bounds(matrix, order, sigma, {id}, false, low, high, &bounds);
                for (std::size_t l = 0; l < levels.size(); ++l) {
                    covered[c][l] +=
                        observed >= bounds.low[l][0] && observed <= bounds.high[l][0] ? 1 : 0;
                    open[c] += std::isinf(bounds.low[l][0]) || std::isinf(bounds.high[l][0]);
                    // Each level's interval holds those of the lower levels, wherever the
                    // draws bound one and the residuals the other.
                    if (l > 0) {
                        EXPECT_LE(bounds.low[l][0], bounds.low[l - 1][0]) << levels[l];
                        EXPECT_GE(bounds.high[l][0], bounds.high[l - 1][0]) << levels[l];
                    }
                }
            }
        }
    }
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t l = 0; l < levels.size(); ++l) {
            const double share = static_cast<double>(covered[c][l]) / static_cast<double>(tests);
            const double spread =
                std::sqrt(levels[l] * (1.0 - levels[l]) / static_cast<double>(tests));
            EXPECT_GE(share, levels[l] - 3.0 * spread) << levels[l] << (c == 0 ? "" : " open");
            if (c == 0 && levels[l] >= 0.9) {
                // Bounded by the residuals, and no wider than it needs to be (the draws bound
                // the lower levels, by shares of 20 draws: a little wider).
                EXPECT_LE(share, levels[l] + 0.03) << levels[l];
            }
        }
    }
    EXPECT_EQ(open[0], 0u);
    EXPECT_GT(open[1], tests);
}

// Shared out among threads, every sample's bounds (the band and each calibrated level, from the
// draws or from the residuals) are those of the sample predicted alone.
TEST(CalibratedBounds, ThreadsShareTheSamplesOutWithoutChangingABound) {
    std::mt19937_64 random(17);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t draws = 50;
    const std::size_t samples = 203;
    std::vector<double> pit;
    std::vector<double> residuals;
    for (int i = 0; i < 80; ++i) {
        pit.push_back(static_cast<double>(random() % 51) / 50.0);
        residuals.push_back(std::abs(normal(random)) * 3.0);
    }
    const IntervalCalibration calibration = interval_calibration(pit, residuals);
    PredictionMatrix matrix(draws, std::vector<double>(samples));
    std::vector<std::string> ids;
    for (std::size_t j = 0; j < samples; ++j) {
        ids.push_back("t" + std::to_string(j));
        const double centre = normal(random);
        for (std::size_t d = 0; d < draws; ++d) {
            matrix[d][j] = centre + 0.2 * normal(random);
        }
    }
    std::vector<double> sigma(draws);
    for (double& s : sigma) {
        s = 0.1 + std::abs(normal(random));
    }
    std::vector<std::size_t> order(draws);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::shuffle(order.begin(), order.end(), random);
    const auto bounds_with = [&](const PredictionMatrix& m, const std::vector<std::string>& names,
                                 unsigned threads, std::vector<double>& low,
                                 std::vector<double>& high) {
        CalibratedBounds bounds;
        for (const double level : {0.5, 0.9, 0.99}) {
            bounds.levels.push_back(calibrated_levels(calibration, level));
        }
        predictive_bounds(m, order, sigma, names, true, low, high, &bounds, threads);
        return bounds;
    };
    std::size_t bounded = 0; // calibrated bounds that exist
    for (const unsigned threads : {2u, 3u, 0u}) {
        std::vector<double> low;
        std::vector<double> high;
        const CalibratedBounds shared = bounds_with(matrix, ids, threads, low, high);
        for (std::size_t j = 0; j < samples; ++j) {
            PredictionMatrix alone(draws, std::vector<double>(1));
            for (std::size_t d = 0; d < draws; ++d) {
                alone[d][0] = matrix[d][j];
            }
            std::vector<double> own_low;
            std::vector<double> own_high;
            const CalibratedBounds own = bounds_with(alone, {ids[j]}, 1, own_low, own_high);
            ASSERT_EQ(low[j], own_low[0]) << threads << " threads, sample " << j;
            ASSERT_EQ(high[j], own_high[0]) << threads << " threads, sample " << j;
            const auto same = [](double a, double b) {
                return a == b || (std::isnan(a) && std::isnan(b)); // NaN: no bound at that level
            };
            for (std::size_t l = 0; l < own.low.size(); ++l) {
                ASSERT_TRUE(same(shared.low[l][j], own.low[l][0])) << threads << " threads, " << j;
                ASSERT_TRUE(same(shared.high[l][j], own.high[l][0]))
                    << threads << " threads, " << j;
                bounded += std::isfinite(own.low[l][0]) && std::isfinite(own.high[l][0]) ? 1 : 0;
            }
        }
    }
    EXPECT_GT(bounded, samples);
}

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

namespace veldra {
namespace {

// The decision on a sample: accept only inside the domain with a calibrated band no wider than
// the tolerance either side; every reason against it is named.
TEST(JobSummary, DecisionsAtATolerance) {
    const double none = std::nan("");
    EXPECT_EQ(sample_decision('i', 1.0, 1.4, 0.2), "accept");
    EXPECT_EQ(sample_decision('i', 1.0, 1.41, 0.2), "re-measure: too wide");
    EXPECT_EQ(sample_decision('o', 1.0, 1.4, 0.2), "re-measure: outside");
    EXPECT_EQ(sample_decision('o', 1.0, 2.0, 0.2), "re-measure: outside; too wide");
    EXPECT_EQ(sample_decision('u', 1.0, 1.1, 0.2), "re-measure: unknown domain");
    EXPECT_EQ(sample_decision('i', none, none, 0.2), "re-measure: no calibration");
    EXPECT_EQ(sample_decision('o', none, 1.0, 0.2), "re-measure: outside; no calibration");
    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(sample_decision('i', -infinity, 1.0, 0.2), "re-measure: interval open");
    EXPECT_EQ(sample_decision('o', 1.0, infinity, 0.2), "re-measure: outside; interval open");
    EXPECT_EQ(
        sample_decision('i', none, none, 0.2, "level too high for the calibration set (needs 39)"),
        "re-measure: level too high for the calibration set (needs 39)");
    // For a lab: the domain's ranges beside "outside", not after the width.
    EXPECT_EQ(decision_reasons_text("re-measure: outside; too wide", "884–778 cm⁻¹"),
              "outside at 884–778 cm⁻¹; too wide");
    EXPECT_EQ(decision_reasons_text("re-measure: outside; too wide",
                                    "2379–2321 cm⁻¹ (CO₂); 616–551 cm⁻¹"),
              "outside at 2379–2321 cm⁻¹ (CO₂), 616–551 cm⁻¹; too wide");
    EXPECT_EQ(decision_reasons_text("re-measure: too wide", ""), "too wide");
    EXPECT_EQ(decision_reasons_text("re-measure: unknown domain; interval open", ""),
              "unknown domain; interval open");
    EXPECT_EQ(decision_reasons_text("accept", ""), "");
}

// Levels and tolerances as the command line and the window take them.
TEST(JobSummary, LevelsAndTolerancesAreReadWithCare) {
    EXPECT_EQ(parse_levels(""), std::vector<double>{0.95});
    EXPECT_EQ(parse_levels("0.9, 68%;0.95 0.9"), (std::vector<double>{0.9, 0.68, 0.95}));
    // Two levels the summary would give the same columns would be two pairs of "calibrated 5%";
    // a level whose two bounds would be named alike, one pair of "calibrated 50%".
    EXPECT_EQ(test::error_text([&] { parse_levels("0.9 0.9000001 0.95"); }),
              "The interval levels 0.9 and 0.9000001 would both be named \"calibrated 5%\" in the "
              "summary: give one of them.");
    EXPECT_EQ(parse_levels("0.9 0.90001"), (std::vector<double>{0.9, 0.90001}));
    EXPECT_EQ(test::error_text([&] { parse_levels("1e-9"); }),
              "The interval level \"1e-9\" is too close to 0: the summary would name both of its "
              "bounds \"calibrated 50%\". Give a level such as 0.5 or 0.9.");
    EXPECT_EQ(parse_tolerances("Carbon=0.2, pH=0.3"),
              (std::map<std::string, double>{{"Carbon", 0.2}, {"pH", 0.3}}));
    for (const char* bad : {"1", "0", "-0.5", "95", "0.9x", "nan", "%"}) {
        EXPECT_EQ(test::error_text([&] { parse_levels(bad); }),
                  "The interval level \"" + std::string(bad) +
                      "\" is not a number above 0 and below 1 (or a percentage, 90%).");
    }
    for (const char* bad : {"Carbon", "=0.2", "Carbon=0", "Carbon=-1", "Carbon=x"}) {
        EXPECT_NE(test::error_text([&] { parse_tolerances(bad); }).find("is not PROPERTY="),
                  std::string::npos)
            << bad;
    }
    EXPECT_EQ(test::error_text([&] { parse_tolerances("pH=0.2 pH=0.3"); }),
              "The tolerance of pH is given twice.");
    // Decimal commas, as a lab whose system writes them would type: the message says what went
    // wrong, where a list of plain items reads as before.
    EXPECT_EQ(parse_levels("0.9,0.68"), (std::vector<double>{0.9, 0.68}));
    EXPECT_EQ(test::error_text([&] { parse_levels("0,9"); }),
              "The interval level \"0\" is not a number above 0 and below 1 (or a percentage, "
              "90%). Decimals take a point (0.9, not 0,9); a comma separates items.");
    EXPECT_EQ(test::error_text([&] { parse_tolerances("Carbon=0,2"); }),
              "The tolerance \"Carbon=0\" is not PROPERTY=HALF_WIDTH with a half width above 0 "
              "(Carbon=0.2). Decimals take a point (0.9, not 0,9); a comma separates items.");
}

// The summary's later columns, written for two levels and read back: calibrated bounds by level,
// NA where a pair has none, the decision (NA without a tolerance) and the reason.
TEST(JobSummary, CalibratedColumnsDecisionsAndReasonsReadBack) {
    const test::TempDir dir;
    const std::string path = dir.file("s.csv");
    SummaryPart calibrated{"mir", "Carbon", {"a", "b"}, {}, 0.9, "first_der"};
    calibrated.statistics.means = {1.0, 2.0};
    calibrated.statistics.outside = {0, 1};
    const double open = std::numeric_limits<double>::infinity();
    calibrated.statistics.calibrated_low = {{0.5, 1.5}, {-open, 1.8}};
    calibrated.statistics.calibrated_high = {{1.5, 2.5}, {1.2, 2.2}};
    calibrated.r2_source = "cross-validation";
    calibrated.statistics.decisions = {"accept", "re-measure: outside"};
    calibrated.statistics.domain_reasons = {"", "2390–2280 cm⁻¹ (CO₂); 1640 cm⁻¹ (water)"};
    SummaryPart plain{"mir", "pH", {"a", "b"}, {}, std::nullopt, "first_der"};
    plain.statistics.means = {6.0, 7.0};
    {
        SummaryWriter writer(path, {0.9, 0.68});
        writer.write({calibrated, plain});
        writer.close();
    }
    const SummaryTable table = read_summary_file(path);
    EXPECT_EQ(table.levels, (std::vector<double>{0.9, 0.68}));
    ASSERT_EQ(table.rows.size(), 4u);
    EXPECT_EQ(table.rows[2].calibrated, (std::vector<double>{1.5, 2.5, 1.8, 2.2}));
    // An open bound is written as R writes it, and read back.
    EXPECT_EQ(table.rows[0].calibrated, (std::vector<double>{0.5, 1.5, -open, 1.2}));
    EXPECT_EQ(table.rows[0].r2_source, "cross-validation");
    EXPECT_EQ(table.rows[1].r2_source, "");
    EXPECT_EQ(table.rows[2].decision, "re-measure: outside");
    EXPECT_EQ(table.rows[2].domain_reason, "2390–2280 cm⁻¹ (CO₂); 1640 cm⁻¹ (water)");
    EXPECT_EQ(table.rows[0].domain_reason, "");
    EXPECT_EQ(table.rows[1].decision, "NA");
    EXPECT_TRUE(std::isnan(table.rows[3].calibrated[0]));
    const std::string text = test::read_file(path);
    EXPECT_EQ(text.substr(0, text.find('\n')),
              std::string(summary_header) + ",model preprocessing,calibrated 5%,calibrated 95%," +
                  "calibrated 16%,calibrated 84%,decision,domain reason,resampling,model R2 "
                  "from");
    // A summary of an earlier version, without them, reads as before.
    const SummaryTable old = parse_summary(
        std::string(summary_header) + "\ns,mir,pH,1,1,1,1,1,NA,NA,unknown,NA,NA,NA\n", "old.csv");
    EXPECT_TRUE(old.levels.empty());
    EXPECT_TRUE(old.rows[0].calibrated.empty());
    EXPECT_EQ(old.rows[0].decision, "");
}

} // namespace
} // namespace veldra
