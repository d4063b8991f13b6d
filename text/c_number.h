#pragma once

#include <cstdint>
#include <string_view>

namespace veldra {

// Numbers in model documents are read the way the C library's strtol (base 10) and strtod read
// them: leading whitespace and a sign accepted, reading stops at the first character that
// cannot continue the number, the rest is ignored. Both are independent of the process locale.

// Raises std::invalid_argument "invalid stoi argument" when no integer begins the text, and
// std::out_of_range "stoi argument out of range" outside the 32-bit range.
std::int32_t read_c_int(std::string_view text);

// Accepts decimal and hexadecimal forms, "inf", "infinity" and "nan" as strtod does. Raises
// std::invalid_argument "invalid stod argument" when no number begins the text, and
// std::out_of_range "stod argument out of range" when it overflows a double; an underflow
// gives the nearest representable value (possibly a signed zero).
double read_c_double(std::string_view text);

} // namespace veldra
