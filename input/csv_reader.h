#pragma once

#include "input/spectra_table.h"

#include <cstddef>
#include <istream>
#include <string>

namespace veldra {

// Limits of a header, so that a hostile one cannot exhaust memory: far above any spectrum.
constexpr std::size_t largest_csv_columns = 1000000;
constexpr std::size_t largest_csv_header_bytes = std::size_t{64} << 20;

// Reads a CSV table of spectra: a header whose field count N fixes the width, then one line per
// sample holding an identifier and exactly N - 1 numbers. LF and CR LF line ends read alike.
// Every problem raises std::runtime_error with the complete message for the user; a header
// beyond the limits above is one.
SpectraTable read_spectra_csv(const std::string& path);

// Rebuilds a table from in-memory columns (column j, entry i is value j of sample i); the
// identifiers are taken unchanged. Raises std::out_of_range when there is no column or a
// column is shorter than the first.
SpectraTable table_from_columns(const SpectraColumns& columns, const std::vector<std::string>& ids);

// The in-memory form of a table: as many columns as the first row has values, column j holding
// value j of every row. Raises std::out_of_range "invalid vector<T> subscript" for a table
// without rows or with a row shorter than the first; values beyond the first row's length are
// not kept.
SpectraColumns columns_from_table(const SpectraTable& table);

// The fields of a CSV file's header line, split as the reader counts them.
std::vector<std::string> read_csv_header(const std::string& path);

// One line of a CSV file without its line end: a carriage return directly before the line feed
// is dropped, so CR LF files read like LF files. False at the end of the file.
bool read_csv_line(std::istream& in, std::string& line);

// The fields of one line, split at every ',' (a line without one is one field).
std::vector<std::string> split_csv_fields(const std::string& line);

} // namespace veldra
