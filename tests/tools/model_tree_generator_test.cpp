#include "tools/model_tree_generator.h"

#include "bart/forest.h"
#include "bart/forest_prediction.h"
#include "bart/model_document.h"
#include "input/csv_reader.h"
#include "input/opus_folder.h"
#include "models/model_layout.h"
#include "tests/reference/reference_prediction.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <cmath>
#include <fstream>
#include <set>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

TEST(ModelTreeGenerator, EveryModelReadsBackAndStaysInsideItsGrid) {
    TempDir dir;
    tools::ModelTreeOptions options;
    options.draws = 3;
    options.trees = 20;
    options.seed = 5;
    tools::write_model_tree(dir.path(), options);

    boost::property_tree::ptree conf;
    boost::property_tree::read_ini(dir.file("opus.conf"), conf);
    EXPECT_EQ(conf.get<double>("htsxt.start_wn"), 7497.96);
    EXPECT_EQ(conf.get<double>("htsxt.end_wn"), 599.76);
    EXPECT_EQ(conf.get<int>("htsxt.num_wn"), 3578);
    EXPECT_EQ(conf.get<double>("alpha_znse.start_wn"), 3996.5);
    EXPECT_EQ(conf.get<int>("alpha_kbr.num_wn"), 2540);
    EXPECT_EQ(conf.get<double>("mpa.end_wn"), 3600.0);

    for (const std::string& type : spectrometer_types()) {
        const int covariates = conf.get<int>(tools::grid_of_spectrometer(type).name + ".num_wn");
        for (const std::string& property : soil_properties()) {
            const fs::path folder = dir.path() / type / model_property_name(property);
            std::ifstream range((folder / "rgy.txt").string());
            double low = 0;
            double high = 0;
            ASSERT_TRUE(range >> low >> high) << folder;
            const auto plausible = tools::property_range(property);
            EXPECT_NEAR(low, std::log(plausible.first), 1e-9) << property;
            EXPECT_NEAR(high, std::log(plausible.second), 1e-9) << property;
            EXPECT_LT(plausible.first, plausible.second);
            std::vector<std::string> files = list_matching_files(folder.string(), "MCMC*.json");
            ASSERT_EQ(files.size(), 3u) << folder;
            for (const std::string& file : files) {
                Forest forest;
                read_model_document_reference(file, forest);
                forest.build_trees(file);
                ASSERT_EQ(forest.node_lists.size(), 21u) << file;
                for (std::size_t k = 1; k < forest.node_lists.size(); ++k) {
                    for (std::size_t i = 1; i < forest.node_lists[k].size(); ++i) {
                        const TreeNode& node = forest.node_lists[k][i];
                        if (!node.is_leaf) {
                            EXPECT_GE(node.split_variable, 1) << file;
                            EXPECT_LE(node.split_variable, covariates) << file;
                        }
                    }
                }
                const std::vector<double> row(static_cast<std::size_t>(covariates), 0.001);
                EXPECT_NO_THROW(forest.check_row(row.size(), file));
                EXPECT_TRUE(std::isfinite(test::reference_forest_sum(forest, row.data())));
            }
        }
    }
}

// The varied documents (every form the format allows, for the readers' tests) and the model
// folders (through the forest writer) hold the same trees for the same seed: every sum is the
// same double.
TEST(ModelTreeGenerator, VariedDocumentsAndWrittenForestsHoldTheSameTrees) {
    std::set<std::string> forms;
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        std::mt19937_64 varied_random(seed);
        std::mt19937_64 written_random(seed);
        const std::string varied = tools::make_forest_document(30, 40, varied_random);
        const std::string written = forest_document(tools::make_forest(30, 40, written_random));
        EXPECT_EQ(varied_random(), written_random()) << "both drew the same numbers";
        for (const char* form : {"\"Mu\":\"", "\"Mu\":-", "\"Depth\":\"", "\"Depth\":1",
                                 "\"n\":", "\"ORDRule\":\"x<="}) {
            if (varied.find(form) != std::string::npos) {
                forms.insert(form);
            }
        }
        EXPECT_EQ(written.find("\"Mu\":\""), std::string::npos);
        Forest from_varied;
        Forest from_written;
        test::read_forest_text(varied, from_varied);
        test::read_forest_text(written, from_written);
        from_varied.build_trees();
        from_written.build_trees();
        std::mt19937_64 rows(seed);
        std::normal_distribution<double> spread(0.0, 0.01);
        for (int r = 0; r < 50; ++r) {
            std::vector<double> row(40);
            for (double& value : row) {
                value = spread(rows);
            }
            EXPECT_EQ(test::reference_forest_sum(from_varied, row.data()),
                      test::reference_forest_sum(from_written, row.data()));
        }
    }
    EXPECT_EQ(forms.size(), 6u); // numbers as strings and as numbers, "n" entries, rules
}

