#include "cli/predict_command.h"
#include "job/job_record.h"

#include "input/csv_reader.h"
#include "input/input_dispatch.h"
#include "job/job_runner.h"
#include "job/job_summary.h"
#include "models/model_card.h"
#include "models/model_layout.h"
#include "tests/support/error_text.h"
#include "tests/support/held_open.h"
#include "tests/support/temp_dir.h"
#include "text/platform.h"
#include "tools/model_tree_generator.h"
#include "tools/opus_writer.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#if defined(__has_feature)
#define ADDRESS_SANITIZED __has_feature(address_sanitizer)
#else
#define ADDRESS_SANITIZED 0
#endif

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

struct Result {
    int code;
    std::string out;
    std::string err;
};

// A model tree of every type and property (small forests) and a CSV input on the mir grid.
class PredictCommand : public testing::Test {
protected:
    static void SetUpTestSuite() {
        tree = new TempDir;
        tools::ModelTreeOptions options;
        options.draws = 3;
        options.trees = 8;
        tools::write_model_tree(tree->path() / "models", options);
        tools::write_example_spectra(tree->file("in.csv"), tools::grid_of_spectrometer("mir"), 4,
                                     2);
    }
    static void TearDownTestSuite() { delete tree; }

    Result run(std::vector<std::string> arguments, bool stop = false, bool terminal = false) {
        arguments.insert(arguments.begin(), "veldra-predict");
        std::ostringstream out;
        std::ostringstream err;
        const std::atomic<bool> stop_flag{stop};
        const int code = run_predict_command(arguments, out, err, stop_flag, terminal);
        return {code, out.str(), err.str()};
    }
    std::string models() const { return tree->file("models"); }
    std::string input() const { return tree->file("in.csv"); }

    static TempDir* tree;
    TempDir dir;
};
TempDir* PredictCommand::tree = nullptr;

TEST_F(PredictCommand, PredictsEveryPairAndListsTheFiles) {
    // Types outside, properties inside, each in the window's fixed order.
    const Result ok =
        run({"--input", input(), "--models", models(), "--property", "pH", "--property", "Carbon",
             "--spectrometer", "mpa", "--spectrometer", "mir", "--output", dir.file("out.csv")});
    ASSERT_EQ(ok.code, exit_success) << ok.err;
    EXPECT_EQ(ok.out, "Files created:\n  " + dir.file("out-mir-Carbon.csv") + "\n  " +
                          dir.file("out-mir-pH.csv") + "\n  " + dir.file("out-mpa-Carbon.csv") +
                          "\n  " + dir.file("out-mpa-pH.csv") + "\n  " +
                          dir.file("out-summary.csv") + "\n");
    EXPECT_NE(ok.err.find("Running prediction from list of json files\n"), std::string::npos);
    EXPECT_NE(ok.err.find("progress: "), std::string::npos);
    // The demonstration models are named as such, once.
    const std::string warning = std::string(demonstration_warning) + "\n";
    ASSERT_NE(ok.err.find(warning), std::string::npos);
    EXPECT_EQ(ok.err.find(warning, ok.err.find(warning) + 1), std::string::npos);

    // The summary: a row per sample and pair, in the job's order, with the figures of the
    // pair's file; predictive bounds from "sigma.txt", no domain, no R2 for a demonstration.
    std::istringstream summary(test::read_file(dir.file("out-summary.csv")));
    std::string line;
    std::getline(summary, line);
    EXPECT_EQ(line, std::string(summary_header) + "," + summary_preprocessing_column +
                        ",calibrated 2.5%,calibrated 97.5%,decision,domain reason,resampling,"
                        "model R2 from");
    const SpectraTable table = read_spectra_csv(input());
    std::size_t rows = 0;
    while (std::getline(summary, line)) {
        // Sample after sample, each with one line per pair in the job's order.
        const std::size_t pair = rows % 4;
        const std::size_t sample = rows / 4;
        const char* names[] = {"mir-Carbon", "mir-pH", "mpa-Carbon", "mpa-pH"};
        ASSERT_LT(sample, table.ids.size());
        const std::vector<std::string> fields = split_csv_fields(line);
        ASSERT_EQ(fields.size(), 21u) << line;
        EXPECT_EQ(fields[0], table.ids[sample]);
        EXPECT_EQ(fields[14], "first_der"); // demonstration models take the job's transformation
        // Not cross-validated, so not calibrated; no tolerance, no decision; no domain, no
        // reason; on the models' grid; no R2 to say the source of.
        EXPECT_EQ(std::vector<std::string>(fields.begin() + 15, fields.end()),
                  (std::vector<std::string>{"NA", "NA", "NA", "", "", ""}));
        EXPECT_EQ(fields[1] + "-" + fields[2], names[pair]);
        // mean, std, 2.5%, 50%, 97.5% as the pair's own file has them.
        std::istringstream file(
            test::read_file(dir.file(std::string("out-") + names[pair] + ".csv")));
        std::string row;
        for (std::size_t k = 0; k <= sample + 1; ++k) {
            std::getline(file, row);
        }
        const std::vector<std::string> written = split_csv_fields(row);
        const std::size_t mean = written.size() - 9;
        EXPECT_EQ((std::vector<std::string>{fields[3], fields[4], fields[5], fields[6], fields[7]}),
                  (std::vector<std::string>{written[mean], written[mean + 1], written[mean + 2],
                                            written[mean + 5], written[mean + 8]}));
        EXPECT_LE(std::stod(fields[8]), std::stod(fields[9]));
        EXPECT_EQ((std::vector<std::string>{fields[10], fields[11], fields[12], fields[13]}),
                  (std::vector<std::string>{"unknown", "NA", "NA", "NA"}));
        ++rows;
    }
    EXPECT_EQ(rows, 4 * table.ids.size());

    // More shards than samples: stopped before any work, saying why.
    const Result too_many = run({"--input", input(), "--models", models(), "--property", "pH",
                                 "--output", dir.file("s.csv"), "--shard", "1/9", "--quiet"});
    EXPECT_EQ(too_many.code, exit_failure);
    EXPECT_EQ(too_many.err, "The input holds 4 samples: 9 shards would leave some empty; use at "
                            "most 4.\n");

    const Result without = run({"--input", input(), "--models", models(), "--property", "pH",
                                "--output", dir.file("bare.csv"), "--no-summary", "--quiet"});
    EXPECT_EQ(without.out, "Files created:\n  " + dir.file("bare.csv") + "\n");
    EXPECT_FALSE(fs::exists(dir.file("bare-summary.csv")));
}

