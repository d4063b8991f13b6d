#pragma once

#include "bart/forest_prediction.h"
#include "input/spectra_table.h"
#include "job/result_file.h"
#include "logging/logger_set.h"
#include "models/model_layout.h"

#include <string>
#include <vector>

namespace veldra {

// One prediction: one soil property for one spectrometer type.
struct PairPrediction {
    std::string range_file;  // "rgy.txt" of the model
    std::string forest_path; // the model folder followed by "/MCMC*.json"
    std::string format_word = "json";
    std::string output_file;
    std::string separator = ",";
    Transformation transformation = Transformation::first_derivative;
    bool exponential = true;
    unsigned threads = 0; // 0: one per core
};

// Checks the range file and the output file (creating or emptying it), reads the range scaling,
// evaluates every posterior-sample forest on the table and writes the output file; fills
// `summary` when given. Errors are raised with the complete message for the user.
void predict_pair(const PairPrediction& pair, const SpectraTable& table, LoggerSet& log,
                  PredictionSummary* summary = nullptr);

// The numbers of a range file in file order, at most two per line; a further number on a line
// is dropped with a warning record. A line ends at its first non-number.
std::vector<double> read_range_file(const std::string& path, LoggerSet& log);

// The warning for a dropped number of a range file.
constexpr const char* range_file_extra_number =
    "Error: range file has a row with more than one number.";

} // namespace veldra
