#include "job/output_names.h"
#include "job/result_file.h"

#include "job/job_runner.h"
#include "job/job_summary.h"
#include "tests/support/held_open.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>
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

// Lines formatted on several threads, in blocks of any size (a block of more than one chunk of
// lines included), are the bytes and figures of one thread writing every sample at once.
TEST(ResultFile, ThreadsAndBlocksWriteTheSameBytesAndFigures) {
    TempDir dir;
    std::mt19937_64 random(9);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t draws = 30;
    const std::size_t samples = 170;
    PredictionMatrix matrix(draws, std::vector<double>(samples));
    std::vector<std::string> ids;
    for (std::size_t j = 0; j < samples; ++j) {
        ids.push_back("s" + std::to_string(j));
        for (std::size_t d = 0; d < draws; ++d) {
            matrix[d][j] = j % 17 == 3 && d == 5 ? std::nan("") : normal(random);
        }
    }
    struct Written {
        std::string bytes;
        PredictionSummary keep;
        PairStatistics statistics;
    };
    const auto written = [&](unsigned threads, std::size_t block) {
        Written out;
        out.keep.quantiles.assign(quantile_levels.size(), std::vector<double>());
        LoggerSet log;
        const std::string path = dir.file("out-" + std::to_string(threads) + ".csv");
        PredictionFileWriter writer(path, ",", draws, log);
        for (std::size_t first = 0; first < samples; first += block) {
            const std::size_t last = std::min(samples, first + block);
            PredictionMatrix part(draws);
            for (std::size_t d = 0; d < draws; ++d) {
                part[d].assign(matrix[d].begin() + static_cast<std::ptrdiff_t>(first),
                               matrix[d].begin() + static_cast<std::ptrdiff_t>(last));
            }
            const std::vector<std::string> part_ids(
                ids.begin() + static_cast<std::ptrdiff_t>(first),
                ids.begin() + static_cast<std::ptrdiff_t>(last));
            writer.write(part, part_ids, true, &out.keep, &out.statistics, threads);
        }
        writer.close();
        out.bytes = test::read_file(path);
        return out;
    };
    const Written one = written(1, samples);
    EXPECT_EQ(lines_of(one.bytes).size(), samples + 1);
    // NaN draws make figures NaN: compared as text.
    const auto text = [](const std::vector<double>& values) {
        std::ostringstream out;
        for (const double v : values) {
            out << v << ' ';
        }
        return out.str();
    };
    for (const auto& [threads, block] :
         std::vector<std::pair<unsigned, std::size_t>>{{3, samples}, {2, 70}, {0, 100}, {1, 1}}) {
        const Written other = written(threads, block);
        EXPECT_EQ(other.bytes, one.bytes) << threads << " threads, blocks of " << block;
        ASSERT_EQ(other.keep.draws_per_sample.size(), samples);
        for (std::size_t j = 0; j < samples; ++j) {
            EXPECT_EQ(text(other.keep.draws_per_sample[j]), text(one.keep.draws_per_sample[j]));
        }
        EXPECT_EQ(text(other.keep.means), text(one.keep.means));
        EXPECT_EQ(text(other.keep.standard_deviations), text(one.keep.standard_deviations));
        for (std::size_t k = 0; k < quantile_levels.size(); ++k) {
            EXPECT_EQ(text(other.keep.quantiles[k]), text(one.keep.quantiles[k])) << k;
        }
        EXPECT_EQ(text(other.statistics.low), text(one.statistics.low));
        EXPECT_EQ(text(other.statistics.median), text(one.statistics.median));
        EXPECT_EQ(text(other.statistics.high), text(one.statistics.high));
        EXPECT_EQ(text(other.statistics.means), text(one.statistics.means));
    }
    // The statistics are the file's quantiles at 2.5%, 50% and 97.5%.
    EXPECT_EQ(text(one.statistics.low), text(one.keep.quantiles[0]));
    EXPECT_EQ(text(one.statistics.median), text(one.keep.quantiles[3]));
    EXPECT_EQ(text(one.statistics.high), text(one.keep.quantiles[6]));
}

