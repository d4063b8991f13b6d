#include "input/opus_folder.h"

#include "tests/support/log_capture.h"
#include "tests/support/opus_samples.h"
#include "tests/support/temp_dir.h"
#include "tools/opus_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gsl/gsl_spline.h>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::LogCapture;
using test::TempDir;

const char* const conf_4000_600_3 = "[htsxt]\nstart_wn = 4000\nend_wn = 600\nnum_wn = 3\n";

// A file on 4000..600 (35 points) whose absorbance is offset + wavenumber / 1000: the natural
// spline reproduces the line, so resampled values are known exactly.
std::string line_file(float offset, const std::string& detector = "HTS-XT") {
    tools::AbsorbanceFileOptions options;
    options.detector = detector;
    options.first_x = 4000;
    options.last_x = 600;
    options.values.clear();
    for (int k = 0; k < 35; ++k) {
        options.values.push_back(offset + static_cast<float>((4000.0 - 100.0 * k) / 1000.0));
    }
    return tools::opus_file(tools::absorbance_blocks(options));
}

struct Import {
    SpectraTable table;
    std::vector<std::string> log;
    std::string console;
};

Import run_import(const std::string& conf, const std::string& folder) {
    LoggerSet log;
    LogCapture seen(log);
    Import result;
    import_opus_folder(result.table, conf, folder, log);
    // The files' diagnostics are the warnings; the rest is the import's own log.
    for (const test::LogRecord& record : seen.records) {
        if (record.severity == static_cast<int>(Severity::warning)) {
            result.console += record.message + "\n";
        } else if (record.severity >= static_cast<int>(Severity::info)) {
            result.log.push_back(record.message);
        }
    }
    return result;
}

