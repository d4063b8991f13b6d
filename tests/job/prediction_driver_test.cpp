#include "job/prediction_driver.h"

#include "input/csv_reader.h"
#include "tests/support/error_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "text/number_text.h"
#include "tools/model_tree_generator.h"

#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::error_text;
using test::LogCapture;
using test::TempDir;

TEST(RangeFile, NumbersAtMostTwoPerLine) {
    TempDir dir;
    const auto read = [&](const std::string& text, std::string* errors = nullptr) {
        const std::string path = dir.write("rgy.txt", text);
        LoggerSet log;
        LogCapture seen(log, true);
        const std::vector<double> numbers = read_range_file(path, log);
        if (errors != nullptr) {
            errors->clear();
            for (const std::string& message : seen.messages()) {
                *errors += message + "\n";
            }
        }
        return numbers;
    };
    EXPECT_EQ(read("0.1 7.3\n"), (std::vector<double>{0.1, 7.3}));
    EXPECT_EQ(read("0.1\n7.3"), (std::vector<double>{0.1, 7.3}));
    EXPECT_EQ(read("  -1e-2\t\t3E1  \r\n"), (std::vector<double>{-0.01, 30}));
    const std::string extra = "Error: range file has a row with more than one number.\n";
    std::string errors;
    EXPECT_EQ(read("1 2 3\n", &errors), (std::vector<double>{1, 2}));
    EXPECT_EQ(errors, extra);
    EXPECT_EQ(read("1 2 3 4\n5\n", &errors), (std::vector<double>{1, 2, 5}));
    EXPECT_EQ(errors, extra + extra);
    EXPECT_EQ(read("min 1 2\n3 x 4\n"), std::vector<double>{3});
    EXPECT_TRUE(read("").empty());
}

// A tiny model whose one tree tests covariate 1 against 0: right (sum 0.5) or left (-0.5).
struct TinyModel {
    TempDir dir;
    std::string folder = dir.file("mir/pH");
    std::string range = dir.write("mir/pH/rgy.txt", "0 10\n");
    std::string csv = dir.write("in.csv", "SSN,a,b\nup,5,1\ndown,-5,1\n");
    std::string out = dir.file("out.csv");
    TinyModel() {
        dir.write("mir/pH/MCMC1.json",
                  R"({"Tree":1,"T":{"Depth":1,"Var":1,"ORDRule":"x<=0","TBN":"101","S":[)"
                  R"({"Depth":2,"TBN":"110","Mu":-0.5},{"Depth":2,"TBN":"110","Mu":0.5}]}})");
    }
    // As a pair of a job: the files are checked, then the input is read, then the pair runs.
    PredictionSummary run(Transformation transformation, LoggerSet& log,
                          const std::string& rangefile = "", const std::string& outfile = "",
                          const std::string& input = "") {
        PairPrediction pair;
        pair.range_file = rangefile.empty() ? range : rangefile;
        pair.forest_path = folder + "/MCMC*.json";
        pair.output_file = outfile.empty() ? out : outfile;
        pair.transformation = transformation;
        pair.exponential = false;
        return predict(pair, input.empty() ? csv : input, log);
    }
    static PredictionSummary predict(const PairPrediction& pair, const std::string& csv,
                                     LoggerSet& log) {
        if (!std::ifstream(pair.range_file)) {
            throw std::runtime_error("Cannot open rangefile '" + pair.range_file +
                                     "' for reading.");
        }
        if (const std::string problem = output_problem(pair.output_file); !problem.empty()) {
            throw std::runtime_error("Cannot open outfile '" + pair.output_file +
                                     "' for reading.\n" + problem);
        }
        const SpectraTable table = read_spectra_csv(csv);
        PredictionSummary summary;
        predict_pair(pair, table, log, &summary);
        return summary;
    }
};

TEST(PredictionDriver, TheTransformationDecidesWhatTheForestSees) {
    TinyModel model;
    LoggerSet log;
    // Row (5, 1) is (-4, 0) after the derivative; row (-5, 1) is (6, 0).
    EXPECT_EQ(model.run(Transformation::first_derivative, log).means, (std::vector<double>{0, 10}));
    EXPECT_EQ(model.run(Transformation::none, log).means, (std::vector<double>{10, 0}));
}

