#include "models/model_card.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::error_text;
using test::TempDir;

// A card as the trainer writes it, every key set.
ModelCard full_card() {
    ModelCard card;
    card.property = "SOC";
    card.model_folder = "m3.SOC";
    card.spectrometer_type = "mir";
    card.transformation = Transformation::first_derivative;
    card.log = true;
    card.target = "SOC";
    card.samples = 103;
    card.samples_skipped = 2;
    card.covariates = 3;
    card.covariate_names = {"wn_4000", "wn_3998.1", "wn_3996.2"};
    card.sampler = CardSampler{200, 100, 1, 2, 0.95, 2.0, 3.0, 3.0, 0.9, 100, true, 7};
    card.draws = 1000;
    card.program = "veldra-train 1.2.5";
    card.date = "2026-01-02T03:04:05Z";
    card.domain = true;
    card.training_fit = CardFigures{0.99, 0.01, 0.0, 9.5, 0.97, 0.2};
    card.cross_validation =
        CardCrossValidation{"random 5 folds", 5, {0.91, 0.13, -0.01, 3.0, 0.95, std::nullopt}};
    card.k_rule = "lowest interval score";
    card.k_candidates = {{2.0, CardFigures{0.9, 0.14, 0, 2.9, 0.96, 0.8}},
                         {3.0, CardFigures{0.91, 0.13, 0, 3.0, 0.95, 0.7}}};
    card.calibration = interval_calibration({0.9, 0.1, 0.55, 0.3});
    return card;
}

TEST(ModelCard, WrittenAndReadByOneMapping) {
    const ModelCard card = full_card();
    const std::string text = model_card_text(card);
    EXPECT_EQ(model_card_text(parse_model_card(text, "model.json")), text);
    // The keys in their fixed order; absent figures are null.
    const std::vector<std::string> order = {"\"property\"",
                                            "\"model_folder\"",
                                            "\"transformation\"",
                                            "\"back_transformation\"",
                                            "\"covariate_names\"",
                                            "\"trees\"",
                                            "\"draws\"",
                                            "\"burn_in\"",
                                            "\"seed\"",
                                            "\"domain\"",
                                            "\"training_fit\"",
                                            "\"cross_validation\"",
                                            "\"k_selection\"",
                                            "\"interval_calibration\""};
    std::size_t at = 0;
    for (const std::string& key : order) {
        const std::size_t found = text.find(key, at);
        ASSERT_NE(found, std::string::npos) << key;
        at = found;
    }
    EXPECT_NE(text.find("\"interval_score_95\": null"), std::string::npos);
    EXPECT_NE(text.find("\"back_transformation\": \"exp (predict with exponential "
                        "back-transformation)\""),
              std::string::npos);
    const ModelCard back = parse_model_card(text, "model.json");
    EXPECT_EQ(back.r2(), 0.91);
    EXPECT_EQ(back.rmse(), 0.13);
    EXPECT_TRUE(back.cross_validated());
    EXPECT_EQ(back.sampler->seed, 7u);
    EXPECT_EQ(back.k_candidates.at(1).accuracy.interval_score_95, 0.7);
    ASSERT_TRUE(back.calibration);
    EXPECT_EQ(back.calibration->samples, 4u);
    EXPECT_EQ(back.calibration->pit, (std::vector<double>{0.1, 0.3, 0.55, 0.9}));

    // A demonstration card holds only what it says, in the generator's layout.
    ModelCard demonstration;
    demonstration.property = "pH";
    demonstration.spectrometer_type = "mir";
    demonstration.draws = 100;
    demonstration.demonstration = true;
    demonstration.description = "Drawn at random.";
    EXPECT_EQ(model_card_text(demonstration),
              "{\n  \"property\": \"pH\",\n  \"spectrometer_type\": \"mir\",\n  \"draws\": 100,\n"
              "  \"demonstration\": true,\n  \"description\": \"Drawn at random.\"\n}\n");
}

