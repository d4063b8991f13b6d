#pragma once

#include <string>

namespace veldra {

// The shortest text that reads back as the same double ("0.95", "1e-05", "inf", "nan").
std::string shortest_text(double value);

} // namespace veldra
