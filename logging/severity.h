#pragma once

#include <ostream>

namespace veldra {

// Severity carried by every log record in the attribute "severity". Level 0 is detail that
// stays out of the window; the window shows 1, 2 and 3 alike.
enum class Severity : int { debug = 0, info = 1, warning = 2, error = 3 };

std::ostream& operator<<(std::ostream& out, Severity level);

} // namespace veldra