TEST(ModelCard, ReadCheckedAndComparedWithTheJob) {
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "pH";
    const std::string file = (folder / "model.json").string();
    fs::create_directories(folder);
    EXPECT_FALSE(read_model_card(folder).has_value());
    dir.write("mir/pH/model.json",
              R"({"property": "pH", "spectrometer_type": "mir", "transformation": "none",
        "log": false, "covariates": 1686, "samples_used": 103,
        "training_fit": {"r2": 0.99, "rmse": 0.01},
        "cross_validation": {"accuracy": {"r2": 0.916, "rmse": 0.127}}})");
    const ModelCard card = *read_model_card(folder);
    EXPECT_EQ(card.transformation, Transformation::none);
    EXPECT_EQ(card.log, false);
    EXPECT_EQ(card.covariates, 1686u);
    EXPECT_EQ(card.r2(), 0.916);
    EXPECT_EQ(card_figures(card), "cross-validated R2 0.916, RMSE 0.127, 103 samples");
    const auto job = [](Transformation transformation, bool exponential, std::size_t covariates) {
        JobSide side;
        side.transformation = transformation;
        side.exponential = exponential;
        side.covariates = covariates;
        return side;
    };
    const std::string model = "The model in 'm'";
    EXPECT_TRUE(card_mismatches(card, "m", job(Transformation::none, false, 1686)).empty());
    EXPECT_EQ(card_mismatches(card, "m", job(Transformation::first_derivative, true, 3578)),
              (std::vector<std::string>{
                  model + " was calibrated with the transformation \"none\"; this job uses "
                          "\"first_der\". Choose --transform none (the window's \"Transformation "
                          "of the covariates\").",
                  model + " fits y itself; this job applies the exponential back-transformation, "
                          "which it must not. Choose --exp no (the window's \"Exponential "
                          "transformation\").",
                  model + " was calibrated on 1686 covariates; the input has 3578. Choose spectra "
                          "of the instrument and settings the model was calibrated with."}));

    // Covariate names compare by their wavenumbers; the spectrometer type by name.
    const ModelCard named = parse_model_card(R"({"covariates": 3, "spectrometer_type": "mir",
        "covariate_names": ["wn_4000", "wn_3998.1", "wn_3996.2"]})",
                                             "model.json");
    JobSide side = job(Transformation::first_derivative, true, 3);
    const std::vector<std::string> same = {"m4000.000", "m3998.100", "m3996.200"};
    const std::vector<std::string> shifted = {"m4000.000", "m3998.100", "m3990.000"};
    const std::vector<std::string> plain = {"a", "b", "c"};
    side.names = &same;
    side.spectrometer_type = "mir";
    EXPECT_TRUE(card_mismatches(named, "m", side).empty());
    side.names = &plain; // not wavenumbers: not compared
    EXPECT_TRUE(card_mismatches(named, "m", side).empty());
    side.names = &shifted;
    side.spectrometer_type = "alphakbr";
    EXPECT_EQ(card_mismatches(named, "m", side),
              (std::vector<std::string>{
                  model + " was calibrated for the mir spectrometer type; this job predicts "
                          "alphakbr. Choose --spectrometer mir (the window's \"Spectrometer "
                          "type\").",
                  model + " was calibrated on the wavenumbers wn_4000 ... wn_3996.2; the input's "
                          "covariate 3 is m3990.000, not wn_3996.2. Choose spectra with the "
                          "model's covariates (wn_4000 ... wn_3996.2), or with wavenumbers in "
                          "their names that cover its range to be resampled."}));
    EXPECT_EQ(wavenumbers_of({"wn_549.6", "7497.96"}), (std::vector<double>{549.6, 7497.96}));
    EXPECT_FALSE(wavenumbers_of({"wn_549.6", "pH"}).has_value());
    dir.write("mir/pH/model.json", std::string(largest_model_card_bytes + 1, ' '));
    EXPECT_EQ(error_text([&] { read_model_card(folder); }),
              "The model card \"" + file + "\" is larger than 4 MB.");
}