std::string import_error(const std::string& conf, const std::string& folder) {
    try {
        run_import(conf, folder);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

void expect_row(const std::vector<double>& row, double offset) {
    ASSERT_EQ(row.size(), 3u);
    EXPECT_NEAR(row[0], offset + 4.0, 1e-6);
    EXPECT_NEAR(row[1], offset + 2.3, 1e-6);
    EXPECT_NEAR(row[2], offset + 0.6, 1e-6);
}

// Samples named the lab's way: the first group of a pattern in each base name, the files of one
// sample averaged wherever they stand in the folder's order; a name the pattern does not fit is
// listed as defective, never a sample of its own.
TEST(OpusFolder, ASampleIdPatternGroupsTheLabsNames) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    dir.write("scans/K0417_S_001_030.0", line_file(0));
    dir.write("scans/K0417_S_001_031.0", line_file(2));
    dir.write("scans/K0418_S_002_001.0", line_file(3));
    dir.write("scans/notes.0", line_file(9));
    LoggerSet log;
    SpectraTable table;
    import_opus_folder(table, conf, dir.file("scans") + "/", log, nullptr,
                       SampleNaming("^([^_]+)_"));
    EXPECT_EQ(table.ids, (std::vector<std::string>{"K0417", "K0418"}));
    ASSERT_EQ(table.rows.size(), 2u);
    expect_row(table.rows[0], 1.0); // (0 + 2) / 2
    expect_row(table.rows[1], 3.0);
    ASSERT_EQ(table.defective.size(), 1u);
    EXPECT_EQ(fs::path(table.defective[0].path).filename().string(), "notes.0");
    EXPECT_EQ(table.defective[0].reason,
              "its name gives no sample with --sample-id '^([^_]+)_' (the pattern finds no part of "
              "the name, or an empty one)");

    // A sample whose files are not neighbours in byte order: 1_red, 2_blue, 3_red. Read whole,
    // a sample at a time, and as two shards, the same samples.
    dir.write("colours/1_red.0", line_file(0));
    dir.write("colours/2_blue.0", line_file(5));
    dir.write("colours/3_red.0", line_file(4));
    const SampleNaming colour("_([a-z]+)$");
    SpectraTable whole;
    import_opus_folder(whole, conf, dir.file("colours") + "/", log, nullptr, colour);
    EXPECT_EQ(whole.ids, (std::vector<std::string>{"blue", "red"}));
    ASSERT_EQ(whole.rows.size(), 2u);
    expect_row(whole.rows[0], 5.0);
    expect_row(whole.rows[1], 2.0);
    OpusFolderReader one_at_a_time(conf, dir.file("colours") + "/", log, colour);
    EXPECT_EQ(one_at_a_time.groups(), 2u);
    std::vector<std::string> ids;
    SpectraTable part;
    while (!one_at_a_time.done()) {
        one_at_a_time.read(part, 1, log);
        ids.insert(ids.end(), part.ids.begin(), part.ids.end());
    }
    EXPECT_EQ(ids, whole.ids);
    OpusFolderReader second_shard(conf, dir.file("colours") + "/", log, colour);
    second_shard.keep_groups(1, 2);
    second_shard.read(part, 10, log);
    EXPECT_EQ(part.ids, std::vector<std::string>{"red"});
    ASSERT_EQ(part.rows.size(), 1u);
    expect_row(part.rows[0], 2.0);

    const auto refused = [](const std::string& pattern) {
        try {
            SampleNaming{pattern};
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refused("^[^_]+_"), "--sample-id '^[^_]+_' has no group: put the sample's part of "
                                  "the file name in parentheses, as in '^([^_]+)_'.");
    EXPECT_EQ(refused("^([^_]+_").rfind("--sample-id '^([^_]+_' is not a regular expression: ", 0),
              0u);
    EXPECT_EQ(refused(""), "accepted");
    EXPECT_EQ(SampleNaming().sample_of("soil1.12"), "soil1");
    EXPECT_EQ(SampleNaming("(x)").sample_of("abc.0"), "");
}

TEST(OpusFolder, GroupsReplicatesByBaseNameInByteOrder) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    dir.write("scans/b.0", line_file(3));
    dir.write("scans/a.1", line_file(2));
    dir.write("scans/a.0", line_file(0));
    dir.write("scans/c", line_file(5));
    dir.write("scans/.hidden.0", line_file(9));
    fs::create_directories(dir.path() / "scans" / "sub.0");

    const Import result = run_import(conf, dir.file("scans") + "/");
    EXPECT_EQ(result.table.ids, (std::vector<std::string>{"a", "b", ""}));
    ASSERT_EQ(result.table.rows.size(), 3u);
    expect_row(result.table.rows[0], 1.0); // (0 + 2) / 2
    expect_row(result.table.rows[1], 3.0);
    expect_row(result.table.rows[2], 5.0);

    // Uploaded names in file-system order, then the sorted "  filename " lines.
    ASSERT_GE(result.log.size(), 11u);
    EXPECT_EQ(result.log[0], "");
    EXPECT_EQ(result.log[1], "Uploaded Files:");
    std::vector<std::string> uploaded(result.log.begin() + 2, result.log.begin() + 6);
    std::sort(uploaded.begin(), uploaded.end());
    EXPECT_EQ(uploaded, (std::vector<std::string>{"a.0 ", "a.1 ", "b.0 ", "c "}));
    EXPECT_EQ(std::vector<std::string>(result.log.begin() + 6, result.log.end()),
              (std::vector<std::string>{"  filename a.0", "  filename a.1", "  filename b.0",
                                        "  filename c", "No defective files detected"}));
    EXPECT_EQ(result.console, "");

    LoggerSet log;
    EXPECT_EQ(scan_opus_folder(dir.file("scans"), log),
              (std::vector<std::string>{"a.0", "a.1", "b.0", "c", "d.0"}));
}

TEST(OpusFolder, DefectiveFilesAreSkippedAndReported) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    dir.write("scans/a.0", line_file(0));
    dir.write("scans/a.1", line_file(std::numeric_limits<float>::quiet_NaN()));
    dir.write("scans/a.2", line_file(2));
    dir.write("scans/b.0", "not an OPUS file at all, just text");
    dir.write("scans/b.1", "");
    dir.write("scans/c.0", line_file(4));

    const Import result = run_import(conf, dir.file("scans") + "/");
    EXPECT_EQ(result.table.ids, (std::vector<std::string>{"a", "c"}));
    ASSERT_EQ(result.table.rows.size(), 2u);
    expect_row(result.table.rows[0], 1.0);
    expect_row(result.table.rows[1], 4.0);
    const std::string scans = dir.file("scans") + "/";
    const std::vector<std::string> tail(result.log.end() - 7, result.log.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"3 defective files found:", "\t" + scans + "a.1",
                                        "\t" + scans + "b.0", "\t" + scans + "b.1", "", "", ""}));
    EXPECT_NE(result.console.find("ERROR : not an OPUS file (no OPUS header) From file \"" + scans +
                                  "b.0\""),
              std::string::npos)
        << result.console;
    // The table names each with its reason, for the results window and the report.
    ASSERT_EQ(result.table.defective.size(), 3u);
    EXPECT_EQ(result.table.defective[0].path, scans + "a.1");
    EXPECT_EQ(result.table.defective[0].reason,
              "the spectrum holds values that are not numbers (NaN)");
    EXPECT_EQ(result.table.defective[1].reason,
              "ERROR : not an OPUS file (no OPUS header) From file \"" + scans + "b.0\"");
    EXPECT_EQ(result.table.defective[2].reason, "ERROR : file \"" + scans + "b.1\" has size 0!");
}