TEST_F(PredictCommand, OutputFilesEqualTheWindowJobsByteForByte) {
    for (const auto& [transform, exponential] :
         std::vector<std::pair<std::string, std::string>>{{"first_der", "yes"}, {"none", "no"}}) {
        const Result result =
            run({"--input", input(), "--models", models(), "--property", "all", "--transform",
                 transform, "--exp", exponential, "--output", dir.file("cli.csv"), "--quiet"});
        ASSERT_EQ(result.code, exit_success) << result.err;

        JobSettings settings; // as the window fills them
        settings.output_path = dir.file("window.csv");
        settings.model_directory = models();
        settings.csv_file = input();
        settings.opus_configuration_path = (fs::path(models()) / "opus.conf").string();
        settings.exponential = exponential == "yes";
        settings.spectrometer_types = {"mir"};
        settings.soil_properties = soil_properties();
        settings.transformation = *transformation_from_text(transform);
        LoggerSet log;
        JobProgress progress;
        ASSERT_TRUE(run_job(settings, log, progress).ok);
        for (const std::string& property : soil_properties()) {
            const std::string suffix = "-mir-" + property + ".csv";
            const std::string cli = test::read_file(dir.file("cli" + suffix));
            ASSERT_FALSE(cli.empty()) << property;
            EXPECT_EQ(cli, test::read_file(dir.file("window" + suffix))) << property;
        }
    }
    // The transformation and the back-transformation do change the numbers.
    EXPECT_NE(test::read_file(dir.file("cli-mir-pH.csv")),
              (run({"--input", input(), "--models", models(), "--property", "pH", "--output",
                    dir.file("other.csv"), "--quiet"}),
               test::read_file(dir.file("other.csv"))));
}

