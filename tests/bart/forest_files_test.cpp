#include "bart/forest_prediction.h"
#include "bart/model_document.h"
#include "tests/reference/reference_prediction.h"

#include "tests/support/error_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "tools/model_tree_generator.h"
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::error_text;
using test::LogCapture;
using test::TempDir;

// A document of one tree that is a single leaf: every row sums to `value`.
std::string constant_forest(double value) {
    return "{\"Tree\":1,\"T\":{\"Depth\":1,\"TBN\":\"110\",\"Mu\":" + std::to_string(value) + "}}";
}

TEST(ForestFiles, FilesComeInByteWiseOrderOfTheirPaths) {
    TempDir dir;
    dir.write("m/MCMC1.json", constant_forest(0.1));
    dir.write("m/MCMC2.json", constant_forest(0.2));
    dir.write("m/MCMC10.json", constant_forest(0.3));
    dir.write("m/MCMC100.json", constant_forest(0.4));
    LoggerSet log;
    const PredictionMatrix matrix = predict_from_forest_files(
        dir.file("m") + "/MCMC*.json", "json", {{1.0}, {2.0}}, RangeScaling{0, 1}, false, log);
    // 1, 10, 100, 2 with y = s + 0.5.
    ASSERT_EQ(matrix.size(), 4u);
    EXPECT_EQ(matrix[0], (std::vector<double>{0.6, 0.6}));
    EXPECT_EQ(matrix[1], (std::vector<double>{0.8, 0.8}));
    EXPECT_EQ(matrix[2], (std::vector<double>{0.9, 0.9}));
    EXPECT_EQ(matrix[3], (std::vector<double>{0.7, 0.7}));
}

TEST(ForestFiles, ThePatternMustMatchWholeNames) {
    TempDir dir;
    for (const char* name : {"MCMC1.json", "mcmc2.json", "MCMC3.json.bak", "MCMC4_json",
                             "xMCMC5.json", "MCMC.json", "json"}) {
        dir.write(std::string("m/") + name, constant_forest(0));
    }
    boost::filesystem::create_directories(dir.path() / "m" / "MCMC6.json");

    std::vector<std::string> names;
    for (const std::string& path : list_matching_files(dir.file("m") + "/MCMC*.json", "json")) {
        names.push_back(boost::filesystem::path(path).filename().string());
        EXPECT_EQ(test::slashes(path), test::slashes(dir.file("m") + "/" + names.back()));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"MCMC.json", "MCMC1.json", "MCMC6.json"}));

    // A path naming a folder lists it with the format word as the pattern.
    EXPECT_EQ(test::slashes(list_matching_files(dir.file("m"), "json")),
              std::vector<std::string>{test::slashes(dir.file("m") + "/json")});
}

TEST(ForestFiles, Errors) {
    TempDir dir;
    dir.write("m/other.txt", "x");
    dir.write("bad/MCMC1.json", "{\"Tree\":1,");
    LoggerSet log;
    const RangeScaling scaling{0, 1};
    const std::string missing = dir.file("none");

    // No rows is reported before the folder is looked at.
    EXPECT_EQ(error_text([&] {
                  predict_from_forest_files(missing + "/MCMC*.json", "json", {}, scaling, false,
                                            log);
              }),
              "indata is empty");
    EXPECT_EQ(error_text([&] {
                  predict_from_forest_files(missing + "/MCMC*.json", "json", {{1}}, scaling, false,
                                            log);
              }),
              "Directory `\"" + missing + "\"` not exists");
    EXPECT_EQ(error_text([&] {
                  predict_from_forest_files(dir.file("m") + "/MCMC*.json", "json", {{1}}, scaling,
                                            false, log);
              }),
              "No files found in '" + dir.file("m") + "/MCMC*.json' which match 'json'");
    const std::string parse_error = error_text([&] {
        predict_from_forest_files(dir.file("bad") + "/MCMC*.json", "json", {{1}}, scaling, false,
                                  log);
    });
    EXPECT_EQ(test::slashes(parse_error).rfind(test::slashes(dir.file("bad") + "/MCMC1.json("), 0),
              0u)
        << parse_error;
}

