#include "bart/forest_prediction.h"
#include "bart/predictive_band.h"
#include "input/csv_reader.h"
#include "input/spectral_pipeline.h"
#include "job/job_runner.h"
#include "job/job_summary.h"
#include "models/calibration_domain.h"
#include "models/domain_reason.h"
#include "models/model_card.h"
#include "models/model_folder.h"
#include "text/number_text.h"
#include "tools/model_tree_generator.h"
#include "train/accuracy.h"
#include "train/training.h"
#include "train/training_report_text.h"

#include "tests/support/error_text.h"
#include "tests/support/held_open.h"
#include "tests/support/log_capture.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

constexpr int covariates = 12;

// Spectra whose level follows a smooth curve set by a hidden property; the property's values,
// positive, go into a targets file with another column and gaps.
struct Lab {
    TempDir dir;
    std::vector<double> property;
    explicit Lab(int samples) {
        std::mt19937_64 random(21);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::string spectra = "SSN";
        for (int j = 0; j < covariates; ++j) {
            spectra += ",wn" + std::to_string(j);
        }
        spectra += "\n";
        std::string targets = "SSN,pH,Carbon\n";
        for (int i = 0; i < samples; ++i) {
            const double level = unit(random);
            const std::string id = "s" + std::to_string(i);
            spectra += id;
            for (int j = 0; j < covariates; ++j) {
                spectra += "," + std::to_string(0.1 + level * j * j / 100.0 + 0.01 * unit(random));
            }
            spectra += "\n";
            property.push_back(1.0 + 3.0 * level);
            // Every seventh sample has no carbon value; one id has no spectrum.
            targets += id + ",7," +
                       (i % 7 == 3 ? std::string("NA") : std::to_string(property.back())) + "\n";
        }
        targets += "ghost,7,2.5\n";
        dir.write("spectra.csv", spectra);
        dir.write("targets.csv", targets);
        dir.write("models/opus.conf", "[htsxt]\nstart_wn=4000\nend_wn=600\nnum_wn=3\n");
    }
    TrainingSettings settings() const {
        TrainingSettings s;
        s.input.spectra = dir.file("spectra.csv");
        s.input.targets = dir.file("targets.csv");
        s.input.target = "Carbon";
        s.spectrometer_type = "mir";
        s.property = "Carbon";
        s.models = dir.path() / "models";
        s.input.opus_configuration = dir.file("models/opus.conf");
        s.bart.trees = 20;
        s.bart.burn_in = 60;
        s.bart.draws = 40;
        s.bart.seed = 3;
        return s;
    }
};

std::string train_error(const TrainingSettings& settings) {
    LoggerSet log;
    try {
        train_model(settings, log);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

// The job veldra-predict and the window run with the written model, on the same spectra.
JobSettings lab_job(const Lab& lab, bool exponential, const std::string& output) {
    JobSettings job;
    job.output_path = output;
    job.model_directory = lab.dir.path() / "models";
    job.csv_file = lab.dir.file("spectra.csv");
    job.exponential = exponential;
    job.transformation = Transformation::first_derivative;
    job.spectrometer_types = {"mir"};
    job.soil_properties = {"Carbon"};
    return job;
}

// What the job writes, with its summary.
std::string predict(const Lab& lab, bool exponential, const std::string& output) {
    JobSettings job = lab_job(lab, exponential, output);
    job.summary = true;
    LoggerSet log;
    JobProgress progress;
    const JobOutcome outcome = run_job(job, log, progress);
    EXPECT_TRUE(outcome.ok) << outcome.message;
    return test::read_file(output);
}

// The mean column of a prediction file, by sample.
std::vector<double> means(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    std::size_t column = 0;
    for (std::size_t at = 0, k = 0; at != std::string::npos; at = line.find(',', at + 1), ++k) {
        if (line.compare(at == 0 ? 0 : at + 1, 4, "mean") == 0) {
            column = k;
        }
    }
    std::vector<double> out;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string field;
        for (std::size_t k = 0; k <= column; ++k) {
            std::getline(fields, field, ',');
        }
        out.push_back(std::stod(field));
    }
    return out;
}

// The summary's columns by name: the value of `column` for every row of a summary file.
std::vector<double> summary_column(const std::string& path, SummaryColumn column) {
    std::vector<double> values;
    for (const SummaryRow& row : read_summary_file(path).rows) {
        values.push_back(std::stod(row.text(column)));
    }
    return values;
}

// The candidate (a k or a pipeline) the documented rule keeps: the default (`fallback`) unless
// others' per-sample interval scores are lower than its own by more than one standard error of
// the paired differences, then the lowest of those (the first of equals); after checking that the
// candidates are those asked for, in order, and that the report's cross-validation is the chosen
// one's.
template <class Choice, class Asked, class Field>
std::size_t checked_choice(const TrainingReport& report, const std::vector<Choice>& choices,
                           const std::vector<Asked>& asked, Field Choice::*field,
                           std::size_t fallback) {
    EXPECT_EQ(choices.size(), asked.size());
    const auto clearly_lower = [&](std::size_t c) {
        const std::vector<double>& a = choices[fallback].scores;
        const std::vector<double>& b = choices[c].scores;
        double mean = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            mean += (a[i] - b[i]) / static_cast<double>(a.size());
        }
        double squares = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            squares += (a[i] - b[i] - mean) * (a[i] - b[i] - mean);
        }
        const double n = static_cast<double>(a.size());
        return mean > std::sqrt(squares / (n - 1) / n);
    };
    std::size_t best = fallback;
    bool any_lower = false;
    for (std::size_t c = 0; c < choices.size() && c < asked.size(); ++c) {
        EXPECT_EQ(choices[c].*field, asked[c]);
        if (c == fallback || !clearly_lower(c)) {
            continue;
        }
        if (!any_lower ||
            choices[c].accuracy.interval_score < choices[best].accuracy.interval_score) {
            best = c;
        }
        any_lower = true;
    }
    EXPECT_TRUE(report.cross_validation.has_value());
    if (report.cross_validation && best < choices.size()) {
        EXPECT_EQ(report.cross_validation->accuracy.interval_score,
                  choices[best].accuracy.interval_score);
    }
    return best;
}

TEST(Training, PredictionReproducesTheTrainersPosteriorMeanAndBand) {
    for (const bool log_model : {false, true}) {
        Lab lab(60);
        TrainingSettings settings = lab.settings();
        settings.input.log = log_model;
        LoggerSet log;
        const TrainingReport report = train_model(settings, log);
        EXPECT_EQ(report.folder, lab.dir.path() / "models" / "mir" / "Acidified.Carbon");
        EXPECT_EQ(report.samples, 51u); // 60 spectra, 9 without a carbon value
        EXPECT_EQ(report.skipped, 9u);
        EXPECT_EQ(report.unmatched, 1u);
        EXPECT_EQ(report.covariates, static_cast<std::size_t>(covariates));
        EXPECT_GT(report.fit.r2, 0.9);

        const std::vector<double> predicted =
            means(predict(lab, log_model, lab.dir.file("out.csv")));
        ASSERT_EQ(predicted.size(), 60u);
        // The summary's predictive band is the band whose coverage the card reports: the same
        // error draws and quantile rule, to the summary's six digits.
        const std::string summary = lab.dir.file("out-summary.csv");
        const std::vector<double> low = summary_column(summary, SummaryColumn::predictive_low);
        const std::vector<double> high = summary_column(summary, SummaryColumn::predictive_high);
        ASSERT_EQ(low.size(), 60u);
        // The prediction file holds every sample; the trainer's set skips those without values.
        std::size_t k = 0;
        for (std::size_t i = 0; i < 60; ++i) {
            if (i % 7 == 3) {
                continue;
            }
            EXPECT_NEAR(predicted[i], report.fitted[k], 2e-5 * std::abs(report.fitted[k])) << i;
            EXPECT_NEAR(low[i], report.fitted_low[k], 2e-5 * std::abs(report.fitted_low[k])) << i;
            EXPECT_NEAR(high[i], report.fitted_high[k], 2e-5 * std::abs(report.fitted_high[k]))
                << i;
            EXPECT_LT(low[i], predicted[i]);
            ++k;
        }
        const std::string sigma = test::read_file(report.folder.string() + "/sigma.txt");
        EXPECT_EQ(std::count(sigma.begin(), sigma.end(), '\n'), 40);
        const std::string card = test::read_file(report.folder.string() + "/model.json");
        EXPECT_NE(card.find(log_model ? "\"log\": true" : "\"log\": false"), std::string::npos);
        EXPECT_NE(card.find("\"samples_used\": 51"), std::string::npos);
    }
}

