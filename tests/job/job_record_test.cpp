#include "job/job_record.h"

#include "models/model_layout.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

// The record a report shows: the input and settings as the user gave them, and every pair's
// card, whatever state the card is in.
TEST(JobRecord, SettingsAndEveryPairsCard) {
    TempDir dir;
    const std::string cross_validated = R"({"property": "Carbon", "spectrometer_type": "mir",
        "transformation": "none", "log": false, "covariates": 3578, "samples_used": 103,
        "training_fit": {"r2": 0.99, "rmse": 0.01},
        "cross_validation": {"accuracy": {"r2": 0.9163, "rmse": 0.1272}}})";
    dir.write("mir/Acidified.Carbon/model.json", cross_validated);
    dir.write("mir/pH/model.json",
              R"({"property": "pH", "spectrometer_type": "mir", "demonstration": true})");
    dir.write("mpa/Acidified.Carbon/model.json", "{ not a card");
    dir.write("mpa/pH/rgy.txt", "0 1\n"); // a model without a card

    JobSettings settings;
    settings.model_directory = dir.path();
    settings.opus_folder = "/scans/";
    settings.output_path = "/out/job.csv";
    settings.transformation = Transformation::none;
    settings.exponential = false;
    settings.spectrometer_types = {"mir", "mpa"};
    settings.soil_properties = {"Carbon", "pH"};
    settings.shard = 2;
    settings.shards = 5;
    const JobRecord record = job_record(settings, "9.9");
    EXPECT_TRUE(record.recorded);
    EXPECT_EQ(record.version, "9.9");
    EXPECT_EQ(record.input, "/scans/");
    EXPECT_EQ(record.input_kind, "OPUS folder");
    EXPECT_EQ(record.transformation, "none");
    EXPECT_FALSE(record.exponential);
    EXPECT_EQ(record.shard, "2 of 5");
    ASSERT_EQ(record.pairs.size(), 4u);
    EXPECT_EQ(record.pairs[0].folder, (dir.path() / "mir" / "Acidified.Carbon").string());
    EXPECT_EQ(model_card_text(record.pairs[0]),
              "cross-validated R2 0.916, RMSE 0.127, 103 samples");
    EXPECT_EQ(model_card_text(record.pairs[1]), "demonstration model");
    EXPECT_EQ(model_card_text(record.pairs[2]).rfind("card unreadable: ", 0), 0u)
        << model_card_text(record.pairs[2]);
    EXPECT_EQ(model_card_text(record.pairs[3]), "no validation record");

    settings.opus_folder.clear();
    settings.csv_file = "/data/spectra.csv";
    settings.shards = 0;
    const JobRecord csv = job_record(settings, "9.9");
    EXPECT_EQ(csv.input_kind, "CSV file");
    EXPECT_EQ(csv.shard, "");
}

} // namespace
} // namespace veldra

namespace veldra {
namespace {

// The line a window and a report show of a model says how it predicts: the forests alone say
// nothing more; a linear part, its method, weight and components.
TEST(JobRecord, TheCardLineNamesAModelsMethod) {
    JobRecord::Pair pair;
    pair.card = ModelCard();
    CardCrossValidation cv;
    cv.accuracy.r2 = 0.9;
    cv.accuracy.rmse = 0.1;
    pair.card->cross_validation = cv;
    pair.card->samples = 100;
    const std::string forests = model_card_text(pair);
    EXPECT_EQ(forests.find("method"), std::string::npos) << forests;
    pair.card->method = "bart";
    EXPECT_EQ(model_card_text(pair), forests);
    pair.card->method = "blend";
    pair.card->forest_weight = 0.7;
    pair.card->pls_components = 12;
    EXPECT_EQ(model_card_text(pair), forests + "; method blend (forests' weight 0.7, PLS 12 "
                                               "components)");
    pair.card->method = "pls";
    pair.card->forest_weight = 0.0;
    EXPECT_EQ(model_card_text(pair), forests + "; method pls (12 components)");
}

} // namespace
} // namespace veldra
