#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {

// A field of a comma-separated table as RFC 4180 writes it: as it is when it holds no comma,
// quote, CR or LF; otherwise between double quotes, with each quote doubled.
std::string csv_field(std::string_view text);

// Reads the record that starts at `position` in `text` into `fields` (RFC 4180: fields between
// double quotes may hold commas, doubled quotes and line breaks; records end at LF or CR LF) and
// moves `position` past it. `lines` counts the line breaks passed, so callers can name lines.
// Returns false at the end of the text. Raises std::runtime_error with `what` filled in
// ("a quoted field is not closed", "text after the closing quote of a field") for a record that
// is not well formed; the caller adds where.
bool next_csv_record(std::string_view text, std::size_t& position, std::vector<std::string>& fields,
                     std::size_t& lines);

} // namespace veldra