// Cards that cannot be trusted for the model they sit beside, each refused with its reason.
TEST(ModelCard, CardsThatDoNotFitTheirModelAreRefused) {
    const std::string keys = R"("transformation": "first_der", "log": true, "covariates": 3)";
    const std::string ph = R"({"property": "pH", "spectrometer_type": "mir", )" + keys;
    const std::string copied = "is the card of the mir model of \"pH\", not of a model in "
                               "'mir/m3.SOC': the folder was copied or renamed. Train a model "
                               "for this folder.";
    const std::string unordered = "holds \"interval_calibration\" \"pit\" values that are not "
                                  "numbers from 0 to 1 in increasing order.";
    const std::string uncounted = "holds \"interval_calibration\" without 1 to 20000 \"pit\" "
                                  "values, at most its \"samples\".";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // A pH model copied under another property's name, or another type's folder.
        {ph + "}", copied},
        {R"({"property": "SOC", "model_folder": "m3.SOC", "spectrometer_type": "mpa", )" + keys +
             "}",
         "is the card of the mpa model of \"SOC\", not of a model in 'mir/m3.SOC': the folder "
         "was copied or renamed. Train a model for this folder."},
        {R"({"property": "SOC", "model_folder": "pH", "spectrometer_type": "mir", )" + keys + "}",
         "is the card of the mir model of \"SOC\", not of a model in 'mir/m3.SOC': the folder "
         "was copied or renamed. Train a model for this folder."},
        // Keys the checks need.
        {"{}", "lacks \"property\", \"spectrometer_type\", \"transformation\", \"log\", "
               "\"covariates\", which prediction needs to check the model. Train the model "
               "again."},
        {R"({"property": "SOC", "spectrometer_type": "mir", "transformation": "none",
             "covariates": 3})",
         "lacks \"log\", which prediction needs to check the model. Train the model again."},
        // Figures out of their range.
        {R"({"property": "SOC", "spectrometer_type": "mir", )" + keys +
             R"(, "cross_validation": {"accuracy": {"r2": 5.0}}})",
         "gives \"r2\" 5 in \"cross_validation\", which cannot be: it is at most 1."},
        {R"({"property": "SOC", "spectrometer_type": "mir", )" + keys +
             R"(, "training_fit": {"rmse": -0.1}})",
         "gives \"rmse\" -0.1 in \"training_fit\", which cannot be: it is at least 0."},
        {R"({"property": "SOC", "spectrometer_type": "mir", )" + keys +
             R"(, "training_fit": {"coverage_95": 1.5}})",
         "gives \"coverage_95\" 1.5 in \"training_fit\", which cannot be: it is between 0 and "
         "1."},
        // Broken texts.
        {R"({"property": "SOC", "covariate_names": [1]})",
         "holds a covariate name that is not a text."},
        {"[1, 2]", "is not a JSON object."},
        {"{\"log\": ", "is not a JSON object."},
        {"{\"log\": \"yes\"}", "holds \"log\" that is not true or false."},
        {"{\"covariates\": -3}", "holds \"covariates\" that is not a whole number."},
        {"{\"transformation\": \"second_der\"}",
         "names the transformation \"second_der\"; it must be \"first_der\" or \"none\"."},
        {"{\"cross_validation\": {\"accuracy\": {\"r2\": \"high\"}}}",
         "holds \"r2\" that is not a number."},
        // An interval calibration must hold sorted values from 0 to 1, no more than its samples.
        {R"({"interval_calibration": {"samples": 3, "pit": [0.1, 0.5, 0.4]}})", unordered},
        {R"({"interval_calibration": {"samples": 3, "pit": [0.1, 1.5]}})", unordered},
        {R"({"interval_calibration": {"samples": 3, "pit": [-0.1, "x"]}})", unordered},
        {R"({"interval_calibration": {"samples": 1, "pit": [0.1, 0.2]}})", uncounted},
        {R"({"interval_calibration": {"samples": 1, "pit": []}})", uncounted},
    };
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "m3.SOC";
    const std::string file = (folder / "model.json").string();
    for (const auto& [text, message] : cases) {
        dir.write("mir/m3.SOC/model.json", text);
        EXPECT_EQ(test::slashes(error_text([&] { read_model_card(folder); })),
                  test::slashes("The model card \"" + file + "\" " + message))
            << text;
    }
    // Its own card, a demonstration's and a custom property's are taken.
    dir.write("mir/m3.SOC/model.json",
              R"({"property": "SOC", "model_folder": "m3.SOC", "spectrometer_type": "mir", )" +
                  keys + "}");
    EXPECT_TRUE(read_model_card(folder).has_value());
    dir.write("mir/m3.SOC/model.json",
              R"({"property": "SOC", "spectrometer_type": "mir", "demonstration": true})");
    EXPECT_TRUE(read_model_card(folder)->demonstration);

    // A card that is not a file is an error, not "no card".
    fs::remove(folder / "model.json");
    fs::create_directories(folder / "model.json");
    const std::string unreadable =
        "The model card \"" + file +
        "\" cannot be read: it is not a file (a folder, or a link to nothing).";
    EXPECT_EQ(error_text([&] { read_model_card(folder); }), unreadable);
#if !defined(_WIN32)
    fs::remove(folder / "model.json");
    fs::create_symlink(dir.path() / "gone.json", folder / "model.json");
    EXPECT_EQ(error_text([&] { read_model_card(folder); }), unreadable);
#endif
}

} // namespace
} // namespace veldra
