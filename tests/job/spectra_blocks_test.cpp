#include "input/csv_reader.h"
#include "job/job_runner.h"
#include "job/shard_manifest.h"
#include "job/spectra_blocks.h"
#include "job/spectra_preview.h"

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tools/model_tree_generator.h"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::LogCapture;
using test::TempDir;

// Two pairs of four-draw models whose trees split on each of three covariates, one with a
// calibration domain and "sigma.txt", and an input of 23 samples spread across the cuts.
struct LibraryJob {
    TempDir dir;
    LibraryJob() {
        for (const std::string type : {"mir", "mpa"}) {
            dir.write(type + "/pH/rgy.txt", "2 9\n");
            for (int k = 1; k <= 4; ++k) {
                std::ostringstream tree;
                tree << R"({"Tree":1,"T":{"Depth":1,"Var":)" << k % 3 + 1 << R"(,"ORDRule":"x<=)"
                     << 0.2 * k - 0.5 << R"(","TBN":"101","S":[)"
                     << R"({"Depth":2,"TBN":"110","Mu":)" << -0.1 * k << "},"
                     << R"({"Depth":2,"TBN":"110","Mu":)" << (type == "mir" ? 0.3 : 0.05) * k
                     << "}]}}";
                dir.write(type + "/pH/MCMC" + std::to_string(k) + ".json", tree.str());
            }
        }
        dir.write("mir/pH/sigma.txt", "0.1\n0.2\n0.15\n0.05\n");
        dir.write("mir/pH/domain.json",
                  R"({"covariates": 3, "center": [0, 0, 0], "variances": [1.0],)"
                  R"( "components": [[1, 0, 0]], "t2_limit": 0.6, "q_limit": 0.2})");
        std::string csv = "SSN,a,b,c\n";
        for (int i = 0; i < 23; ++i) {
            csv += "s" + std::to_string(100 + i) + "," + std::to_string((i * 7 % 11) / 10.0 - 0.5) +
                   "," + std::to_string((i * 5 % 13) / 12.0 - 0.5) + "," +
                   std::to_string((i * 3 % 7) / 6.0 - 0.5) + "\n";
        }
        dir.write("in.csv", csv);
    }
    JobSettings settings(const std::string& output) const {
        JobSettings s;
        s.output_path = dir.file(output + "/job.csv");
        s.model_directory = dir.path();
        s.csv_file = dir.file("in.csv");
        s.exponential = false;
        s.transformation = Transformation::none;
        s.spectrometer_types = {"mir", "mpa"};
        s.soil_properties = {"pH"};
        s.summary = true;
        fs::create_directories(dir.path() / output);
        return s;
    }
    // Every file of a folder by name, with its bytes.
    std::map<std::string, std::string> files(const std::string& output) const {
        return folder(output, dir);
    }
    static std::map<std::string, std::string> folder(const std::string& output, const TempDir& in) {
        std::map<std::string, std::string> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(in.path() / output)) {
            found[entry.path().filename().string()] = test::read_file(entry.path().string());
        }
        return found;
    }
};

TEST(Blocks, OutputsAreTheSameForEveryBlockSizeThreadCountAndForestBudget) {
    LibraryJob job;
    const auto run = [&](const std::string& output, std::size_t block, unsigned threads,
                         std::size_t budget) {
        JobSettings settings = job.settings(output);
        settings.block_samples = block;
        settings.threads = threads;
        settings.held_forest_budget = budget;
        LoggerSet log;
        JobProgress progress;
        LogCapture capture(log);
        const JobOutcome outcome = run_job(settings, log, progress);
        EXPECT_TRUE(outcome.ok) << outcome.message;
        EXPECT_EQ(outcome.created.size(), 3u);
        std::string domain;
        for (const std::string& line : capture.messages()) {
            if (line.rfind("Calibration domain", 0) == 0) {
                domain += line + "\n";
            }
        }
        return std::make_pair(job.files(output), domain);
    };
    const auto whole = run("whole", 0, 1, std::size_t{1} << 30);
    ASSERT_EQ(whole.first.size(), 3u);
    // The summary has every sample with one line per pair, and some samples are outside.
    EXPECT_EQ(std::count(whole.first.at("job-summary.csv").begin(),
                         whole.first.at("job-summary.csv").end(), '\n'),
              1 + 23 * 2);
    EXPECT_NE(whole.first.at("job-summary.csv").find(",outside,"), std::string::npos);
    EXPECT_NE(whole.first.at("job-summary.csv").find(",inside,"), std::string::npos);
    EXPECT_NE(whole.second.find(" of 23 samples outside: s"), std::string::npos) << whole.second;
    // The line names its pair (of the job's two, only mir/pH's model has a domain).
    EXPECT_EQ(whole.second, "Calibration domain of mir/pH: 11 of 23 samples outside: s100, s102, "
                            "s105, s107, s109, s110, s113, s114, s116, s118, s121\n");

    const struct {
        std::size_t block;
        unsigned threads;
        std::size_t budget;
    } cases[] = {{1, 1, 1 << 20}, {5, 2, 1 << 20},  {7, 1, 0},
                 {22, 2, 0},      {23, 2, 1 << 20}, {100, 1, 0}};
    for (const auto& c : cases) {
        const std::string output = "b" + std::to_string(c.block) + "t" + std::to_string(c.threads) +
                                   "m" + std::to_string(c.budget);
        const auto blocks = run(output, c.block, c.threads, c.budget);
        EXPECT_EQ(blocks.first, whole.first) << output;
        EXPECT_EQ(blocks.second, whole.second) << output;
    }
}

