// Real files from public instruments, read against the spectra an independent reader found.
#include "input/opus_folder.h"
#include "input/opus_reader.h"

#include "tests/support/opus_samples.h"
#include "tests/support/temp_dir.h"

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

#define REQUIRE_SAMPLES(dir)                                                                       \
    const std::string dir = test::opus_samples_dir();                                              \
    if (dir.empty()) {                                                                             \
        GTEST_SKIP() << "../shared/opus-samples is missing: real-file tests not run";              \
    }

struct Sample {
    const char* file;
    const char* machine_type;
    bool absorbance;
};

const std::vector<Sample> samples = {
    {"617262_1TP_C-1_A5.0", "NA", true},
    {"617262_1TP_C-1_D4.0", "NA", true},
    {"629266_1TP_A-1_C1.0", "htsxt", true},
    {"629266_1TP_A-1_D1.0", "htsxt", true},
    {"MMP_2107_Test1.001", "NA", true},
    {"issue81_A1.1.0", "htsxt", true},
    {"issue82_Opus_test.0", "mpa", true},
    {"issue94_RT_01_1_23-02-21_13-23-54.0", "alpha_kbr", true},
    {"test_spectra.0", "htsxt", false},
    {"vertex80v_file.0", "NA", true},
    {"vertex80v_refl_only.0", "NA", false},
    {"ftir_ps.0", "NA", true},
    {"vertex70_reference_only.2", "NA", false},
};

TEST(OpusSamples, AbsorbanceSpectraEqualTheGroundTruth) {
    REQUIRE_SAMPLES(dir);
    for (const Sample& sample : samples) {
        if (!sample.absorbance) {
            continue;
        }
        SCOPED_TRACE(sample.file);
        const std::string path = dir + "/" + sample.file;
        const auto truth = test::read_ground_truth(path + ".ab.csv");
        ASSERT_GT(truth.size(), 100u);
        OpusReader reader;
        // A grid strictly inside the file's range, so resampling succeeds.
        reader.grid = {truth.front().first - 1.0, truth.back().first + 1.0};
        const OpusFile file = read_opus_file(reader, path);
        const std::string console = file.diagnostics.empty() ? "" : file.diagnostics.front();
        ASSERT_EQ(file.records.size(), 1u) << console;
        const OpusRecord& record = file.records[0];
        ASSERT_EQ(record.raw_values.size(), truth.size());
        ASSERT_EQ(file.variable_names.size(), truth.size() + 3);
        EXPECT_EQ(reader.column_count, static_cast<std::int32_t>(truth.size()) + 3);
        for (std::size_t i = 0; i < truth.size(); ++i) {
            ASSERT_EQ(record.raw_values[i], truth[i].second) << i;
            const std::string& name = file.variable_names[3 + i];
            const double wavenumber = std::stod(name.substr(1));
            ASSERT_NEAR(wavenumber, truth[i].first, 0.0005 + 1e-7) << name;
        }
        EXPECT_EQ(record.grid_values.size(), 2u);
    }
}

TEST(OpusSamples, MachineTypesAndNamePrefixes) {
    REQUIRE_SAMPLES(dir);
    const std::map<std::string, std::string> prefixes = {
        {"issue81_A1.1.0", "m"},                      // Tensor, MIR
        {"issue82_Opus_test.0", "n"},                 // MPA, NIR
        {"issue94_RT_01_1_23-02-21_13-23-54.0", "a"}, // Alpha II, MIR
        {"629266_1TP_A-1_C1.0", "X"},                 // VERTEX
    };
    for (const Sample& sample : samples) {
        const std::string path = dir + "/" + sample.file;
        EXPECT_EQ(detect_machine_type(path), sample.machine_type) << sample.file;
        const auto prefix = prefixes.find(sample.file);
        if (prefix != prefixes.end()) {
            OpusReader reader;
            reader.grid = {};
            const OpusFile file = read_opus_file(reader, path);
            ASSERT_GT(file.variable_names.size(), 3u);
            EXPECT_EQ(file.variable_names[3].substr(0, 1), prefix->second) << sample.file;
        }
    }
}

TEST(OpusSamples, FilesWithoutAbsorbanceAreDefective) {
    REQUIRE_SAMPLES(dir);
    for (const Sample& sample : samples) {
        if (sample.absorbance) {
            continue;
        }
        const std::string path = dir + "/" + sample.file;
        OpusReader reader;
        reader.grid = {4000.0};
        const OpusFile file = read_opus_file(reader, path);
        EXPECT_EQ(file.diagnostics,
                  std::vector<std::string>{
                      "ERROR : no absorbance spectrum in the file From file \"" + path + "\""});
        EXPECT_TRUE(file.records.empty());
        EXPECT_TRUE(file.variable_names.empty());
    }
}