TEST(ModelTreeGenerator, TheSameSeedGivesTheSameBytes) {
    TempDir dir;
    tools::ModelTreeOptions options;
    options.draws = 2;
    options.trees = 10;
    options.types = {"mpa"};
    options.properties = {"pH"};
    tools::write_model_tree(dir.path() / "a", options);
    tools::write_model_tree(dir.path() / "b", options);
    options.seed = 2;
    tools::write_model_tree(dir.path() / "c", options);
    const auto document = [&](const char* tree) {
        return test::read_file((dir.path() / tree / "mpa" / "pH" / "MCMC2.json").string());
    };
    options.seed = 1;
    options.varied = true;
    tools::write_model_tree(dir.path() / "d", options);
    EXPECT_EQ(document("a"), document("b"));
    EXPECT_NE(document("a"), document("c"));
    // The writer's form, or every form the format allows when asked.
    EXPECT_EQ(document("a").find("\"n\":"), std::string::npos);
    EXPECT_NE(document("d").find("\"n\":{\"trees\":10"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.path() / "a" / "mir"));
}

TEST(ModelTreeGenerator, ExampleSpectraAreAValidTableOnTheMirGrid) {
    TempDir dir;
    const tools::GridSection& grid = tools::grid_of_spectrometer("mir");
    tools::write_example_spectra(dir.file("example.csv"), grid, 4, 3);
    const SpectraTable table = read_spectra_csv(dir.file("example.csv"));
    ASSERT_EQ(table.ids,
              (std::vector<std::string>{"sample001", "sample002", "sample003", "sample004"}));
    for (const auto& row : table.rows) {
        ASSERT_EQ(row.size(), 3578u);
    }
    EXPECT_NE(table.rows[0], table.rows[1]);
    const std::string header = test::read_file(dir.file("example.csv")).substr(0, 40);
    EXPECT_EQ(header.rfind("SSN,m7497.960,m7496.032,", 0), 0u) << header;
    const std::vector<double> points = tools::grid_points(grid);
    EXPECT_EQ(points.front(), 7497.96);
    EXPECT_NEAR(points.back(), 599.76, 1e-9);
}

} // namespace
} // namespace veldra

namespace veldra {
namespace {

// The bundled examples are exactly what the project's own tools make.
TEST(Examples, TheBundledExamplesAreTheToolsOutput) {
    TempDir dir;
    tools::write_example_opus_folder(dir.file("opus"), 6, 3, 2026);
    tools::write_example_spectra(dir.file("spectra.csv"), tools::grid_of_spectrometer("mir"), 20,
                                 2026);
    const std::string bundled = std::string(VELDRA_SOURCE_DIR) + "/examples";
    EXPECT_EQ(test::read_file(dir.file("spectra.csv")), test::read_file(bundled + "/spectra.csv"));
    int files = 0;
    for (const auto& entry : fs::directory_iterator(bundled + "/opus")) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(test::read_file(entry.path().string()), test::read_file(dir.file("opus/" + name)))
            << name;
        ++files;
    }
    EXPECT_EQ(files, 18);
}

TEST(Examples, OpusExampleImportsAsSixSamplesWithoutDefects) {
    TempDir dir;
    tools::write_model_tree(dir.path(), {1, 1, 1, {"mir"}, {"pH"}});
    LoggerSet log;
    test::LogCapture seen(log, true);
    SpectraTable table;
    import_opus_folder(table, dir.file("opus.conf"),
                       std::string(VELDRA_SOURCE_DIR) + "/examples/opus/", log);
    EXPECT_EQ(table.ids, (std::vector<std::string>{"soil01", "soil02", "soil03", "soil04", "soil05",
                                                   "soil06"}));
    ASSERT_EQ(table.rows.size(), 6u);
    EXPECT_EQ(table.rows[0].size(), 3578u);
    EXPECT_EQ(seen.messages().back(), "No defective files detected");
    // The replicates are alike but not the same spectrum.
    EXPECT_NEAR(table.rows[0][1000], table.rows[0][1001], 0.05);
}

} // namespace
} // namespace veldra
