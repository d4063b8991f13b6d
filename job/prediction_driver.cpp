#include "job/prediction_driver.h"

#include "bart/forest_prediction.h"
#include "input/input_dispatch.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace veldra {

namespace {

// The range file must open, and the output file is created (or emptied), before anything else.
void check_files(const std::string& rangefile, const std::string& outfile) {
    {
        std::ifstream range(rangefile);
        if (!range.is_open()) {
            throw std::runtime_error("Cannot open rangefile '" + rangefile + "' for reading.");
        }
    }
    std::ofstream output(outfile);
    if (!output.is_open()) {
        throw std::runtime_error("Cannot open outfile '" + outfile + "' for reading.");
    }
}

// Predicts and writes the file; the summary is kept only when `keep` is given.
void predict_and_write(const std::string& rangefile, const std::string& outfile,
                       const std::string& separator, const std::string& forestpath,
                       const std::string& foresformat, const SpectraTable& table,
                       const std::string& transformation, bool exponential, LoggerSet& log,
                       const PredictionOptions& options, PredictionSummary* keep) {
    const bool first_derivative = transformation == "first_der";
    const std::vector<double> numbers = read_range_file(rangefile);
    if (numbers.size() < 2) {
        throw std::out_of_range("invalid vector<T> subscript");
    }
    const RangeScaling scaling{numbers[0], numbers[1]};
    VELDRA_LOG(log, 1) << "Running prediction from "
                       << "list of json files";
    const PredictionMatrix matrix = predict_from_forest_files(
        forestpath, foresformat, table.rows, scaling, first_derivative, log, options);
    if (keep != nullptr) {
        *keep = write_prediction_file(matrix, outfile, separator, table, exponential, log);
    } else {
        write_prediction_file_only(matrix, outfile, separator, table, exponential, log);
    }
}

} // namespace

PredictionSummary run_prediction(const std::string& rangefile, const std::string& outfile,
                                 const std::string& separator, const std::string& forestpath,
                                 const std::string& foresformat, const std::string& opus_folder,
                                 const std::string& csv_file, const SpectraColumns& columns,
                                 const std::vector<std::string>& ids,
                                 const std::string& configuration_path,
                                 const std::string& transformation, bool exponential,
                                 LoggerSet& log, const PredictionOptions& options) {
    check_files(rangefile, outfile);
    const SpectraTable table =
        read_spectra_input(log, configuration_path, opus_folder, csv_file, columns, ids);
    PredictionSummary summary;
    predict_and_write(rangefile, outfile, separator, forestpath, foresformat, table, transformation,
                      exponential, log, options, &summary);
    return summary;
}

void run_prediction_on_table(const std::string& rangefile, const std::string& outfile,
                             const std::string& separator, const std::string& forestpath,
                             const std::string& foresformat, const SpectraTable& table,
                             const std::string& transformation, bool exponential, LoggerSet& log,
                             const PredictionOptions& options) {
    check_files(rangefile, outfile);
    predict_and_write(rangefile, outfile, separator, forestpath, foresformat, table, transformation,
                      exponential, log, options, nullptr);
}

std::vector<double> read_range_file(const std::string& path) {
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
                std::cerr << "Error: range file has a row with more than one number." << std::endl;
            }
        }
    }
    return numbers;
}

} // namespace veldra