TEST(PredictionDriver, RecordsInOrder) {
    TinyModel model;
    LoggerSet log;
    LogCapture seen(log, true);
    model.run(Transformation::none, log);
    EXPECT_EQ(seen.messages(),
              (std::vector<std::string>{"Running prediction from list of json files",
                                        "Predictions complete.",
                                        "Writing results to file: " + model.out}));
    // One draw: no standard deviation, every quantile the draw itself.
    const std::string text = test::read_file(model.out);
    const std::string header = "SSN,draw 1,mean,std,2.5%,5%,10%,50%,90%,95%,97.5%\n";
    EXPECT_EQ(text.substr(0, header.size()), header);
    EXPECT_NE(text.find("\nup,10,10,"), std::string::npos) << text;
    EXPECT_NE(text.find("\nup,10,10,NA,10,10,10,10,10,10,10\ndown,0,0,NA,"), std::string::npos)
        << text;
}

// Every file matching "MCMC*.json" is a draw, in byte order of its name; only a card's draw count
// makes a hole in the numbered names (or a count that differs) a lost file.
TEST(PredictionDriver, DrawFilesAreListedByNameAndCheckedAgainstTheCard) {
    TinyModel model;
    const auto constant = [](double mu) {
        return R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":)" + shortest_text(mu) + "}}";
    };
    fs::remove(model.folder + "/MCMC1.json");
    model.dir.write("mir/pH/MCMC1.json", constant(-0.4)); // 1 after scaling onto 0..10
    model.dir.write("mir/pH/MCMC10.json", constant(-0.3));
    model.dir.write("mir/pH/MCMC2.json", constant(-0.2));
    model.dir.write("mir/pH/MCMC1s.json", constant(-0.1));
    LoggerSet log;
    model.run(Transformation::none, log);
    const std::string text = test::read_file(model.out);
    EXPECT_EQ(text.substr(0, text.find('\n', text.find('\n') + 1)),
              "SSN,draw 1,draw 2,draw 3,draw 4,mean,std,2.5%,5%,10%,50%,90%,95%,97.5%\n"
              "up,1,2,4,3,2.5,1.29099,1,1,1,3,4,4,4");

    const auto failure = [&](const std::string& draws) {
        model.dir.write("mir/pH/model.json", R"({"property": "pH", "spectrometer_type": "mir",
            "demonstration": true)" + draws + "}");
        return error_text([&] { model.run(Transformation::none, log); });
    };
    // A card that says how many draws were written: 1, 2 and 10 have a hole.
    EXPECT_EQ(failure(R"(, "draws": 4)"),
              "The model in '" + model.folder +
                  "' lacks draw file MCMC3.json (3 numbered draw files, up to 10): its numbered "
                  "draws must be MCMC1.json to MCMC<D>.json without a gap.");
    fs::rename(model.folder + "/MCMC10.json", model.folder + "/MCMC3.json");
    EXPECT_EQ(failure(R"(, "draws": 4)"), "no error");
    EXPECT_EQ(failure(R"(, "draws": 5)"), "The model in '" + model.folder +
                                              "' holds 4 draw files; its card says it was "
                                              "written with 5.");
    EXPECT_EQ(failure(""), "no error");
    // A card that says the trainer wrote a calibration domain needs it.
    EXPECT_EQ(failure(R"(, "domain": true)"),
              "The model in '" + model.folder +
                  "' has lost its calibration domain \"domain.json\", which its card says the "
                  "trainer wrote: copy the whole model folder again, or train the model again.");
}

TEST(PredictionDriver, FailuresComeInTheirOrder) {
    TinyModel model;
    LoggerSet log;
    // A missing model folder: the range file check fails before the output file is touched.
    const std::string missing = model.dir.file("mir/Total.Nitrogen/rgy.txt");
    EXPECT_EQ(error_text([&] { model.run(Transformation::first_derivative, log, missing); }),
              "Cannot open rangefile '" + missing + "' for reading.");
    EXPECT_FALSE(fs::exists(model.out));

    const std::string unwritable = model.dir.file("no/folder/out.csv");
    EXPECT_EQ(error_text([&] { model.run(Transformation::first_derivative, log, "", unwritable); }),
              "Cannot open outfile '" + unwritable + "' for reading.\nThe folder '" +
                  model.dir.file("no/folder") +
                  "' does not exist (No such file or directory): create it or choose another.");

    // A range file of one number, or of text, fails after the input was read, before the
    // prediction record, saying what the file must hold; the output file is never created.
    const std::string one = model.dir.write("one.txt", "4\n");
    const std::string text = model.dir.write("text.txt", "min max\n");
    LogCapture seen(log, true);
    EXPECT_EQ(error_text([&] { model.run(Transformation::first_derivative, log, one); }),
              "The range file '" + one +
                  "' must start with two numbers (the smallest and the largest reference value "
                  "of the model); it holds 1.");
    EXPECT_EQ(error_text([&] { model.run(Transformation::first_derivative, log, text); }),
              "The range file '" + text +
                  "' must start with two numbers (the smallest and the largest reference value "
                  "of the model); it holds 0.");
    EXPECT_FALSE(fs::exists(model.out));
    EXPECT_TRUE(seen.records.empty());
    const std::string bad_csv = model.dir.write("bad.csv", "SSN,a\ns1,x\n");
    EXPECT_EQ(
        error_text([&] { model.run(Transformation::first_derivative, log, one, "", bad_csv); }),
        "Expected <double> in file: " + bad_csv +
            " (line 2, column 2 \"a\", sample \"s1\", found \"x\")");

    // Output to a full device: the job must fail, not report success.
    // (Under Wine the device fails without the system's cause: the first line alone.)
    const std::string full_device =
        error_text([&] { model.run(Transformation::first_derivative, log, "", "/dev/full"); });
#if defined(_WIN32)
    EXPECT_EQ(full_device.substr(0, full_device.find('\n')), "Writing to file failed: /dev/full");
#else
    EXPECT_EQ(full_device, "Writing to file failed: /dev/full\nThe disk is full (No space left on "
                           "device): free some space or choose another disk.");
#endif
}