// Cross-validation evaluates each fold's fit as prediction evaluates a model: the out-of-fold
// means and bands equal, to the last bit, what the prediction's reader and evaluator give from
// the same fit written as a model (each fold is fitted with the seed plus its number).
TEST(Training, OutOfFoldPredictionsAreThoseOfTheWrittenFoldModelToTheLastBit) {
    Lab lab(40);
    TrainingSettings settings = lab.settings();
    settings.input.log = true;
    std::string folds = "SSN,fold\n";
    std::string fold_two_targets = "SSN,Carbon\n";
    for (int i = 0; i < 40; ++i) {
        const std::string id = "s" + std::to_string(i);
        folds += id + "," + std::to_string(i % 2 + 1) + "\n";
        if (i % 2 == 1 && i % 7 != 3) {
            fold_two_targets +=
                id + "," + std::to_string(lab.property[static_cast<std::size_t>(i)]) + "\n";
        }
    }
    settings.folds = lab.dir.write("folds.csv", folds);
    LoggerSet log;
    const TrainingReport report = train_model(settings, log);
    ASSERT_TRUE(report.cross_validation.has_value());
    const CrossValidation& cv = *report.cross_validation;

    // The fit of fold 1 (trained on the samples of fold 2) written as a model of its own.
    TrainingSettings fold = lab.settings();
    fold.input.log = true;
    fold.input.targets = lab.dir.write("fold-two.csv", fold_two_targets);
    fold.bart.seed = settings.bart.seed + 1;
    fold.models = lab.dir.path() / "fold-models";
    fs::create_directories(fold.models);
    const TrainingReport fold_report = train_model(fold, log);
    const std::string folder = fold_report.folder.string();

    // The held-out samples of fold 1 as prediction reads them: raw spectra, derivative taken by
    // the evaluator as for any first-derivative model.
    TrainingInput raw = settings.input;
    raw.transformation = Transformation::none;
    const TrainingSet all = load_training_set(raw, log);
    SpectraRows held_out;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < all.ids.size(); ++i) {
        const int number = std::stoi(all.ids[i].substr(1));
        if (number % 2 == 0) {
            held_out.push_back(all.rows[i]);
            which.push_back(i);
        }
    }
    ASSERT_EQ(cv.ids, all.ids);
    const RangeNumbers range = read_range_numbers(range_file(folder).string());
    ASSERT_EQ(range.numbers.size(), 2u);
    const PredictionMatrix matrix =
        predict_from_forest_files(draw_file_pattern(folder), "json", held_out,
                                  RangeScaling{range.numbers[0], range.numbers[1]}, true, log);
    const std::vector<double> sigma = *read_sigma_file(folder, matrix.size());
    ASSERT_EQ(matrix.size(), 40u);
    // The matrix is in the files' byte-wise order (MCMC1, MCMC10, ...): each row back to its draw.
    std::vector<std::size_t> draw_of_file;
    for (const std::string& file : forest_files(draw_file_pattern(folder), "json")) {
        const std::string name = fs::path(file).filename().string();
        draw_of_file.push_back(std::stoul(name.substr(4, name.size() - 9)) - 1);
    }
    std::vector<double> scratch;
    for (std::size_t j = 0; j < which.size(); ++j) {
        const std::size_t i = which[j];
        std::vector<double> fitted(matrix.size());
        std::vector<double> values(matrix.size());
        for (std::size_t f = 0; f < matrix.size(); ++f) {
            fitted[draw_of_file[f]] = matrix[f][j];
            values[draw_of_file[f]] = std::exp(matrix[f][j]);
        }
        EXPECT_EQ(cv.predicted[i], mean_of(values)) << cv.ids[i];
        const PredictiveBand band = predictive_band(fitted, sigma, cv.ids[i], true, scratch);
        EXPECT_EQ(cv.low[i], band.low) << cv.ids[i];
        EXPECT_EQ(cv.high[i], band.high) << cv.ids[i];
        EXPECT_EQ(cv.pit[i], predictive_pit(fitted, sigma, cv.ids[i], std::log(cv.observed[i])));
    }
    EXPECT_EQ(which.size(), 17u); // 20 even samples, 3 of them without a carbon value
}

// An OPUS folder is resampled and averaged exactly as prediction does it: the predictions of
// the written model on the same folder are the trainer's posterior means.
TEST(Training, OpusFolderReadAsPredictionReadsIt) {
    TempDir dir;
    const tools::GridSection& grid = tools::grid_of_spectrometer("mir");
    std::ostringstream conf;
    conf << "[" << grid.name << "]\nstart_wn = " << grid.start_wn << "\nend_wn = " << grid.end_wn
         << "\nnum_wn = " << grid.num_wn << "\n";
    dir.write("models/opus.conf", conf.str());
    tools::write_example_opus_folder(dir.file("scans"), 12, 2, 4);
    std::string targets = "SSN,pH\n";
    for (int i = 1; i <= 12; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "soil%02d", i);
        targets += std::string(id) + "," + std::to_string(4.0 + 0.25 * i) + "\n";
    }
    TrainingSettings settings;
    settings.input.spectra = dir.file("scans") + "/";
    settings.input.opus_configuration = dir.file("models/opus.conf");
    settings.input.targets = dir.write("targets.csv", targets);
    settings.spectrometer_type = "mir";
    settings.property = "pH";
    settings.models = dir.path() / "models";
    settings.bart.trees = 10;
    settings.bart.burn_in = 30;
    settings.bart.draws = 20;
    LoggerSet log;
    const TrainingReport report = train_model(settings, log);
    ASSERT_EQ(report.samples, 12u);
    EXPECT_EQ(report.covariates, static_cast<std::size_t>(grid.num_wn));

    JobSettings job;
    job.output_path = dir.file("out.csv");
    job.model_directory = dir.path() / "models";
    job.opus_folder = dir.file("scans") + "/";
    job.opus_configuration_path = dir.file("models/opus.conf");
    job.exponential = false;
    job.spectrometer_types = {"mir"};
    job.soil_properties = {"pH"};
    JobProgress progress;
    ASSERT_TRUE(run_job(job, log, progress).ok);
    const std::vector<double> predicted = means(test::read_file(dir.file("out.csv")));
    ASSERT_EQ(predicted.size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_NEAR(predicted[i], report.fitted[i], 2e-5 * std::abs(report.fitted[i])) << i;
    }

    // The same scans named the lab's way ("soil01_scan-a.0", "soil01_scan-b.0") and references
    // keyed by "sample_id": the same samples, model and predictions.
    for (fs::directory_iterator it(dir.path() / "scans"), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        const std::string lab_name =
            name.substr(0, name.find('.')) + "_scan-" + (name.back() == '0' ? "a" : "b") + ".0";
        fs::create_directories(dir.path() / "lab-scans");
        fs::copy_file(it->path(), dir.path() / "lab-scans" / lab_name);
    }
    fs::create_directories(dir.path() / "lab-models");
    fs::copy_file(dir.path() / "models/opus.conf", dir.path() / "lab-models/opus.conf");
    std::string keyed = targets;
    keyed.replace(0, 3, "sample_id");
    settings.input.spectra = dir.file("lab-scans") + "/";
    settings.input.targets = dir.write("lab-targets.csv", keyed);
    settings.input.id_column = "sample_id";
    settings.input.sample_id = "^([^_]+)_";
    settings.models = dir.path() / "lab-models";
    const TrainingReport lab_report = train_model(settings, log);
    EXPECT_EQ(lab_report.samples, 12u);
    EXPECT_EQ(lab_report.fitted, report.fitted);
    EXPECT_EQ(test::read_file(lab_report.folder.string() + "/MCMC20.json"),
              test::read_file(report.folder.string() + "/MCMC20.json"));
    job.opus_folder = dir.file("lab-scans") + "/";
    job.model_directory = dir.path() / "lab-models";
    job.opus_configuration_path = dir.file("lab-models/opus.conf");
    job.output_path = dir.file("lab-out.csv");
    job.sample_id = "^([^_]+)_";
    ASSERT_TRUE(run_job(job, log, progress).ok);
    const std::string lab_out = test::read_file(dir.file("lab-out.csv"));
    EXPECT_EQ(lab_out, test::read_file(dir.file("out.csv")));
}

