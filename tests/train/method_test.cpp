#include "input/csv_reader.h"
#include "job/prediction_driver.h"
#include "job/result_file.h"
#include "models/linear_part.h"
#include "models/model_card.h"
#include "models/model_digest.h"
#include "models/model_open.h"
#include "tests/support/temp_dir.h"
#include "text/first_derivative.h"
#include "train/method_choice.h"
#include "train/training.h"
#include "train/training_report_text.h"

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

constexpr int covariates = 16;

// Spectra whose slope follows one hidden variable and whose curvature another; the property is
// linear in the first and a step in the second, so that neither trees nor a linear model alone
// fit it best.
struct MixedLab {
    TempDir dir;
    explicit MixedLab(int samples) {
        std::mt19937_64 random(5);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::string spectra = "SSN";
        for (int j = 0; j < covariates; ++j) {
            spectra += ",wn" + std::to_string(4000 - 10 * j);
        }
        std::string targets = "SSN,Carbon\n";
        spectra += "\n";
        for (int i = 0; i < samples; ++i) {
            const double a = unit(random);
            const double b = unit(random);
            const std::string id = "s" + std::to_string(i);
            spectra += id;
            for (int j = 0; j < covariates; ++j) {
                const double x = j / 15.0;
                spectra += "," + std::to_string(0.2 + a * x + b * x * x + 0.02 * unit(random));
            }
            spectra += "\n";
            targets += id + "," + std::to_string(1.0 + 2.0 * a + (b > 0.5 ? 1.0 : 0.0)) + "\n";
        }
        dir.write("spectra.csv", spectra);
        dir.write("targets.csv", targets);
    }
    TrainingSettings settings(const std::string& models, std::vector<std::string> methods) const {
        TrainingSettings s;
        s.input.spectra = dir.file("spectra.csv");
        s.input.targets = dir.file("targets.csv");
        s.spectrometer_type = "mir";
        s.property = "Carbon";
        s.models = dir.path() / models;
        boost::filesystem::create_directories(s.models);
        s.bart.trees = 20;
        s.bart.burn_in = 60;
        s.bart.draws = 40;
        s.bart.seed = 3;
        s.cv_folds = 5;
        s.methods = std::move(methods);
        return s;
    }
};

std::string folder_of(const TrainingReport& report) {
    return report.folder.string();
}

// Every draw of every sample, as a job predicts the model in `folder` on the lab's spectra.
PredictionSummary predicted(const MixedLab& lab, const std::string& folder, bool log_model) {
    PairPrediction pair;
    pair.range_file = folder + "/rgy.txt";
    pair.forest_path = folder + "/MCMC*.json";
    pair.exponential = log_model;
    PredictionSummary summary;
    LoggerSet log;
    predict_pair(pair, read_spectra_csv(lab.dir.file("spectra.csv")), log, &summary);
    return summary;
}

std::vector<double> numbers_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<double> numbers;
    for (double x = 0; in >> x;) {
        numbers.push_back(x);
    }
    return numbers;
}

