#include "job/job_runner.h"

#include "job/output_names.h"
#include "tests/support/error_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::LogCapture;
using test::TempDir;

// A model tree with constant forests: every draw of every model predicts range midpoint 5.
struct ModelTree {
    TempDir dir;
    ModelTree(const std::vector<std::string>& folders, int files) {
        for (const std::string& folder : folders) {
            dir.write(folder + "/rgy.txt", "0 10\n");
            for (int k = 1; k <= files; ++k) {
                dir.write(folder + "/MCMC" + std::to_string(k) + ".json",
                          R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":0}})");
            }
        }
    }
    JobSettings settings(std::vector<std::string> types, std::vector<std::string> properties) {
        JobSettings s;
        s.output_path = dir.file("out/result.csv");
        s.model_directory = dir.path();
        s.csv_file = dir.write("in.csv", "SSN,a,b\ns1,1,2\ns2,3,4\n");
        s.opus_configuration_path = dir.file("opus.conf");
        s.exponential = false;
        s.spectrometer_types = std::move(types);
        s.soil_properties = std::move(properties);
        fs::create_directories(dir.path() / "out");
        return s;
    }
};

TEST(JobRunner, OutputNamesForOneAndSeveralPairs) {
    EXPECT_EQ(pair_output_path("/data/out.csv", "mir", "Carbon", true), "/data/out.csv");
    using test::slashes;
    EXPECT_EQ(slashes(pair_output_path("/data/out.csv", "mir", "Carbon", false)),
              "/data/out-mir-Carbon.csv");
    EXPECT_EQ(pair_output_path("results", "mpa", "pH", false), "results-mpa-pH");
    EXPECT_EQ(slashes(pair_output_path("/data/results", "mpa", "N", false)), "/data/results-mpa-N");
    EXPECT_EQ(slashes(pair_output_path("/data/a.b.csv", "mir", "EC.S", false)),
              "/data/a.b-mir-EC.S.csv");
}

TEST(JobRunner, SuccessListsEveryFileAndReadsModelsByFolderName) {
    ModelTree tree({"mpa/pH", "mpa/Total.Nitrogen"}, 2);
    JobSettings settings = tree.settings({"mpa"}, {"pH", "N"});
    settings.output_path = tree.dir.file("out/results");
    LoggerSet log;
    JobProgress progress;
    const JobOutcome outcome = run_job(settings, log, progress);
    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_FALSE(outcome.stopped_by_user);
    EXPECT_EQ(test::slashes(outcome.message),
              test::slashes("Files created:\n  " + tree.dir.file("out/results-mpa-pH") + "\n  " +
                            tree.dir.file("out/results-mpa-N") + "\n"));
    EXPECT_NE(test::read_file(tree.dir.file("out/results-mpa-N")).find("\ns2,5,5,5,"),
              std::string::npos);
    // The input is held in memory after the first read.
    EXPECT_TRUE(settings.csv_file.empty());
    EXPECT_TRUE(settings.opus_configuration_path.empty());
    EXPECT_EQ(progress.outer_position, 2);

    // One pair: the output path itself.
    JobSettings one = tree.settings({"mpa"}, {"pH"});
    const JobOutcome single = run_job(one, log, progress);
    EXPECT_EQ(single.message, "Files created:\n  " + tree.dir.file("out/result.csv") + "\n");
}

// Samples named twice or not at all are predicted, each told once with where it stands, in
// blocks as in one.
TEST(JobRunner, SamplesNamedTwiceOrNotAtAllAreToldOnce) {
    ModelTree tree({"mpa/pH"}, 1);
    for (const std::size_t block : {std::size_t{0}, std::size_t{2}}) {
        JobSettings settings = tree.settings({"mpa"}, {"pH"});
        settings.csv_file =
            tree.dir.write("twice.csv", "SSN,a,b\ns1,1,2\n,3,4\ns2,5,6\ns1,7,8\n,9,9\ns2,1,1\n");
        settings.block_samples = block;
        LoggerSet log;
        LogCapture seen(log);
        JobProgress progress;
        const JobOutcome outcome = run_job(settings, log, progress);
        ASSERT_TRUE(outcome.ok) << outcome.message;
        std::vector<std::string> warnings;
        for (const std::string& message : seen.messages()) {
            if (message.rfind("Warning: ", 0) == 0) {
                warnings.push_back(message);
            }
        }
        EXPECT_EQ(warnings,
                  (std::vector<std::string>{
                      "Warning: sample 2 of the input has no identifier; its lines in the "
                      "outputs cannot be told from other unnamed samples'.",
                      "Warning: the input names \"s1\" twice (samples 1 and 4); both are "
                      "predicted, and their lines in the outputs share the name."}))
            << block;
        const std::string written = test::read_file(settings.output_path);
        EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 7);
    }
}