TEST(Training, TheSameSeedGivesTheSameBytes) {
    const test::ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
    std::vector<std::string> folders;
    for (int run = 0; run < 2; ++run) {
        Lab lab(40);
        TrainingSettings settings = lab.settings();
        settings.cv_folds = 3;
        settings.bart.threads = run == 0 ? 1 : 2;
        LoggerSet log;
        const TrainingReport report = train_model(settings, log);
        ASSERT_TRUE(report.cross_validation);
        const CrossValidation& cv = *report.cross_validation;
        EXPECT_EQ(cv.folds, 3);
        // Each lab value's PIT under its out-of-fold draws agrees with its 95% band; the card
        // keeps them all, sorted, to calibrate predictions.
        ASSERT_EQ(cv.pit.size(), cv.observed.size());
        for (std::size_t i = 0; i < cv.pit.size(); ++i) {
            const bool inside = cv.observed[i] >= cv.low[i] && cv.observed[i] <= cv.high[i];
            if (cv.pit[i] >= 0.05 && cv.pit[i] <= 0.95) {
                EXPECT_TRUE(inside) << i << " pit " << cv.pit[i];
            }
            if (cv.pit[i] == 0.0 || cv.pit[i] == 1.0) {
                EXPECT_FALSE(inside) << i << " pit " << cv.pit[i];
            }
        }
        const std::optional<ModelCard> card = read_model_card(report.folder);
        ASSERT_TRUE(card && card->calibration);
        std::vector<double> sorted = cv.pit;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(card->calibration->pit, sorted);
        EXPECT_EQ(card->calibration->samples, cv.pit.size());
        std::string bytes;
        std::vector<std::string> names;
        for (fs::directory_iterator it(report.folder), end; it != end; ++it) {
            names.push_back(it->path().filename().string());
        }
        std::sort(names.begin(), names.end());
        // 40 documents, rgy.txt, sigma.txt, model.json, domain.json, compiled-forests.bin
        EXPECT_EQ(names.size(), 45u);
        for (const std::string& name : names) {
            bytes += name + "\n" + test::read_file(report.folder.string() + "/" + name);
        }
        folders.push_back(bytes);
    }
    EXPECT_EQ(folders[0], folders[1]);
}

// Spectra and values held in memory (as a script hands them over) make the set the files make,
// with the same refusals, and a calibration made first and written later is the model
// `train_model` writes, byte for byte.
TEST(Training, SpectraHeldInMemoryCalibrateTheModelTheFilesDo) {
    const test::ScopedEnvironment epoch("SOURCE_DATE_EPOCH", "1700000000");
    Lab lab(30);
    TrainingSettings settings = lab.settings();
    settings.cv_folds = 3;
    LoggerSet log;
    const TrainingSet from_files = load_training_set(settings.input, log);
    const SpectraTable table = read_spectra_csv(lab.dir.file("spectra.csv"));
    std::vector<double> values;
    for (std::size_t i = 0; i < table.ids.size(); ++i) {
        values.push_back(i % 7 == 3 ? std::nan("") : lab.property[i]);
    }
    // The files round the values to six decimals; the same values from memory.
    const auto value_of = [&](const std::string& id) {
        return from_files.values[static_cast<std::size_t>(
            std::find(from_files.ids.begin(), from_files.ids.end(), id) - from_files.ids.begin())];
    };
    for (std::size_t i = 0; i < table.ids.size(); ++i) {
        if (!std::isnan(values[i])) {
            values[i] = value_of(table.ids[i]);
        }
    }
    const TrainingSet in_memory = training_set_of(table, values, "Carbon", settings.input, log);
    EXPECT_EQ(in_memory.ids, from_files.ids);
    EXPECT_EQ(in_memory.rows, from_files.rows); // first derivative applied alike
    EXPECT_EQ(in_memory.values, from_files.values);
    EXPECT_EQ(in_memory.skipped, from_files.skipped);
    EXPECT_EQ(in_memory.names, from_files.names);

    const TrainingReport written = train_model(settings, log);
    const std::string files_bytes = test::read_file(written.folder.string() + "/model.json") +
                                    test::read_file(written.folder.string() + "/MCMC7.json") +
                                    test::read_file(written.folder.string() + "/domain.json");
    TrainedModel made = calibrate_model(settings, in_memory, log);
    EXPECT_TRUE(made.report.folder.empty()); // nothing written yet
    EXPECT_EQ(test::error_text([&] { write_trained_model(settings, made, log); }),
              "A model exists in \"" + written.folder.string() + "\"; use --force to replace it.");
    settings.force = true;
    write_trained_model(settings, made, log);
    EXPECT_EQ(made.report.folder, written.folder);
    EXPECT_EQ(test::read_file(written.folder.string() + "/model.json") +
                  test::read_file(written.folder.string() + "/MCMC7.json") +
                  test::read_file(written.folder.string() + "/domain.json"),
              files_bytes);

    // The same refusals as the files get.
    SpectraTable twice = table;
    twice.ids[5] = twice.ids[2];
    EXPECT_EQ(
        test::error_text([&] { training_set_of(twice, values, "Carbon", settings.input, log); }),
        "The spectra hold the sample \"s2\" twice (spectra 3 and 6); each SSN must name one "
        "soil.");
    TrainingInput logged = settings.input;
    logged.log = true;
    std::vector<double> negative = values;
    negative[4] = -0.5;
    EXPECT_EQ(test::error_text([&] { training_set_of(table, negative, "Carbon", logged, log); }),
              "The value of \"s4\" is -0.5: a model of log(y) needs values above 0.");
    EXPECT_EQ(test::error_text([&] {
                  training_set_of(table, std::vector<double>(values.size(), std::nan("")), "Carbon",
                                  settings.input, log);
              }),
              "Only 0 samples have both a spectrum and a reference value; at least 2 are needed.");
    EXPECT_EQ(test::error_text([&] {
                  training_set_of(table, std::vector<double>(3, 1.0), "Carbon", settings.input,
                                  log);
              }),
              "The spectra hold 30 samples and the values 3: give one value per spectrum.");
}