TEST(Methods, ABlendPredictsTheBlendOfItsPartsDrawByDraw) {
    for (const bool log_model : {false, true}) {
        MixedLab lab(70);
        LoggerSet log;
        TrainingSettings forests = lab.settings("alone", {"bart"});
        TrainingSettings blend = lab.settings("blend", {"blend"});
        forests.input.log = blend.input.log = log_model;
        const TrainingReport alone = train_model(forests, log);
        const TrainingReport blended = train_model(blend, log);
        ASSERT_EQ(blended.method, "blend");

        const std::optional<ModelCard> card = read_model_card(blended.folder);
        ASSERT_TRUE(card.has_value());
        const std::optional<LinearPart> part = read_linear_part(blended.folder, &*card);
        ASSERT_TRUE(part.has_value());
        EXPECT_EQ(card->method, "blend");
        EXPECT_EQ(*card->forest_weight, part->forest_weight);
        EXPECT_EQ(*card->pls_components, part->components);
        EXPECT_EQ(part->covariates.size(), static_cast<std::size_t>(covariates));
        // A model of the forests alone has neither the file nor the card's method.
        EXPECT_FALSE(read_linear_part(alone.folder, nullptr).has_value());
        EXPECT_TRUE(read_model_card(alone.folder)->method.empty());

        // The same seed fits the same forests; the blend's error spreads are theirs times the
        // factor its card records.
        const std::vector<double> sigma = numbers_of(folder_of(alone) + "/sigma.txt");
        const std::vector<double> wider = numbers_of(folder_of(blended) + "/sigma.txt");
        ASSERT_EQ(sigma.size(), wider.size());
        for (std::size_t d = 0; d < sigma.size(); ++d) {
            EXPECT_NEAR(wider[d], sigma[d] * *card->error_spread_factor, 1e-9 * sigma[d]);
        }

        const PredictionSummary a = predicted(lab, folder_of(alone), log_model);
        const PredictionSummary b = predicted(lab, folder_of(blended), log_model);
        const SpectraTable table = read_spectra_csv(lab.dir.file("spectra.csv"));
        const double w = part->forest_weight;
        ASSERT_EQ(a.draws_per_sample.size(), table.rows.size());
        // The parts' draws blended by hand, on the fitted scale, through the output's writer:
        // the blend model's quantiles.
        PredictionMatrix by_hand(a.draws_per_sample.front().size(),
                                 std::vector<double>(table.rows.size()));
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            std::vector<double> x(covariates);
            first_derivative(table.rows[i].data(), covariates, x.data());
            for (std::size_t d = 0; d < by_hand.size(); ++d) {
                const double forest =
                    log_model ? std::log(a.draws_per_sample[i][d]) : a.draws_per_sample[i][d];
                by_hand[d][i] = w * forest + (1.0 - w) * part->predict(x.data());
            }
        }
        PredictionSummary written;
        written.quantiles.assign(quantile_levels.size(), std::vector<double>());
        PredictionFileWriter("", ",", by_hand.size(), log)
            .write(by_hand, table.ids, log_model, &written, nullptr);
        for (std::size_t k = 0; k < quantile_levels.size(); ++k) {
            for (std::size_t i = 0; i < table.rows.size(); ++i) {
                EXPECT_NEAR(b.quantiles[k][i], written.quantiles[k][i],
                            1e-6 * std::abs(written.quantiles[k][i]))
                    << k << " " << i;
            }
        }
        for (std::size_t i = 0; i < table.rows.size(); ++i) {
            std::vector<double> x(covariates);
            first_derivative(table.rows[i].data(), covariates, x.data());
            const double linear = part->predict(x.data());
            double mean = 0.0;
            for (std::size_t d = 0; d < a.draws_per_sample[i].size(); ++d) {
                const double forest =
                    log_model ? std::log(a.draws_per_sample[i][d]) : a.draws_per_sample[i][d];
                const double expected = w * forest + (1.0 - w) * linear;
                const double value = log_model ? std::exp(expected) : expected;
                EXPECT_NEAR(b.draws_per_sample[i][d], value, 1e-12 * std::abs(value)) << i;
                mean += b.draws_per_sample[i][d];
            }
            mean /= static_cast<double>(b.draws_per_sample[i].size());
            EXPECT_NEAR(b.means[i], mean, 1e-6 * std::abs(mean)); // kept as float
        }
    }
}

// The candidate the documented rule keeps among methods, "blend" being the default.
std::size_t kept(const std::vector<MethodChoice>& choices) {
    const std::size_t fallback = 2;
    std::size_t best = fallback;
    bool any = false;
    for (std::size_t c = 0; c < choices.size(); ++c) {
        const PairedDifference d = paired_difference(choices[fallback].scores, choices[c].scores);
        if (c != fallback && d.mean > d.standard_error &&
            (!any || choices[c].accuracy.interval_score < choices[best].accuracy.interval_score)) {
            best = c;
            any = true;
        }
    }
    return best;
}

