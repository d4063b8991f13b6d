#include "input/opus_reader.h"

#include "tests/support/temp_dir.h"
#include "tools/opus_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;
using tools::AbsorbanceFileOptions;

struct Outcome {
    OpusFile file;
    std::string console;
};

// Reads `bytes` as an OPUS file with `grid`; returns the result and what was printed.
Outcome read_bytes(const TempDir& dir, const std::string& bytes, std::vector<double> grid,
                   const std::string& name = "spectrum.0") {
    const std::string path = dir.write(name, bytes);
    OpusReader reader;
    reader.grid = std::move(grid);
    Outcome outcome{read_opus_file(reader, path), ""};
    for (const std::string& line : outcome.file.diagnostics) {
        outcome.console += line + "\n";
    }
    return outcome;
}

std::string from_file(const TempDir& dir, const std::string& name = "spectrum.0") {
    return " From file \"" + dir.file(name) + "\"\n";
}

// Values of a straight line over 4000..3600 (five points): a natural spline reproduces it.
std::vector<float> line_values() {
    return {4.0f, 3.9f, 3.8f, 3.7f, 3.6f};
}
double line_at(double wavenumber) {
    return wavenumber / 1000.0;
}

TEST(OpusReader, ReadsTheAbsorbanceSpectrumWithItsAxisAndTexts) {
    TempDir dir;
    AbsorbanceFileOptions options;
    options.values = line_values();
    options.scale = 2.0;
    const Outcome outcome =
        read_bytes(dir, tools::opus_file(tools::absorbance_blocks(options)), {3950, 3800, 3650});
    EXPECT_EQ(outcome.console, "");
    ASSERT_EQ(outcome.file.variable_names,
              (std::vector<std::string>{"SAMPLEID", "MID", "DateTime", "m4000.000", "m3900.000",
                                        "m3800.000", "m3700.000", "m3600.000"}));
    ASSERT_EQ(outcome.file.records.size(), 1u);
    const OpusRecord& record = outcome.file.records[0];
    EXPECT_EQ(record.texts, (std::vector<std::string>{"htsxt", "soil 12", "16/03/2023"}));
    ASSERT_EQ(record.raw_values.size(), 5u);
    EXPECT_EQ(record.raw_values[1], static_cast<double>(3.9f) * 2.0);
    ASSERT_EQ(record.grid_values.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const double g = std::vector<double>{3950, 3800, 3650}[i];
        EXPECT_NEAR(record.grid_values[i], 2.0 * line_at(g), 1e-6) << g;
    }
}

TEST(OpusReader, FindsTheSpectrumWhateverTheBlockAndDirectoryOrder) {
    TempDir dir;
    AbsorbanceFileOptions options;
    options.values = line_values();
    std::vector<tools::OpusBlockSpec> blocks = tools::absorbance_blocks(options);
    std::swap(blocks[3], blocks[4]); // status block before the data block
    for (const auto& order : std::vector<std::vector<std::size_t>>{{}, {4, 3, 2, 1, 0}}) {
        const Outcome outcome = read_bytes(dir, tools::opus_file(blocks, order), {3900});
        ASSERT_EQ(outcome.file.records.size(), 1u) << outcome.console;
        EXPECT_NEAR(outcome.file.records[0].grid_values[0], 3.9, 1e-6);
    }
}

TEST(OpusReader, TakesTheCompensatedAbsorbanceBlockAndIgnoresOthers) {
    TempDir dir;
    AbsorbanceFileOptions options;
    options.values = line_values();
    std::vector<tools::OpusBlockSpec> blocks = tools::absorbance_blocks(options);
    const auto data_pair = [&](std::uint32_t type, float offset) {
        AbsorbanceFileOptions other = options;
        other.data_type = type;
        for (float& v : other.values) {
            v += offset;
        }
        const auto pair = tools::absorbance_blocks(other);
        return std::vector<tools::OpusBlockSpec>{pair[3], pair[4]};
    };
    // Before compensation (0x40), derived variant (byte 2), single channel and reflectance
    // blocks around the final absorbance block (top byte 0x00, values + 10).
    std::vector<tools::OpusBlockSpec> file = {blocks[0], blocks[1], blocks[2]};
    for (const auto& pair :
         {data_pair(0x4000100Fu, 0), data_pair(0x0060100Fu, 20), data_pair(0x00001007u, 30),
          data_pair(0x0000100Fu, 10), data_pair(0x0000300Fu, 40)}) {
        file.insert(file.end(), pair.begin(), pair.end());
    }
    Outcome outcome = read_bytes(dir, tools::opus_file(file), {3900});
    ASSERT_EQ(outcome.file.records.size(), 1u) << outcome.console;
    EXPECT_NEAR(outcome.file.records[0].grid_values[0], 13.9, 1e-5);

    // The same blocks in the other order still give the final one.
    std::vector<std::size_t> reversed;
    for (std::size_t i = file.size(); i-- > 0;) {
        reversed.push_back(i);
    }
    outcome = read_bytes(dir, tools::opus_file(file, reversed), {3900});
    ASSERT_EQ(outcome.file.records.size(), 1u) << outcome.console;
    EXPECT_NEAR(outcome.file.records[0].grid_values[0], 13.9, 1e-5);
}