// Evaluates a generated document without the program's reader: each "T" entry is a tree whose
// nodes hold either "Mu" or "Var", "ORDRule" ("x<=cut") and the children in "S".
double evaluate_document(const boost::property_tree::ptree& document,
                         const std::vector<double>& row) {
    const std::function<double(const boost::property_tree::ptree&)> node =
        [&](const boost::property_tree::ptree& n) -> double {
        if (const auto mu = n.get_optional<double>("Mu")) {
            return *mu;
        }
        const int variable = n.get<int>("Var");
        const std::string rule = n.get<std::string>("ORDRule");
        const double cut = std::stod(rule.substr(rule.find('=') + 1));
        const auto& children = n.get_child("S");
        auto child = children.begin();
        if (row.at(static_cast<std::size_t>(variable - 1)) > cut) {
            ++child;
        }
        return node(child->second);
    };
    double sum = 0;
    for (const auto& entry : document) {
        if (entry.first == "T") {
            sum += node(entry.second);
        }
    }
    return sum;
}

TEST(PredictionDriver, EndToEndOnAGeneratedModel) {
    TempDir dir;
    tools::ModelTreeOptions options;
    options.draws = 12;
    options.trees = 15;
    options.types = {"mir"};
    options.properties = {"pH"};
    tools::write_model_tree(dir.path(), options);
    const std::string csv = dir.file("samples.csv");
    tools::write_example_spectra(csv, tools::grid_of_spectrometer("mir"), 4, 9);
    const std::string folder = dir.file("mir/pH");
    const std::string out = dir.file("pH.csv");

    LoggerSet log;
    PairPrediction pair;
    pair.range_file = folder + "/rgy.txt";
    pair.forest_path = folder + "/MCMC*.json";
    pair.output_file = out;
    TinyModel::predict(pair, csv, log);

    std::vector<std::vector<std::string>> lines;
    std::istringstream text(test::read_file(out));
    for (std::string line; std::getline(text, line);) {
        lines.emplace_back();
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) {
            lines.back().push_back(field);
        }
    }
    ASSERT_EQ(lines.size(), 5u);
    for (const auto& line : lines) {
        ASSERT_EQ(line.size(), 22u);
    }
    EXPECT_EQ(lines[0][12], "draw 12");

    // Draws in byte-wise file order: 1, 10, 11, 12, 2, ..., 9.
    const std::vector<int> order = {1, 10, 11, 12, 2, 3, 4, 5, 6, 7, 8, 9};
    const SpectraTable table = read_spectra_csv(csv);
    for (std::size_t j = 0; j < table.rows.size(); ++j) {
        const std::vector<double>& r = table.rows[j];
        std::vector<double> w(r.size(), 0.0);
        for (std::size_t i = 0; i + 1 < r.size(); ++i) {
            w[i] = r[i + 1] - r[i];
        }
        double mean = 0;
        for (std::size_t d = 0; d < order.size(); ++d) {
            boost::property_tree::ptree document;
            boost::property_tree::read_json(folder + "/MCMC" + std::to_string(order[d]) + ".json",
                                            document);
            const double expected =
                std::exp((std::log(9.5) - std::log(3.5)) * (evaluate_document(document, w) + 0.5) +
                         std::log(3.5));
            EXPECT_NEAR(std::stod(lines[j + 1][1 + d]), expected, 1e-5 * expected) << j << d;
            mean += expected / static_cast<double>(order.size());
        }
        EXPECT_EQ(lines[j + 1][0], table.ids[j]);
        EXPECT_NEAR(std::stod(lines[j + 1][13]), mean, 1e-5 * mean);
    }
}

} // namespace
} // namespace veldra
