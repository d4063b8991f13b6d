#include "models/model_folder.h"
#include "models/model_open.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

CalibrationDomain small_domain() {
    CalibrationDomain domain;
    domain.center = {1.0, 2.0};
    domain.components = {{0.6, 0.8}};
    domain.variances = {4.0};
    domain.t2_limit = 9.0;
    domain.q_limit = 0.5;
    return domain;
}

// A model of `draws` draws with a card that records them and both domains, as the trainer
// writes a model with its own preprocessing.
fs::path write_model(const TempDir& dir, std::size_t draws) {
    const fs::path folder = dir.path() / "mir" / "pH";
    ModelContents contents;
    contents.draws = draws;
    contents.forest_document = [](std::size_t d) { return "{\"d\":" + std::to_string(d) + "}\n"; };
    contents.range_low = 4.5;
    contents.range_high = 8.25;
    contents.sigma.assign(draws, 0.5);
    ModelCard card;
    card.property = "pH";
    card.spectrometer_type = "mir";
    card.preprocessing = "snv";
    card.log = false;
    card.covariates = 2;
    card.draws = draws;
    card.domain = true;
    card.input_domain = true;
    contents.card = card;
    contents.domain = small_domain();
    contents.input_domain = small_domain();
    write_model_folder(folder, contents);
    return folder;
}

std::string open_error(const fs::path& folder, const ModelOpening& opening = {}) {
    return test::error_text([&] { open_model(folder, opening); });
}