// Read a sample at a time or in parts, the folder gives the samples, records and defective files
// of reading it whole, in the same order.
TEST(OpusFolder, ReadInBlocksAsWhole) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    dir.write("scans/a.0", line_file(0));
    dir.write("scans/a.1", line_file(2));
    dir.write("scans/b.0", "not an OPUS file at all, just text");
    dir.write("scans/c.0", line_file(4));
    dir.write("scans/d.0", line_file(6));
    dir.write("scans/e.0", "");
    const std::string folder = dir.file("scans") + "/";
    const Import whole = run_import(conf, folder);
    for (const std::size_t count : {1u, 2u}) {
        LoggerSet log;
        LogCapture seen(log);
        OpusFolderReader reader(conf, folder, log);
        EXPECT_EQ(reader.groups(), 5u);
        EXPECT_EQ(reader.width(), 3u);
        SpectraTable block;
        SpectraTable joined;
        while (!reader.done()) {
            EXPECT_LE(reader.read(block, count, log), count);
            joined.ids.insert(joined.ids.end(), block.ids.begin(), block.ids.end());
            joined.rows.insert(joined.rows.end(), block.rows.begin(), block.rows.end());
        }
        EXPECT_EQ(joined.ids, whole.table.ids);
        EXPECT_EQ(joined.rows, whole.table.rows);
        EXPECT_EQ(block.names, whole.table.names);
        ASSERT_EQ(block.defective.size(), 2u);
        EXPECT_EQ(block.defective[1].path, folder + "e.0");
        std::vector<std::string> records;
        for (const test::LogRecord& record : seen.records) {
            if (record.severity == static_cast<int>(Severity::info)) {
                records.push_back(record.message);
            }
        }
        EXPECT_EQ(records, whole.log) << count;
    }
    // Groups 2 to 3 of 5 (b, whose file is defective, and c) give c alone.
    LoggerSet log;
    OpusFolderReader part(conf, folder, log);
    part.keep_groups(1, 3);
    SpectraTable block;
    EXPECT_EQ(part.read(block, 10, log), 1u);
    EXPECT_TRUE(part.done());
    EXPECT_EQ(block.ids, std::vector<std::string>{"c"});
}

// A folder mixing instruments: the files of another instrument than the first file's are
// reported defective, never resampled onto a grid they were not measured on.
TEST(OpusFolder, FilesOfAnotherInstrumentAreDefective) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    dir.write("scans/a.0", line_file(0));
    tools::AbsorbanceFileOptions alpha;
    alpha.instrument = "Alpha II";
    alpha.detector = "DTGS";
    alpha.first_x = 4000;
    alpha.last_x = 600;
    alpha.values.assign(35, 1.0f);
    dir.write("scans/b.0", tools::opus_file(tools::absorbance_blocks(alpha)));
    dir.write("scans/c.0", line_file(4));

    const Import result = run_import(conf, dir.file("scans") + "/");
    EXPECT_EQ(result.table.ids, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(result.table.machine_type, "htsxt");
    const std::string scans = dir.file("scans") + "/";
    EXPECT_NE(std::find(result.log.begin(), result.log.end(), "\t" + scans + "b.0"),
              result.log.end());
    EXPECT_NE(result.console.find("ERROR : \"" + scans +
                                  "b.0\" is from another instrument (alpha_kbr) than the "
                                  "folder's first file (htsxt)"),
              std::string::npos)
        << result.console;
    ASSERT_EQ(result.table.defective.size(), 1u);
    EXPECT_EQ(result.table.defective[0].reason,
              "from another instrument (alpha_kbr) than the folder's first file (htsxt)");
}

