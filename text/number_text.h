#pragma once

#include <optional>
#include <string>
#include <vector>

namespace veldra {

// The shortest text that reads back as the same double ("0.95", "1e-05", "inf", "nan").
std::string shortest_text(double value);

// The wavenumber at the end of each name ("wn_3799", "m7497.960"); nothing when a name has none.
std::optional<std::vector<double>> wavenumbers_of(const std::vector<std::string>& names);

} // namespace veldra
