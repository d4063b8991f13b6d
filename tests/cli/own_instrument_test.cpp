// A lab's own instrument end to end: OPUS files on a grid unlike any configured one, named the
// lab's way, calibrated and predicted from the folder, from its spectra as CSV and from a CSV on
// every second point.
#include "cli/predict_command.h"
#include "cli/train_command.h"
#include "job/job_summary.h"

#include "tests/support/temp_dir.h"
#include "tools/opus_writer.h"

#include <atomic>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

struct Result {
    int code;
    std::string out;
    std::string err;
};

Result run(bool train, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), train ? "veldra-train" : "veldra-predict");
    std::ostringstream out;
    std::ostringstream err;
    const std::atomic<bool> stop{false};
    const int code = train ? run_train_command(arguments, out, err, stop, false)
                           : run_predict_command(arguments, out, err, stop, false);
    return {code, out.str(), err.str()};
}

std::vector<std::vector<std::string>> read_rows(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream cut(line);
        std::string cell;
        while (std::getline(cut, cell, ',')) {
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

std::string text_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The column "mean" of a summary.
std::vector<double> means(const std::string& summary) {
    const auto rows = read_rows(summary);
    std::size_t column = 0;
    while (rows[0][column] != "mean") {
        ++column;
    }
    std::vector<double> values;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        values.push_back(std::stod(rows[i][column]));
    }
    return values;
}

// 30 soils scanned twice on 6000..180 cm-1 (3017 points), files named K0001_S_001_030.0 and
// K0001_S_001_031.0, with a band at 2900 cm-1 whose height sets the clay content.
struct OwnInstrumentLab {
    TempDir dir;
    OwnInstrumentLab() {
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::string targets = "sample_id,Clay\n";
        for (int s = 1; s <= 30; ++s) {
            char id[16];
            std::snprintf(id, sizeof id, "K%04d", s);
            const double level = unit(random);
            targets += std::string(id) + "," + std::to_string(10.0 + 30.0 * level) + "\n";
            for (int scan = 30; scan <= 31; ++scan) {
                tools::AbsorbanceFileOptions options;
                options.instrument = "VERTEX 70";
                options.detector = "RT-DLaTGS [Internal Pos.1]";
                options.data_type = 0x0000100Fu;
                options.first_x = 6000;
                options.last_x = 180;
                options.values.clear();
                for (int k = 0; k < 3017; ++k) {
                    const double x = 6000.0 - (6000.0 - 180.0) * k / 3016.0;
                    const double band = std::exp(-std::pow((x - 2900.0) / 60.0, 2));
                    options.values.push_back(static_cast<float>(
                        0.5 + level * band + 0.1 * std::sin(x / 300.0) + 0.0002 * unit(random)));
                }
                dir.write("scans/" + std::string(id) + "_S_001_0" + std::to_string(scan) + ".0",
                          tools::opus_file(tools::absorbance_blocks(options)));
            }
        }
        dir.write("lab.csv", targets);
        boost::filesystem::create_directories(dir.file("models"));
    }
    std::vector<std::string> predict(const std::string& input, const std::string& output) const {
        return {"--input",        input,      "--models",   dir.file("models"),
                "--spectrometer", "vertex70", "--property", "Clay",
                "--exp",          "no",       "--output",   output,
                "--quiet"};
    }
};

TEST(OwnInstrument, CalibratesFromItsFolderAndPredictsFolderCsvAndACoarserGrid) {
    const OwnInstrumentLab lab;
    const std::string pattern = "^([^_]+)_";
    // Converted without predicting: the spectra as read, named by wavenumber.
    const Result converted =
        run(false, {"--input", lab.dir.file("scans"), "--opus", "--sample-id", pattern,
                    "--spectrometer", "vertex70", "--models", lab.dir.file("models"),
                    "--write-spectra", lab.dir.file("spectra.csv"), "--quiet"});
    ASSERT_EQ(converted.code, 0) << converted.err;
    EXPECT_EQ(converted.out, "Spectra written to:\n  " + lab.dir.file("spectra.csv") +
                                 "\n  60 files: absorbance.\n");
    const auto spectra = read_rows(lab.dir.file("spectra.csv"));
    ASSERT_EQ(spectra.size(), 31u);
    ASSERT_EQ(spectra[0].size(), 3018u);
    EXPECT_EQ(spectra[0][1], "wn_6000.000");
    EXPECT_EQ(spectra[0][3017], "wn_180.000");
    EXPECT_EQ(spectra[1][0], "K0001");

    const Result trained = run(true, {"--spectra",      lab.dir.file("scans"),
                                      "--targets",      lab.dir.file("lab.csv"),
                                      "--id-column",    "sample_id",
                                      "--sample-id",    pattern,
                                      "--spectrometer", "vertex70",
                                      "--property",     "Clay",
                                      "--models",       lab.dir.file("models"),
                                      "--trees",        "10",
                                      "--burn-in",      "20",
                                      "--draws",        "20",
                                      "--quiet"});
    ASSERT_EQ(trained.code, 0) << trained.err;
    EXPECT_NE(trained.out.find("samples 30, skipped 0, covariates 3017"), std::string::npos)
        << trained.out;

    std::vector<std::string> from_folder =
        lab.predict(lab.dir.file("scans"), lab.dir.file("f.csv"));
    from_folder.insert(from_folder.end(), {"--opus", "--sample-id", pattern});
    const Result folder = run(false, from_folder);
    ASSERT_EQ(folder.code, 0) << folder.err;
    const Result csv = run(false, lab.predict(lab.dir.file("spectra.csv"), lab.dir.file("c.csv")));
    ASSERT_EQ(csv.code, 0) << csv.err;
    EXPECT_EQ(text_of(lab.dir.file("c.csv")), text_of(lab.dir.file("f.csv")));
    EXPECT_EQ(text_of(lab.dir.file("c-summary.csv")), text_of(lab.dir.file("f-summary.csv")));

    // The same spectra with their columns in rising order: only reordered, every file the same
    // to the byte (the summary says nothing was resampled).
    std::ofstream rising(lab.dir.file("rising.csv"));
    for (const auto& row : spectra) {
        rising << row[0];
        for (std::size_t k = row.size() - 1; k >= 1; --k) {
            rising << ',' << row[k];
        }
        rising << '\n';
    }
    rising.close();
    const Result reordered =
        run(false, lab.predict(lab.dir.file("rising.csv"), lab.dir.file("r.csv")));
    ASSERT_EQ(reordered.code, 0) << reordered.err;
    EXPECT_EQ(text_of(lab.dir.file("r.csv")), text_of(lab.dir.file("c.csv")));
    EXPECT_EQ(text_of(lab.dir.file("r-summary.csv")), text_of(lab.dir.file("c-summary.csv")));

    // Every second point: resampled onto the model's 3017 wavenumbers, predictions that follow
    // those of the full spectra. They move by a part of their spread: the trees split the first
    // derivative at single wavenumbers, and a spectrum on half the points has lost the detail
    // finer than two steps.
    std::ofstream coarse(lab.dir.file("half.csv"));
    for (const auto& row : spectra) {
        coarse << row[0];
        for (std::size_t k = 1; k < row.size(); k += 2) {
            coarse << ',' << row[k];
        }
        coarse << '\n';
    }
    coarse.close();
    const Result half = run(false, lab.predict(lab.dir.file("half.csv"), lab.dir.file("h.csv")));
    ASSERT_EQ(half.code, 0) << half.err;
    const std::vector<double> full_means = means(lab.dir.file("f-summary.csv"));
    const std::vector<double> half_means = means(lab.dir.file("h-summary.csv"));
    ASSERT_EQ(half_means.size(), 30u);
    double spread = 0;
    double moved = 0;
    double centre = 0;
    double half_centre = 0;
    for (std::size_t i = 0; i < 30; ++i) {
        centre += full_means[i] / 30.0;
        half_centre += half_means[i] / 30.0;
    }
    double together = 0;
    double half_spread = 0;
    for (std::size_t i = 0; i < 30; ++i) {
        spread += std::pow(full_means[i] - centre, 2) / 30.0;
        half_spread += std::pow(half_means[i] - half_centre, 2) / 30.0;
        together += (full_means[i] - centre) * (half_means[i] - half_centre) / 30.0;
        moved += std::fabs(full_means[i] - half_means[i]) / 30.0;
    }
    // The summary says which spectra were resampled.
    const SummaryTable resampled = parse_summary(text_of(lab.dir.file("h-summary.csv")), "h");
    const SummaryTable on_grid = parse_summary(text_of(lab.dir.file("f-summary.csv")), "f");
    ASSERT_EQ(resampled.rows.size(), 30u);
    EXPECT_EQ(resampled.rows[0].resampling, "resampled from 1509 points");
    EXPECT_EQ(on_grid.rows[0].resampling, "");
    EXPECT_GT(std::sqrt(spread), 3.0); // the model follows the band
    EXPECT_GT(together / std::sqrt(spread * half_spread), 0.9);
    EXPECT_LT(moved, 0.4 * std::sqrt(spread)) << moved << " " << std::sqrt(spread);

    // A model whose range the spectra do not cover is refused, both ranges named.
    std::ofstream narrow(lab.dir.file("narrow.csv"));
    for (const auto& row : spectra) {
        for (std::size_t k = 0; k < 2000; ++k) {
            narrow << (k > 0 ? "," : "") << row[k];
        }
        narrow << '\n';
    }
    narrow.close();
    const Result refused =
        run(false, lab.predict(lab.dir.file("narrow.csv"), lab.dir.file("n.csv")));
    EXPECT_NE(refused.code, 0) << refused.err;
    EXPECT_NE(refused.err.find("takes 6000.00–180.00 cm-1, 3017 points. The spectra cover "
                               "6000.00–2144.44 cm-1, 1999 points"),
              std::string::npos)
        << refused.err << refused.out;
}

// A file of another instrument named to sort first spoils nothing: converted, the table takes
// the axis of the lab's files; predicted, each file goes onto the model's wavenumbers on its
// own. In both, that file alone is refused. A conversion in which no file gives a spectrum
// writes nothing: the file it would have replaced stays as it was.
TEST(OwnInstrument, AStrayFileIsRefusedAloneAndAFailedConversionReplacesNothing) {
    const OwnInstrumentLab lab;
    const std::string pattern = "^([^_]+)_";
    tools::AbsorbanceFileOptions stray;
    stray.instrument = "ALPHA";
    stray.detector = "DTGS";
    stray.data_type = 0x0000100Fu;
    stray.first_x = 4000;
    stray.last_x = 400;
    stray.values.assign(1000, 0.5f);
    lab.dir.write("scans/A000_S_001_030.0", tools::opus_file(tools::absorbance_blocks(stray)));

    const Result converted =
        run(false, {"--input", lab.dir.file("scans"), "--opus", "--sample-id", pattern,
                    "--spectrometer", "vertex70", "--models", lab.dir.file("models"),
                    "--write-spectra", lab.dir.file("spectra.csv"), "--quiet"});
    ASSERT_EQ(converted.code, 0) << converted.err;
    const auto spectra = read_rows(lab.dir.file("spectra.csv"));
    ASSERT_EQ(spectra.size(), 31u);
    EXPECT_EQ(spectra[0][1], "wn_6000.000");
    EXPECT_EQ(spectra[1][0], "K0001"); // every lab sample, the stray one left out

    const Result trained = run(true, {"--spectra",      lab.dir.file("scans"),
                                      "--targets",      lab.dir.file("lab.csv"),
                                      "--id-column",    "sample_id",
                                      "--sample-id",    pattern,
                                      "--spectrometer", "vertex70",
                                      "--property",     "Clay",
                                      "--models",       lab.dir.file("models"),
                                      "--trees",        "10",
                                      "--burn-in",      "20",
                                      "--draws",        "20",
                                      "--quiet"});
    ASSERT_EQ(trained.code, 0) << trained.err;
    std::vector<std::string> predicting = lab.predict(lab.dir.file("scans"), lab.dir.file("f.csv"));
    predicting.insert(predicting.end(), {"--opus", "--sample-id", pattern});
    const Result predicted = run(false, predicting);
    ASSERT_EQ(predicted.code, 0) << predicted.err;
    const auto summary = read_rows(lab.dir.file("f-summary.csv"));
    ASSERT_EQ(summary.size(), 31u);
    EXPECT_EQ(summary[1][0], "K0001");

    // Nothing to convert: the earlier file is kept as it was, and the message says why.
    lab.dir.write("junk/a.0", "not an OPUS file, INS and SRC aside");
    const std::string kept = lab.dir.write("keep.csv", "SSN,wn_1\ns1,0.5\n");
    const Result failed =
        run(false, {"--input", lab.dir.file("junk"), "--opus", "--spectrometer", "vertex70",
                    "--models", lab.dir.file("models"), "--write-spectra", kept, "--quiet"});
    EXPECT_EQ(failed.code, 1);
    EXPECT_EQ(text_of(kept), "SSN,wn_1\ns1,0.5\n");
    EXPECT_NE(failed.err.find("No file of '" + lab.dir.file("junk") +
                              "/' gave a spectrum: 1 file: ERROR : not an OPUS file"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(failed.err.find("subscript"), std::string::npos) << failed.err;
}

} // namespace
} // namespace veldra