TEST(ForestFiles, PerFileRecordsAndInnerProgress) {
    TempDir dir;
    for (int k = 1; k <= 3; ++k) {
        dir.write("m/MCMC" + std::to_string(k) + ".json", constant_forest(0));
    }
    const SpectraRows rows(100, std::vector<double>{1.0, 2.0});
    LoggerSet log;
    LogCapture seen(log);
    const PredictionMatrix matrix =
        predict_from_forest_files(dir.file("m") + "/MCMC*.json", "json", rows, {0, 10}, true, log);
    ASSERT_EQ(matrix.size(), 3u);
    for (const auto& draw : matrix) {
        EXPECT_EQ(draw, std::vector<double>(100, 5.0));
    }
    EXPECT_EQ(log.inner_maximum, 2);
    EXPECT_EQ(log.inner_position, 2);

    const std::string line(45, '=');
    std::vector<std::string> expected;
    for (int k = 1; k <= 3; ++k) {
        expected.insert(expected.end(),
                        {line, "FOREST: " + dir.file("m") + "/MCMC" + std::to_string(k) + ".json",
                         line, "Number of predicted values: 100"});
    }
    EXPECT_EQ(test::slashes(seen.messages()), test::slashes(expected));
    for (const auto& record : seen.records) {
        EXPECT_EQ(record.severity, 0);
    }
}

} // namespace
} // namespace veldra

namespace veldra {
namespace {

// Generated forests over 60 covariates and rows of random spectra-like values.
struct GeneratedModel {
    TempDir dir;
    SpectraRows rows;
    explicit GeneratedModel(int files) {
        std::mt19937_64 random(5);
        for (int k = 1; k <= files; ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "m/MCMC%02d.json", k);
            dir.write(name, tools::make_forest_document(20, 60, random));
        }
        std::uniform_real_distribution<double> value(-0.03, 0.03);
        // Three blocks of rows of one length, then rows of several lengths (a forest tests at
        // most 60 covariates) in every block, the last one not full.
        rows.resize(45);
        for (std::size_t r = 0; r < rows.size(); ++r) {
            std::vector<double>& row = rows[r];
            row.resize(r < 24 ? 60 : 60 + r % 3);
            double level = 0.5;
            for (double& v : row) {
                level += value(random);
                v = level;
            }
        }
    }
    PredictionMatrix predict(bool derivative, const PredictionOptions& options) {
        LoggerSet log;
        return predict_from_forest_files(dir.file("m") + "/MCMC*.json", "json", rows, {-1, 3},
                                         derivative, log, options);
    }
};

TEST(ForestFiles, ThreadsAndReadersGiveTheSameMatrixAsOneForestAtATime) {
    GeneratedModel model(70); // several batches of files
    for (const bool derivative : {true, false}) {
        // One document at a time through the tree nodes, as the reference describes it.
        PredictionMatrix expected;
        for (int k = 1; k <= 70; ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "m/MCMC%02d.json", k);
            Forest forest;
            read_model_document_reference(model.dir.file(name), forest);
            forest.build_trees();
            expected.push_back(
                test::predict_with_built_forest(forest, model.rows, {-1, 3}, derivative));
        }
        for (const unsigned threads : {1u, 2u, 4u}) {
            EXPECT_EQ(model.predict(derivative, {threads}), expected)
                << threads << " threads, derivative " << derivative;
        }
        LoggerSet log;
        EXPECT_EQ(test::reference_predict_from_forest_files(model.dir.file("m") + "/MCMC*.json",
                                                            "json", model.rows, {-1, 3}, derivative,
                                                            log),
                  expected);
    }
}

