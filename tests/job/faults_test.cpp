// Jobs under faults of the file system: each ends in success or a clear message, every file
// listed as created is complete, and nothing half-written is reported as done.
#include "job/job_runner.h"
#include "job/result_file.h"
#include "job/staged_outputs.h"
#include "models/model_open.h"
#include "text/platform.h"
#include "tools/model_tree_generator.h"

#include "tests/support/error_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

// Runs a job; `hook` sees every record of its log (with `as_window`, those the window's sink
// passes, where a stop takes effect).
JobOutcome run(JobSettings settings, test::LogHook hook = {}, bool as_window = false) {
    LoggerSet log;
    const LogCapture capture(log, as_window, std::move(hook));
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
        // The system's own words, which differ between systems.
        {too_long, "The name is longer than the file system allows (" +
                       std::string(std::strerror(ENAMETOOLONG)) + "): choose a shorter one."}};
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
    EXPECT_EQ(outcome.message,
              "Writing to file failed: /dev/full\nThe disk is full (No space left on device): free "
              "some space or choose another disk.");
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
    // With its compiled model, the job predicts the model as it opened it: a draw file removed
    // afterwards changes nothing of this job (the next one reads the draws again).
    const std::string removed = models.dir.file("mir/pH/MCMC7.json");
    const std::string kept = test::read_file(removed);
    {
        const JobOutcome outcome =
            run(models.settings({"pH"}, output), at_first_forest([&] { fs::remove(removed); }));
        ASSERT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(test::read_file(models.dir.file("out-mir-pH.csv")), first_output);
        models.dir.write("mir/pH/MCMC7.json", kept);
    }
    // Without it, a file that disappears after the folder was listed is named: the second batch
    // of files is read after the first file's records, on one thread.
    {
        JobSettings settings = models.settings({"pH"}, output);
        settings.compiled_models = false;
        const JobOutcome outcome = run(settings, at_first_forest([&] { fs::remove(removed); }));
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(test::slashes(outcome.message), test::slashes(removed + ": cannot open file"));
    }
}

