#pragma once

#include <string>

namespace veldra {

// The path of the running executable as the operating system knows it; "" when it cannot say.
std::string running_executable_path();

// This process's identifier.
long current_process_id();

// Whether a process with this identifier runs on this machine; true where it cannot tell.
bool process_is_running(long id);

} // namespace veldra