// Progress and stop reach the training through the observers of its log: every iteration of
// every fit counted against the run's total, then the writing at that total, where a stop still
// leaves the existing model as it was.
TEST(Training, ProgressAndStopGoThroughTheLogsObservers) {
    struct Observer : LogObserver {
        std::vector<std::pair<std::int64_t, std::int64_t>> reports;
        std::size_t stop_at_writing = 0; // the n-th report of the writing throws (0: none)
        std::size_t writing = 0;
        void record(Severity, const std::string&) override {}
        void progress(std::int64_t done, std::int64_t total) override {
            reports.emplace_back(done, total);
            if (done == total && ++writing == stop_at_writing) {
                throw 7;
            }
        }
    };
    Lab lab(20);
    TrainingSettings settings = lab.settings();
    settings.cv_folds = 2;
    settings.bart.chains = 1;
    Observer observer;
    {
        LoggerSet log;
        const ObserverGuard observing(log, observer);
        train_model(settings, log);
    }
    // Three fits (two folds and the model) of 60 burn-in and 40 kept iterations each.
    const std::int64_t total = 3 * (60 + 40);
    ASSERT_GT(observer.reports.size(), static_cast<std::size_t>(total));
    for (std::size_t r = 0; r < static_cast<std::size_t>(total); ++r) {
        EXPECT_EQ(observer.reports[r], std::make_pair(static_cast<std::int64_t>(r) + 1, total));
    }
    for (std::size_t r = static_cast<std::size_t>(total); r < observer.reports.size(); ++r) {
        EXPECT_EQ(observer.reports[r], std::make_pair(total, total)); // the writing
    }
    const std::string card = lab.dir.file("models/mir/Acidified.Carbon/model.json");
    const std::string before = test::read_file(card);

    // A stop while the files are written (at the fifth report of the writing) keeps the model.
    settings.force = true;
    settings.bart.seed = 4;
    Observer stopping;
    stopping.stop_at_writing = 5;
    LoggerSet log;
    const ObserverGuard observing(log, stopping);
    EXPECT_THROW(train_model(settings, log), int);
    EXPECT_EQ(test::read_file(card), before);
}

// A reference and a folds table naming their samples in another column ("sample_id") train
// the same model as with "SSN"; a table without that column is refused, naming it.
TEST(Training, TheReferenceTablesIdentifierColumnIsChosen) {
    Lab lab(30);
    TrainingSettings settings = lab.settings();
    std::string folds = "SSN,fold\n";
    for (int i = 0; i < 30; ++i) {
        folds += "s" + std::to_string(i) + "," + std::to_string(i % 3 + 1) + "\n";
    }
    settings.folds = lab.dir.write("folds.csv", folds);
    const test::ScopedEnvironment fixed_date("SOURCE_DATE_EPOCH", "1700000000");
    LoggerSet log;
    const TrainingReport by_ssn = train_model(settings, log);
    const std::string card = test::read_file(by_ssn.folder.string() + "/model.json");
    const std::string draw = test::read_file(by_ssn.folder.string() + "/MCMC7.json");

    // The same tables with the identifier column renamed and moved to the end.
    std::string targets = test::read_file(lab.dir.file("targets.csv"));
    std::string renamed = "pH,Carbon,sample_id\n";
    std::istringstream lines(targets.substr(targets.find('\n') + 1));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t comma = line.find(',');
        renamed += line.substr(comma + 1) + "," + line.substr(0, comma) + "\n";
    }
    settings.input.targets = lab.dir.write("targets-sample-id.csv", renamed);
    std::string renamed_folds = folds;
    renamed_folds.replace(0, 3, "sample_id");
    settings.folds = lab.dir.write("folds-sample-id.csv", renamed_folds);
    settings.input.id_column = "sample_id";
    settings.force = true;
    const TrainingReport by_sample_id = train_model(settings, log);
    EXPECT_EQ(test::read_file(by_sample_id.folder.string() + "/MCMC7.json"), draw);
    std::string expected = card;
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"targets.csv", "targets-sample-id.csv"},
          {"folds.csv", "folds-sample-id.csv"}}) {
        for (std::size_t at = expected.find(from); at != std::string::npos;
             at = expected.find(from, at + to.size())) {
            expected.replace(at, from.size(), to);
        }
    }
    EXPECT_EQ(test::read_file(by_sample_id.folder.string() + "/model.json"), expected);
    EXPECT_EQ(by_sample_id.cross_validation->predicted, by_ssn.cross_validation->predicted);

    settings.input.id_column = "lab_id";
    EXPECT_EQ(train_error(settings),
              "The file \"" + settings.input.targets + "\" has no \"lab_id\" column.");
    settings.input.id_column = "sample_id";
    settings.input.targets = lab.dir.file("targets.csv");
    EXPECT_EQ(train_error(settings),
              "The file \"" + lab.dir.file("targets.csv") + "\" has no \"sample_id\" column.");
}

TEST(Training, ClearErrorsAndNoModelOverwrittenUnasked) {
    Lab lab(20);
    TrainingSettings settings = lab.settings();
    settings.input.target = "Clay";
    EXPECT_EQ(train_error(settings),
              "The targets file \"" + lab.dir.file("targets.csv") + "\" has no column \"Clay\".");
    settings.input.target.clear();
    EXPECT_EQ(train_error(settings), "The targets file \"" + lab.dir.file("targets.csv") +
                                         "\" has several columns: choose one with --target.");
    settings = lab.settings();
    settings.input.target = "pH";
    settings.input.log = false;
    EXPECT_EQ(train_error(settings),
              "The reference values are all the same (or not finite): there is nothing to fit.");

    settings = lab.settings();
    lab.dir.write("models/mir/Acidified.Carbon/rgy.txt", "0 1\n");
    EXPECT_EQ(test::slashes(train_error(settings)),
              test::slashes("A model exists in \"" +
                            (lab.dir.path() / "models/mir/Acidified.Carbon").string() +
                            "\"; use --force to replace it."));
    EXPECT_EQ(test::read_file(lab.dir.file("models/mir/Acidified.Carbon/rgy.txt")), "0 1\n");
    settings.force = true;
    settings.cv_folds = 30; // more folds than samples: refused before anything is written
    EXPECT_EQ(train_error(settings), "Cross-validation needs from 2 to 17 folds, not 30.");
    EXPECT_EQ(test::read_file(lab.dir.file("models/mir/Acidified.Carbon/rgy.txt")), "0 1\n");
#if defined(_WIN32)
    // A lab's file in the folder held open (a document in a word processor) would keep the new
    // model from taking the folder's place after the training: said before it.
    settings.cv_folds = 0;
    const std::string notes = lab.dir.write("models/mir/Acidified.Carbon/notes.txt", "kept\n");
    {
        const test::HeldOpen held(notes);
        ASSERT_TRUE(held.ok());
        EXPECT_EQ(test::slashes(train_error(settings)),
                  test::slashes("The file \"" + notes +
                                "\" is open in another program, so the model folder cannot be "
                                "replaced: close it there, then train again."));
    }
    EXPECT_EQ(test::read_file(lab.dir.file("models/mir/Acidified.Carbon/rgy.txt")), "0 1\n");
#endif

    lab.dir.write("bad.csv", "SSN,Carbon\ns1,2,3\n");
    settings = lab.settings();
    settings.force = true;
    settings.input.targets = lab.dir.file("bad.csv");
    EXPECT_EQ(train_error(settings),
              "Line 2 of \"" + lab.dir.file("bad.csv") + "\" has 3 fields, the header 2.");
    lab.dir.write("bad.csv", "SSN,Carbon\ns1,two\n");
    EXPECT_EQ(train_error(settings), "The value of \"s1\" in \"" + lab.dir.file("bad.csv") +
                                         "\" is not a number: \"two\".");
    lab.dir.write("bad.csv", "SSN,Carbon\ns1,0\ns2,1\n");
    settings.input.log = true;
    EXPECT_EQ(train_error(settings),
              "The value of \"s1\" is 0: a model of log(y) needs values above 0.");
}

