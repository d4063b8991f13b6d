#pragma once

namespace veldra {

// Whether the standard error stream is an interactive terminal (progress bar) or not (plain
// progress lines).
bool standard_error_is_terminal();

} // namespace veldra