TEST(OpusReader, EachProblemMakesTheFileDefectiveWithADiagnostic) {
    TempDir dir;
    struct Case {
        const char* name;
        std::function<void(AbsorbanceFileOptions&, std::vector<tools::OpusBlockSpec>&)> change;
        std::string diagnostic;
        bool keeps_names;
    };
    const std::vector<Case> cases = {
        {"reflectance only",
         [](auto& o, auto& b) {
             o.data_type = 0x0000300Fu;
             b = tools::absorbance_blocks(o);
         },
         "ERROR : no absorbance spectrum in the file", false},
        {"no status block", [](auto&, auto& b) { b.pop_back(); },
         "ERROR : the absorbance spectrum has no status parameters", false},
        {"DPF 2",
         [](auto& o, auto& b) {
             o.format = 2;
             b = tools::absorbance_blocks(o);
         },
         "ERROR : data format DPF=2 is not supported (only 1, float32)", false},
        {"rising axis",
         [](auto& o, auto& b) {
             std::swap(o.first_x, o.last_x);
             b = tools::absorbance_blocks(o);
         },
         "ERROR : Something went wrong with the conversion. No column names extracted", false},
        {"one point",
         [](auto& o, auto& b) {
             o.points = 1;
             b = tools::absorbance_blocks(o);
         },
         "ERROR : Something went wrong with the conversion. No column names extracted", false},
        {"NaN axis",
         [](auto& o, auto& b) {
             o.first_x = std::numeric_limits<double>::quiet_NaN();
             b = tools::absorbance_blocks(o);
         },
         "ERROR : Something went wrong with the conversion. No column names extracted", false},
        {"NPT beyond the data block",
         [](auto& o, auto& b) {
             o.points = 6;
             b = tools::absorbance_blocks(o);
         },
         "ERROR : the absorbance data block is shorter than NPT=6 values", true},
        {"two points cannot make the spline",
         [](auto& o, auto& b) {
             o.values = {1.0f, 2.0f};
             b = tools::absorbance_blocks(o);
         },
         "ERROR : the spectrum needs at least three strictly rising wavenumbers for the spline",
         true},
        {"points closer than the names' rounding",
         [](auto& o, auto& b) {
             o.first_x = 4000.0002;
             o.last_x = 4000.0;
             b = tools::absorbance_blocks(o);
         },
         "ERROR : the spectrum needs at least three strictly rising wavenumbers for the spline",
         true},
        {"no INS", [](auto&, auto& b) { b[0] = tools::parameter_block(0x40000020u, {}); },
         "ERROR : parameter INS not found", false},
        {"no optics block", [](auto&, auto& b) { b.erase(b.begin() + 1); },
         "ERROR : no optics parameter block", false},
        {"NPT stored as a float",
         [](auto&, auto& b) {
             b[4] = tools::parameter_block(0x4000101Fu, {tools::int_parameter("DPF", 1),
                                                         tools::double_parameter("NPT", 5),
                                                         tools::double_parameter("FXV", 4000),
                                                         tools::double_parameter("LXV", 3600),
                                                         tools::double_parameter("CSF", 1)});
         },
         "ERROR : parameter NPT is not an integer", false},
        {"a damaged record's name, shown byte by byte",
         [](auto&, auto& b) {
             b[4] = tools::parameter_block(0x4000101Fu, {tools::int_parameter("\x01\xFFZ", 1)});
             b[4].bytes[6] = '\xFF'; // its value said to run far past the block
             b[4].bytes[7] = '\x7F';
         },
         "ERROR : parameter \\x01\\xFFZ runs past its block", false},
        {"no END in a parameter block",
         [](auto&, auto& b) { b[4].bytes.resize(b[4].bytes.size() - 8); },
         "ERROR : a parameter block has no END record", false},
    };
    for (const Case& c : cases) {
        AbsorbanceFileOptions options;
        std::vector<tools::OpusBlockSpec> blocks = tools::absorbance_blocks(options);
        c.change(options, blocks);
        const Outcome outcome = read_bytes(dir, tools::opus_file(blocks), {3900});
        EXPECT_TRUE(outcome.file.records.empty()) << c.name;
        EXPECT_EQ(!outcome.file.variable_names.empty(), c.keeps_names) << c.name;
        EXPECT_EQ(outcome.console, c.diagnostic + from_file(dir)) << c.name;
    }
}

TEST(OpusReader, PointCountLimit) {
    TempDir dir;
    for (const std::int32_t points : {100001, 100002}) {
        AbsorbanceFileOptions options;
        options.values.assign(static_cast<std::size_t>(points), 1.0f);
        options.first_x = 100000.0 + points;
        options.last_x = 1.0;
        const Outcome outcome =
            read_bytes(dir, tools::opus_file(tools::absorbance_blocks(options)), {50000});
        EXPECT_EQ(outcome.file.records.size(), points == 100001 ? 1u : 0u) << outcome.console;
    }
    // A directory claiming 2^31 - 1 points over a few bytes of data.
    AbsorbanceFileOptions options;
    options.points = std::numeric_limits<std::int32_t>::max();
    const Outcome outcome =
        read_bytes(dir, tools::opus_file(tools::absorbance_blocks(options)), {3800});
    EXPECT_TRUE(outcome.file.records.empty());
    EXPECT_NE(outcome.console.find("No column names extracted"), std::string::npos)
        << outcome.console;
}

