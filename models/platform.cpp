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
#if !defined(_WIN32)
#include <cerrno>
#include <csignal>
#include <unistd.h>
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

long current_process_id() {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}

bool process_is_running(long id) {
#if defined(_WIN32)
    (void)id;
    return true;
#else
    if (id <= 0) {
        return true;
    }
    // Signal 0 only checks: no such process gives ESRCH; another user's process gives EPERM.
    return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
#endif
}

} // namespace veldra
