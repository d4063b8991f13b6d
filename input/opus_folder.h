#pragma once

#include "input/spectra_table.h"
#include "logging/logger_set.h"

#include <string>
#include <vector>

namespace veldra {

// Turns a folder of OPUS files into a table: one row per base name, the average of its
// replicates after each was resampled onto the grid of the first file's machine type from
// "opus.conf". Unusable files are skipped and listed. Every log record is at level 1.
SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log);

// The same, also naming the table's columns as OPUS variables are named: the name prefix of the
// first usable file followed by each grid wavenumber with three decimals.
SpectraTable& import_opus_folder(SpectraTable& table, const std::string& configuration_path,
                                 const std::string& folder, LoggerSet& log,
                                 std::vector<std::string>* column_names);

// The names of the OPUS files of a folder (or the one file a path names, or the files matching
// a '*' pattern in the last path element), byte-wise ascending, followed by a sentinel name
// that closes the last replicate group and is never read.
std::vector<std::string> scan_opus_folder(const std::string& path, LoggerSet& log);

// The wavenumber grid of a machine type from "opus.conf" (an INI file): num_wn points from
// start_wn down to end_wn by repeated subtraction, so the first point is start_wn exactly.
// num_wn must lie between 2 and the largest point count an OPUS file may have. Without a
// section for "NA", the message names the instrument texts of `first_file`.
std::vector<double> read_opus_grid(const std::string& configuration_path, const std::string& type,
                                   const std::string& first_file);

// What stands before the last '.' of a name that ends in '.' and digits; "" otherwise.
std::string opus_base_name(const std::string& file_name);

} // namespace veldra
