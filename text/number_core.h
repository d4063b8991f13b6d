#pragma once

#include <cstdint>
#include <string_view>

namespace veldra {

// What the number grammars of model documents and CSV tables share.

// Rough decimal (or, for `hex`, binary) exponent of a well-formed number text that
// std::from_chars found out of range, an optional sign first: positive for an overflow, zero or
// negative for an underflow. Only its sign is meaningful.
long long number_magnitude(std::string_view number, bool hex);

// `digits` x 10^`scale` in one correctly rounded operation, when both factors are exact doubles
// (digits at most 2^53, |scale| at most 22): then the value is the one the general conversion
// gives. False, with `value` untouched, otherwise.
bool exact_decimal(std::uint64_t digits, int scale, double& value);

} // namespace veldra
