#include "job/prediction_driver.h"

#include "bart/forest_prediction.h"
#include "models/calibration_domain.h"
#include "text/first_derivative.h"

#include <boost/filesystem/path.hpp>

#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace veldra {

namespace {

// The range file must open, and the output file must be writable, before anything else. An
// existing output file stays as it is until the new one is complete.
void check_files(const std::string& rangefile, const std::string& outfile) {
    {
        std::ifstream range(rangefile);
        if (!range.is_open()) {
            throw std::runtime_error("Cannot open rangefile '" + rangefile + "' for reading.");
        }
    }
    if (!outfile.empty() && !output_writable(outfile)) {
        throw std::runtime_error("Cannot open outfile '" + outfile + "' for reading.");
    }
}

// Scores every sample against the model's calibration domain on the covariates the forests
// see, logs how many lie outside and which, and keeps the figures for the summary.
void judge_domain(const CalibrationDomain& domain, const SpectraTable& table,
                  Transformation transformation, LoggerSet& log, PairStatistics* statistics) {
    std::vector<double> row;
    std::vector<std::string> outside;
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const std::vector<double>& values = table.rows[i];
        row.resize(values.size());
        if (transformation == Transformation::first_derivative) {
            first_derivative(values.data(), values.size(), row.data());
        } else {
            row = values;
        }
        const DomainScore score = score_in_domain(domain, row.data());
        if (score.outside) {
            outside.push_back(table.ids[i]);
        }
        if (statistics != nullptr) {
            statistics->t2.push_back(score.t2);
            statistics->q.push_back(score.q);
            statistics->outside.push_back(score.outside ? 1 : 0);
        }
    }
    std::ostringstream text;
    text << "Calibration domain: " << outside.size() << " of " << table.rows.size()
         << " samples outside";
    for (std::size_t k = 0; k < outside.size() && k < 20; ++k) {
        text << (k == 0 ? ": " : ", ") << outside[k];
    }
    if (outside.size() > 20) {
        text << " and " << outside.size() - 20 << " more";
    }
    VELDRA_LOG(log, outside.empty() ? Severity::info : Severity::warning) << text.str();
}

} // namespace

void predict_pair(const PairPrediction& pair, const SpectraTable& table, LoggerSet& log,
                  PredictionSummary* summary, PairReport* report) {
    check_files(pair.range_file, pair.output_file);
    const std::string machine = opus_machine_type(pair.spectrometer_type);
    if (!machine.empty() && !table.machine_type.empty() && table.machine_type != "NA" &&
        table.machine_type != machine) {
        throw std::runtime_error("The OPUS files are of machine type " + table.machine_type +
                                 "; the " + pair.spectrometer_type + " models take machine type " +
                                 machine + ". Choose the spectrometer type of the files.");
    }
    const std::string folder = boost::filesystem::path(pair.forest_path).parent_path().string();
    const std::optional<ModelCard> card = read_model_card(folder);
    if (card) {
        JobSide job;
        job.transformation = pair.transformation;
        job.exponential = pair.exponential;
        job.covariates = table.rows.empty() ? 0 : table.rows.front().size();
        job.names = table.names.size() == job.covariates ? &table.names : nullptr;
        job.spectrometer_type = pair.spectrometer_type;
        const std::vector<std::string> mismatches = card_mismatches(*card, folder, job);
        if (!mismatches.empty()) {
            std::string message = mismatches.front();
            for (std::size_t k = 1; k < mismatches.size(); ++k) {
                message += " " + mismatches[k];
            }
            throw std::runtime_error(message + " Choose what the model was calibrated with.");
        }
    }
    if (report != nullptr) {
        report->card = card;
    }
    const std::optional<CalibrationDomain> domain = read_calibration_domain(folder);
    const std::size_t width = table.rows.empty() ? 0 : table.rows.front().size();
    if (domain && domain->center.size() != width) {
        throw std::runtime_error("The model in '" + folder + "' was calibrated on " +
                                 std::to_string(domain->center.size()) +
                                 " covariates; the input has " + std::to_string(width) +
                                 ". Choose what the model was calibrated with.");
    }
    const std::vector<double> numbers = read_range_file(pair.range_file, log);
    if (numbers.size() < 2) {
        throw std::runtime_error("The range file '" + pair.range_file +
                                 "' must start with two numbers (the smallest and the largest "
                                 "reference value of the model); it holds " +
                                 std::to_string(numbers.size()) + ".");
    }
    const RangeScaling scaling{numbers[0], numbers[1]};
    VELDRA_LOG(log, Severity::info) << "Running prediction from "
                                    << "list of json files";
    if (card) {
        // A demonstration is told once per job by the job itself.
        VELDRA_LOG(log, card->demonstration ? Severity::debug : Severity::info)
            << model_accuracy_text(*card);
    } else {
        VELDRA_LOG(log, Severity::debug)
            << "No model card in '" << folder
            << "': the transformation and the back-transformation could not be checked.";
    }
    if (pair.format_word == "json") {
        const std::string problem =
            draw_files_problem(forest_files(pair.forest_path, pair.format_word), folder);
        if (!problem.empty()) {
            throw std::runtime_error(problem);
        }
    }
    if (domain) {
        judge_domain(*domain, table, pair.transformation, log,
                     report != nullptr && pair.summary ? &report->statistics : nullptr);
    }
    const PredictionMatrix matrix =
        predict_from_forest_files(pair.forest_path, pair.format_word, table.rows, scaling,
                                  pair.transformation == Transformation::first_derivative, log,
                                  PredictionOptions{pair.threads});
    const bool figures = report != nullptr && pair.summary;
    const std::optional<std::vector<double>> sigma =
        figures ? read_sigma_file(folder, matrix.size()) : std::nullopt;
    write_prediction_file(matrix, pair.output_file, pair.separator, table, pair.exponential, log,
                          summary, figures ? &report->statistics : nullptr);
    if (sigma) {
        predictive_bounds(matrix, *sigma, table.ids, pair.exponential,
                          report->statistics.predictive_low, report->statistics.predictive_high);
    }
}

std::string model_accuracy_text(const ModelCard& card) {
    std::ostringstream text;
    text << "Model card: ";
    if (card.demonstration) {
        text << "a demonstration model drawn at random from the prior; its predictions mean "
                "nothing about soil.";
        return text.str();
    }
    const auto figure = [&](const std::optional<double>& value) {
        if (value) {
            text << std::setprecision(3) << *value;
        } else {
            text << "NA";
        }
    };
    text << (card.cross_validated ? "cross-validated" : "training fit") << " R2 ";
    figure(card.r2);
    text << ", RMSE ";
    figure(card.rmse);
    text << ", " << (card.samples ? std::to_string(*card.samples) : std::string("NA"))
         << " samples.";
    return text.str();
}

std::vector<double> read_range_file(const std::string& path, LoggerSet& log) {
    std::ifstream in(path);
    std::vector<double> numbers;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        int count = 0;
        double value = 0.0;
        while (fields >> value) {
            if (count < 2) {
                numbers.push_back(value);
                ++count;
            } else {
                VELDRA_LOG(log, Severity::warning) << range_file_extra_number;
            }
        }
    }
    return numbers;
}

} // namespace veldra
