#pragma once

#include "input/spectra_table.h"
#include "logging/logger_set.h"
#include "models/model_layout.h"

#include <cstddef>
#include <string>
#include <vector>

namespace veldra {

// Where the spectra and the reference values of a calibration come from.
struct TrainingInput {
    std::string spectra;            // a CSV table, or an OPUS folder (resampled with "opus.conf")
    std::string opus_configuration; // "opus.conf" for an OPUS folder
    std::string targets;            // CSV: "SSN" and one column per property
    std::string target;             // the column; empty: the only one besides "SSN"
    // The column of the reference (and folds) table that names the samples as the spectra do:
    // a table exported with "sample_id" is read as it is.
    std::string id_column = "SSN";
    // How an OPUS folder's files name their samples (SampleNaming); empty: by base name.
    std::string sample_id;
    // The spectrometer the spectra come from: a lab's own name reads an OPUS folder on the
    // files' own axes (own_spectrometer).
    std::string spectrometer;
    Transformation transformation = Transformation::first_derivative;
    bool log = false; // values must be above 0 for a model of log(y)
};

// The samples a model is fitted on: transformed covariate rows and their values, matched by
// SSN; samples without a value (empty or "NA") are skipped and counted.
struct TrainingSet {
    std::vector<std::string> ids;
    std::vector<std::vector<double>> rows;
    std::vector<double> values; // on the property's scale (before any logarithm)
    std::size_t skipped = 0;    // spectra without a reference value
    std::size_t unmatched = 0;  // reference values without a spectrum
    // The samples of the spectra without a reference value, in the spectra's order, and those of
    // the reference table without a spectrum, by name.
    std::vector<std::string> without_reference;
    std::vector<std::string> without_spectrum;
    std::string target;             // the column the values come from
    std::vector<std::string> names; // the covariates' names as the spectra gave them
};

// Reads the spectra with the readers of prediction, transforms them as prediction does and
// matches them with the reference values. Errors are exceptions with the message for the user.
TrainingSet load_training_set(const TrainingInput& input, LoggerSet& log);

// The same from spectra held in memory and one value per spectrum (NaN: no reference value,
// skipped and counted), with the same checks and messages; `target` names the values.
TrainingSet training_set_of(const SpectraTable& table, const std::vector<double>& values,
                            const std::string& target, const TrainingInput& input, LoggerSet& log);

// The columns of a reference table other than its identifier column, read as the trainer reads
// the table (RFC 4180 quoting, a byte order mark, CR LF); raises the trainer's message for a
// table it refuses.
std::vector<std::string> reference_table_columns(const std::string& path,
                                                 const std::string& id_column = "SSN");

// The fold (1-based) of every sample of `set`: from the folds CSV (the identifier column and
// "fold") when `folds_file` is given, else `folds` random folds from the seed.
std::vector<int> assign_folds(const std::string& folds_file, int folds, std::uint64_t seed,
                              const TrainingSet& set, const std::string& id_column = "SSN");

} // namespace veldra
