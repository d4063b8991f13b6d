#include "job/result_file.h"

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

// One sample's draws as a matrix (draws x 1 sample).
PredictionMatrix one_sample(const std::vector<double>& draws) {
    PredictionMatrix matrix;
    for (const double d : draws) {
        matrix.push_back({d});
    }
    return matrix;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
        fields.push_back(field);
    }
    return fields;
}

// Writes the matrix for samples s1, s2, ... and returns the file's lines.
std::vector<std::string> write(const TempDir& dir, const PredictionMatrix& matrix,
                               bool exponential = false, PredictionSummary* summary = nullptr) {
    SpectraTable table;
    for (std::size_t j = 0; j < matrix.front().size(); ++j) {
        table.ids.push_back("s" + std::to_string(j + 1));
    }
    LoggerSet log;
    const std::string path = dir.file("out.csv");
    PredictionSummary result;
    write_prediction_file(matrix, path, ",", table, exponential, log, &result);
    if (summary != nullptr) {
        *summary = result;
    }
    return lines_of(test::read_file(path));
}

TEST(ResultFile, HeaderStatisticsAndQuantilesOfThreeDraws) {
    TempDir dir;
    PredictionSummary summary;
    const auto lines = write(dir, one_sample({1, 2, 4}), false, &summary);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "SSN,draw 1,draw 2,draw 3,mean,std,2.5%,5%,10%,50%,90%,95%,97.5%");
    EXPECT_EQ(lines[1], "s1,1,2,4,2.33333,1.52753,1,1,1,2,4,4,4");
    EXPECT_EQ(summary.draws_per_sample, (std::vector<std::vector<double>>{{1, 2, 4}}));
    EXPECT_EQ(summary.samples_per_draw, (std::vector<std::vector<double>>{{1}, {2}, {4}}));
    EXPECT_EQ(summary.means, std::vector<double>{static_cast<double>(7.0f / 3.0f)});
    EXPECT_EQ(summary.quantiles.size(), 7u);
    EXPECT_EQ(summary.quantiles[3], std::vector<double>{2});
    EXPECT_EQ(summary.sample_ids, std::vector<std::string>{"s1"});
}

TEST(ResultFile, SinglePrecisionAccumulation) {
    TempDir dir;
    const auto fields = fields_of(write(dir, one_sample(std::vector<double>(1000, 0.1)))[1]);
    ASSERT_EQ(fields.size(), 1010u);
    EXPECT_EQ(fields[1001], "0.099999");
    const double sd = std::stod(fields[1002]);
    EXPECT_GT(sd, 9.0e-7);
    EXPECT_LT(sd, 1.0e-6);
}

TEST(ResultFile, SmallDrawCounts) {
    TempDir dir;
    // D = 2: the median is the larger value; D = 1: no standard deviation ("NA", not the
    // "-nan" of 0 / 0), every quantile the single draw.
    EXPECT_EQ(write(dir, one_sample({3, 1}))[1], "s1,3,1,2,1.41421,1,1,1,3,3,3,3");
    const auto single = fields_of(write(dir, one_sample({0.5}))[1]);
    ASSERT_EQ(single.size(), 11u);
    EXPECT_EQ(single[3], "NA");
    for (std::size_t k = 4; k < 11; ++k) {
        EXPECT_EQ(single[k], "0.5");
    }
}

TEST(ResultFile, QuantilesAreTruncatedIndicesIntoTheSortedDraws) {
    TempDir dir;
    std::mt19937 random(3);
    for (const std::size_t draws : {100u, 1000u}) {
        std::vector<double> values(draws);
        std::iota(values.begin(), values.end(), 0.0);
        std::shuffle(values.begin(), values.end(), random);
        PredictionSummary summary;
        write(dir, one_sample(values), false, &summary);
        std::vector<double> picked;
        for (const auto& level : summary.quantiles) {
            picked.push_back(level[0]);
        }
        const std::vector<double> expected =
            draws == 100 ? std::vector<double>{2, 5, 10, 50, 90, 95, 97}
                         : std::vector<double>{25, 50, 100, 500, 900, 950, 975};
        EXPECT_EQ(picked, expected);
    }
}

TEST(ResultFile, ExponentialBackTransformationComesBeforeTheStatistics) {
    TempDir dir;
    EXPECT_EQ(write(dir, one_sample({0, 1}), true)[1],
              "s1,1,2.71828,1.85914,1.21501,1,1,1,2.71828,2.71828,2.71828,2.71828");
}

TEST(ResultFile, EveryLineHasDrawsPlusTenFields) {
    TempDir dir;
    const PredictionMatrix matrix(7, std::vector<double>{1.5, -2.25, 1e-7, 123456789.0});
    const auto lines = write(dir, matrix);
    ASSERT_EQ(lines.size(), 5u);
    for (const std::string& line : lines) {
        EXPECT_EQ(fields_of(line).size(), 17u) << line;
    }
    EXPECT_EQ(fields_of(lines[3])[1], "1e-07");
    EXPECT_EQ(fields_of(lines[4])[1], "1.23457e+08");
}

TEST(ResultFile, NanDrawsSortLastInsteadOfBreakingTheSort) {
    TempDir dir;
    std::vector<double> draws(10, 1.0);
    draws[3] = std::nan("");
    draws[5] = 0.5;
    PredictionSummary summary;
    write(dir, one_sample(draws), false, &summary);
    EXPECT_EQ(summary.quantiles[0][0], 0.5);
    EXPECT_EQ(summary.quantiles[3][0], 1.0);
    EXPECT_TRUE(std::isnan(summary.quantiles[6][0])); // index 9 of 10: the NaN, last
}

TEST(ResultFile, RecordsComeBeforeTheFileIsOpened) {
    TempDir dir;
    SpectraTable table{{"s1"}, {}, "", {}, {}};
    const std::string path = dir.file("out.csv");
    LoggerSet log;
    {
        test::LogCapture seen(true, test::throw_int_on("Writing results to file: " + path));
        EXPECT_THROW(write_prediction_file(one_sample({1}), path, ",", table, false, log), int);
        EXPECT_EQ(seen.messages(), std::vector<std::string>{"Predictions complete."});
    }
    EXPECT_FALSE(boost::filesystem::exists(path)); // a stopped pair never writes half a file
}

TEST(ResultFile, Failures) {
    TempDir dir;
    SpectraTable table{{"s1"}, {}, "", {}, {}};
    LoggerSet log;
    const auto error_of = [&](const PredictionMatrix& matrix, const std::string& path) {
        try {
            write_prediction_file(matrix, path, ",", table, false, log);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error_of({}, dir.file("a.csv")), "Prediction matrix is empty");
    EXPECT_EQ(error_of(one_sample({1}), dir.file("no/such/folder/a.csv")),
              "File open failed: " + dir.file("no/such/folder/a.csv") + "\n");
    // A full device: the writes fail, and that is an error, not a success.
    EXPECT_EQ(error_of(PredictionMatrix(100, std::vector<double>(1, 1.0)), "/dev/full"),
              "Writing to file failed: /dev/full");
}

} // namespace
} // namespace veldra
