#include "bart/compiled_forests.h"
#include "bart/forest.h"
#include "models/model_open.h"
#include "train/model_writer.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#include <limits>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

// A fit of `draws` forests of one split over one covariate.
BartFit small_fit(std::size_t draws) {
    BartFit fit;
    fit.grid.cuts = {{0.5, 0.75}};
    fit.y_min = 1.0;
    fit.y_max = 3.0;
    BartTree tree;
    tree.nodes.resize(3);
    tree.nodes[0].variable = 0;
    tree.nodes[0].cut = 1;
    tree.nodes[0].left = 1;
    tree.nodes[0].right = 2;
    tree.nodes[1].value = 0.25;
    tree.nodes[2].value = -0.125;
    fit.forests.assign(draws, std::vector<BartTree>{tree});
    fit.sigma.assign(draws, 0.1);
    return fit;
}

ModelCard card() {
    ModelCard card;
    card.property = "pH";
    card.spectrometer_type = "mir";
    card.transformation = Transformation::none;
    card.log = false;
    card.covariates = 1;
    return card;
}

TEST(ModelWriter, WritesTheFitOnTheResponseScaleAndRefusesNonFiniteValues) {
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "pH";
    write_model(folder, small_fit(2), card());
    EXPECT_EQ(test::read_file((folder / "rgy.txt").string()), "1 3\n");
    EXPECT_EQ(test::read_file((folder / "sigma.txt").string()), "0.2\n0.2\n");
    // The split takes its cut from the grid; the leaves keep their scaled values.
    EXPECT_EQ(test::read_file((folder / "MCMC2.json").string()),
              "{\"Tree\":1,\"T\":{\"Depth\":1,\"Var\":1,\"ORDRule\":\"x<=0.75\",\"TBN\":\"101\","
              "\"S\":[{\"Depth\":2,\"TBN\":\"110\",\"Mu\":0.25},{\"Depth\":2,\"TBN\":\"110\","
              "\"Mu\":-0.125}]}}\n");
    // The compiled model of the files as written: what the first job reads instead of them.
    std::string why;
    const std::vector<std::string> files = list_draw_files(folder);
    const std::optional<CompiledForests> compiled = read_compiled_forests(
        compiled_model_file(folder).string(), draw_files_fingerprint(files), why);
    ASSERT_TRUE(compiled.has_value()) << why;
    EXPECT_EQ(compiled->names, (std::vector<std::string>{"MCMC1.json", "MCMC2.json"}));
    EXPECT_EQ(compiled->forests[1].predict(std::vector<double>{0.7}, false), 0.25);
    EXPECT_EQ(compiled->forests[1].predict(std::vector<double>{0.8}, false), -0.125);
    const std::string old_card = test::read_file((folder / "model.json").string());

    BartFit broken = small_fit(5);
    broken.forests[2][0].nodes[1].value = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(test::error_text([&] { write_model(folder, broken, card()); }),
              "The fit gave a leaf value of draw 3 that is not a finite number; no model was "
              "written. Check the reference values and the prior settings.");
    broken = small_fit(5);
    broken.sigma[4] = std::numeric_limits<double>::infinity();
    EXPECT_NE(test::error_text([&] {
                  write_model(folder, broken, card());
              }).find("the error spread of draw 5"),
              std::string::npos);
    broken = small_fit(5);
    broken.grid.cuts[0][1] = -std::numeric_limits<double>::infinity();
    EXPECT_NE(test::error_text([&] { write_model(folder, broken, card()); }).find("a cut point"),
              std::string::npos);
    EXPECT_EQ(test::read_file((folder / "model.json").string()), old_card);
    EXPECT_FALSE(fs::exists(folder / "MCMC3.json"));
}

} // namespace
} // namespace veldra
