#pragma once

#include "bart/forest_prediction.h"
#include "input/spectra_table.h"
#include "job/result_file.h"
#include "logging/logger_set.h"

#include <string>
#include <vector>

namespace veldra {

// One prediction (one soil property for one spectrometer type): checks the range file and the
// output file (creating or emptying it), reads the input, reads the range scaling, evaluates
// every posterior-sample forest and writes the output file. Errors are raised with the
// complete message for the user.
PredictionSummary run_prediction(
    const std::string& rangefile, const std::string& outfile, const std::string& separator,
    const std::string& forestpath, const std::string& foresformat, const std::string& opus_folder,
    const std::string& csv_file, const SpectraColumns& columns, const std::vector<std::string>& ids,
    const std::string& configuration_path, const std::string& transformation, bool exponential,
    LoggerSet& log, const PredictionOptions& options = PredictionOptions());

// The same for spectra already read, without returning the summary: the job reads its input
// once, predicts every pair from that one table and holds no copy of the draws.
void run_prediction_on_table(const std::string& rangefile, const std::string& outfile,
                             const std::string& separator, const std::string& forestpath,
                             const std::string& foresformat, const SpectraTable& table,
                             const std::string& transformation, bool exponential, LoggerSet& log,
                             const PredictionOptions& options = PredictionOptions());

// The numbers of a range file in file order, at most two per line; a further number on a line
// is dropped with a line on the standard error stream. A line ends at its first non-number.
std::vector<double> read_range_file(const std::string& path);

} // namespace veldra