TEST_F(PredictCommand, ProgressBarOnATerminal) {
    const Result result = run({"--input", input(), "--models", models(), "--property", "pH",
                               "--output", dir.file("bar.csv")},
                              false, true);
    ASSERT_EQ(result.code, exit_success) << result.err;
    // Log lines clear the bar, the bar is redrawn after them, and the job leaves the line empty.
    EXPECT_NE(result.err.find("\r["), std::string::npos);
    EXPECT_NE(result.err.find("] 100%  pair 1/1"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("\r\033[KPredictions complete.\n"), std::string::npos);
    EXPECT_EQ(result.err.substr(result.err.size() - 4), "\r\033[K");
    EXPECT_EQ(result.err.find("progress: "), std::string::npos);
}

TEST_F(PredictCommand, OneTwoAndFourThreadsAndEveryBlockSizeWriteTheSameBytes) {
    const std::vector<std::vector<std::string>> runs = {{"--threads", "1"},
                                                        {"--threads", "2"},
                                                        {"--threads", "4"},
                                                        {"--block", "3"},
                                                        {"--block", "7", "--threads", "1"}};
    for (std::size_t k = 0; k < runs.size(); ++k) {
        std::vector<std::string> arguments = {
            "--input",    input(),
            "--models",   models(),
            "--property", "Carbon",
            "--property", "pH",
            "--output",   dir.file("t" + std::to_string(k) + ".csv"),
            "--quiet"};
        arguments.insert(arguments.end(), runs[k].begin(), runs[k].end());
        const Result result = run(arguments);
        ASSERT_EQ(result.code, exit_success) << result.err;
    }
    // The predictive bounds too: their normal numbers depend on the sample and the draw only.
    for (const char* suffix : {"-mir-Carbon.csv", "-mir-pH.csv", "-summary.csv"}) {
        const std::string one = test::read_file(dir.file(std::string("t0") + suffix));
        EXPECT_NE(one.find("\n"), std::string::npos);
        for (std::size_t k = 1; k < runs.size(); ++k) {
            EXPECT_EQ(test::read_file(dir.file("t" + std::to_string(k) + suffix)), one)
                << k << suffix;
        }
    }
    EXPECT_EQ(run({"--input", input(), "--property", "pH", "--threads", "-1", "--output",
                   tree->file("o")})
                  .code,
              exit_usage);
}

// Outputs that would overwrite the input, a model or another file the job reads, or one another,
// are refused before any work, naming both paths, and what the job reads is left as it was.
TEST_F(PredictCommand, OutputsThatClashWithTheInputOrEachOtherAreRefused) {
    const std::string copy = dir.write("victim.csv", test::read_file(input()));
    const std::string twisted = dir.file("sub/../victim.csv");
    boost::filesystem::create_directories(dir.path() / "sub");
    const std::string range = models() + "/mir/pH/rgy.txt";
    const std::string range_bytes = test::read_file(range);
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--property", "pH", "--output", copy},
         "The output '" + copy + "' is the job's input '" + copy + "'"},
        {{"--property", "pH", "--output", twisted},
         "The output '" + twisted + "' is the job's input '" + copy + "'"},
        {{"--property", "pH", "--output", dir.file("o.csv"), "--write-spectra", copy},
         "The output '" + copy + "' is the job's input '" + copy + "'"},
        {{"--property", "pH", "--output", dir.file("o.csv"), "--write-spectra",
          dir.file("o-summary.csv")},
         "The outputs '" + dir.file("o-summary.csv") + "' and '" + dir.file("o-summary.csv") +
             "' are the same file"},
        {{"--property", "pH", "--property", "N", "--output", dir.file("o.csv"), "--write-spectra",
          dir.file("o-mir-N.csv")},
         "The outputs '" + dir.file("o-mir-N.csv") + "' and '" + dir.file("o-mir-N.csv") +
             "' are the same file"},
        // A file of a model the job uses; even a new file there could pass for part of it.
        {{"--property", "pH", "--output", range},
         "The output '" + range + "' is in the model folder '" + models() +
             "/mir/pH', which the job reads: choose another output path."},
        {{"--property", "pH", "--property", "N", "--output",
          models() + "/mir/Total.Nitrogen/new.csv"},
         "The output '" + models() +
             "/mir/Total.Nitrogen/new-mir-pH.csv' is in the model folder '" + models() +
             "/mir/Total.Nitrogen', which the job reads"},
        {{"--property", "pH", "--output", dir.file("o.csv"), "--write-spectra",
          models() + "/opus.conf"},
         "The output '" + models() + "/opus.conf' is the job's input '" + models() + "/opus.conf'"},
    };
    const auto expect_refused = [&](std::vector<std::string> arguments,
                                    const std::string& message) {
        const Result result = run(arguments);
        EXPECT_EQ(result.code, exit_usage) << message;
        EXPECT_EQ(test::slashes(result.err).rfind(test::slashes("veldra-predict: " + message), 0),
                  0u)
            << result.err;
        EXPECT_EQ(result.out, "");
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {"--input", copy, "--models", models()};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        expect_refused(arguments, c.message);
    }
    // One of the OPUS files the job reads.
    const std::string scan = dir.write("scans/a.0", "scan");
    expect_refused(
        {"--input", dir.file("scans"), "--models", models(), "--property", "pH", "--output", scan},
        "The output '" + scan + "' is one of the job's OPUS files in '" + dir.file("scans") + "'");
    // Named the lab's way, files without a numeric extension are read too.
    const std::string named = dir.write("scans/K0417_S_001", "scan");
    expect_refused({"--input", dir.file("scans"), "--models", models(), "--sample-id", "^([^_]+)_",
                    "--property", "pH", "--output", named},
                   "The output '" + named + "' is one of the job's OPUS files in '" +
                       dir.file("scans") + "'");
    EXPECT_EQ(test::read_file(named), "scan");
    EXPECT_EQ(test::read_file(copy), test::read_file(input()));
    EXPECT_EQ(test::read_file(range), range_bytes);
    EXPECT_EQ(test::read_file(scan), "scan");
    EXPECT_NE(test::read_file(models() + "/opus.conf").find("start_wn"), std::string::npos);
    EXPECT_FALSE(boost::filesystem::exists(models() + "/mir/Total.Nitrogen/new-mir-pH.csv"));
    EXPECT_FALSE(boost::filesystem::exists(dir.file("o.csv")));
    EXPECT_FALSE(boost::filesystem::exists(dir.file("o-summary.csv")));
}

// An earlier summary still open in a spreadsheet (Windows) would fail the job at its very end:
// refused before any work, naming it.
TEST_F(PredictCommand, AnOutputHeldOpenByAnotherProgramIsRefusedFirst) {
#if !defined(_WIN32)
    GTEST_SKIP() << "only Windows keeps an open file from being replaced";
#else
    const std::string summary = dir.write("o-summary.csv", "earlier\n");
    const test::HeldOpen held(summary);
    ASSERT_TRUE(held.ok());
    const Result result = run({"--input", input(), "--models", models(), "--property", "pH",
                               "--output", dir.file("o.csv"), "--quiet"});
    EXPECT_EQ(result.code, exit_failure);
    EXPECT_EQ(result.err, "veldra-predict: The output '" + summary +
                              "' is open in another program: close it there, then start the job "
                              "again.\n");
    EXPECT_FALSE(boost::filesystem::exists(dir.file("o.csv")));
#endif
}