TEST(OpusFolder, SingleFilesAndPatterns) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    dir.write("scans/a.0", line_file(0));
    dir.write("scans/a.1", line_file(2));
    dir.write("scans/b.0", line_file(6));

    Import result = run_import(conf, dir.file("scans/b.0"));
    EXPECT_EQ(result.table.ids, std::vector<std::string>{"b"});
    expect_row(result.table.rows.at(0), 6.0);
    EXPECT_EQ(result.log[2], "b.0 ");

    result = run_import(conf, dir.file("scans") + "/a.*");
    EXPECT_EQ(result.table.ids, std::vector<std::string>{"a"});
    expect_row(result.table.rows.at(0), 1.0);
}

TEST(OpusFolder, ErrorsThatEndTheJob) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    dir.write("scans/a.0", line_file(0));
    dir.write("unknown/x.0", line_file(0, "RT-DLaTGS"));
    fs::create_directories(dir.path() / "empty");

    EXPECT_EQ(import_error(conf, dir.file("none")),
              "Directory '\"" + dir.file("none") +
                  "\"' not found\nNo folder or file has that name: check the path (and that the "
                  "drive or network folder is there).");
    EXPECT_EQ(import_error(conf, dir.file("none/*.0")),
              "Directory '\"" + dir.file("none") +
                  "\"' not found\nNo folder has that name: check the path before the pattern.");
#if !defined(_WIN32)
    EXPECT_EQ(import_error(conf, "/dev/null"), "'\"/dev/null\"' is not a directory or file");
#endif
    EXPECT_EQ(import_error(conf, dir.file("empty")),
              "No OPUS files found in \"" + dir.file("empty") + "\"");
    EXPECT_EQ(import_error(conf, dir.file("unknown")),
              "Cannot tell the spectrometer of \"" + dir.file("unknown") +
                  "/x.0\" (instrument \"Tensor 27\", beamsplitter \"KBr\", detector "
                  "\"RT-DLaTGS\"), so there is no wavenumber grid for this folder.");
    EXPECT_EQ(import_error(dir.write("one.conf", "[htsxt]\nstart_wn=4000\nend_wn=600\nnum_wn=1\n"),
                           dir.file("scans")),
              "num_wn of section [htsxt] in opus.conf must be at least 2, not 1");
    // A grid far beyond any spectrum would be a huge allocation.
    EXPECT_EQ(import_error(
                  dir.write("huge.conf", "[htsxt]\nstart_wn=4000\nend_wn=600\nnum_wn=2000000000\n"),
                  dir.file("scans")),
              "num_wn of section [htsxt] in opus.conf must be at most 100001, not 2000000000");
    EXPECT_EQ(import_error(dir.write("mpa.conf", "[mpa]\nstart_wn=4000\nend_wn=600\nnum_wn=3\n"),
                           dir.file("scans")),
              "No such node (htsxt.start_wn)");
    EXPECT_NE(import_error(dir.file("missing.conf"), dir.file("scans")).find("missing.conf"),
              std::string::npos);
}

// A folder of 10,000 files (5,000 samples of two replicates, every 100th file damaged): every
// sample is a row, every damaged file is reported, and memory is that of the table.
TEST(OpusFolder, TenThousandFiles) {
    TempDir dir;
    const std::string conf = dir.write("opus.conf", conf_4000_600_3);
    const std::string good = line_file(0.5f);
    const std::string damaged = good.substr(0, good.size() / 2);
    for (int k = 0; k < 10000; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "many/s%04d.%d", k / 2, k % 2);
        dir.write(name, k % 100 == 1 ? damaged : good);
    }
    const Import result = run_import(conf, dir.file("many"));
    ASSERT_EQ(result.table.rows.size(), 5000u);
    EXPECT_EQ(result.table.ids.front(), "s0000");
    EXPECT_EQ(result.table.ids.back(), "s4999");
    for (const std::vector<double>& row : result.table.rows) {
        expect_row(row, 0.5);
    }
    EXPECT_EQ(std::count(result.console.begin(), result.console.end(), '\n') >= 100, true)
        << result.console.substr(0, 2000);
}

