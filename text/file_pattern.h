#pragma once

#include <string_view>

namespace veldra {

// Whether a file name matches a pattern as a whole, where '*' stands for any run of characters
// (possibly empty) and every other character only for itself: "MCMC*.json", "soil(1)*.0".
bool matches_file_pattern(std::string_view pattern, std::string_view name);

} // namespace veldra
