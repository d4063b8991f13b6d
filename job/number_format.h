#pragma once

#include <string>

namespace veldra {

// Appends `value` as a default-formatted output stream writes a double in the classic locale:
// general notation with 6 significant digits ("%g"), "nan", "-nan", "inf" and "-inf" included.
// Much faster than a stream, and independent of the process locale.
void append_general6(std::string& out, double value);

} // namespace veldra
