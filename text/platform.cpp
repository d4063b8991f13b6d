// The one platform-specific piece of the programs.
#include "text/platform.h"

#include <csignal>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
// windows.h defines these as macros; nothing below needs them.
#undef min
#undef max
#include <boost/filesystem/detail/utf8_codecvt_facet.hpp>
#include <boost/filesystem/path.hpp>
#include <shellapi.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veldra {

#if defined(_WIN32)

namespace {

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// Boost.Filesystem converts narrow path texts with the code page unless told otherwise: from
// the start of the process it takes them as UTF-8, like the rest of the program. The console
// shows UTF-8 messages as such.
const bool utf8_everywhere = [] {
    boost::filesystem::path::imbue(
        std::locale(std::locale::classic(), new boost::filesystem::detail::utf8_codecvt_facet));
    SetConsoleOutputCP(CP_UTF8);
    return true;
}();

} // namespace

std::filesystem::path native_path(const std::string& utf8) {
    return std::filesystem::path(wide(utf8));
}

std::string utf8_path(const std::filesystem::path& path) {
    return narrow(path.wstring());
}

std::FILE* open_file(const std::string& utf8, const char* mode) {
    return _wfopen(wide(utf8).c_str(), wide(mode).c_str());
}

std::vector<std::string> program_arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide_arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_arguments == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(narrow(wide_arguments[i]));
    }
    LocalFree(wide_arguments);
    return arguments;
}

std::string running_executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::string();
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return narrow(buffer);
        }
        buffer.resize(buffer.size() * 2); // a long path (\\?\ or a long folder name)
    }
}

std::string program_path(const char*) {
    return running_executable_path();
}

long current_process_id() {
    return static_cast<long>(GetCurrentProcessId());
}

std::string user_cache_folder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return local == nullptr || *local == L'\0' ? std::string() : narrow(std::wstring(local));
}

bool process_is_running(long id) {
    if (id <= 0) {
        return true;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        return GetLastError() != ERROR_INVALID_PARAMETER; // no such process
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

bool standard_error_is_terminal() {
    return _isatty(2) != 0;
}

void on_stop_signals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGBREAK, handler);
}

const char* headless_qt_platform() {
    return "windows";
}

bool windows_follow_display_scaling() {
    return true;
}

bool file_held_open_elsewhere(const std::string& utf8) {
    // Asking for the right to delete, sharing everything: only an opener that shares no deletion
    // is in the way, as it is of replacing the file.
    const HANDLE handle = CreateFileW(wide(utf8).c_str(), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(handle);
    return false;
}

std::uint64_t peak_memory_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return counters.PeakWorkingSetSize;
    }
    return 0;
}

std::vector<FileStamp> file_stamps(const std::string& folder,
                                   const std::vector<std::string>& names) {
    std::vector<FileStamp> stamps(names.size());
    const std::wstring prefix = wide(folder) + L"\\";
    for (std::size_t i = 0; i < names.size(); ++i) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW((prefix + wide(names[i])).c_str(), GetFileExInfoStandard, &data)) {
            stamps[i].found = true;
            stamps[i].size =
                (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            stamps[i].time = static_cast<std::int64_t>(
                (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                data.ftLastWriteTime.dwLowDateTime);
        }
    }
    return stamps;
}

std::unique_ptr<MappedFile> MappedFile::open(const std::string& utf8, std::uint64_t largest,
                                             std::string& why) {
    const HANDLE file =
        CreateFileW(wide(utf8).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = "absent";
        return nullptr;
    }
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
        CloseHandle(file);
        why = "absent";
        return nullptr;
    }
    if (static_cast<std::uint64_t>(size.QuadPart) > largest) {
        CloseHandle(file);
        why = "larger than its bound";
        return nullptr;
    }
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file); // the mapping keeps the file
    if (mapping == nullptr) {
        why = "cannot be mapped";
        return nullptr;
    }
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping); // the view keeps the mapping
    if (view == nullptr) {
        why = "cannot be mapped";
        return nullptr;
    }
    return std::unique_ptr<MappedFile>(
        new MappedFile(static_cast<const char*>(view), static_cast<std::size_t>(size.QuadPart)));
}

MappedFile::~MappedFile() {
    UnmapViewOfFile(data_);
}

#else

std::filesystem::path native_path(const std::string& utf8) {
    return std::filesystem::path(utf8);
}

std::string utf8_path(const std::filesystem::path& path) {
    return path.string();
}

std::FILE* open_file(const std::string& utf8, const char* mode) {
    return std::fopen(utf8.c_str(), mode);
}

std::vector<std::string> program_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string running_executable_path() {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : target.string();
}

std::string program_path(const char* first_argument) {
    return first_argument == nullptr ? std::string() : std::string(first_argument);
}

long current_process_id() {
    return static_cast<long>(getpid());
}

std::string user_cache_folder() {
    // An XDG cache folder must be absolute; otherwise the default below the home folder.
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return home == nullptr || home[0] != '/' ? std::string() : std::string(home) + "/.cache";
}

bool process_is_running(long id) {
    if (id <= 0) {
        return true;
    }
    // Signal 0 only checks: no such process gives ESRCH; another user's process gives EPERM.
    return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
}

bool standard_error_is_terminal() {
    return isatty(2) != 0;
}

void on_stop_signals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

const char* headless_qt_platform() {
    return "offscreen";
}

bool windows_follow_display_scaling() {
    return false;
}

bool file_held_open_elsewhere(const std::string&) {
    return false;
}

std::uint64_t peak_memory_bytes() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024u; // kilobytes on Linux
}

std::vector<FileStamp> file_stamps(const std::string& folder,
                                   const std::vector<std::string>& names) {
    std::vector<FileStamp> stamps(names.size());
    const int directory =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return stamps;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        struct stat status {};
        if (fstatat(directory, names[i].c_str(), &status, 0) == 0) {
            stamps[i].found = true;
            stamps[i].size = static_cast<std::uint64_t>(status.st_size);
            stamps[i].time = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                             status.st_mtim.tv_nsec;
        }
    }
    ::close(directory);
    return stamps;
}

std::unique_ptr<MappedFile> MappedFile::open(const std::string& utf8, std::uint64_t largest,
                                             std::string& why) {
    const int file = ::open(utf8.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        why = "absent";
        return nullptr;
    }
    struct stat status {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) {
        ::close(file);
        why = "absent";
        return nullptr;
    }
    if (static_cast<std::uint64_t>(status.st_size) > largest) {
        ::close(file);
        why = "larger than its bound";
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* const view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file, 0);
    ::close(file); // the mapping keeps the file
    if (view == MAP_FAILED) {
        why = "cannot be mapped";
        return nullptr;
    }
    return std::unique_ptr<MappedFile>(new MappedFile(static_cast<const char*>(view), size));
}

MappedFile::~MappedFile() {
    munmap(const_cast<char*>(data_), size_);
}

#endif

} // namespace veldra
