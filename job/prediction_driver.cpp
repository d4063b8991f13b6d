#include "job/prediction_driver.h"

#include "bart/forest_prediction.h"

#include <fstream>
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
    if (!output_writable(outfile)) {
        throw std::runtime_error("Cannot open outfile '" + outfile + "' for reading.");
    }
}

} // namespace

void predict_pair(const PairPrediction& pair, const SpectraTable& table, LoggerSet& log,
                  PredictionSummary* summary) {
    check_files(pair.range_file, pair.output_file);
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
    if (pair.format_word == "json") {
        const std::string problem =
            draw_files_problem(forest_files(pair.forest_path, pair.format_word),
                               boost::filesystem::path(pair.forest_path).parent_path().string());
        if (!problem.empty()) {
            throw std::runtime_error(problem);
        }
    }
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