TEST(OpusFolder, BaseNames) {
    EXPECT_EQ(opus_base_name("soil12.0"), "soil12");
    EXPECT_EQ(opus_base_name("a.b.17"), "a.b");
    EXPECT_EQ(opus_base_name("x.0.bak"), "");
    EXPECT_EQ(opus_base_name("noext"), "");
    EXPECT_EQ(opus_base_name(".5"), "");
}

// The natural cubic spline of a ground truth on the wavenumbers as the names round them,
// evaluated on the grid with the edge rule for the first and last grid points.
std::vector<double> expected_resampling(const std::string& truth_path,
                                        const std::vector<double>& grid) {
    auto points = test::read_ground_truth(truth_path);
    for (auto& point : points) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", point.first);
        point.first = std::stod(text);
    }
    std::sort(points.begin(), points.end());
    std::vector<double> x;
    std::vector<double> y;
    for (const auto& point : points) {
        x.push_back(point.first);
        y.push_back(point.second);
    }
    std::unique_ptr<gsl_spline, void (*)(gsl_spline*)> spline(
        gsl_spline_alloc(gsl_interp_cspline, x.size()), gsl_spline_free);
    gsl_spline_init(spline.get(), x.data(), y.data(), x.size());
    std::vector<double> values;
    for (const double g : grid) {
        values.push_back(
            gsl_spline_eval(spline.get(), std::min(std::max(g, x.front()), x.back()), nullptr));
    }
    return values;
}

TEST(OpusFolder, RealHtsxtFilesResampledOntoTheGridAndAveraged) {
    const std::string samples = test::opus_samples_dir();
    if (samples.empty()) {
        GTEST_SKIP() << "../shared/opus-samples is missing: real-file tests not run";
    }
    TempDir dir;
    const std::string conf =
        dir.write("opus.conf", "[htsxt]\nstart_wn = 7497.96\nend_wn = 599.76\nnum_wn = 3578\n");
    std::vector<double> grid(3578);
    const double step = (7497.96 - 599.76) / 3577.0;
    double v = 7497.96 + step;
    for (double& g : grid) {
        v -= step;
        g = v;
    }
    const std::string c1 = samples + "/629266_1TP_A-1_C1.0";
    const std::string d1 = samples + "/629266_1TP_A-1_D1.0";
    const std::vector<double> c1_expected = expected_resampling(c1 + ".ab.csv", grid);
    const std::vector<double> d1_expected = expected_resampling(d1 + ".ab.csv", grid);

    // Under their own names: two base names, two rows.
    fs::create_directories(dir.path() / "own");
    fs::copy_file(c1, dir.path() / "own" / "629266_1TP_A-1_C1.0");
    fs::copy_file(d1, dir.path() / "own" / "629266_1TP_A-1_D1.0");
    Import result = run_import(conf, dir.file("own") + "/");
    ASSERT_EQ(result.table.ids,
              (std::vector<std::string>{"629266_1TP_A-1_C1", "629266_1TP_A-1_D1"}));
    for (std::size_t i = 0; i < grid.size(); ++i) {
        ASSERT_NEAR(result.table.rows[0][i], c1_expected[i], 1e-9) << i;
        ASSERT_NEAR(result.table.rows[1][i], d1_expected[i], 1e-9) << i;
    }

    // As two replicates of one sample: one row, their average.
    fs::create_directories(dir.path() / "replicates");
    fs::copy_file(c1, dir.path() / "replicates" / "soil.0");
    fs::copy_file(d1, dir.path() / "replicates" / "soil.1");
    result = run_import(conf, dir.file("replicates"));
    ASSERT_EQ(result.table.ids, std::vector<std::string>{"soil"});
    for (std::size_t i = 0; i < grid.size(); ++i) {
        ASSERT_NEAR(result.table.rows[0][i], (c1_expected[i] + d1_expected[i]) / 2, 1e-9) << i;
    }
}