TEST(Blocks, ShardsReadInBlocksTogetherAreTheWholeJob) {
    LibraryJob job;
    JobSettings settings = job.settings("whole");
    LoggerSet log;
    JobProgress progress;
    ASSERT_TRUE(run_job(settings, log, progress).ok);
    const std::map<std::string, std::string> whole = job.files("whole");

    // Three shards of 7, 8 and 8 samples, each in blocks of 3; files put together as the merge
    // does: the first part's header, then every part's lines.
    std::map<std::string, std::string> merged;
    std::set<std::string> run_lines;
    for (std::size_t k = 1; k <= 3; ++k) {
        JobSettings part = job.settings("parts");
        part.shard = k;
        part.shards = 3;
        part.block_samples = 3;
        ASSERT_TRUE(run_job(part, log, progress).ok);
        for (const std::string name : {"job-mir-pH.csv", "job-mpa-pH.csv", "job-summary.csv"}) {
            std::string shard = name;
            shard.insert(3, "-shard-" + std::to_string(k) + "-of-3");
            const std::string text = test::read_file(job.dir.file("parts/" + shard));
            const std::size_t header = text.find('\n') + 1;
            merged[name] += k == 1 ? text : text.substr(header);
        }
        // Each part's manifest says where its samples lie and what it wrote; the lines naming
        // the run are the same in every part.
        const std::string manifest = test::read_file(
            job.dir.file("parts/job-shard-" + std::to_string(k) + "-of-3-manifest.txt"));
        const std::string samples[] = {"samples: 1 to 7\n", "samples: 8 to 15\n",
                                       "samples: 16 to 23\n"};
        EXPECT_NE(manifest.find(samples[k - 1]), std::string::npos) << manifest;
        EXPECT_NE(manifest.find("samples of the input: 23\n"), std::string::npos);
        EXPECT_NE(manifest.find("input: CSV file " + job.dir.file("in.csv") + "\n"),
                  std::string::npos)
            << manifest;
        EXPECT_NE(manifest.find(", fingerprint " + file_fingerprint(job.dir.file("in.csv"))),
                  std::string::npos);
        EXPECT_NE(manifest.find("file: job-shard-" + std::to_string(k) + "-of-3-mpa-pH.csv\n"),
                  std::string::npos);
        std::string run = manifest.substr(0, manifest.find("shard: "));
        run_lines.insert(run);
        EXPECT_NE(run.find("model mpa/pH: card none, range "), std::string::npos) << run;
    }
    EXPECT_EQ(merged, whole);
    EXPECT_EQ(run_lines.size(), 1u);
    EXPECT_EQ(file_fingerprint(job.dir.write("a.txt", "a")), "af63dc4c8601ec8c");
    EXPECT_EQ(file_fingerprint(job.dir.file("missing")), "none");
}

TEST(Blocks, TheSpectraPreviewKeepsWhatEveryBlockRead) {
    LibraryJob job;
    JobSettings settings = job.settings("out");
    settings.block_samples = 5;
    settings.keep_spectra = true;
    LoggerSet log;
    JobProgress progress;
    const JobOutcome outcome = run_job(settings, log, progress);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    ASSERT_NE(outcome.spectra, nullptr);
    const SpectraTable input = read_spectra_csv(job.dir.file("in.csv"));
    EXPECT_EQ(outcome.spectra->ids, input.ids);
    EXPECT_EQ(outcome.spectra->samples, 23u);
    EXPECT_EQ(outcome.spectra->x, (std::vector<double>{1, 2, 3})); // names without wavenumbers
    for (std::size_t i = 0; i < input.ids.size(); ++i) {
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(outcome.spectra->row(false, i)[k], static_cast<float>(input.rows[i][k]));
            EXPECT_EQ(outcome.spectra->row(true, i)[k], static_cast<float>(input.rows[i][k]));
        }
    }

    // Wide spectra keep every k-th point, at most 512; samples beyond the limit are counted.
    SpectraTable wide;
    for (int k = 0; k < 1200; ++k) {
        wide.names.push_back("wn_" + std::to_string(5000 - 2 * k));
    }
    wide.rows.assign(3, std::vector<double>(1200, 0.0));
    for (int k = 0; k < 1200; ++k) {
        wide.rows[1][static_cast<std::size_t>(k)] = k * k;
    }
    wide.ids = {"a", "b", "c"};
    SpectraPreview preview;
    preview.add(wide, Transformation::first_derivative);
    ASSERT_EQ(preview.x.size(), 400u); // every third point
    EXPECT_EQ(preview.x[1], 4994);
    EXPECT_TRUE(preview.wavenumbers);
    EXPECT_EQ(preview.row(false, 1)[2], 36.0f);
    EXPECT_EQ(preview.row(true, 1)[2], 13.0f); // 7 * 7 - 6 * 6
    for (std::size_t n = 0; n < preview_samples; n += 3) {
        preview.add(wide, Transformation::none);
    }
    EXPECT_EQ(preview.ids.size(), preview_samples);
    EXPECT_EQ(preview.samples, 3 + 3 * ((preview_samples + 2) / 3));
}