TEST(ForestFiles, TheEarliestFailingFileIsReportedWhateverTheThreads) {
    GeneratedModel model(80);
    model.dir.write("m/MCMC37.json", R"({"Tree":1,"T":{"Depth":"x","Mu":1}})");
    model.dir.write("m/MCMC45.json", "{ not json");
    model.dir.write("m/MCMC79.json", R"({"Tree":1,"T":{"Depth":1,"TBN":"1"}})");
    for (const unsigned threads : {1u, 2u, 4u}) {
        LoggerSet log;
        test::LogCapture seen(log);
        try {
            predict_from_forest_files(model.dir.file("m") + "/MCMC*.json", "json", model.rows,
                                      {0, 1}, true, log, {threads});
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            // The reader's own "invalid stoi argument", in words a lab can act on.
            EXPECT_EQ(test::slashes(e.what()),
                      test::slashes("The model file \"" + model.dir.file("m") +
                                    "/MCMC37.json\" is damaged: it holds a number that is not "
                                    "one. Restore the model's folder from a copy, or train it "
                                    "again."));
        }
        // Records up to the failing file, in order.
        EXPECT_EQ(seen.records.size(), 37u * 4u) << threads;
        EXPECT_EQ(test::slashes(seen.messages()[4 * 36 + 1]),
                  test::slashes("FOREST: " + model.dir.file("m") + "/MCMC37.json"));
        EXPECT_EQ(log.inner_position, 36);
    }
}

// Forests kept for an input read in blocks: the matrix, records and errors of reading the files
// for every block, whatever the split of the rows and the threads.
TEST(HeldForests, BlocksOfRowsGiveTheMatrixOfTheFiles) {
    GeneratedModel model(70);
    const PredictionMatrix whole = model.predict(true, {2});
    for (const unsigned threads : {1u, 2u, 3u}) {
        const HeldForests held(model.dir.file("m") + "/MCMC*.json", "json", {threads});
        EXPECT_EQ(held.files(), 70u);
        EXPECT_GT(held.bytes(), 70u * sizeof(FlatForest));
        PredictionMatrix joined(70);
        for (std::size_t first = 0; first < model.rows.size(); first += 17) {
            const SpectraRows block(model.rows.begin() + static_cast<std::ptrdiff_t>(first),
                                    model.rows.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                             first + 17, model.rows.size())));
            LoggerSet log;
            LogCapture seen(log);
            const PredictionMatrix part =
                held.predict(block, {-1, 3}, true, log, first == 0, {threads});
            // The per-file records once, for the first block; later blocks only move the
            // progress.
            EXPECT_EQ(seen.records.size(), first == 0 ? 70u * 4u : 0u);
            EXPECT_EQ(log.inner_position, 69);
            ASSERT_EQ(part.size(), 70u);
            for (std::size_t f = 0; f < 70; ++f) {
                joined[f].insert(joined[f].end(), part[f].begin(), part[f].end());
            }
        }
        EXPECT_EQ(joined, whole) << threads;
    }
}

TEST(HeldForests, TheEarliestFailingFileIsReportedAsReadingWouldReportIt) {
    GeneratedModel model(40);
    // File 12 cannot be read; file 7 tests covariate 60, which a row of 30 values lacks.
    model.dir.write("m/MCMC12.json", "{ not json");
    const HeldForests held(model.dir.file("m") + "/MCMC*.json", "json", {2});
    const SpectraRows full(model.rows.begin(), model.rows.begin() + 3);
    const auto failure = [&](const SpectraRows& rows) {
        LoggerSet log;
        return error_text([&] { held.predict(rows, {0, 1}, false, log, true, {2}); });
    };
    LoggerSet log;
    const std::string expected = error_text([&] {
        predict_from_forest_files(model.dir.file("m") + "/MCMC*.json", "json", full, {0, 1}, false,
                                  log, {2});
    });
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(failure(full), expected);
    // A short row: the check of the first forest that needs more covariates comes first.
    const SpectraRows short_rows = {std::vector<double>(30, 0.5)};
    const std::string short_expected = error_text([&] {
        predict_from_forest_files(model.dir.file("m") + "/MCMC*.json", "json", short_rows, {0, 1},
                                  false, log, {2});
    });
    EXPECT_EQ(failure(short_rows), short_expected);
    EXPECT_NE(short_expected, expected);
}

} // namespace
} // namespace veldra
