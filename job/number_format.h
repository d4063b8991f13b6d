#pragma once

#include <cstddef>
#include <string>

namespace veldra {

// Appends `value` as a default-formatted output stream writes a double in the classic locale:
// general notation with 6 significant digits ("%g"), "nan", "-nan", "inf" and "-inf" included.
// Much faster than a stream, and independent of the process locale.
void append_general6(std::string& out, double value);

// The room `write_general6` may take: "-1.23457e-308" and a margin.
constexpr std::size_t general6_room = 24;

// The same text written at `out`, which has `general6_room` characters of room; returns the end.
char* write_general6(char* out, double value);

} // namespace veldra