// Points without a value (a reflectance not above 0 at the detector's edge) stay empty in a
// conversion, which says where; they refuse a file only where the table needs them: on the axis
// the folder shares, not on a model's wavenumbers that stop short of them.
TEST(OpusFolder, PointsWithoutAValueRefuseAFileOnlyWhereTheyAreNeeded) {
    TempDir dir;
    tools::AbsorbanceFileOptions options;
    options.instrument = "VERTEX 80V";
    options.detector = "RT-DLaTGS";
    options.data_type = 0x0000100Fu;
    options.first_x = 4000;
    options.last_x = 600;
    options.values.clear();
    for (int k = 0; k < 35; ++k) {
        options.values.push_back(k < 3 ? std::nanf("") : 0.1f * static_cast<float>(k));
    }
    dir.write("scans/edge.0", tools::opus_file(tools::absorbance_blocks(options)));
    LoggerSet log;
    OpusFolderOptions converting(SampleNaming(), "vertex80v");
    converting.keep_empty_points = true;
    SpectraTable kept;
    import_opus_folder(kept, dir.file("none.conf"), dir.file("scans"), log, nullptr, converting);
    ASSERT_EQ(kept.rows.size(), 1u);
    EXPECT_TRUE(std::isnan(kept.rows[0][2]));
    EXPECT_EQ(kept.rows[0][3], static_cast<double>(0.3f));
    EXPECT_NE(std::find(kept.read_notes.begin(), kept.read_notes.end(),
                        "edge.0: no value at 4000.00–3800.00 cm-1, left empty."),
              kept.read_notes.end());

    try {
        SpectraTable refused;
        import_opus_folder(refused, dir.file("none.conf"), dir.file("scans"), log, nullptr,
                           OpusFolderOptions(SampleNaming(), "vertex80v"));
        FAIL() << "a spectrum without the points of its own axis was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "No file of '" + dir.file("scans") +
                      "' gave a spectrum: 1 file: the spectrum has no value at 4000.00–3800.00 "
                      "cm-1 of the axis most files share (the log names each file).");
    }

    OpusFolderOptions onto(SampleNaming(), "vertex80v");
    onto.axis_names = {"m3000.0", "m2500.0", "m2000.0"};
    SpectraTable on_model;
    import_opus_folder(on_model, dir.file("none.conf"), dir.file("scans"), log, nullptr, onto);
    ASSERT_EQ(on_model.rows.size(), 1u);
    EXPECT_NEAR(on_model.rows[0][0], 1.0, 1e-6);
    EXPECT_NEAR(on_model.rows[0][2], 2.0, 1e-6);
}