// A model's compiled forests are made by its first job and read by the next ones while its
// draws keep their names, sizes and times; the outputs are the same bytes either way. A
// compiled model that is damaged, or of draws since changed, is ignored and made again, and one
// that cannot be written beside the model goes to the user's cache.
TEST(Faults, CompiledModelsAreUsedOnlyWhileTheirDrawsAreAsTheyWere) {
    const Models models(6);
    const std::string output = models.dir.file("out.csv");
    const fs::path folder = models.dir.path() / "mir" / "pH";
    const fs::path compiled = compiled_model_file(folder);
    // The draw given garbage below has a time of whole seconds, which every system's file times
    // can be set back to exactly (on Windows the standard library sets only whole seconds).
    const std::string draw = (folder / "MCMC1.json").string();
    const auto time = std::chrono::time_point_cast<std::chrono::seconds>(
        std::filesystem::last_write_time(native_path(draw)));
    std::filesystem::last_write_time(native_path(draw), time);
    JobSettings draws_only = models.settings({"pH"}, output);
    draws_only.compiled_models = false;
    ASSERT_TRUE(run(draws_only).ok);
    EXPECT_FALSE(fs::exists(compiled));
    const std::string expected = test::read_file(models.dir.file("out-mir-pH.csv"));
    const auto predicted = [&] {
        const JobOutcome outcome = run(models.settings({"pH"}, output));
        EXPECT_TRUE(outcome.ok) << outcome.message;
        return test::read_file(models.dir.file("out-mir-pH.csv"));
    };
    EXPECT_EQ(predicted(), expected);
    ASSERT_TRUE(fs::exists(compiled));
    const std::string made = test::read_file(compiled.string());

    // Garbage of the same size and time in a draw file: the compiled forests are read, not it.
    const std::string kept = test::read_file(draw);
    models.dir.write("mir/pH/MCMC1.json", std::string(kept.size(), ' '));
    std::filesystem::last_write_time(native_path(draw), time);
    EXPECT_EQ(predicted(), expected);
    // A later time: the draws are read again, and the garbage is named.
    std::filesystem::last_write_time(native_path(draw), time + std::chrono::seconds(5));
    const JobOutcome changed = run(models.settings({"pH"}, output));
    EXPECT_FALSE(changed.ok);
    EXPECT_NE(test::slashes(changed.message).find(test::slashes(draw)), std::string::npos)
        << changed.message;
    models.dir.write("mir/pH/MCMC1.json", kept);
    EXPECT_EQ(predicted(), expected);

    // A damaged compiled model is ignored and made again.
    std::string damaged = test::read_file(compiled.string());
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 4);
    models.dir.write("mir/pH/" + compiled.filename().string(), damaged);
    EXPECT_EQ(predicted(), expected);
    EXPECT_NE(test::read_file(compiled.string()), damaged);
    EXPECT_EQ(test::read_file(compiled.string()).size(), made.size());

    // No place beside the model: the user's cache holds it.
    fs::remove(compiled);
    fs::create_directories(compiled);
    const std::string cached = compiled_model_cache_file(folder);
    EXPECT_EQ(predicted(), expected);
    if (!cached.empty()) {
        EXPECT_TRUE(fs::is_regular_file(cached)) << cached;
        EXPECT_EQ(predicted(), expected);
        fs::remove(cached);
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

// The outputs of a job of two pairs with a summary, and what each of two jobs (inputs of other
// values) writes there, to tell whose files a folder holds.
struct TwoJobs {
    const Models models{3};
    const std::string output = models.dir.file("out/out.csv");
    const std::vector<std::string> names = {models.dir.file("out/out-mir-pH.csv"),
                                            models.dir.file("out/out-mir-N.csv"),
                                            models.dir.file("out/out-summary.csv")};
    std::vector<std::string> first;
    std::vector<std::string> second;

    TwoJobs() {
        fs::create_directories(models.dir.path() / "out");
        first = written(settings(0.0));
        second = written(settings(0.5));
    }
    JobSettings settings(double offset) const {
        JobSettings s = models.settings({"pH", "N"}, output);
        s.csv_file =
            models.dir.write("in" + std::to_string(offset) + ".csv", Models::table(offset));
        s.summary = true;
        return s;
    }
    std::vector<std::string> written(const JobSettings& s) const {
        EXPECT_TRUE(run(s).ok);
        std::vector<std::string> texts;
        for (const std::string& name : names) {
            texts.push_back(test::read_file(name));
        }
        return texts;
    }
    // The first job's outputs alone, as before each try.
    void restore() const {
        fs::remove_all(models.dir.path() / "out");
        fs::create_directories(models.dir.path() / "out");
        for (std::size_t k = 0; k < names.size(); ++k) {
            models.dir.write("out/" + fs::path(names[k]).filename().string(), first[k]);
        }
    }
    // "" when every output name holds the first job's file, the second's or none, never files
    // of both; else what is mixed. With `complete`, the second job's files all.
    std::string mixed(bool complete) const {
        std::string whose;
        for (std::size_t k = 0; k < names.size(); ++k) {
            boost::system::error_code error;
            const std::string text =
                fs::exists(names[k], error) ? test::read_file(names[k]) : std::string("-");
            whose += text == first[k] ? 'A' : text == second[k] ? 'B' : text == "-" ? '-' : '?';
        }
        const bool ok =
            whose.find('?') == std::string::npos &&
            !(whose.find('A') != std::string::npos && whose.find('B') != std::string::npos) &&
            (!complete || whose == "BBB");
        return ok ? std::string() : whose;
    }
};

// A stop at every record of the second job (as Ctrl-C or the window's button stop it): the
// finished pairs' files stay complete, the first job's files under the other names are set aside,
// and no name ever holds a file of the other job; no lock is left behind.
TEST(Faults, AStopAtAnyMomentLeavesOneJobsOutputs) {
    const TwoJobs jobs;
    ASSERT_NE(jobs.first, jobs.second);
    std::size_t records = 0;
    jobs.restore();
    run(
        jobs.settings(0.5), [&](const test::LogRecord&) { ++records; }, true);
    ASSERT_GT(records, 5u);
    for (std::size_t k = 1; k <= records; ++k) {
        jobs.restore();
        std::size_t seen = 0;
        const JobOutcome outcome = run(
            jobs.settings(0.5),
            [&](const test::LogRecord&) {
                if (++seen == k) {
                    throw JobStop();
                }
            },
            true);
        EXPECT_TRUE(outcome.stopped_by_user) << k;
        EXPECT_EQ(jobs.mixed(false), "") << "stopped at record " << k;
        EXPECT_FALSE(fs::exists(OutputLock::path_of(jobs.output))) << k;
        for (const std::string& note : outcome.set_aside) {
            EXPECT_NE(note.find("(earlier)"), std::string::npos) << note;
        }
    }
}

#if !defined(_WIN32)
// A disk that fills at any point of the second job (a file size limit, as a full disk refuses
// the next write): the job fails saying so, and the folder holds one job's files.
TEST(Faults, ADiskFullAtAnyPointLeavesOneJobsOutputs) {
    const TwoJobs jobs;
    std::size_t largest = 0;
    for (const std::string& text : jobs.second) {
        largest = std::max(largest, text.size());
    }
    signal(SIGXFSZ, SIG_IGN); // a write past the limit fails instead of ending the process
    rlimit original{};
    getrlimit(RLIMIT_FSIZE, &original);
    std::size_t failures = 0;
    for (std::size_t limit = 64; limit <= largest + 64; limit += largest / 23 + 1) {
        jobs.restore();
        const JobSettings settings = jobs.settings(0.5); // its input written whole
        rlimit limited = original;
        limited.rlim_cur = static_cast<rlim_t>(limit);
        setrlimit(RLIMIT_FSIZE, &limited);
        const JobOutcome outcome = run(settings);
        setrlimit(RLIMIT_FSIZE, &original);
        if (!outcome.ok) {
            ++failures;
            EXPECT_EQ(outcome.message.rfind("Writing to file failed: ", 0), 0u) << outcome.message;
        }
        EXPECT_EQ(jobs.mixed(outcome.ok), "") << "limit " << limit << ": " << outcome.message;
    }
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_GT(failures, 5u);
}
#endif

// A second job on the same outputs while one runs is refused, naming the first's process, and
// leaves them as they are; a lock file left by a process that no longer runs (killed) holds no
// claim, nor does a lock folder of an earlier version.
TEST(Faults, TwoJobsOnTheSameOutputsDoNotMix) {
    const TwoJobs jobs;
    jobs.restore();
    const fs::path lock = OutputLock::path_of(jobs.output);
    {
        const OutputLock held(jobs.output);
        JobOutcome outcome = run(jobs.settings(0.5));
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.message, "Another job (process " + std::to_string(current_process_id()) +
                                       ") is writing '" + jobs.output +
                                       "' now: wait for it to end, or choose another output path.");
        EXPECT_EQ(jobs.mixed(false), "");
        EXPECT_EQ(test::read_file(jobs.names[2]), jobs.first[2]);
        EXPECT_TRUE(fs::exists(lock)); // the other job's lock is its own
    }
    EXPECT_FALSE(fs::exists(lock));
    // What a killed job leaves: the file, with its owner, but no lock on it.
    jobs.models.dir.write("out/" + lock.filename().string(), "2147483646 elsewhere\n");
    EXPECT_TRUE(run(jobs.settings(0.5)).ok);
    EXPECT_EQ(jobs.mixed(true), "");
    EXPECT_FALSE(fs::exists(lock));
    fs::create_directories(lock / "process");
    EXPECT_TRUE(run(jobs.settings(0.0)).ok);
    EXPECT_FALSE(fs::exists(lock));
}

