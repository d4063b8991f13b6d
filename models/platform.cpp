// The one platform-specific piece of the programs.
#include "models/platform.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <mach-o/dyld.h>
#include <vector>
#else
#include <boost/filesystem/operations.hpp>
#endif

namespace veldra {

std::string running_executable_path() {
#if defined(_WIN32)
    char buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
#elif defined(__APPLE__)
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1);
    return _NSGetExecutablePath(buffer.data(), &size) == 0 ? std::string(buffer.data())
                                                           : std::string();
#else
    boost::system::error_code error;
    const boost::filesystem::path target = boost::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : target.string();
#endif
}

} // namespace veldra