TEST(JobRunner, TheFirstErrorEndsTheJobAndLeavesFinishedFilesComplete) {
    ModelTree tree({"mir/Acidified.Carbon", "mir/m3.Ca"}, 1);
    fs::create_directories(tree.dir.path() / "mir" / "m3.Al"); // no range file
    JobSettings settings = tree.settings({"mir"}, {"Carbon", "Al", "Ca"});
    LoggerSet log;
    JobProgress progress;
    const JobOutcome outcome = run_job(settings, log, progress);
    EXPECT_FALSE(outcome.ok);
    EXPECT_FALSE(outcome.stopped_by_user);
    EXPECT_EQ(test::slashes(outcome.message),
              test::slashes("Cannot open rangefile '" + tree.dir.file("mir/m3.Al/rgy.txt") +
                            "' for reading.\nThe folder '" + tree.dir.file("mir/m3.Al") +
                            "' holds no range file (rgy.txt): it is not a complete model folder."));
    EXPECT_NE(test::read_file(tree.dir.file("out/result-mir-Carbon.csv")).find("s2,5,5,"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(tree.dir.file("out/result-mir-Al.csv")));
    EXPECT_FALSE(fs::exists(tree.dir.file("out/result-mir-Ca.csv")));
    EXPECT_EQ(test::slashes(outcome.created),
              test::slashes(std::vector<std::string>{tree.dir.file("out/result-mir-Carbon.csv")}));
}

TEST(JobRunner, StopsUnknownExceptionsEmptyListsAndEmptyInput) {
    ModelTree tree({"mir/pH"}, 1);
    LoggerSet log;
    JobProgress progress;
    {
        JobSettings settings = tree.settings({"mir"}, {"pH"});
        LogCapture stop(log, true, [](const test::LogRecord& record) {
            if (record.message == "Predictions complete.") {
                throw JobStop();
            }
        });
        const JobOutcome outcome = run_job(settings, log, progress);
        EXPECT_EQ(outcome.message, "Files created:\n");
        EXPECT_TRUE(outcome.stopped_by_user);
        EXPECT_FALSE(outcome.ok);
        // The stopped pair leaves no file, not even an empty one, and no partial file.
        EXPECT_FALSE(fs::exists(tree.dir.file("out/result.csv")));
        EXPECT_TRUE(fs::is_empty(tree.dir.path() / "out"));
        EXPECT_TRUE(outcome.created.empty());
    }
    {
        // A stop in the second pair: the first pair's file is complete and reported as created.
        ModelTree two({"mir/pH", "mir/Total.Nitrogen"}, 2);
        JobSettings settings = two.settings({"mir"}, {"pH", "N"});
        int starts = 0;
        LogCapture stop(log, true, [&](const test::LogRecord& record) {
            if (record.message == "Running prediction from list of json files" && ++starts == 2) {
                throw JobStop();
            }
        });
        const JobOutcome outcome = run_job(settings, log, progress);
        EXPECT_TRUE(outcome.stopped_by_user);
        EXPECT_EQ(test::slashes(outcome.created),
                  test::slashes(std::vector<std::string>{two.dir.file("out/result-mir-pH.csv")}));
        EXPECT_NE(test::read_file(two.dir.file("out/result-mir-pH.csv")).find("\ns2,"),
                  std::string::npos);
        EXPECT_FALSE(fs::exists(two.dir.file("out/result-mir-N.csv")));
    }
    {
        JobSettings settings = tree.settings({"mir"}, {"pH"});
        LogCapture odd(log, true, test::throw_int_on("Predictions complete."));
        const JobOutcome outcome = run_job(settings, log, progress);
        EXPECT_EQ(outcome.message, "Unknow exception catched");
        EXPECT_FALSE(outcome.stopped_by_user);
        EXPECT_FALSE(outcome.ok);
    }
    // No pair: the input is still read, and the job completes with no file.
    JobSettings none = tree.settings({"mir"}, {});
    const JobOutcome empty = run_job(none, log, progress);
    EXPECT_EQ(empty.message, "Files created:\n");
    EXPECT_TRUE(empty.ok);
    none = tree.settings({"mir"}, {});
    none.csv_file = tree.dir.file("missing.csv");
    EXPECT_EQ(run_job(none, log, progress).message,
              "Cannot open csv '" + tree.dir.file("missing.csv") + "' for reading.");
}

// Two jobs at once in one process, each with its own log and observer: the records of one never
// reach the other's observer, and stopping one leaves the other to finish.
TEST(JobRunner, TwoJobsOnTwoThreadsLogAndStopAlone) {
    ModelTree first_tree({"mir/pH"}, 40);
    ModelTree second_tree({"mir/pH"}, 40);
    JobSettings first = first_tree.settings({"mir"}, {"pH"});
    JobSettings second = second_tree.settings({"mir"}, {"pH"});
    LoggerSet first_log;
    LoggerSet second_log;
    JobProgress first_progress;
    JobProgress second_progress;
    std::atomic<bool> second_started{false};
    std::atomic<bool> first_stopped{false};
    // The first job stops at its first record once the second is under way; the second waits at
    // its first record until the first has stopped, so that both run at the same time.
    const auto wait_for = [](const std::atomic<bool>& flag) {
        for (int k = 0; k < 10000 && !flag.load(); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    LogCapture first_seen(first_log, true, [&](const test::LogRecord&) {
        wait_for(second_started);
        first_stopped.store(true);
        throw JobStop();
    });
    LogCapture second_seen(second_log, true, [&](const test::LogRecord&) {
        second_started.store(true);
        wait_for(first_stopped);
    });
    JobOutcome first_outcome;
    JobOutcome second_outcome;
    std::thread first_thread([&] { first_outcome = run_job(first, first_log, first_progress); });
    std::thread second_thread(
        [&] { second_outcome = run_job(second, second_log, second_progress); });
    first_thread.join();
    second_thread.join();

    EXPECT_TRUE(first_outcome.stopped_by_user);
    EXPECT_TRUE(first_outcome.created.empty());
    EXPECT_TRUE(second_outcome.ok) << second_outcome.message;
    EXPECT_FALSE(second_outcome.stopped_by_user);
    EXPECT_EQ(second_outcome.created.size(), 1u);
    EXPECT_TRUE(first_stopped.load());
    EXPECT_TRUE(first_seen.records.empty()); // the stopping record is not kept
    const std::vector<std::string> second_messages = second_seen.messages();
    ASSERT_FALSE(second_messages.empty());
    for (const std::string& message : second_messages) {
        EXPECT_EQ(message.find(first_tree.dir.path().string()), std::string::npos) << message;
    }
    EXPECT_NE(std::find(second_messages.begin(), second_messages.end(),
                        "Writing results to file: " + second_tree.dir.file("out/result.csv")),
              second_messages.end());
}

// Two pairs of five files (the documented example has 500): progress counts forest files.
TEST(JobRunner, ProgressInForestFiles) {
    ModelTree tree({"mir/pH", "mir/Total.Nitrogen"}, 5);
    JobSettings settings = tree.settings({"mir"}, {"pH", "N"});
    LoggerSet log;
    JobProgress progress;
    std::vector<std::pair<std::string, std::pair<int, int>>> seen;
    LogCapture sink(log, true, [&](const test::LogRecord& record) {
        seen.emplace_back(record.message, job_progress(progress, log));
    });
    ASSERT_TRUE(run_job(settings, log, progress).ok);
    ASSERT_EQ(seen.size(), 8u); // with the notices naming each model without a card
    using Step = std::pair<std::string, std::pair<int, int>>;
    EXPECT_EQ(seen[0], (Step{"Running prediction from list of json files", {1, 0}}));
    EXPECT_EQ(seen[1], (Step{"Predictions complete.", {9, 4}}));
    EXPECT_EQ(test::slashes(seen[3].first), test::slashes(no_card_notice(tree.dir.file("mir/pH"))));
    EXPECT_EQ(seen[3].second, std::make_pair(9, 4));
    // The second pair starts at half way, never back from the end of the first.
    EXPECT_EQ(seen[4], (Step{"Running prediction from list of json files", {9, 5}}));
    EXPECT_EQ(seen[5], (Step{"Predictions complete.", {9, 9}}));
    EXPECT_EQ(test::slashes(seen[7].first),
              test::slashes(no_card_notice(tree.dir.file("mir/Total.Nitrogen"))));
}

} // namespace
} // namespace veldra