#if !defined(_WIN32)
// A job killed while it writes leaves its partial files; the next job on those outputs removes
// them (its lock says no job of this machine writes there), and only them: a partial file of a
// process that runs, or of another output, stays.
TEST(Faults, PartialFilesOfAKilledJobAreRemovedByTheNext) {
    const TwoJobs jobs;
    jobs.restore();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        ResultFileStream file(jobs.names[0]);
        file.stream() << "half a line";
        file.stream().flush();
        const char byte = 1;
        static_cast<void>(write(ready[1], &byte, 1));
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    const auto partials = [&] {
        std::vector<std::string> found;
        for (const fs::directory_entry& entry :
             fs::directory_iterator(jobs.models.dir.path() / "out")) {
            const std::string name = entry.path().filename().string();
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) {
                found.push_back(name);
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    ASSERT_EQ(partials().size(), 1u);
    EXPECT_EQ(partials()[0].rfind(".out-mir-pH.csv." + std::to_string(writer) + "-", 0), 0u);
    jobs.models.dir.write("out/.out-summary.csv.a1b2c3d4.part", "an earlier version's");
    jobs.models.dir.write("out/.out-mir-N.csv.1-a1b2c3d4.part", "a running process's");
    jobs.models.dir.write("out/.other.csv.2147483646-a1b2c3d4.part", "another output's");
    EXPECT_TRUE(run(jobs.settings(0.5)).ok);
    EXPECT_EQ(partials(), (std::vector<std::string>{".other.csv.2147483646-a1b2c3d4.part",
                                                    ".out-mir-N.csv.1-a1b2c3d4.part"}));
}
#endif

#if !defined(_WIN32)
// Processes, not objects of one process: a holder that is killed lets the lock go with it, and of
// two processes taking one stale lock at the same moment, never both hold it at once (each one
// that takes it makes a marker file with O_EXCL while it holds it). Tried 20 times.
TEST(Faults, TheSystemReleasesALockAndNeverGivesItToTwo) {
    test::TempDir dir;
    const std::string output = dir.file("out.csv");
    const std::string lock = OutputLock::path_of(output);
    const std::string marker = dir.file("holding");
    // A child that takes the lock at `start` (steady clock), holds it 50 ms, and ends with 0
    // (held alone), 1 (refused) or 2 (held while another did too).
    const auto take_at = [&](std::chrono::steady_clock::time_point start) {
        std::this_thread::sleep_until(start);
        int code = 1;
        try {
            const OutputLock held(output);
            const int mark = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
            code = mark < 0 ? 2 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (mark >= 0) {
                close(mark);
                unlink(marker.c_str());
            }
        } catch (const std::exception&) {
            code = 1;
        }
        _exit(code); // the lock let go as a job lets it go
    };
    for (int round = 0; round < 20; ++round) {
        {
            std::ofstream stale(lock);
            stale << "2147483646 elsewhere\n";
        }
        const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        std::vector<pid_t> children;
        for (int c = 0; c < 2; ++c) {
            const pid_t child = fork();
            if (child == 0) {
                take_at(start);
            }
            children.push_back(child);
        }
        int held = 0;
        for (const pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            ASSERT_TRUE(WIFEXITED(status)) << round;
            ASSERT_NE(WEXITSTATUS(status), 2) << "both held the lock in round " << round;
            held += WEXITSTATUS(status) == 0 ? 1 : 0;
        }
        EXPECT_GE(held, 1) << round;
        EXPECT_FALSE(fs::exists(lock)) << round;
    }

    // A holder killed while it holds: the next job takes the lock at once.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const OutputLock held(output);
        const char byte = 1;
        static_cast<void>(write(ready[1], &byte, 1));
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_THROW(OutputLock{output}, std::runtime_error);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(fs::exists(lock)); // left behind, but not held
    EXPECT_NO_THROW(OutputLock{output});
    close(ready[0]);
    close(ready[1]);
}
#endif

} // namespace
} // namespace veldra