TEST_F(PredictCommand, WrongOptionsExitWithUsage) {
    const std::vector<std::vector<std::string>> wrong = {
        {"--input", input(), "--output", dir.file("o.csv")}, // no property
        {"--input", input(), "--property", "pH"},            // no output
        {"--property", "pH", "--output", dir.file("o.csv")}, // no input
        {"--input", input(), "--property", "Sand", "--output", dir.file("o.csv")},
        {"--input", input(), "--property", "pH", "--spectrometer", "ft/ir", "--output",
         tree->file("o")},
        {"--input", input(), "--property", "pH", "--transform", "second_der", "--output",
         tree->file("o")},
        {"--input", input(), "--property", "pH", "--exp", "maybe", "--output", tree->file("o")},
        {"--input", input(), "--csv", "--opus", "--property", "pH", "--output", tree->file("o")},
        {"--input", input(), "--property", "pH", "--output", tree->file("o"), "--shard", "0/2"},
        {"--input", input(), "--property", "pH", "--output", tree->file("o"), "--shard", "3/2"},
        {"--input", input(), "--property", "pH", "--output", tree->file("o"), "--shard", "1of2"},
        {"--input", input(), "--property", "pH", "--output", tree->file("o"), "--summary-only",
         "--no-summary"},
        {"--input", input(), "--property", "pH", "--output", tree->file("o"), "--block", "-3"},
        {"--input", input(), "--property", "pH", "--output", tree->file("o"), "--report",
         dir.file("r.pdf"), "--no-summary"},
        // Without a report writer (a build without Qt) a report cannot be asked for.
        {"--input", input(), "--property", "pH", "--output", tree->file("o"), "--report",
         dir.file("r.pdf")},
        {"--input", input(), "--bogus"},
        {"--input", input(), "stray"},
        // A second value after one option would otherwise be dropped unseen.
        {"--input", input(), "--property", "Carbon", "pH", "--output", tree->file("o")},
        // A sample pattern must be a regular expression with a group.
        {"--input", input(), "--sample-id", "^([^_]+_", "--property", "pH", "--output",
         tree->file("o")},
        {"--input", input(), "--sample-id", "^[^_]+_", "--property", "pH", "--output",
         tree->file("o")},
        // Merging takes N and the output path, and nothing else.
        {"--merge-shards", "0", "--output", tree->file("o")},
        {"--merge-shards", "2x", "--output", tree->file("o")},
        {"--merge-shards", "2"},
        {"--merge-shards", "2", "--output", tree->file("o"), "--input", input()},
    };
    for (const auto& arguments : wrong) {
        const Result result = run(arguments);
        EXPECT_EQ(result.code, exit_usage) << arguments.back();
        EXPECT_NE(result.err.find("Usage: veldra-predict"), std::string::npos);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_EQ(run({"--input", input(), "--output", tree->file("o")})
                  .err.rfind("veldra-predict: Please choose at least one soil property\n", 0),
              0u);
    // A decimal comma, as a lab whose system writes them would type it: the way out is said.
    EXPECT_EQ(
        run({"--input", input(), "--property", "pH", "--output", tree->file("o"), "--level", "0,9"})
            .err.rfind("veldra-predict: The interval level \"0,9\" is not a number above 0 "
                       "and below 1 (or a percentage, 90%). Decimals take a point (0.9, not "
                       "0,9).\n",
                       0),
        0u);
    // A list where the option takes one level: repeat it.
    EXPECT_EQ(run({"--input", input(), "--property", "pH", "--output", tree->file("o"), "--level",
                   "0.95,0.9"})
                  .err.rfind("veldra-predict: --level takes one level, not a list ('0.95,0.9'): "
                             "repeat --level for each level (--level 0.68 --level 0.9)\n",
                             0),
              0u);
    const Result help = run({"--help"});
    EXPECT_EQ(help.code, exit_success);
    EXPECT_NE(help.out.find("--write-spectra"), std::string::npos);
    EXPECT_EQ(run({"--version"}).out, "veldra-predict 1.2.5\n");
}

TEST_F(PredictCommand, JobErrorsAndStops) {
    const Result missing_model = run({"--input", input(), "--models", dir.file("nothing"),
                                      "--property", "K", "--output", dir.file("o.csv"), "--quiet"});
    EXPECT_EQ(missing_model.code, exit_failure);
    EXPECT_EQ(test::slashes(missing_model.err),
              test::slashes("Cannot open rangefile '" + dir.file("nothing") +
                            "/mir/m3.K/rgy.txt' for reading.\nThe model folder '" +
                            dir.file("nothing") +
                            "/mir/m3.K' does not exist: check the spectrometer type and the "
                            "property (names are case-sensitive: mir, not MIR) and the model "
                            "directory.\n"));
    const Result forced_opus = run({"--input", input(), "--opus", "--models", models(),
                                    "--property", "pH", "--output", dir.file("o.csv"), "--quiet"});
    EXPECT_EQ(forced_opus.code, exit_failure);
    // Read as a folder (its text followed by "/", as the window hands folders over).
    EXPECT_EQ(forced_opus.err, "Cannot open opus '" + input() + "/' for reading.\n");

    const Result stopped = run({"--input", input(), "--models", models(), "--property", "pH",
                                "--output", dir.file("stopped.csv")},
                               true);
    EXPECT_EQ(stopped.code, exit_stopped);
    EXPECT_EQ(stopped.err, "Stopped by user\n");
    EXPECT_EQ(stopped.out, "");
}

// An existing output file is replaced only by a complete one: a failure leaves it as it was and
// leaves no partial file beside it; the files completed before a failure are listed.
TEST_F(PredictCommand, ExistingOutputsSurviveAFailure) {
    const std::vector<std::string> base = {"--input", input(), "--models", models(), "--quiet"};
    const auto args = [&](std::vector<std::string> more) {
        more.insert(more.begin(), base.begin(), base.end());
        return more;
    };
    ASSERT_EQ(run(args({"--property", "pH", "--output", dir.file("keep.csv")})).code, exit_success);
    const std::string kept = test::read_file(dir.file("keep.csv"));
    ASSERT_FALSE(kept.empty());

    const std::string text = test::read_file(input());
    const std::string short_input = dir.write("short.csv", text.substr(0, text.size() / 2));
    std::vector<std::string> failing = args({"--property", "pH", "--output", dir.file("keep.csv")});
    failing[1] = short_input;
    const Result failed = run(failing);
    EXPECT_EQ(failed.code, exit_failure);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(test::read_file(dir.file("keep.csv")), kept);

    // The second pair's model lost a draw file: the first pair's file is complete and listed.
    TempDir own;
    fs::create_directories(own.path() / "models" / "mir");
    for (const char* folder : {"pH", "Total.Nitrogen"}) {
        fs::create_directories(own.path() / "models" / "mir" / folder);
        for (fs::directory_iterator it(tree->path() / "models" / "mir" / folder), end; it != end;
             ++it) {
            fs::copy_file(it->path(),
                          own.path() / "models" / "mir" / folder / it->path().filename());
        }
    }
    fs::remove(own.path() / "models" / "mir" / "Total.Nitrogen" / "MCMC2.json");
    const Result gap = run({"--input", input(), "--models", own.file("models"), "--property", "pH",
                            "--property", "N", "--output", dir.file("two.csv"), "--quiet"});
    EXPECT_EQ(gap.code, exit_failure);
    EXPECT_EQ(test::slashes(gap.out),
              test::slashes("Files created:\n  " + dir.file("two-mir-pH.csv") + "\n"));
    EXPECT_EQ(test::slashes(gap.err),
              test::slashes("The model in '" + own.file("models") +
                            "/mir/Total.Nitrogen' lacks draw file MCMC2.json (2 numbered draw "
                            "files, up to 3): its numbered draws must be MCMC1.json to "
                            "MCMC<D>.json without a gap.\n"));
    EXPECT_FALSE(fs::exists(dir.file("two-mir-N.csv")));
    for (fs::directory_iterator it(dir.path()), end; it != end; ++it) {
        EXPECT_NE(it->path().extension(), ".part") << "partial file left: " << it->path();
    }
}

// A missing output folder is made (and said so); one that cannot be, stops before any work.
TEST_F(PredictCommand, OutputFoldersAreMadeOrRefusedBeforeTheJob) {
    const std::string folder = dir.file("new/nested");
    const Result made = run({"--input", input(), "--models", models(), "--property", "pH",
                             "--output", folder + "/job.csv", "--quiet"});
    EXPECT_EQ(made.code, exit_success) << made.err;
    EXPECT_EQ(made.err.rfind("Created the output folder '" + folder + "'.\n", 0), 0u) << made.err;
    EXPECT_TRUE(fs::exists(folder + "/job.csv"));

    dir.write("plain", "x");
    const Result blocked = run({"--input", input(), "--models", models(), "--property", "pH",
                                "--output", dir.file("plain") + "/job.csv", "--quiet"});
    EXPECT_EQ(blocked.code, exit_failure);
    EXPECT_EQ(blocked.err,
              "The output folder '" + dir.file("plain") + "' is a file, not a folder.\n");
    const Result beneath = run({"--input", input(), "--models", models(), "--property", "pH",
                                "--output", dir.file("plain") + "/a/job.csv", "--quiet"});
    EXPECT_EQ(beneath.code, exit_failure);
    EXPECT_EQ(beneath.err.rfind("Cannot create the output folder '" + dir.file("plain") + "/a'", 0),
              0u)
        << beneath.err;
    EXPECT_EQ(beneath.out, "");
}

TEST_F(PredictCommand, WrittenSpectraReadBackBitForBit) {
    // CSV input: the input's own header, values at full precision.
    Result result = run({"--input", input(), "--write-spectra", dir.file("copy.csv")});
    ASSERT_EQ(result.code, exit_success) << result.err;
    EXPECT_EQ(result.out, "Spectra written to:\n  " + dir.file("copy.csv") + "\n");
    const SpectraTable original = read_spectra_csv(input());
    const SpectraTable copy = read_spectra_csv(dir.file("copy.csv"));
    EXPECT_EQ(copy.ids, original.ids);
    EXPECT_EQ(copy.rows, original.rows);
    EXPECT_EQ(read_csv_header(dir.file("copy.csv")), read_csv_header(input()));

    // OPUS input: resampled and averaged, with OPUS variable names on the grid.
    tools::AbsorbanceFileOptions file;
    file.first_x = 7600;
    file.last_x = 500;
    file.values.clear();
    for (int k = 0; k < 200; ++k) {
        file.values.push_back(0.5f + 0.001f * static_cast<float>(k % 37));
    }
    const std::string bytes = tools::opus_file(tools::absorbance_blocks(file));
    dir.write("scans/a.0", bytes);
    dir.write("scans/a.1", bytes);
    dir.write("scans/b.0", bytes);
    result = run({"--input", dir.file("scans"), "--models", models(), "--write-spectra",
                  dir.file("scans.csv"), "--quiet"});
    ASSERT_EQ(result.code, exit_success) << result.err;
    LoggerSet log;
    const SpectraTable imported =
        read_spectra_input(log, models() + "/opus.conf", dir.file("scans") + "/", "", {}, {});
    const SpectraTable written = read_spectra_csv(dir.file("scans.csv"));
    EXPECT_EQ(written.ids, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(written.rows, imported.rows);
    const std::vector<std::string> header = read_csv_header(dir.file("scans.csv"));
    ASSERT_EQ(header.size(), 3579u);
    EXPECT_EQ(header[1], "m7497.960");
    EXPECT_EQ(header[3578], "m599.760");

    // With properties too, the job goes on from the same table.
    result =
        run({"--input", dir.file("scans"), "--models", models(), "--write-spectra",
             dir.file("scans2.csv"), "--property", "pH", "--output", dir.file("p.csv"), "--quiet"});
    EXPECT_EQ(result.code, exit_success) << result.err;
    EXPECT_NE(test::read_file(dir.file("p.csv")).find("\nb,"), std::string::npos);
    // Its report names the folder read and the files written, the spectra's included.
    dir.write("scans/junk.0", "neither INS nor SRC");
    JobRecord reported;
    const ReportWriter capture = [&](const std::string&, const std::string&,
                                     const JobRecord& record) { reported = record; };
    std::ostringstream out;
    std::ostringstream err;
    const std::atomic<bool> no_stop{false};
    ASSERT_EQ(run_predict_command({"veldra-predict", "--input", dir.file("scans"), "--models",
                                   models(), "--write-spectra", dir.file("scans3.csv"),
                                   "--property", "pH", "--output", dir.file("r.csv"), "--report",
                                   dir.file("r.pdf"), "--quiet"},
                                  out, err, no_stop, false, capture),
              exit_success)
        << err.str();
    EXPECT_EQ(reported.input_kind, "OPUS folder");
    EXPECT_EQ(reported.input, dir.file("scans") + "/");
    ASSERT_EQ(reported.defective.size(), 1u);
    EXPECT_EQ(fs::path(reported.defective[0].path).filename(), "junk.0");
    ASSERT_FALSE(reported.created.empty());
    EXPECT_EQ(reported.created.front(), dir.file("scans3.csv"));
    EXPECT_NE(std::find(reported.created.begin(), reported.created.end(), dir.file("r.csv")),
              reported.created.end());
    fs::remove(dir.file("scans/junk.0"));

    // HTS-XT files with the models of another spectrometer type: refused, not resampled.
    result = run({"--input", dir.file("scans"), "--models", models(), "--spectrometer", "alphakbr",
                  "--property", "pH", "--output", dir.file("k.csv"), "--quiet"});
    EXPECT_EQ(result.code, exit_failure);
    EXPECT_EQ(result.err, "The OPUS files are of machine type htsxt; the alphakbr models take "
                          "machine type alpha_kbr. Choose the spectrometer type of the files.\n");
    EXPECT_FALSE(fs::exists(dir.file("k.csv")));
}

// The input table as R's write.csv saves it (quoted header and identifiers, a column of row
// names) predicts with the same identifiers and numbers, summary included: the error draws are
// seeded by the identifier, so a quote kept in it would move the predictive bounds.
TEST_F(PredictCommand, ATableAsRWritesItPredictsAsThePlainOne) {
    std::istringstream plain(test::read_file(input()));
    std::string line;
    std::getline(plain, line);
    std::string r_table = "\"\",\"" + line.substr(0, line.find(',')) + "\"";
    for (const std::string& name : split_csv_fields(line.substr(line.find(',') + 1))) {
        r_table += ",\"" + name + "\"";
    }
    r_table += "\n";
    for (int row = 1; std::getline(plain, line); ++row) {
        r_table += "\"" + std::to_string(row) + "\",\"" + line.substr(0, line.find(',')) + "\"" +
                   line.substr(line.find(',')) + "\n";
    }
    dir.write("r-table.csv", r_table);
    for (const std::string& table : {input(), dir.file("r-table.csv")}) {
        const std::string stem = table == input() ? "plain" : "r";
        const Result result = run({"--input", table, "--models", models(), "--property", "pH",
                                   "--output", dir.file(stem + ".csv"), "--quiet"});
        ASSERT_EQ(result.code, exit_success) << result.err;
    }
    EXPECT_EQ(test::read_file(dir.file("r.csv")), test::read_file(dir.file("plain.csv")));
    EXPECT_EQ(test::read_file(dir.file("r-summary.csv")),
              test::read_file(dir.file("plain-summary.csv")));
    EXPECT_NE(test::read_file(dir.file("r-summary.csv")).find("\nsample001,"), std::string::npos);
}

// The installed program as a process: exit statuses and Ctrl-C.
// Every file of a model is read within a bound, under a memory limit: a file over its bound is
// refused with a message, a file within it (a valid 200 MB domain with an extra array) costs a
// small multiple of its size, and running out of memory is a message and exit 1, not an abort.
TEST_F(PredictCommand, ModelFilesOverTheirBoundsUnderAMemoryLimit) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX shell and resource limits";
#elif defined(__SANITIZE_ADDRESS__) || ADDRESS_SANITIZED
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit";
#else
    tools::ModelTreeOptions options;
    options.draws = 3;
    options.trees = 8;
    options.types = {"mir"};
    options.properties = {"pH"};
    tools::write_model_tree(dir.path() / "models", options);
    const fs::path ph = dir.path() / "models" / "mir" / "pH";
    // A card of an earlier version, which records no digest of its files: the bounds of each
    // file are what is tried here, not the record.
    ModelCard undigested = *read_model_card(ph);
    undigested.digest.clear();
    std::ofstream(native_path((ph / "model.json").string()), std::ios::binary)
        << model_card_text(undigested);
    const std::size_t width = 3578;
    // A domain with one component along the first covariate, and `extra` after it.
    const auto domain = [&](const std::string& extra) {
        std::string text = "{\"covariates\": " + std::to_string(width) + ", \"center\": [0";
        for (std::size_t j = 1; j < width; ++j) {
            text += ",0";
        }
        text += "], \"variances\": [1], \"t2_limit\": 1e300, \"q_limit\": 1e300, "
                "\"components\": [[1";
        for (std::size_t j = 1; j < width; ++j) {
            text += ",0";
        }
        return text + "]]" + extra + "}";
    };
    const auto zeros = [](std::size_t values) {
        std::string list = "[0";
        list.reserve(2 * values + 1);
        for (std::size_t k = 1; k < values; ++k) {
            list += ",0";
        }
        return list + "]";
    };
    // Runs the job in a shell whose address space is limited to 1.5 GB.
    const auto limited = [&] {
        const std::string script = dir.write(
            "limited.sh", "ulimit -v 1500000; '" + std::string(VELDRA_PREDICT_PROGRAM) +
                              "' --quiet --input '" + input() + "' --models '" +
                              dir.file("models") + "' --property pH --output '" +
                              dir.file("out.csv") + "' >/dev/null 2>'" + dir.file("err") + "'\n");
        const int status = std::system(("bash '" + script + "'").c_str());
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                              test::read_file(dir.file("err")));
    };
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(native_path((ph / name).string()), std::ios::binary) << bytes;
    };
    const auto sparse = [&](const std::string& name, std::uintmax_t bytes) {
        fs::remove(ph / name);
        std::ofstream(native_path((ph / name).string())).close();
        fs::resize_file(ph / name, bytes);
    };
    const std::string rgy = test::read_file((ph / "rgy.txt").string());
    const std::string card = test::read_file((ph / "model.json").string());

    struct Case {
        std::string name;
        std::function<void()> damage;
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"range file linked to an endless device",
         [&] {
             fs::remove(ph / "rgy.txt");
             fs::create_symlink("/dev/zero", ph / "rgy.txt");
         },
         1, "The range file '" + (ph / "rgy.txt").string() + "' is larger than 64 KB"},
        {"card over 4 MB", [&] { sparse("model.json", (4u << 20) + 1); }, 1,
         "model.json\" is larger than 4 MB."},
        {"error spreads over 16 MB", [&] { sparse("sigma.txt", (16u << 20) + 1); }, 1,
         "sigma.txt\" is larger than 16 MB."},
        {"domain over 256 MB", [&] { sparse("domain.json", (256u << 20) + 1); }, 1,
         "domain.json\" is larger than 256 MB."},
        {"forest over 256 MB", [&] { sparse("MCMC2.json", (256u << 20) + 1); }, 1, "MCMC2.json"},
        {"valid domain of 200 MB with an extra array",
         [&] { write("domain.json", domain(", \"notes\": " + zeros(100u << 20))); }, 0, ""},
        {"domain within its bound whose numbers do not fit in memory",
         [&] {
             write("domain.json", domain(", \"center2\": 0, \"components\": " + zeros(1) +
                                         ", \"variances\": " + zeros(120u << 20)));
         },
         1, out_of_memory_message},
    };
    for (const Case& c : cases) {
        const std::string folder = (ph.parent_path() / "pH.kept").string();
        fs::copy(ph, folder, fs::copy_options::recursive);
        c.damage();
        const auto [code, err] = limited();
        EXPECT_EQ(code, c.code) << c.name << ": " << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
        fs::remove_all(ph);
        fs::rename(folder, ph);
    }
    EXPECT_EQ(test::read_file((ph / "rgy.txt").string()), rgy);
    EXPECT_EQ(test::read_file((ph / "model.json").string()), card);