// A lab's own instrument: every file on its own axis, without a section in the configuration
// (here not even a configuration file). The table takes the axis most files share, not the first
// file's: a stray file of another instrument named to sort first is the only one refused.
TEST(OpusFolder, OwnAxesFormTheTableOnTheAxisMostFilesShare) {
    TempDir dir;
    const auto file = [&](const std::string& name, std::uint32_t type, float offset, double first,
                          double last, int points) {
        tools::AbsorbanceFileOptions options;
        options.instrument = "INVENIO-S";
        options.detector = "RT-DLaTGS";
        options.data_type = type;
        options.first_x = first;
        options.last_x = last;
        options.values.clear();
        for (int k = 0; k < points; ++k) {
            const double x = first + (last - first) * k / (points - 1);
            options.values.push_back(offset + static_cast<float>(x / 10000.0));
        }
        dir.write("scans/" + name, tools::opus_file(tools::absorbance_blocks(options)));
    };
    file("a.0", 0x0000100Fu, 0.0f, 4000, 600, 35);
    file("a.1", 0x0000100Fu, 0.5f, 4000, 600, 35);  // replicate on the same axis
    file("b.0", 0x0000100Fu, 0.25f, 600, 4000, 69); // finer and rising: resampled
    file("c.0", 0x0000100Fu, 0.0f, 3000, 600, 25);  // does not cover the first axis
    file("0stray.0", 0x0000100Fu, 0.0f, 2000, 600, 15);
    LoggerSet log;
    LogCapture seen(log);
    SpectraTable table;
    std::vector<std::string> names;
    import_opus_folder(table, dir.file("none.conf"), dir.file("scans"), log, &names,
                       OpusFolderOptions(SampleNaming(), "invenio-s"));
    ASSERT_EQ(table.ids, (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(names.size(), 35u);
    EXPECT_EQ(names.front(), "wn_4000.000");
    EXPECT_EQ(names[1], "wn_3900.000");
    EXPECT_EQ(table.machine_type, "");
    for (std::size_t k = 0; k < 35; ++k) {
        const double x = 4000.0 - 100.0 * static_cast<double>(k);
        // The replicates' mean as stored (float32), and the resampled line exactly.
        const double stored = static_cast<double>(static_cast<float>(x / 10000.0)) +
                              static_cast<double>(0.5f + static_cast<float>(x / 10000.0));
        EXPECT_EQ(table.rows[0][k], stored / 2.0) << k;
        EXPECT_NEAR(table.rows[1][k], 0.25 + x / 10000.0, 1e-6) << k;
    }
    ASSERT_EQ(table.defective.size(), 2u);
    EXPECT_EQ(fs::path(table.defective[0].path).filename(), "0stray.0");
    EXPECT_EQ(table.defective[0].reason,
              "The spectra cover 2000.00–600.00 cm-1, 15 points; they cannot be resampled onto "
              "4000.00–600.00 cm-1, 35 points without extrapolating.");
    EXPECT_EQ(table.defective[1].reason,
              "The spectra cover 3000.00–600.00 cm-1, 25 points; they cannot be resampled onto "
              "4000.00–600.00 cm-1, 35 points without extrapolating.");
    EXPECT_EQ(
        table.read_notes,
        (std::vector<std::string>{
            "3 files: absorbance.",
            "1 file resampled onto the axis most files share (4000.00–600.00 cm-1, 35 points)."}));
    const std::vector<std::string> messages = seen.messages();
    const auto logged = [&](const std::string& line) {
        return std::find(messages.begin(), messages.end(), line) != messages.end();
    };
    EXPECT_TRUE(logged("  b.0 resampled from 4000.00–600.00 cm-1, 69 points onto the axis most "
                       "files share (4000.00–600.00 cm-1, 35 points)"));

    // A model's wavenumbers given: every file goes onto them on its own (a does not keep its
    // axis), the columns take the model's names, and only files that cannot cover them are out.
    std::vector<std::string> model_names;
    for (int w = 3500; w >= 700; w -= 100) {
        model_names.push_back("m" + std::to_string(w) + ".0");
    }
    OpusFolderOptions onto(SampleNaming(), "invenio-s");
    onto.axis_names = model_names;
    SpectraTable on_model;
    import_opus_folder(on_model, dir.file("none.conf"), dir.file("scans"), log, nullptr, onto);
    EXPECT_EQ(on_model.ids, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(on_model.names, model_names);
    ASSERT_EQ(on_model.rows[0].size(), 29u);
    for (std::size_t k = 0; k < 29; ++k) {
        const double x = 3500.0 - 100.0 * static_cast<double>(k);
        EXPECT_NEAR(on_model.rows[0][k], 0.25 + x / 10000.0, 1e-6) << k; // a straight line kept
        EXPECT_NEAR(on_model.rows[1][k], 0.25 + x / 10000.0, 1e-6) << k;
    }
    ASSERT_EQ(on_model.defective.size(), 2u);
    EXPECT_EQ(on_model.read_notes.back(),
              "3 files resampled onto the model's wavenumbers (3500.00–700.00 cm-1, 29 points).");
    EXPECT_TRUE(logged("The files are read on their own axes: the spectrometer 'invenio-s' has no "
                       "grid of its own in \"" +
                       dir.file("none.conf") + "\"."));

    // With a section of its own, the name's grid is taken whatever the files' types, and the
    // files are put onto it as for the standard types (a rising axis is not read there).
    const std::string conf = dir.write("opus.conf", "[invenio-s]\nstart_wn = 4000\nend_wn = "
                                                    "600\nnum_wn = 3\n");
    SpectraTable gridded;
    import_opus_folder(gridded, conf, dir.file("scans"), log, nullptr,
                       OpusFolderOptions(SampleNaming(), "invenio-s"));
    EXPECT_EQ(gridded.ids, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(gridded.names, (std::vector<std::string>{"X4000.000", "X2300.000", "X600.000"}));
}

} // namespace
} // namespace veldra