TEST(Training, MistakesInTheSetAreRefusedOrWarned) {
    Lab lab(20);
    TrainingSettings settings = lab.settings();
    // The same SSN twice among the spectra: 116 spectra from 115 soils.
    std::string spectra = test::read_file(lab.dir.file("spectra.csv"));
    const std::size_t second = spectra.find("\ns1,");
    const std::string again = spectra.substr(second + 1, spectra.find('\n', second + 1) - second);
    lab.dir.write("twice.csv", spectra + again);
    settings.input.spectra = lab.dir.file("twice.csv");
    EXPECT_EQ(train_error(settings), "The spectra hold the sample \"s1\" twice (spectra 2 and 21); "
                                     "each SSN must name one soil.");

    // A folds file giving one SSN two folds, or putting every sample in one fold.
    settings = lab.settings();
    LoggerSet log;
    const TrainingSet set = load_training_set(settings.input, log);
    std::string folds = "SSN,fold\n";
    for (std::size_t i = 0; i < set.ids.size(); ++i) {
        folds += set.ids[i] + "," + std::to_string(i % 2 + 1) + "\n";
    }
    const std::string path = lab.dir.write("folds.csv", folds + set.ids[3] + ",1\n");
    EXPECT_EQ(test::error_text([&] { assign_folds(path, 0, 1, set); }),
              "The folds file \"" + path + "\" names \"" + set.ids[3] + "\" twice.");
    std::string one_fold = "SSN,fold\n";
    for (const std::string& id : set.ids) {
        one_fold += id + ",3\n";
    }
    lab.dir.write("folds.csv", one_fold);
    EXPECT_EQ(test::error_text([&] { assign_folds(path, 0, 1, set); }),
              "The folds file \"" + path +
                  "\" puts every sample in fold 3; cross-validation needs samples in at least two "
                  "folds.");

    // Few samples or a single covariate train, with a warning in the log.
    lab.dir.write("few.csv", "SSN,a\ns1,1\ns2,2\ns3,3\n");
    lab.dir.write("few-targets.csv", "SSN,Carbon\ns1,1\ns2,2\ns3,4\n");
    settings.input.spectra = lab.dir.file("few.csv");
    settings.input.targets = lab.dir.file("few-targets.csv");
    settings.input.transformation = Transformation::none;
    test::LogCapture seen(log, true);
    const TrainingSet few = load_training_set(settings.input, log);
    EXPECT_EQ(few.rows.size(), 3u);
    EXPECT_EQ(seen.messages(),
              (std::vector<std::string>{
                  "Warning: only 3 samples have a spectrum and a reference value; a model "
                  "calibrated on fewer than 20 rarely predicts new soils well.",
                  "Warning: the forests see 1 covariate; is the spectra file a table of one value "
                  "per sample?"}));

    // The log says how many matched and names the samples of either side without the other.
    lab.dir.write("some.csv", "SSN,a,b\ns1,1,0\ns2,2,0\ns3,3,0\ns4,4,0\ns5,5,0\n");
    lab.dir.write("some-targets.csv", "SSN,Carbon\ns1,1\ns2,2\ns3,NA\ns4,3\nx9,7\nx8,6\n");
    settings.input.spectra = lab.dir.file("some.csv");
    settings.input.targets = lab.dir.file("some-targets.csv");
    test::LogCapture all(log);
    const TrainingSet some = load_training_set(settings.input, log);
    EXPECT_EQ(some.ids, (std::vector<std::string>{"s1", "s2", "s4"}));
    const std::vector<std::string> told = all.messages();
    for (const std::string& line :
         {std::string("2 spectra without a reference value in SSN: s3, s5"),
          std::string("2 reference values without a spectrum: x8, x9")}) {
        EXPECT_NE(std::find(told.begin(), told.end(), line), told.end()) << line;
    }
}

// Reference and folds tables as labs export them: Excel's "CSV UTF-8" (a byte order mark, CR LF),
// R's write.csv (quoted header and fields, a row-name column), blanks and quoted commas; the
// same values as a plain table give. What cannot be meant is refused with a reason.
TEST(Training, ReferenceTablesAsLabsExportThem) {
    Lab lab(30);
    std::string plain = test::read_file(lab.dir.file("targets.csv"));
    TrainingSettings settings = lab.settings();
    settings.bart.draws = 10;
    settings.bart.burn_in = 10;
    LoggerSet log;
    const TrainingReport expected = train_model(settings, log);
    settings.force = true;

    std::string excel = "\xEF\xBB\xBF";
    std::string r = "\"\",\"SSN\",\"pH\",\"Carbon\"\n";
    std::istringstream lines(plain);
    std::string line;
    for (int n = 0; std::getline(lines, line); ++n) {
        excel += line + "\r\n";
        if (n > 0) {
            const std::size_t a = line.find(',');
            const std::size_t b = line.find(',', a + 1);
            r += "\"" + std::to_string(n) + "\",\"" + line.substr(0, a) + "\"," +
                 line.substr(a + 1, b - a - 1) + "," + line.substr(b + 1) + "\n";
        }
    }
    for (const std::string& table : {excel, r}) {
        lab.dir.write("targets.csv", table);
        EXPECT_EQ(reference_table_columns(lab.dir.file("targets.csv")),
                  (table == r ? std::vector<std::string>{"", "pH", "Carbon"}
                              : std::vector<std::string>{"pH", "Carbon"}));
        const TrainingReport report = train_model(settings, log);
        EXPECT_EQ(report.samples, expected.samples);
        EXPECT_EQ(report.observed, expected.observed);
        EXPECT_EQ(report.fitted, expected.fitted);
    }

    const auto refused = [&](const std::string& targets) {
        lab.dir.write("targets.csv", targets);
        return test::slashes(train_error(settings));
    };
    const std::string file = test::slashes("\"" + lab.dir.file("targets.csv") + "\"");
    EXPECT_EQ(refused("SSN,Carbon,Carbon\ns0,1,2\n"),
              "The file " + file + " has two columns named \"Carbon\": name each column once.");
    EXPECT_EQ(refused("SSN,Carbon\n\"s0,1\n"),
              "Line 2 of " + file + ": a quoted field is not closed.");
    EXPECT_EQ(refused("\"SSN\"x,Carbon\ns0,1\n"),
              "Line 1 of " + file + ": text after the closing quote of a field.");
    EXPECT_EQ(refused("SSN;Carbon\r\ns0;1,5\r\n"),
              "The file " + file +
                  " has no \"SSN\" column.\nThe header is separated by ';': values must be "
                  "separated by ',' with '.' for the decimal point.");

    // Folds that leave a fit fewer than two samples say which fold and why.
    lab.dir.write("targets.csv", plain);
    std::string folds = "SSN,fold\n";
    for (int i = 0; i < 30; ++i) {
        folds += "s" + std::to_string(i) + "," + (i == 0 ? "1" : "2") + "\n";
    }
    settings.folds = lab.dir.write("folds.csv", folds);
    EXPECT_EQ(test::slashes(train_error(settings)),
              "Fold 2 holds 25 of the 26 samples, which leaves 1 to fit its model on; each fit "
              "needs at least two. Use fewer folds or more samples.");
}

TEST(Training, FoldsAndAccuracy) {
    Lab lab(30);
    TrainingSettings settings = lab.settings();
    LoggerSet log;
    const TrainingSet set = load_training_set(settings.input, log);
    settings.cv_folds = 4;
    const std::vector<int> folds =
        assign_folds(settings.folds, settings.cv_folds, settings.bart.seed, set);
    std::vector<int> sizes(5, 0);
    for (const int f : folds) {
        ASSERT_GE(f, 1);
        ASSERT_LE(f, 4);
        ++sizes[static_cast<std::size_t>(f)];
    }
    EXPECT_EQ(*std::max_element(sizes.begin() + 1, sizes.end()) -
                  *std::min_element(sizes.begin() + 1, sizes.end()),
              1); // 26 samples in 4 folds: 7, 7, 6, 6
    EXPECT_EQ(assign_folds(settings.folds, settings.cv_folds, settings.bart.seed, set), folds);
    settings.bart.seed = 4;
    EXPECT_NE(assign_folds(settings.folds, settings.cv_folds, settings.bart.seed, set), folds);

    std::string file = "SSN,fold\n";
    for (std::size_t i = 0; i < set.ids.size(); ++i) {
        file += set.ids[i] + "," + std::to_string(i % 3 + 1) + "\n";
    }
    settings.folds = lab.dir.write("folds.csv", file);
    EXPECT_EQ(assign_folds(settings.folds, settings.cv_folds, settings.bart.seed, set)[4], 2);

    // Observed 1..4, predicted off by +1, -1, 0, 0: RMSE 1/sqrt(2), R2 1 - 2/5, bias 0,
    // IQR (3.25 - 1.75) / RMSE, three of four inside their bands; interval score: widths
    // 3, 3, 0.5, 0.5 and 40 times the 0.5 by which 3 falls below 3.5.
    const Accuracy a = accuracy_of({1, 2, 3, 4}, {2, 1, 3, 4}, {0, 0, 3.5, 3.5}, {3, 3, 4, 4});
    EXPECT_DOUBLE_EQ(a.rmse, std::sqrt(0.5));
    EXPECT_DOUBLE_EQ(a.r2, 0.6);
    EXPECT_DOUBLE_EQ(a.bias, 0.0);
    EXPECT_DOUBLE_EQ(a.rpiq, 1.5 / std::sqrt(0.5));
    EXPECT_DOUBLE_EQ(a.coverage, 0.75);
    EXPECT_DOUBLE_EQ(a.interval_score, (3 + 3 + 0.5 + 0.5 + 40 * 0.5) / 4);
    EXPECT_DOUBLE_EQ(accuracy_of({1}, {1}, {1.5}, {2}).interval_score, 0.5 + 40 * 0.5);
}