#endif
}

// Two runs started together onto the same outputs, again and again: one may be refused while
// the other holds the outputs, or run after it; the folder never holds files of both.
TEST_F(PredictCommand, TwoProcessesOnTheSameOutputsNeverMixThem) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX shell; the lock itself is tested in-process";
#else
    tools::write_example_spectra(dir.file("other.csv"), tools::grid_of_spectrometer("mir"), 40, 9);
    tools::write_example_spectra(dir.file("many.csv"), tools::grid_of_spectrometer("mir"), 40, 5);
    const std::vector<std::string> names = {"out-mir-N.csv", "out-mir-pH.csv", "out-summary.csv"};
    const auto command = [&](const std::string& input, const std::string& folder) {
        return std::string(VELDRA_PREDICT_PROGRAM) + " --quiet --input '" + input + "' --models '" +
               models() + "' --property N --property pH --output '" + folder +
               "/out.csv' > /dev/null 2>> '" + dir.file("errors") + "'";
    };
    std::map<std::string, std::vector<std::string>> alone;
    for (const std::string input : {"other.csv", "many.csv"}) {
        fs::create_directories(dir.path() / ("alone-" + input));
        ASSERT_EQ(std::system(command(dir.file(input), dir.file("alone-" + input)).c_str()), 0);
        for (const std::string& name : names) {
            alone[input].push_back(test::read_file(dir.file("alone-" + input + "/" + name)));
        }
    }
    fs::create_directories(dir.path() / "both");
    for (int round = 0; round < 10; ++round) {
        const std::string both = command(dir.file("other.csv"), dir.file("both")) + " & " +
                                 command(dir.file("many.csv"), dir.file("both")) + " & wait";
        ASSERT_EQ(std::system(("bash -c \"" + both + "\"").c_str()), 0);
        std::string whose;
        for (std::size_t k = 0; k < names.size(); ++k) {
            const std::string text = test::read_file(dir.file("both/" + names[k]));
            whose += text == alone["other.csv"][k] ? 'A' : text == alone["many.csv"][k] ? 'B' : '?';
        }
        EXPECT_TRUE(whose == "AAA" || whose == "BBB") << "round " << round << ": " << whose;
        EXPECT_FALSE(fs::exists(dir.file("both/.out.csv.lock")));
    }
    // A refusal, when one came, named the other's process.
    const std::string errors = test::read_file(dir.file("errors"));
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.rfind("Another job (process ", 0), 0u) << line;
    }
