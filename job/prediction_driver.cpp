#include "job/prediction_driver.h"

#include "bart/forest_prediction.h"

#include <fstream>
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

} // namespace

void predict_pair(const PairPrediction& pair, const SpectraTable& table, LoggerSet& log,
                  PredictionSummary* summary) {
    check_files(pair.range_file, pair.output_file);
    const std::vector<double> numbers = read_range_file(pair.range_file, log);
    if (numbers.size() < 2) {
        throw std::out_of_range("invalid vector<T> subscript");
    }
    const RangeScaling scaling{numbers[0], numbers[1]};
    VELDRA_LOG(log, Severity::info) << "Running prediction from "
                                    << "list of json files";
    const PredictionMatrix matrix =
        predict_from_forest_files(pair.forest_path, pair.format_word, table.rows, scaling,
                                  pair.transformation == Transformation::first_derivative, log,
                                  PredictionOptions{pair.threads});
    write_prediction_file(matrix, pair.output_file, pair.separator, table, pair.exponential, log,
                          summary);
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