TEST(OpusReader, SampleNameAndGridEdges) {
    TempDir dir;
    AbsorbanceFileOptions options;
    options.values = line_values();
    options.sample_name = "";
    // First grid point above the file's range and last below it take the edge values.
    Outcome outcome =
        read_bytes(dir, tools::opus_file(tools::absorbance_blocks(options)), {4100, 3800, 3500});
    EXPECT_EQ(outcome.console, "WARNING : Product name not found inside OPUS file...\n");
    ASSERT_EQ(outcome.file.records.size(), 1u);
    EXPECT_EQ(outcome.file.records[0].texts[1], "");
    EXPECT_NEAR(outcome.file.records[0].grid_values[0], 4.0, 1e-6);
    EXPECT_NEAR(outcome.file.records[0].grid_values[2], 3.6, 1e-6);

    options.sample_name = "A;B";
    outcome =
        read_bytes(dir, tools::opus_file(tools::absorbance_blocks(options)), {4100, 4050, 3600});
    EXPECT_TRUE(outcome.file.records.empty());
    EXPECT_EQ(outcome.console, "ERROR for k=1,n=3: interpolated wavelength of 4050 lies outside "
                               "range [3600,4000]." +
                                   from_file(dir));
    outcome =
        read_bytes(dir, tools::opus_file(tools::absorbance_blocks(options)), {3900, 3500, 3400});
    EXPECT_EQ(outcome.console, "ERROR for k=1,n=3: interpolated wavelength of 3500 lies outside "
                               "range [3600,4000]." +
                                   from_file(dir));
}

TEST(OpusReader, TruncationsAndBadOffsetsNeverReadOutsideTheFile) {
    TempDir dir;
    AbsorbanceFileOptions options;
    options.values = line_values();
    const std::string whole = tools::opus_file(tools::absorbance_blocks(options));
    // Every length up to the whole file: a diagnostic, never a crash or a read past the end
    // (the sanitized build checks the latter).
    for (std::size_t length = 0; length < whole.size(); length += 4) {
        const Outcome outcome = read_bytes(dir, whole.substr(0, length), {3900});
        EXPECT_TRUE(outcome.file.records.empty()) << length;
        EXPECT_NE(outcome.console.find("ERROR"), std::string::npos) << length;
    }
    EXPECT_EQ(read_bytes(dir, "", {3900}).console,
              "ERROR : file \"" + dir.file("spectrum.0") +
                  "\" has size 0!\nWARNING : empty buffer. skipping...\nERROR : No col names in "
                  "file \"" +
                  dir.file("spectrum.0") + "\"\n");
    EXPECT_EQ(read_bytes(dir, "plain text, not a spectrum", {3900}).console,
              "ERROR : not an OPUS file (no OPUS header)" + from_file(dir));

    // A directory entry whose block runs past the end, or a directory past the end.
    std::string bad = whole;
    const std::uint32_t far = 1u << 30;
    std::memcpy(&bad[24 + 12 * 3 + 8], &far, 4); // the data block's offset
    EXPECT_EQ(read_bytes(dir, bad, {3900}).console,
              "ERROR : the absorbance data block lies outside the file" + from_file(dir));
    bad = whole;
    std::memcpy(&bad[12], &far, 4);
    EXPECT_EQ(read_bytes(dir, bad, {3900}).console,
              "ERROR : the block directory lies outside the file" + from_file(dir));
}

TEST(OpusReader, MachineTypes) {
    TempDir dir;
    struct Case {
        std::string instrument, beamsplitter, detector, type;
    };
    for (const Case& c : std::vector<Case>{
             {"VERTEX 70", "KBr", "HTS-XT LN-MCT Mid", "htsxt"},
             {"VERTEX 70", "KBr", "HTS XT LN-MCT Mid", "htsxt"},
             {"Alpha", "KBr", "HTS-XT", "htsxt"},
             {"Alpha II", "KBr", "RT-DLATGS", "alpha_kbr"},
             {"Alpha", "ZnSe", "RT-DLATGS", "alpha_znse"},
             {"Alpha", "Quartz", "RT-DLATGS", "NA"},
             {"MPA", "Quartz", "RT-PbS", "mpa"},
             {"INVENIO-R", "KBr", "LN-MCT Mid", "NA"},
         }) {
        AbsorbanceFileOptions options;
        options.instrument = c.instrument;
        options.beamsplitter = c.beamsplitter;
        options.detector = c.detector;
        const std::string path =
            dir.write("t.0", tools::opus_file(tools::absorbance_blocks(options)));
        EXPECT_EQ(detect_machine_type(path), c.type) << c.instrument << " " << c.detector;
    }
    EXPECT_EQ(detect_machine_type(dir.file("missing.0")), "NA");
}

} // namespace
} // namespace veldra