// Everything prediction takes from a folder comes from one read of it: the draws in byte order
// with the draw each holds (so that line n of "sigma.txt" meets draw n), the range, the card and
// both domains; the error spreads only when asked for.
TEST(ModelOpen, ReadsEveryFileOnceInTheOrderPredictionTakesThem) {
    TempDir dir;
    const fs::path folder = write_model(dir, 11);
    fs::remove(sigma_file(folder));
    const OpenedModel model = open_model(folder);
    EXPECT_EQ(model.folder, folder.string());
    ASSERT_TRUE(model.card.has_value());
    EXPECT_EQ(model.card->draws, 11u);
    EXPECT_EQ(model.range.numbers, (std::vector<double>{4.5, 8.25}));
    ASSERT_EQ(model.draw_files.size(), 11u);
    EXPECT_EQ(model.draw_files[0], (folder / "MCMC1.json").string());
    EXPECT_EQ(model.draw_files[1], (folder / "MCMC10.json").string());
    EXPECT_EQ(model.draw_files[3], (folder / "MCMC2.json").string());
    EXPECT_EQ(model.draw_of_file, (std::vector<std::size_t>{0, 9, 10, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(model.sigma.has_value());
    ASSERT_TRUE(model.domain.has_value());
    EXPECT_EQ(model.domain->components, small_domain().components);
    EXPECT_TRUE(model.input_domain.has_value());

    const fs::path spread = write_model(dir, 3);
    EXPECT_FALSE(open_model(spread).sigma.has_value());
    EXPECT_EQ(*open_model(spread, ModelOpening{"", true}).sigma,
              (std::vector<double>{0.5, 0.5, 0.5}));
    // A range file named apart from the folder is read in its place.
    const std::string other = dir.write("range.txt", "1 2\n3\n");
    EXPECT_EQ(open_model(spread, ModelOpening{other, false}).range.numbers,
              (std::vector<double>{1, 2, 3}));
}

// Each fault of a model on its own is refused with a message that names the file and the way out,
// and the first of several, in the order the files are read, is the one told.
TEST(ModelOpen, AFaultyModelIsRefusedNamingTheFile) {
    TempDir dir;
    const fs::path folder = write_model(dir, 3);
    const std::string name = folder.string();

    test::TempDir spare;
    const fs::path without_card = write_model(spare, 2);
    fs::remove(card_file(without_card));
    fs::remove(without_card / "MCMC1.json");
    fs::remove(without_card / "MCMC2.json");
    EXPECT_EQ(open_error(without_card),
              "No files found in '" + draw_file_pattern(without_card) + "' which match 'json'");
    const std::string elsewhere = spare.write("rgy.txt", "0 1\n");
    fs::remove_all(without_card);
    EXPECT_EQ(open_error(without_card),
              "Cannot open rangefile '" + range_file(without_card).string() +
                  "' for reading.\nThe model folder '" + without_card.string() +
                  "' does not exist: check the spectrometer type and the property (names are "
                  "case-sensitive: mir, not MIR) and the model directory.");
    EXPECT_EQ(open_error(without_card, ModelOpening{elsewhere, false}),
              "Directory `\"" + without_card.string() + "\"` not exists");

    fs::remove(folder / "sigma.txt");
    fs::remove(folder / "MCMC2.json");
    EXPECT_EQ(open_error(folder), "The model in '" + name +
                                      "' lacks draw file MCMC2.json (2 numbered draw files, up to "
                                      "3): its numbered draws must be MCMC1.json to MCMC<D>.json "
                                      "without a gap.");
    dir.write("mir/pH/MCMC2.json", "{}\n");
    dir.write("mir/pH/sigma.txt", "0.5\n0.5\n");
    EXPECT_NO_THROW(open_model(folder));
    EXPECT_EQ(open_error(folder, ModelOpening{"", true}), "The error spread file \"" +
                                                              sigma_file(folder).string() +
                                                              "\" holds 2 values for 3 draws.");
    dir.write("mir/pH/rgy.txt", "4.5\n");
    EXPECT_EQ(open_error(folder), "The range file '" + range_file(folder).string() +
                                      "' must start with two numbers (the smallest and the "
                                      "largest reference value of the model); it holds 1.");
    fs::remove(folder / "input_domain.json");
    EXPECT_EQ(open_error(folder),
              "The model in '" + name +
                  "' has lost or damaged its domain before the preprocessing "
                  "\"input_domain.json\", which its card says the trainer wrote: copy the whole "
                  "model folder again, or train the model again.");
    fs::remove(folder / "domain.json");
    EXPECT_EQ(open_error(folder), "The model in '" + name +
                                      "' has lost its calibration domain \"domain.json\", which "
                                      "its card says the trainer wrote: copy the whole model "
                                      "folder again, or train the model again.");
}

// No file of a model is read beyond the largest size of its kind, whatever it is: a file that
// grows after its size was checked, or a link to an endless device, cannot fill the memory.
TEST(ModelOpen, ReadsStopAtTheLargestSizeOfEachFile) {
    TempDir dir;
    const std::string big = dir.write("big.txt", std::string(5000, 'x'));
    EXPECT_EQ(read_at_most(big, 100).size(), 101u);
    EXPECT_EQ(read_at_most(big, 5000).size(), 5000u);
    EXPECT_EQ(read_at_most(dir.file("absent"), 100), "");
    const fs::path folder = write_model(dir, 2);
    dir.write("mir/pH/rgy.txt", "4.5 8.25\n" + std::string(largest_range_bytes, ' '));
    EXPECT_EQ(open_error(folder), "The range file '" + range_file(folder).string() +
                                      "' is larger than 64 KB: it must hold the smallest and the "
                                      "largest reference value of the model.");
#if !defined(_WIN32)
    fs::remove(range_file(folder));
    fs::create_symlink("/dev/zero", range_file(folder));
    EXPECT_EQ(open_error(folder), "The range file '" + range_file(folder).string() +
                                      "' is larger than 64 KB: it must hold the smallest and the "
                                      "largest reference value of the model.");
    EXPECT_EQ(read_at_most("/dev/zero", 1000).size(), 1001u);
    fs::remove(card_file(folder));
    fs::create_symlink("/dev/zero", card_file(folder));
    EXPECT_EQ(open_error(folder), "The model card \"" + card_file(folder).string() +
                                      "\" cannot be read: it is not a file (a folder, or a link "
                                      "to nothing).");
#endif
}

} // namespace
} // namespace veldra
