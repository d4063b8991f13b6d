#pragma once

namespace veldra {

// Reads one double at `text` exactly as `std::istream >> double` does in the classic locale
// (without its leading whitespace skip), independent of the process locale: optional sign,
// digits with one optional '.', an exponent only after a mantissa digit. Advances `text` past
// the characters the stream would consume. Returns false where the stream would fail: no
// number, an incomplete exponent, or a value beyond the double range (an underflow is not a
// failure and gives a signed zero).
bool scan_stream_double(const char*& text, const char* end, double& value);

} // namespace veldra