TEST(OpusSamples, RecordTextsComeFromTheParameterBlocks) {
    REQUIRE_SAMPLES(dir);
    OpusReader reader;
    reader.grid = {4000.0};
    const OpusFile file = read_opus_file(reader, dir + "/issue81_A1.1.0");
    ASSERT_EQ(file.records.size(), 1u);
    EXPECT_EQ(file.records[0].texts, (std::vector<std::string>{"htsxt", "5_19", "16/03/2023"}));
}

OpusFile read_own_axis(const std::string& path) {
    OpusReader reader;
    reader.own_axis = true;
    return read_opus_file(reader, path);
}

TEST(OpusSamples, OnTheirOwnAxesFilesGiveTheirAbsorbanceAsStored) {
    REQUIRE_SAMPLES(dir);
    for (const Sample& sample : samples) {
        if (!sample.absorbance) {
            continue;
        }
        SCOPED_TRACE(sample.file);
        const std::string path = dir + "/" + sample.file;
        const auto truth = test::read_ground_truth(path + ".ab.csv");
        const OpusFile file = read_own_axis(path);
        ASSERT_EQ(file.records.size(), 1u) << (file.diagnostics.empty() ? "" : file.diagnostics[0]);
        const OpusRecord& record = file.records[0];
        EXPECT_EQ(record.source, OpusSource::absorbance);
        ASSERT_EQ(record.grid_values.size(), truth.size());
        ASSERT_EQ(record.axis.size(), truth.size());
        for (std::size_t i = 0; i < truth.size(); ++i) {
            ASSERT_EQ(record.grid_values[i], truth[i].second) << i;
            ASSERT_NEAR(record.axis[i], truth[i].first, 1e-9 * truth[i].first) << i;
        }
        // Where the file holds the spectrum before and after atmospheric compensation, the note
        // says which was taken.
        const bool two = std::string(sample.file).rfind("629266", 0) == 0;
        EXPECT_EQ(record.source_note.empty(), !two) << record.source_note;
    }
}

TEST(OpusSamples, ReflectanceFilesGiveLogOfItsInverseAndABackgroundIsRefused) {
    REQUIRE_SAMPLES(dir);
    for (const char* name : {"test_spectra.0", "vertex80v_refl_only.0"}) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        const auto truth = test::read_ground_truth(path + ".refl.csv");
        const OpusFile file = read_own_axis(path);
        ASSERT_EQ(file.records.size(), 1u) << (file.diagnostics.empty() ? "" : file.diagnostics[0]);
        const OpusRecord& record = file.records[0];
        EXPECT_EQ(record.source, OpusSource::reflectance);
        ASSERT_EQ(record.grid_values.size(), truth.size());
        std::size_t undefined = 0;
        for (std::size_t i = 0; i < truth.size(); ++i) {
            ASSERT_NEAR(record.axis[i], truth[i].first, 1e-9 * truth[i].first) << i;
            if (truth[i].second > 0) {
                ASSERT_NEAR(record.grid_values[i], std::log10(1.0 / truth[i].second), 1e-14) << i;
            } else {
                ASSERT_TRUE(std::isnan(record.grid_values[i])) << i;
                ++undefined;
            }
        }
        // The Vertex file's noisy far end has reflectances below 0: the note counts them.
        EXPECT_EQ(undefined > 0, record.source_note.find("have no logarithm") != std::string::npos);
    }
    // In a folder: the Vertex file's empty points stay empty in a conversion, and a model that
    // stops below 8000 cm-1 takes the file whole.
    test::TempDir folder;
    boost::filesystem::copy_file(dir + "/vertex80v_refl_only.0",
                                 folder.path() / "vertex80v_refl_only.0");
    LoggerSet log;
    OpusFolderOptions converting(SampleNaming(), "vertex80v");
    converting.keep_empty_points = true;
    SpectraTable converted;
    import_opus_folder(converted, folder.file("none.conf"), folder.path().string(), log, nullptr,
                       converting);
    ASSERT_EQ(converted.rows.size(), 1u);
    std::size_t empty = 0;
    for (const double value : converted.rows[0]) {
        empty += std::isnan(value) ? 1 : 0;
    }
    EXPECT_EQ(empty, 7u);
    OpusFolderOptions onto(SampleNaming(), "vertex80v");
    for (int w = 7500; w >= 600; w -= 4) {
        onto.axis_names.push_back("m" + std::to_string(w));
    }
    SpectraTable predicted;
    import_opus_folder(predicted, folder.file("none.conf"), folder.path().string(), log, nullptr,
                       onto);
    ASSERT_EQ(predicted.rows.size(), 1u);
    for (const double value : predicted.rows[0]) {
        ASSERT_TRUE(std::isfinite(value));
    }

    const std::string background = dir + "/vertex70_reference_only.2";
    const OpusFile file = read_own_axis(background);
    EXPECT_TRUE(file.records.empty());
    EXPECT_EQ(file.diagnostics,
              std::vector<std::string>{"ERROR : no sample spectrum to read: the file holds a "
                                       "reference interferogram and a reference single channel "
                                       "From file \"" +
                                       background + "\""});
}

} // namespace
} // namespace veldra