// Candidates compared sample by sample: each sample's interval score, and the mean difference
// of two candidates' scores with its standard error, worked by hand; the report names the
// candidates the samples cannot tell from the chosen one.
TEST(Training, CandidatesAreComparedSampleBySample) {
    const std::vector<double> scores =
        interval_scores({1, 2, 3, 4}, {0, 0, 3.5, 3.5}, {3, 3, 4, 4});
    EXPECT_EQ(scores, (std::vector<double>{3, 3, 0.5 + 40 * 0.5, 0.5}));
    // Differences 1, 2, 3, 4: mean 2.5, standard deviation sqrt(5 / 3), over sqrt(4).
    const PairedDifference d = paired_difference({2, 3, 4, 5}, {1, 1, 1, 1});
    EXPECT_DOUBLE_EQ(d.mean, 2.5);
    EXPECT_DOUBLE_EQ(d.standard_error, std::sqrt(5.0 / 3.0) / 2.0);
    EXPECT_EQ(paired_difference({1, 2}, {1, 2}).standard_error, 0.0);
    EXPECT_EQ(paired_difference({7}, {1}).mean, 0.0); // one sample tells nothing

    TrainingReport report;
    report.preprocessing = "snv+first_der";
    report.pipeline_choices = {{"first_der", {}, {2.0, 2.0, 2.0, 2.4}}, // +0.1 +/- 0.1
                               {"snv+first_der", {}, {2.0, 2.0, 2.0, 2.0}},
                               {"sg(5,2,1)", {}, {3.0, 3.0, 3.0, 3.4}}}; // +1.1 +/- 0.1
    report.k = 2.0;
    report.k_choices = {{1.0, {}, {1.0, 2.0, 3.0, 4.0}}, {2.0, {}, {1.0, 1.0, 1.0, 1.0}}};
    const std::string text = training_report_text(report);
    EXPECT_NE(
        text.find("      RMSE  coverage  interval score          above chosen  pipeline\n"
                  "    0.0000     0.000          0.0000  ~ +0.1000 +/- 0.1000  first_der\n"
                  "*   0.0000     0.000          0.0000                        snv+first_der\n"
                  "    0.0000     0.000          0.0000    +1.1000 +/- 0.1000  sg(5,2,1)\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("         k      RMSE  coverage  interval score          above chosen\n"
                        "         1    0.0000     0.000          0.0000    +1.5000 +/- 0.6455\n"
                        "  *      2    0.0000     0.000          0.0000\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nabove chosen: how much higher"), std::string::npos) << text;
}

// The default stays unless another candidate is lower by more than one standard error of the
// paired difference; of several that are, the lowest; without a default among them, the lowest.
TEST(Training, TheDefaultStaysUnlessTheSamplesShowBetter) {
    const std::vector<double> first_der = {2.0, 2.0, 2.0, 2.4};
    const std::vector<double> close = {2.0, 2.0, 2.0, 2.0};  // 0.1 lower, +/- 0.1: not more
    const std::vector<double> better = {1.0, 1.5, 1.2, 1.6}; // 0.775 lower, +/- 0.10
    const std::vector<double> lowest = {0.5, 1.5, 0.5, 1.5}; // 1.1 lower, +/- 0.24
    const std::vector<double> noisy = {0.0, 4.2, 0.0, 0.4};  // 0.95 lower, +/- 1.05: not
    CandidateChoice choice = choose_candidate({first_der, close}, 0);
    EXPECT_EQ(choice.index, 0u);
    EXPECT_EQ(choice.rule, "the default");
    choice = choose_candidate({close, first_der, noisy}, 1);
    EXPECT_EQ(choice.index, 1u) << "a lower mean within the noise keeps the default";
    choice = choose_candidate({better, first_der, lowest, noisy}, 1);
    EXPECT_EQ(choice.index, 2u);
    EXPECT_EQ(choice.rule, "lower than the default by more than one standard error");
    choice = choose_candidate({first_der, close, noisy}, std::nullopt);
    EXPECT_EQ(choice.index, 2u);
    EXPECT_EQ(choice.rule, "the lowest");

    TrainingReport report;
    report.preprocessing = "first_der";
    report.pipeline_rule = "the default";
    report.pipeline_choices = {{"first_der", {}, first_der}, {"snv+first_der", {}, close}};
    report.k = 3.0;
    report.k_rule = "lower than the default by more than one standard error";
    report.k_choices = {{2.0, {}, first_der}, {3.0, {}, better}};
    const std::string text = training_report_text(report);
    EXPECT_NE(text.find("chosen: first_der, the default: no other candidate's interval score is "
                        "lower by more than one standard error\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("chosen: k 3, its interval score is lower than the default k 2's by more "
                        "than one standard error\n"),
              std::string::npos)
        << text;
}

// Several k: each is cross-validated on the same folds, seeds and error draws, the rule keeps
// the default unless another's interval score is clearly lower, and the model is the one that k
// alone gives.
TEST(Training, KChosenByTheCrossValidatedIntervalScore) {
    Lab lab(40);
    TrainingSettings settings = lab.settings();
    settings.cv_folds = 3;
    settings.k_choices = {0.5, 2.0, 6.0};
    LoggerSet log;
    const TrainingReport chosen = train_model(settings, log);
    ASSERT_EQ(chosen.k_choices.size(), 3u);
    const std::size_t best =
        checked_choice(chosen, chosen.k_choices, settings.k_choices, &KChoice::k, 1);
    EXPECT_EQ(chosen.k, settings.k_choices[best]);
    // Different k give different bands: the choice is not between equals.
    EXPECT_NE(chosen.k_choices[0].accuracy.interval_score,
              chosen.k_choices[2].accuracy.interval_score);
    const nlohmann::json card = nlohmann::json::parse(
        test::read_file(lab.dir.file("models/mir/Acidified.Carbon/model.json")));
    EXPECT_EQ(card["k"].get<double>(), chosen.k);
    ASSERT_EQ(card["k_selection"]["candidates"].size(), 3u);
    EXPECT_EQ(card["k_selection"]["candidates"][best]["accuracy"]["interval_score_95"],
              card["cross_validation"]["accuracy"]["interval_score_95"]);
    const std::string forest =
        test::read_file(lab.dir.file("models/mir/Acidified.Carbon/MCMC40.json"));
    const std::string sigma =
        test::read_file(lab.dir.file("models/mir/Acidified.Carbon/sigma.txt"));

    // Each candidate alone gives the same cross-validation, and the chosen one the same model.
    for (std::size_t c = 0; c < 3; ++c) {
        TrainingSettings alone = settings;
        alone.k_choices = {};
        alone.bart.k = settings.k_choices[c];
        alone.force = true;
        const TrainingReport single = train_model(alone, log);
        EXPECT_EQ(single.cross_validation->accuracy.interval_score,
                  chosen.k_choices[c].accuracy.interval_score);
        EXPECT_EQ(single.cross_validation->accuracy.rmse, chosen.k_choices[c].accuracy.rmse);
        EXPECT_TRUE(single.k_choices.empty());
        if (c == best) {
            EXPECT_EQ(single.fit.coverage, chosen.fit.coverage);
            EXPECT_EQ(test::read_file(lab.dir.file("models/mir/Acidified.Carbon/MCMC40.json")),
                      forest);
            EXPECT_EQ(test::read_file(lab.dir.file("models/mir/Acidified.Carbon/sigma.txt")),
                      sigma);
        }
    }

    // A choice needs folds to choose by, and every candidate must be a valid k; both are
    // refused before anything is read.
    settings.force = true;
    settings.cv_folds = 0;
    EXPECT_EQ(train_error(settings),
              "Choosing k among several values needs cross-validation: give --cv K or --folds.");
    settings.cv_folds = 3;
    settings.k_choices = {2.0, -1.0};
    settings.input.spectra = lab.dir.file("missing.csv");
    EXPECT_EQ(train_error(settings).rfind("--k takes a number above 0", 0), 0u);
}

} // namespace
} // namespace veldra