TEST(Methods, AutoComparesEveryMethodOnTheSameFolds) {
    MixedLab lab(80);
    LoggerSet log;
    const TrainingReport forests = train_model(lab.settings("alone", {"bart"}), log);
    const TrainingReport linear = train_model(lab.settings("linear", {"pls"}), log);
    const TrainingReport report = train_model(lab.settings("auto", {"auto"}), log);
    ASSERT_EQ(report.method_choices.size(), 3u);
    EXPECT_EQ(report.method_choices[0].method, "bart");
    EXPECT_EQ(report.method_choices[1].method, "pls");
    EXPECT_EQ(report.method_choices[2].method, "blend");
    // The same folds and seeds: each candidate's figures are those of that method trained alone.
    EXPECT_EQ(report.method_choices[0].accuracy.rmse, forests.cross_validation->accuracy.rmse);
    EXPECT_EQ(report.method_choices[1].accuracy.rmse, linear.cross_validation->accuracy.rmse);
    EXPECT_EQ(report.method_choices[1].forest_weight, 0.0);
    // The linear part and the trees each miss what the other sees: their blend is more accurate
    // out of fold than either.
    const double blend_rmse = report.method_choices[2].accuracy.rmse;
    EXPECT_LT(blend_rmse, report.method_choices[0].accuracy.rmse);
    EXPECT_LT(blend_rmse, report.method_choices[1].accuracy.rmse);
    const MethodChoice& chosen = report.method_choices[kept(report.method_choices)];
    EXPECT_EQ(report.method, chosen.method);
    EXPECT_EQ(report.cross_validation->accuracy.interval_score, chosen.accuracy.interval_score);

    const ModelCard card = *read_model_card(report.folder);
    EXPECT_EQ(card.method, report.method);
    ASSERT_EQ(card.method_candidates.size(), 3u);
    EXPECT_EQ(card.method_candidates[2].forest_weight, report.method_choices[2].forest_weight);
    EXPECT_NE(card.method_rule.find("the default (blend)"), std::string::npos);
    const std::string text = training_report_text(report);
    for (const char* line : {"bart       1.0", "pls        0.0", "blend  "}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
}

TEST(Methods, TheWeightIsTheOneOfElevenWithTheLowestOutOfFoldError) {
    CrossValidation cv;
    cv.ids = {"a", "b", "c", "d"};
    cv.observed = {1.0, 2.0, 3.0, 4.0};
    cv.draws = {{1.0, 1.0}, {2.0, 2.0}, {3.0, 3.0}, {4.0, 4.0}};
    const std::vector<double> off{1.5, 1.5, 3.5, 3.5};
    EXPECT_EQ(blend_weight(cv, off, false), 1.0); // the forests are exact
    cv.draws = {{1.5, 1.5}, {1.5, 1.5}, {3.5, 3.5}, {3.5, 3.5}};
    EXPECT_EQ(blend_weight(cv, cv.observed, false), 0.0); // the linear part is
    // Errors of opposite signs cancel halfway; on the log scale for a model of log(y).
    cv.draws = {{0.5}, {1.5}, {2.5}, {3.5}};
    EXPECT_NEAR(blend_weight(cv, {1.5, 2.5, 3.5, 4.5}, false), 0.5, 1e-12);
    cv.draws = {{std::log(1.0) - 0.2}, {std::log(2.0) - 0.2}, {std::log(3.0)}, {std::log(4.0)}};
    EXPECT_NEAR(blend_weight(cv, {0.2, std::log(2.0) + 0.2, std::log(3.0), std::log(4.0)}, true),
                0.5, 1e-12);
    // A sample no fold left out does not count.
    cv.draws[0].clear();
    EXPECT_NEAR(blend_weight(cv, {1e9, std::log(2.0) + 0.2, std::log(3.0), std::log(4.0)}, true),
                0.5, 1e-12);
}

std::string training_error(const TrainingSettings& settings) {
    LoggerSet log;
    try {
        train_model(settings, log);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

TEST(Methods, RefusedWhereTheyCannotWorkAndCheckedWhenOpened) {
    MixedLab lab(40);
    TrainingSettings blend = lab.settings("m", {"blend"});
    blend.cv_folds = 0;
    EXPECT_EQ(training_error(blend),
              "The blend's weight is chosen by cross-validation: give --cv K or --folds.");
    blend.methods = {"bart", "pls"};
    EXPECT_EQ(training_error(blend),
              "Choosing the method among several needs cross-validation: give --cv K or --folds.");
    blend.methods = {"ridge"};
    EXPECT_EQ(training_error(blend), "Unknown method 'ridge': choose bart, pls, blend or auto.");
    blend.methods = {"pls"}; // needs no cross-validation of its own
    LoggerSet log;
    const TrainingReport report = train_model(blend, log);
    EXPECT_EQ(report.method, "pls");
    EXPECT_EQ(report.forest_weight, 0.0);

    // The model's linear part is checked against its card and covered by its digest.
    const std::string file = folder_of(report) + "/" + linear_file_name;
    const std::string original = test::read_file(file);
    const ModelCard card = *read_model_card(report.folder);
    EXPECT_TRUE(model_changes(report.folder, card).empty());
    std::string changed = original;
    changed.replace(changed.find("\"intercept\": "), 13, "\"intercept\": 1");
    lab.dir.write("m/mir/Acidified.Carbon/linear.json", changed);
    EXPECT_EQ(model_changes(report.folder, card), std::vector<std::string>{"linear.json"});
    const auto open_error = [&](const std::string& text) {
        lab.dir.write("m/mir/Acidified.Carbon/linear.json", text);
        try {
            open_model(report.folder);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    std::string fewer = original;
    fewer.replace(fewer.find("\"wn4000\","), 9, "");
    EXPECT_NE(open_error(fewer).find("has not as many covariate names as coefficients"),
              std::string::npos);
    std::string blended = original;
    blended.replace(blended.find("\"method\": \"pls\""), 15, "\"method\": \"blend\"");
    EXPECT_NE(open_error(blended).find("is of the method \"blend\", but the card says \"pls\""),
              std::string::npos);
    std::string infinite = original;
    infinite.replace(infinite.find("\"intercept\": "), 13, "\"intercept\": null, \"x\": ");
    EXPECT_NE(open_error(infinite).find("has no finite number \"intercept\""), std::string::npos);
    boost::filesystem::remove(file);
    try {
        open_model(report.folder);
        ADD_FAILURE() << "a model without its linear part opened";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("has lost its linear part \"linear.json\""),
                  std::string::npos);
    }
}

} // namespace
} // namespace veldra
