// Jobs under faults of the file system: each ends in success or a clear message, every file
// listed as created is complete, and nothing half-written is reported as done.
#include "job/job_runner.h"
#include "tools/model_tree_generator.h"

#include "tests/support/error_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::LogCapture;
using test::TempDir;

constexpr int covariates = 40;

// Two properties of real (generated) forests, so outputs depend on the input's values.
struct Models {
    TempDir dir;
    explicit Models(int files) {
        std::mt19937_64 random(17);
        for (const char* folder : {"mir/pH", "mir/Total.Nitrogen"}) {
            dir.write(std::string(folder) + "/rgy.txt", "0 10\n");
            for (int k = 1; k <= files; ++k) {
                dir.write(std::string(folder) + "/MCMC" + std::to_string(k) + ".json",
                          tools::make_forest_document(5, covariates, random));
            }
        }
    }
    static std::string table(double offset) {
        std::string text = "SSN";
        for (int j = 0; j < covariates; ++j) {
            text += ",v" + std::to_string(j);
        }
        text += "\n";
        for (int i = 0; i < 5; ++i) {
            text += "s" + std::to_string(i);
            for (int j = 0; j < covariates; ++j) {
                text += "," + std::to_string(offset + 0.01 * (i * 7 + j % 5) - 0.02);
            }
            text += "\n";
        }
        return text;
    }
    JobSettings settings(const std::vector<std::string>& properties,
                         const std::string& output) const {
        JobSettings s;
        s.output_path = output;
        s.model_directory = dir.path();
        s.csv_file = dir.write("in.csv", table(0.0));
        s.opus_configuration_path = dir.file("opus.conf");
        s.exponential = false;
        s.transformation = Transformation::none;
        s.spectrometer_types = {"mir"};
        s.soil_properties = properties;
        s.threads = 1;
        return s;
    }
};

// Runs a job; `hook` sees every record of its log.
JobOutcome run(JobSettings settings, test::LogHook hook = {}) {
    LoggerSet log;
    const LogCapture capture(log, false, std::move(hook));
    JobProgress progress;
    return run_job(settings, log, progress);
}

// A hook that runs `action` once, at the first record that starts reading a forest file.
test::LogHook at_first_forest(std::function<void()> action) {
    return [action, done = false](const test::LogRecord& record) mutable {
        if (!done && record.message.rfind("FOREST: ", 0) == 0) {
            done = true;
            action();
        }
    };
}

TEST(Faults, OutputThatCannotBeWrittenGivesTheMessage) {
    const Models models(3);
    // The message, then its cause and what to do: a folder that does not exist, a "folder"
    // that is a file, a folder, a name longer than the file system takes.
    const std::string plain = models.dir.write("plain", "x");
    const std::string too_long = models.dir.file(std::string(300, 'n') + ".csv");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {models.dir.file("no/such/folder/out.csv"),
         "The folder '" + models.dir.file("no/such/folder") +
             "' does not exist (No such file or directory): create it or choose another."},
        {plain + "/out.csv",
         "'" + plain + "' is not a folder (Not a directory): choose a folder for the output."},
        {models.dir.path().string(),
         "'" + models.dir.path().string() + "' is a folder: name a file in it for the output."},
        {too_long, "The name is longer than the file system allows (File name too long): choose "
                   "a shorter one."}};
    for (const auto& [output, cause] : cases) {
        const JobOutcome outcome = run(models.settings({"pH"}, output));
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.message, "Cannot open outfile '" + output + "' for reading.\n" + cause);
    }
    // A name of 250 characters is one the file system takes: written, with nothing beside it.
    const std::string long_name = models.dir.file(std::string(246, 'l') + ".csv");
    EXPECT_TRUE(run(models.settings({"pH"}, long_name)).ok);
    EXPECT_TRUE(fs::exists(long_name));
    // A folder without write permission (the owner of every file, root, ignores permissions).
    const fs::path locked = models.dir.path() / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::owner_read | fs::owner_exe);
    const bool enforced = !std::ofstream((locked / "probe").string()).is_open();
    if (enforced) {
        const std::string output = (locked / "out.csv").string();
        EXPECT_EQ(run(models.settings({"pH"}, output)).message,
                  "Cannot open outfile '" + output + "' for reading.\nThe folder '" +
                      locked.string() +
                      "' cannot be written (Permission denied): choose another, or ask for the "
                      "right to write there.");
    }
    fs::permissions(locked, fs::owner_all);
}

TEST(Faults, AFullDiskIsAFailureNotASuccess) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    const Models models(3);
    const JobOutcome outcome = run(models.settings({"pH"}, "/dev/full"));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, "Writing to file failed: /dev/full");
}

TEST(Faults, ModelFilesDamagedOrRemovedDuringAJob) {
    // 200 files: in byte-wise order MCMC7 is the 168th, beyond the first batch a thread reads.
    const Models models(200);
    const std::string output = models.dir.file("out.csv");
    const JobOutcome clean = run(models.settings({"pH", "N"}, output));
    ASSERT_TRUE(clean.ok) << clean.message;
    const std::string first_output = test::read_file(models.dir.file("out-mir-pH.csv"));

    // The second property's model is damaged while the first one is predicted.
    const std::string damaged = models.dir.file("mir/Total.Nitrogen/MCMC7.json");
    {
        const JobOutcome outcome =
            run(models.settings({"pH", "N"}, output), at_first_forest([&] {
                    models.dir.write("mir/Total.Nitrogen/MCMC7.json", "{\"Tree\":1,\"T\":{\"Dep");
                }));
        EXPECT_FALSE(outcome.ok);
        EXPECT_NE(test::slashes(outcome.message).find(test::slashes(damaged)), std::string::npos)
            << outcome.message;
        EXPECT_EQ(test::read_file(models.dir.file("out-mir-pH.csv")), first_output);
    }
    // A file of the model being predicted disappears after the folder was listed: the second
    // batch of files is read after the first file's records, on one thread.
    const std::string removed = models.dir.file("mir/pH/MCMC7.json");
    {
        const JobOutcome outcome =
            run(models.settings({"pH"}, output), at_first_forest([&] { fs::remove(removed); }));
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(test::slashes(outcome.message), test::slashes(removed + ": cannot open file"));
    }
}

TEST(Faults, TheInputChangingDuringAJobHasNoEffect) {
    const Models models(4);
    const std::string output = models.dir.file("out.csv");
    ASSERT_TRUE(run(models.settings({"pH", "N"}, output)).ok);
    const std::string expected_ph = test::read_file(models.dir.file("out-mir-pH.csv"));
    const std::string expected_n = test::read_file(models.dir.file("out-mir-N.csv"));

    bool changed_during = false;
    const JobOutcome outcome = run(models.settings({"pH", "N"}, output), at_first_forest([&] {
                                       models.dir.write("in.csv", Models::table(0.5));
                                       changed_during = true;
                                   }));
    EXPECT_TRUE(changed_during);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(test::read_file(models.dir.file("out-mir-pH.csv")), expected_ph);
    EXPECT_EQ(test::read_file(models.dir.file("out-mir-N.csv")), expected_n);
    // The changed input does give other predictions: the comparison above means something.
    const JobSettings changed = models.settings({"pH", "N"}, output);
    models.dir.write("in.csv", Models::table(0.5));
    ASSERT_TRUE(run(changed).ok);
    EXPECT_NE(test::read_file(models.dir.file("out-mir-pH.csv")), expected_ph);
}

} // namespace
} // namespace veldra