#endif
}

TEST_F(PredictCommand, AsAProcess) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX shell, pipes and signals; scripts/check-windows runs the program";
#else
    // Runs `command` as a bash script, capturing both streams of everything it starts.
    const auto shell = [&](const std::string& command) {
        const std::string script =
            dir.write("command.sh", "{ " + command + "\n} >'" + dir.file("stdout") + "' 2>'" +
                                        dir.file("stderr") + "'\n");
        const int status = std::system(("bash '" + script + "'").c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                      test::read_file(dir.file("stdout")), test::read_file(dir.file("stderr"))};
    };
    const std::string program = VELDRA_PREDICT_PROGRAM;
    Result result = shell(program + " --input '" + input() + "' --models '" + models() +
                          "' --property N --output '" + dir.file("n.csv") + "'");
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out,
              "Files created:\n  " + dir.file("n.csv") + "\n  " + dir.file("n-summary.csv") + "\n");
    EXPECT_EQ(shell(program + " --input nothing.csv --property N --models '" + models() +
                    "' --output x.csv")
                  .code,
              1);
    EXPECT_EQ(shell(program + " --frobnicate").code, 2);

    // Ctrl-C: the input comes through a pipe that is filled only after the interrupt, so the
    // stop is pending when the job reaches its first checkpoint. The interrupt is sent once the
    // program catches it (its SigCgt mask holds SIGINT), not after a guessed delay.
    const std::string wait_for_handler =
        "until [ $(( 0x$(sed -n 's/^SigCgt:[[:space:]]*//p' /proc/$pid/status) & 2 )) -ne 0 ]; "
        "do sleep 0.01; done; ";
    const std::string pipe = dir.file("pipe.csv");
    ASSERT_EQ(std::system(("mkfifo '" + pipe + "'").c_str()), 0);
    result = shell(program + " --input '" + pipe + "' --models '" + models() +
                   "' --property pH --output '" + dir.file("stopped.csv") + "' & pid=$!; " +
                   wait_for_handler + "kill -INT $pid; cat '" + input() + "' > '" + pipe +
                   "'; wait $pid");
    EXPECT_EQ(result.code, 130) << result.err;
    EXPECT_NE(result.err.find("Stopped by user"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, ""); // no file was complete
    EXPECT_FALSE(fs::exists(dir.file("stopped.csv")));
#endif
}

} // namespace
} // namespace veldra
