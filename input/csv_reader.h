#pragma once

#include "input/spectra_table.h"

#include <string>

namespace veldra {

// Reads a CSV table of spectra: a header whose field count N fixes the width, then one line per
// sample holding an identifier and exactly N - 1 numbers. LF and CR LF line ends read alike.
// Every problem raises std::runtime_error with the complete message for the user.
SpectraTable read_spectra_csv(const std::string& path);

// Rebuilds a table from in-memory columns (column j, entry i is value j of sample i); the
// identifiers are taken unchanged. Raises std::out_of_range when there is no column or a
// column is shorter than the first.
SpectraTable table_from_columns(const SpectraColumns& columns, const std::vector<std::string>& ids);

} // namespace veldra
