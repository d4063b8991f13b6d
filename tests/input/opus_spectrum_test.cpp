// Files of every block kind, written with the test writer, read on their own axes.
#include "input/opus_reader.h"

#include "tests/support/temp_dir.h"
#include "tools/opus_writer.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;
using tools::AbsorbanceFileOptions;

OpusFile read_own_axis(const TempDir& dir, const std::vector<tools::OpusBlockSpec>& blocks) {
    OpusReader reader;
    reader.own_axis = true;
    return read_opus_file(reader, dir.write("spectrum.0", tools::opus_file(blocks)));
}

AbsorbanceFileOptions three_points(std::uint32_t type, std::vector<float> values, double first,
                                   double last) {
    AbsorbanceFileOptions options;
    options.data_type = type;
    options.values = std::move(values);
    options.first_x = first;
    options.last_x = last;
    return options;
}

TEST(OpusOwnAxis, EveryKindOfBlockInEitherDirectionGivesAFallingAbsorbance) {
    struct Case {
        const char* what;
        std::uint32_t type;
        std::vector<float> values;
        double first;
        double last;
        OpusSource source;
        std::vector<double> expected; // at 4000, 3500, 3000
        bool percent;
    };
    const std::vector<Case> cases = {
        {"absorbance",
         0x0000100Fu,
         {0.1f, 0.2f, 0.3f},
         4000,
         3000,
         OpusSource::absorbance,
         {0.1f, 0.2f, 0.3f},
         false},
        {"absorbance, rising",
         0x0000100Fu,
         {0.1f, 0.2f, 0.3f},
         3000,
         4000,
         OpusSource::absorbance,
         {0.3f, 0.2f, 0.1f},
         false},
        {"reflectance",
         0x0000300Fu,
         {0.5f, 0.25f, 0.125f},
         4000,
         3000,
         OpusSource::reflectance,
         {std::log10(2.0), std::log10(4.0), std::log10(8.0)},
         false},
        {"reflectance in percent",
         0x4000300Fu,
         {50, 25, 12.5},
         4000,
         3000,
         OpusSource::reflectance,
         {std::log10(2.0), std::log10(4.0), std::log10(8.0)},
         true},
        {"transmittance, rising",
         0x0000140Fu,
         {0.125f, 0.25f, 0.5f},
         3000,
         4000,
         OpusSource::transmittance,
         {std::log10(2.0), std::log10(4.0), std::log10(8.0)},
         false},
        {"ATR",
         0x0000400Fu,
         {0.5f, 0.75f, 1.5f},
         4000,
         3000,
         OpusSource::atr,
         {0.5, 0.75, 1.5},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const OpusFile file = read_own_axis(
            dir, tools::absorbance_blocks(three_points(c.type, c.values, c.first, c.last)));
        ASSERT_EQ(file.records.size(), 1u) << (file.diagnostics.empty() ? "" : file.diagnostics[0]);
        const OpusRecord& record = file.records[0];
        EXPECT_EQ(record.source, c.source);
        EXPECT_EQ(record.axis, (std::vector<double>{4000, 3500, 3000}));
        ASSERT_EQ(record.grid_values.size(), 3u);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(record.grid_values[k], c.expected[k], 1e-12) << k;
        }
        EXPECT_EQ(record.source_note.find("in percent") != std::string::npos, c.percent)
            << record.source_note;
        EXPECT_TRUE(file.variable_names.empty());
        EXPECT_EQ(record.texts, (std::vector<std::string>{"htsxt", "soil 12", "16/03/2023"}));
    }
}

TEST(OpusOwnAxis, SingleChannelsAreRatioedAndTheFinalAbsorbanceIsPreferred) {
    TempDir dir;
    // The sample's channel on three points, the reference's on five over the same range.
    std::vector<tools::OpusBlockSpec> blocks =
        tools::absorbance_blocks(three_points(0x00000407u, {1, 2, 4}, 4000, 3000));
    blocks.push_back(tools::float_block(0x0000040Bu, {2, 2, 2, 2, 2}));
    blocks.push_back(tools::parameter_block(
        0x0000041Bu, {tools::int_parameter("DPF", 1), tools::int_parameter("NPT", 5),
                      tools::double_parameter("FXV", 4000), tools::double_parameter("LXV", 3000),
                      tools::double_parameter("CSF", 1)}));
    const OpusFile ratio = read_own_axis(dir, blocks);
    ASSERT_EQ(ratio.records.size(), 1u) << ratio.diagnostics.front();
    EXPECT_EQ(ratio.records[0].source, OpusSource::single_channels);
    EXPECT_EQ(ratio.records[0].grid_values,
              (std::vector<double>{-std::log10(0.5), -std::log10(1.0), -std::log10(2.0)}));
    EXPECT_EQ(ratio.records[0].source_note,
              "the reference single channel resampled onto the sample's axis");

    // Without the reference, the sample's channel alone gives no absorbance.
    blocks.resize(blocks.size() - 2);
    const OpusFile alone = read_own_axis(dir, blocks);
    EXPECT_TRUE(alone.records.empty());
    EXPECT_EQ(alone.diagnostics,
              std::vector<std::string>{"ERROR : no sample spectrum to read: the file holds a "
                                       "sample single channel (a sample single channel needs its "
                                       "reference) From file \"" +
                                       dir.file("spectrum.0") + "\""});

    // Before and after atmospheric compensation: the compensated one (top byte 0) is taken,
    // whichever comes first, and an absorbance block is taken before a reflectance.
    std::vector<tools::OpusBlockSpec> two =
        tools::absorbance_blocks(three_points(0x4000100Fu, {9, 9, 9}, 4000, 3000));
    for (const std::uint32_t type : {0x0000100Fu, 0x0000300Fu}) {
        const std::vector<tools::OpusBlockSpec> more =
            tools::absorbance_blocks(three_points(type, {1, 2, 3}, 4000, 3000));
        two.insert(two.end(), more.end() - 2, more.end());
    }
    const OpusFile compensated = read_own_axis(dir, two);
    ASSERT_EQ(compensated.records.size(), 1u);
    EXPECT_EQ(compensated.records[0].grid_values, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(compensated.records[0].source_note,
              "2 absorbance blocks: the final one (after atmospheric compensation) is taken");
}

TEST(OpusOwnAxis, AnAxisWithoutWavenumbersIsRefused) {
    for (const auto& [first, last, points] : std::vector<std::tuple<double, double, std::int32_t>>{
             {4000, 4000, 3}, {4000, NAN, 3}, {4000, 3000, 1}}) {
        TempDir dir;
        AbsorbanceFileOptions options = three_points(0x0000100Fu, {1, 2, 3}, first, last);
        options.points = points;
        const OpusFile file = read_own_axis(dir, tools::absorbance_blocks(options));
        EXPECT_TRUE(file.records.empty());
        ASSERT_EQ(file.diagnostics.size(), 1u);
        EXPECT_NE(file.diagnostics[0].find("gives no wavenumbers"), std::string::npos)
            << file.diagnostics[0];
    }
}

} // namespace
} // namespace veldra