namespace veldra {
namespace {

// A pipeline fitted by the trainer travels with the model: prediction applies the card's
// pipeline whatever the job's transformation, and gives the trainer's posterior means.
TEST(Training, ThePreprocessingTravelsWithTheModel) {
    Lab lab(60);
    TrainingSettings settings = lab.settings();
    settings.preprocess = {"drop(3-4) + msc + sg(5,2,1)"};
    LoggerSet log;
    const TrainingReport report = train_model(settings, log);
    EXPECT_EQ(report.preprocessing, "drop(4-3)+msc+sg(5,2,1)");
    ASSERT_EQ(report.preprocessing_references.size(), 1u);
    EXPECT_EQ(report.preprocessing_references[0].size(), 10u); // two of twelve points dropped
    EXPECT_EQ(report.covariates, static_cast<std::size_t>(covariates));

    // The job asks for the first derivative; the model applies its own pipeline instead.
    const std::vector<double> predicted = means(predict(lab, false, lab.dir.file("out.csv")));
    ASSERT_EQ(predicted.size(), 60u);
    std::size_t k = 0;
    for (std::size_t i = 0; i < 60; ++i) {
        if (i % 7 != 3) {
            EXPECT_NEAR(predicted[i], report.fitted[k], 2e-5 * std::abs(report.fitted[k])) << i;
            ++k;
        }
    }

    // The card holds the pipeline and its references exactly: a spectrum goes through the same
    // numbers at prediction as at training, to the last bit.
    const fs::path folder = lab.dir.path() / "models" / "mir" / "Acidified.Carbon";
    const std::optional<ModelCard> card = read_model_card(folder);
    ASSERT_TRUE(card);
    EXPECT_FALSE(card->transformation.has_value());
    EXPECT_EQ(card->preprocessing_references, report.preprocessing_references);
    SpectralPipeline trained(report.preprocessing);
    SpectralPipeline carried(card->preprocessing);
    const std::vector<double> wavenumbers = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    trained.prepare(wavenumbers, covariates);
    carried.prepare(wavenumbers, covariates);
    trained.set_references(report.preprocessing_references);
    carried.set_references(card->preprocessing_references);
    const std::vector<double> spectrum = {0.1,  0.13, 0.19, 0.2, 0.31, 0.35,
                                          0.42, 0.5,  0.61, 0.7, 0.82, 0.9};
    std::vector<double> a;
    std::vector<double> b;
    std::vector<double> scratch;
    trained.apply(spectrum.data(), a, scratch);
    carried.apply(spectrum.data(), b, scratch);
    EXPECT_EQ(a, b);

    // The results window's view after the transformation shows what the forests saw: ten points
    // at the wavenumbers kept, each the pipeline's value.
    JobSettings viewed = lab_job(lab, false, lab.dir.file("viewed.csv"));
    viewed.keep_spectra = true;
    JobProgress progress;
    const JobOutcome outcome = run_job(viewed, log, progress);
    ASSERT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(outcome.spectra->x_after, (std::vector<double>{0, 1, 2, 5, 6, 7, 8, 9, 10, 11}));
    const SpectraTable read = read_spectra_csv(lab.dir.file("spectra.csv"));
    trained.apply(read.rows[5].data(), a, scratch);
    for (std::size_t j = 0; j < a.size(); ++j) {
        EXPECT_EQ(outcome.spectra->row(true, 5)[j], static_cast<float>(a[j])) << j;
    }

    // A card naming a step this version does not know is refused, naming it.
    std::string text = test::read_file((folder / "model.json").string());
    text.replace(text.find("drop(4-3)+msc+sg(5,2,1)"), 23, "second_der");
    lab.dir.write("models/mir/Acidified.Carbon/model.json", text);
    JobSettings job = lab_job(lab, false, lab.dir.file("refused.csv"));
    EXPECT_EQ(run_job(job, log, progress).message,
              "The model in '" + folder.string() +
                  "' cannot be used: The preprocessing step \"second_der\" is not one this "
                  "version knows (keep, drop, bin, snv, msc, sg, first_der).");
}

// SNV divides out a spectrum's scale, so the domain after it cannot see a doubled spectrum; the
// domain of the spectra as read (on their derivative), written beside such a model, does.
TEST(Training, SpectraAPipelineNormalisesAreStillJudgedAsRead) {
    Lab lab(60);
    TrainingSettings settings = lab.settings();
    settings.preprocess = {"snv"};
    LoggerSet log;
    const TrainingReport report = train_model(settings, log);
    EXPECT_TRUE(report.input_domain);
    const fs::path folder = lab.dir.path() / "models" / "mir" / "Acidified.Carbon";
    EXPECT_TRUE(read_model_card(folder)->input_domain.value_or(false));
    ASSERT_TRUE(read_calibration_domain(folder, "input_domain.json").has_value());

    // The spectra of the highest level, as read and doubled.
    SpectraTable spectra = read_spectra_csv(lab.dir.file("spectra.csv"));
    const std::size_t top = static_cast<std::size_t>(
        std::max_element(lab.property.begin(), lab.property.end()) - lab.property.begin());
    std::string table = "SSN";
    for (int j = 0; j < covariates; ++j) {
        table += ",wn" + std::to_string(j);
    }
    table += "\n";
    for (const double factor : {1.0, 2.0}) {
        table += factor == 1.0 ? "same" : "doubled";
        for (const double value : spectra.rows[top]) {
            table += "," + shortest_text(factor * value);
        }
        table += "\n";
    }
    lab.dir.write("judged.csv", table);
    JobSettings job = lab_job(lab, false, lab.dir.file("judged.csv.out"));
    job.csv_file = lab.dir.file("judged.csv");
    job.summary = true;
    JobProgress progress;
    {
        test::LogCapture seen(log, true);
        ASSERT_TRUE(run_job(job, log, progress).ok);
        // The log says where the doubled spectrum differs: ranges of the spectrum as read.
        const std::vector<std::string> said = seen.messages();
        const auto told = std::find_if(said.begin(), said.end(), [](const std::string& line) {
            return line.rfind("Outside the mir/Acidified.Carbon domain: doubled differs most at ",
                              0) == 0;
        });
        ASSERT_NE(told, said.end());
        EXPECT_NE(told->find(" cm⁻¹"), std::string::npos) << *told;
    }
    const SummaryTable judged = read_summary_file(lab.dir.file("judged.csv-summary.out"));
    ASSERT_EQ(judged.rows.size(), 2u);
    EXPECT_EQ(judged.rows[0].domain(), "inside");
    EXPECT_EQ(judged.rows[1].domain(), "outside");
    EXPECT_EQ(judged.rows[0].domain_reason, "");
    EXPECT_FALSE(ranges_of_bands_text(judged.rows[1].domain_reason).empty())
        << judged.rows[1].domain_reason;
    // After SNV the two are the same spectrum: the domain after the pipeline says inside, so
    // the figures shown for the doubled one are those of the domain as read, which flagged it.
    EXPECT_NE(judged.rows[1].t2, judged.rows[0].t2);
    const std::optional<CalibrationDomain> as_read =
        read_calibration_domain(folder, "input_domain.json");
    EXPECT_TRUE(judged.rows[1].t2 > as_read->t2_limit || judged.rows[1].q > as_read->q_limit);

    // A block of many samples, every third doubled, judged on one thread and on three: the same
    // outputs, the same samples outside, in order.
    std::string many = "SSN";
    for (int j = 0; j < covariates; ++j) {
        many += ",wn" + std::to_string(j);
    }
    many += "\n";
    for (int i = 0; i < 150; ++i) {
        many += "k" + std::to_string(i);
        const double factor = i % 3 == 2 ? 2.0 : 1.0 + 0.0001 * i;
        for (const double value : spectra.rows[top]) {
            many += "," + shortest_text(factor * value);
        }
        many += "\n";
    }
    lab.dir.write("many.csv", many);
    std::vector<std::string> outputs;
    for (const unsigned threads : {1u, 3u}) {
        const std::string name = "many" + std::to_string(threads);
        job = lab_job(lab, false, lab.dir.file(name + ".out"));
        job.csv_file = lab.dir.file("many.csv");
        job.summary = true;
        job.threads = threads;
        ASSERT_TRUE(run_job(job, log, progress).ok);
        outputs.push_back(test::read_file(lab.dir.file(name + ".out")) +
                          test::read_file(lab.dir.file(name + "-summary.out")));
        const SummaryTable table_read = read_summary_file(lab.dir.file(name + "-summary.out"));
        ASSERT_EQ(table_read.rows.size(), 150u);
        for (std::size_t i = 0; i < 150; ++i) {
            EXPECT_EQ(table_read.rows[i].domain(), i % 3 == 2 ? "outside" : "inside") << i;
        }
    }
    EXPECT_EQ(outputs[0], outputs[1]);

    // A card that says the trainer wrote it needs the file.
    fs::remove(folder / "input_domain.json");
    job = lab_job(lab, false, lab.dir.file("judged.csv.out"));
    job.csv_file = lab.dir.file("judged.csv");
    const std::string message = run_job(job, log, progress).message;
    EXPECT_NE(message.find("has lost or damaged its domain before the preprocessing"),
              std::string::npos)
        << message;
}

TEST(Training, ThePipelineIsChosenByTheCrossValidatedIntervalScore) {
    Lab lab(45);
    TrainingSettings settings = lab.settings();
    settings.cv_folds = 3;
    settings.preprocess = {"first_der", "snv+first_der", "sg(5,2,1)"};
    LoggerSet log;
    const TrainingReport chosen = train_model(settings, log);
    ASSERT_EQ(chosen.pipeline_choices.size(), 3u);
    const std::size_t best = checked_choice(chosen, chosen.pipeline_choices, settings.preprocess,
                                            &PipelineChoice::pipeline, 0);
    EXPECT_EQ(chosen.preprocessing, settings.preprocess[best]);
    const std::optional<ModelCard> card =
        read_model_card(lab.dir.path() / "models" / "mir" / "Acidified.Carbon");
    ASSERT_EQ(card->preprocessing_candidates.size(), 3u);
    EXPECT_EQ(card->preprocessing, settings.preprocess[best]);
    EXPECT_EQ(card->preprocessing_candidates[best].accuracy.interval_score_95,
              card->cross_validation->accuracy.interval_score_95);

    // The same folds, seeds and error draws for every candidate: the chosen one alone gives the
    // same cross-validation. "auto" stands for the documented set.
    TrainingSettings alone = settings;
    alone.preprocess = {settings.preprocess[best]};
    alone.force = true;
    const TrainingReport single = train_model(alone, log);
    EXPECT_EQ(single.cross_validation->accuracy.interval_score,
              chosen.pipeline_choices[best].accuracy.interval_score);
    EXPECT_TRUE(single.pipeline_choices.empty());

    // With k candidates, pipelines are compared at k 2, and that comparison is k 2's choice.
    TrainingSettings both = settings;
    both.k_choices = {1.0, 2.0};
    both.force = true;
    const TrainingReport jointly = train_model(both, log);
    ASSERT_EQ(jointly.k_choices.size(), 2u);
    EXPECT_EQ(jointly.pipeline_choices[best].accuracy.interval_score,
              chosen.pipeline_choices[best].accuracy.interval_score);
    EXPECT_EQ(jointly.k_choices[1].accuracy.interval_score,
              chosen.pipeline_choices[best].accuracy.interval_score);
    settings.force = true;
    settings.cv_folds = 0;
    settings.preprocess = {"auto"};
    EXPECT_EQ(train_error(settings), "Choosing the preprocessing among several pipelines needs "
                                     "cross-validation: give --cv K or --folds.");
}

// A fold's out-of-fold predictions are those of a model trained on that fold's calibration
// soils alone: MSC's reference spectrum is refitted without the held-out spectra. The spectra
// mix two shapes, so that the reference depends on which of them it is the mean of.
TEST(Training, CrossValidationRefitsTheScatterReferenceWithoutTheHeldOutSpectra) {
    Lab lab(30);
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::string spectra = "SSN";
    for (int j = 0; j < covariates; ++j) {
        spectra += ",wn" + std::to_string(j);
    }
    TrainingSettings settings = lab.settings();
    settings.preprocess = {"msc+first_der"};
    std::string folds = "SSN,fold\n";
    std::string calibration = "SSN,Carbon\n";
    for (int i = 0; i < 30; ++i) {
        const std::string id = "s" + std::to_string(i);
        const double level = (lab.property[static_cast<std::size_t>(i)] - 1.0) / 3.0;
        const double other = (i % 2 == 0 ? 2.0 : 0.5) * unit(random);
        spectra += "\n" + id;
        for (int j = 0; j < covariates; ++j) {
            spectra += "," + std::to_string(0.1 + level * j * j / 100.0 + other * std::sin(j));
        }
        folds += id + "," + std::to_string(i % 2 + 1) + "\n";
        if (i % 2 == 1 && i % 7 != 3) {
            calibration +=
                id + "," + std::to_string(lab.property[static_cast<std::size_t>(i)]) + "\n";
        }
    }
    lab.dir.write("spectra.csv", spectra + "\n");
    settings.folds = lab.dir.write("folds.csv", folds);
    LoggerSet log;
    const TrainingReport report = train_model(settings, log);
    ASSERT_TRUE(report.cross_validation);
    const CrossValidation& cv = *report.cross_validation;

    // Fold 1 is fitted with the run's seed + 1 on the soils of fold 2.
    TrainingSettings alone = lab.settings();
    alone.preprocess = settings.preprocess;
    alone.input.targets = lab.dir.write("calibration.csv", calibration);
    alone.bart.seed = settings.bart.seed + 1;
    alone.force = true;
    const TrainingReport fold = train_model(alone, log);
    ASSERT_EQ(fold.samples, 15u - 2u); // s3 and s17 have no carbon value
    const std::vector<double> predicted = means(predict(lab, false, lab.dir.file("out.csv")));
    ASSERT_EQ(predicted.size(), 30u);
    int held_out = 0;
    for (std::size_t i = 0; i < cv.ids.size(); ++i) {
        const int sample = std::stoi(cv.ids[i].substr(1));
        if (sample % 2 == 0) {
            const double expected = predicted[static_cast<std::size_t>(sample)];
            EXPECT_NEAR(cv.predicted[i], expected, 2e-5 * std::abs(expected)) << cv.ids[i];
            ++held_out;
        }
    }
    EXPECT_EQ(held_out, 13); // s0 to s28 but s10 and s24
}

} // namespace
} // namespace veldra
