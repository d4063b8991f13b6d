#pragma once

#include <string>

namespace veldra {

// The path of the running executable as the operating system knows it; "" when it cannot say.
std::string running_executable_path();

} // namespace veldra