TEST(Blocks, OpusFoldersAreReadInBlocksToo) {
    // Five samples of three replicates, then a sample whose only file is not an OPUS file, so
    // that the input ends in a group without any sample.
    TempDir dir;
    tools::ModelTreeOptions options;
    options.draws = 6;
    options.trees = 5;
    options.types = {"mir"};
    options.properties = {"pH", "Carbon"};
    tools::write_model_tree(dir.path() / "models", options);
    tools::write_example_opus_folder(dir.file("scans"), 5, 3, 9);
    dir.write("scans/zz.0", "not an OPUS file");
    const auto run = [&](const std::string& output, std::size_t block, std::size_t shard,
                         std::size_t shards) {
        JobSettings settings;
        settings.output_path = dir.file(output + "/job.csv");
        settings.model_directory = dir.path() / "models";
        settings.opus_folder = dir.file("scans") + "/";
        settings.opus_configuration_path = dir.file("models/opus.conf");
        settings.spectrometer_types = {"mir"};
        settings.soil_properties = {"pH", "Carbon"};
        settings.summary = true;
        settings.block_samples = block;
        settings.shard = shard;
        settings.shards = shards;
        fs::create_directories(dir.path() / output);
        LoggerSet log;
        JobProgress progress;
        const JobOutcome outcome = run_job(settings, log, progress);
        EXPECT_TRUE(outcome.ok) << outcome.message;
        return outcome;
    };
    const JobOutcome whole = run("whole", 0, 0, 0);
    ASSERT_EQ(whole.defective.size(), 1u);
    EXPECT_EQ(whole.defective[0].path, dir.file("scans") + "/zz.0");
    std::map<std::string, std::string> expected;
    for (const auto& [name, text] : LibraryJob::folder("whole", dir)) {
        expected[name] = text;
    }
    EXPECT_EQ(
        std::count(expected["job-summary.csv"].begin(), expected["job-summary.csv"].end(), '\n'),
        1 + 5 * 2);
    for (const std::size_t block : {1u, 2u, 5u}) {
        const std::string output = "b" + std::to_string(block);
        const JobOutcome blocks = run(output, block, 0, 0);
        EXPECT_EQ(LibraryJob::folder(output, dir), expected) << block;
        EXPECT_EQ(blocks.defective.size(), 1u);
    }
    // Shards by group of replicates, in blocks of one, put together are the whole job.
    std::map<std::string, std::string> merged;
    for (std::size_t k = 1; k <= 2; ++k) {
        run("parts", 1, k, 2);
        for (const std::string name : {"job-mir-pH.csv", "job-mir-Carbon.csv", "job-summary.csv"}) {
            std::string shard = name;
            shard.insert(3, "-shard-" + std::to_string(k) + "-of-2");
            const std::string text = test::read_file(dir.file("parts/" + shard));
            merged[name] += k == 1 ? text : text.substr(text.find('\n') + 1);
        }
    }
    EXPECT_EQ(merged, expected);
}

TEST(Blocks, BlockRuleAndInputOnlyOnce) {
    EXPECT_EQ(default_block_samples(3578), (std::size_t{32} << 20) / (8 * 3578));
    EXPECT_EQ(default_block_samples(1), largest_block);
    EXPECT_EQ(default_block_samples(10000000), smallest_block);

    // Rows of in-memory columns are handed out by moving, in order, with the names and type.
    JobSettings settings;
    settings.columns = {{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}};
    settings.ids = {"a", "b", "c", "d", "e"};
    LoggerSet log;
    SpectraBlocks blocks(settings, log);
    EXPECT_EQ(blocks.samples(), 5u);
    EXPECT_EQ(blocks.width(), 2u);
    SpectraTable block;
    std::vector<std::string> seen;
    while (blocks.next(block, 2, log)) {
        EXPECT_LE(block.rows.size(), 2u);
        for (std::size_t i = 0; i < block.rows.size(); ++i) {
            seen.push_back(block.ids[i] + ":" + std::to_string(int(block.rows[i][1])));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a:6", "b:7", "c:8", "d:9", "e:10"}));
}

} // namespace
} // namespace veldra