TEST(ResultFile, RecordsComeBeforeTheFileIsOpened) {
    TempDir dir;
    SpectraTable table{{"s1"}, {}, "", {}, {}, {}};
    const std::string path = dir.file("out.csv");
    LoggerSet log;
    {
        test::LogCapture seen(log, true, test::throw_int_on("Writing results to file: " + path));
        EXPECT_THROW(write_prediction_file(one_sample({1}), path, ",", table, false, log), int);
        EXPECT_EQ(seen.messages(), std::vector<std::string>{"Predictions complete."});
    }
    EXPECT_FALSE(boost::filesystem::exists(path)); // a stopped pair never writes half a file
}

TEST(ResultFile, Failures) {
    TempDir dir;
    SpectraTable table{{"s1"}, {}, "", {}, {}, {}};
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
              "File open failed: " + dir.file("no/such/folder/a.csv") + "\nThe folder '" +
                  dir.file("no/such/folder") +
                  "' does not exist (No such file or directory): create it or choose another.");
    // A full device: the writes fail, and that is an error, not a success.
    // (Under Wine the device fails without the system's cause: the first line alone.)
    const std::string full_device =
        error_of(PredictionMatrix(100, std::vector<double>(1, 1.0)), "/dev/full");
#if defined(_WIN32)
    EXPECT_EQ(full_device.substr(0, full_device.find('\n')), "Writing to file failed: /dev/full");
#else
    EXPECT_EQ(full_device, "Writing to file failed: /dev/full\nThe disk is full (No space left on "
                           "device): free some space or choose another disk.");
#endif
}

TEST(ResultFile, KeptBesideIsAFreeNameInTheSameFolder) {
    TempDir dir;
    EXPECT_EQ(kept_beside_path(dir.file("out-summary.csv")), dir.file("out-summary (new).csv"));
    dir.write("out-summary (new).csv", "earlier\n");
    dir.write("out-summary (new 2).csv", "earlier\n");
    EXPECT_EQ(kept_beside_path(dir.file("out-summary.csv")), dir.file("out-summary (new 3).csv"));
    EXPECT_EQ(kept_beside_path(dir.file("report")), dir.file("report (new)"));
}

// Windows keeps a file that another program holds open (a spreadsheet showing the last results)
// from being replaced; Linux does not, so these run in the Windows test build, under Wine.
TEST(ResultFile, AnOutputHeldOpenByAnotherProgramIsNamedAndTheNewFileKept) {
#if !defined(_WIN32)
    GTEST_SKIP() << "only Windows keeps an open file from being replaced";
#else
    TempDir dir;
    const std::string target = dir.write("out.csv", "old\n");
    JobSettings settings;
    settings.output_path = target;
    settings.spectrometer_types = {"mir"};
    settings.soil_properties = {"pH"};
    settings.summary = true;
    EXPECT_FALSE(file_held_open_elsewhere(target));
    EXPECT_EQ(job_output_in_use(settings, {}), "");
    {
        const test::HeldOpen held(target);
        ASSERT_TRUE(held.ok());
        EXPECT_TRUE(file_held_open_elsewhere(target));
        EXPECT_EQ(job_output_in_use(settings, {}),
                  "The output '" + target +
                      "' is open in another program: close it there, then start the job again.");
        // Held for longer than the wait: the complete file is kept beside it, and said so.
        ResultFileStream file(target);
        file.stream() << "new\n";
        try {
            file.close();
            ADD_FAILURE() << "a held file was reported replaced";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Writing to file failed: " + target +
                          "\nIt is open in another program; the new file is kept as '" +
                          dir.file("out (new).csv") + "'.");
        }
    }
    EXPECT_EQ(test::read_file(target), "old\n");
    EXPECT_EQ(test::read_file(dir.file("out (new).csv")), "new\n");

    // Let go within the wait (a virus scanner's look): the file takes its place.
    auto held = std::make_unique<test::HeldOpen>(target);
    ResultFileStream file(target);
    file.stream() << "newer\n";
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        held.reset();
    });
    file.close();
    release.join();
    EXPECT_EQ(test::read_file(target), "newer\n");
    std::size_t files = 0;
    for (boost::filesystem::directory_iterator it(dir.path()), end; it != end; ++it) {
        ++files;
    }
    EXPECT_EQ(files, 2u); // no partial file left behind
#endif
}

} // namespace
} // namespace veldra
