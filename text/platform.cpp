// The one platform-specific piece of the programs.
#include "text/platform.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

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
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
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

bool sync_to_disk(const std::string& utf8) {
    const std::wstring path = wide(utf8);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true; // NTFS keeps a folder's entries with the files' own metadata
    }
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool synced = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return synced;
}

std::string host_name() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? narrow(std::wstring(name, size)) : std::string();
}

namespace {

// The byte a lock covers: far beyond any content, since a locked range on Windows also blocks
// other handles from reading it, and the owner's text must stay readable.
constexpr DWORD lock_offset_high = 0x40000000;

bool same_file(HANDLE handle, const std::wstring& path) {
    HANDLE again =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (again == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = GetFileInformationByHandle(handle, &a) &&
                      GetFileInformationByHandle(again, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(again);
    return same;
}

std::string content_of(HANDLE handle) {
    char text[512];
    DWORD read = 0;
    OVERLAPPED at{};
    return ReadFile(handle, text, sizeof text, &read, &at) ? std::string(text, read)
                                                           : std::string();
}

// The holder's text: it takes the lock first and writes the text just after, so a file still
// empty is read again for a moment.
std::string owner_of(HANDLE handle) {
    std::string text = content_of(handle);
    for (int tries = 0; text.empty() && tries < 50; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        text = content_of(handle);
    }
    return text;
}

} // namespace

SystemFileLock::Outcome SystemFileLock::take(const std::string& utf8, const std::string& owner,
                                             std::unique_ptr<SystemFileLock>& lock,
                                             std::string& found) {
    const std::wstring path = wide(utf8);
    for (int attempt = 0; attempt < 50; ++attempt) {
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_ACCESS_DENIED) {
                Sleep(10); // the file is being removed by the process that let it go
                continue;
            }
            found =
                "the system refused to create it (error " + std::to_string(GetLastError()) + ")";
            return Outcome::failed;
        }
        OVERLAPPED range{};
        range.OffsetHigh = lock_offset_high;
        if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                        &range)) {
            const DWORD error = GetLastError();
            found = owner_of(handle);
            CloseHandle(handle);
            if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
                return Outcome::held;
            }
            found = "the file system keeps no locks (error " + std::to_string(error) + ")";
            return Outcome::unsupported;
        }
        if (!same_file(handle, path)) {
            CloseHandle(handle); // removed by its last holder after it was opened here
            continue;
        }
        DWORD written = 0;
        SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
        SetEndOfFile(handle);
        WriteFile(handle, owner.data(), static_cast<DWORD>(owner.size()), &written, nullptr);
        FlushFileBuffers(handle);
        lock.reset(new SystemFileLock(utf8, reinterpret_cast<std::intptr_t>(handle)));
        return Outcome::taken;
    }
    found = "it was removed and made again too often while this job waited";
    return Outcome::failed;
}

SystemFileLock::~SystemFileLock() {
    HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove);
    CloseHandle(handle); // the lock goes with the handle
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

void keep_freed_memory_for_reuse() {}

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

std::unique_ptr<WholeFile> WholeFile::read(const std::string& utf8, std::uint64_t largest,
                                           std::string& why) {
    const HANDLE file = CreateFileW(wide(utf8).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
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
    const auto bytes = static_cast<std::size_t>(size.QuadPart);
    // One byte more is asked for: a file that grew is told from one that did not.
    void* const memory = VirtualAlloc(nullptr, bytes + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (memory == nullptr) {
        CloseHandle(file);
        why = "too large for the memory free";
        return nullptr;
    }
    std::unique_ptr<WholeFile> whole(new WholeFile(static_cast<char*>(memory), bytes, bytes + 1));
    std::size_t done = 0;
    for (;;) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes + 1 - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, whole->data_ + done, want, &got, nullptr) || got == 0) {
            break;
        }
        done += got;
        if (done > bytes) {
            break;
        }
    }
    CloseHandle(file);
    if (done != bytes) {
        why = "changed while it was read";
        return nullptr;
    }
    return whole;
}

WholeFile::~WholeFile() {
    VirtualFree(data_, 0, MEM_RELEASE);
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

bool sync_to_disk(const std::string& utf8) {
    const int file = ::open(utf8.empty() ? "." : utf8.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    const bool synced = fsync(file) == 0;
    ::close(file);
    return synced;
}

std::string host_name() {
    char name[256] = "";
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

namespace {

// Locks an open file without waiting (flock: it takes a file opened for reading alone too, as
// another user's lock file is): 0, or the errno of the failure (EAGAIN while another open file
// holds it).
int lock_whole(int file) {
    return flock(file, LOCK_EX | LOCK_NB) == 0 ? 0 : (errno == EWOULDBLOCK ? EAGAIN : errno);
}

std::string content_of(int file) {
    char text[512];
    const ssize_t read = pread(file, text, sizeof text, 0);
    return read > 0 ? std::string(text, static_cast<std::size_t>(read)) : std::string();
}

// The holder's text: it takes the lock first and writes the text just after, so a file still
// empty is read again for a moment.
std::string owner_of(int file) {
    std::string text = content_of(file);
    for (int tries = 0; text.empty() && tries < 50; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        text = content_of(file);
    }
    return text;
}

} // namespace

SystemFileLock::Outcome SystemFileLock::take(const std::string& utf8, const std::string& owner,
                                             std::unique_ptr<SystemFileLock>& lock,
                                             std::string& found) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int file = open(utf8.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const bool created = file >= 0;
        if (!created && errno == EEXIST) {
            file = open(utf8.c_str(), O_RDWR | O_CLOEXEC);
            if (file < 0 && errno == EACCES) {
                file = open(utf8.c_str(), O_RDONLY | O_CLOEXEC); // another user's file
            }
            if (file < 0 && errno == ENOENT) {
                continue; // removed meanwhile
            }
        }
        if (file < 0) {
            found = std::strerror(errno);
            return Outcome::failed;
        }
        const int error = lock_whole(file);
        if (error == EAGAIN || error == EACCES) {
            found = owner_of(file);
            close(file);
            return Outcome::held;
        }
        if (error != 0 && !created) {
            // No locks here (a network folder without them): the file's presence is the claim,
            // and one that is there already belongs to another job, or to a killed one.
            found = content_of(file);
            close(file);
            return Outcome::unsupported;
        }
        struct stat held {};
        struct stat named {};
        const bool same = fstat(file, &held) == 0 && stat(utf8.c_str(), &named) == 0 &&
                          held.st_ino == named.st_ino && held.st_dev == named.st_dev;
        if (error == 0 && !same) {
            close(file); // removed by its last holder after it was opened here
            continue;
        }
        const bool written =
            ftruncate(file, 0) == 0 &&
            pwrite(file, owner.data(), owner.size(), 0) == static_cast<ssize_t>(owner.size()) &&
            fsync(file) == 0;
        static_cast<void>(written); // the owner serves messages alone; the lock holds without it
        lock.reset(new SystemFileLock(utf8, file));
        return Outcome::taken;
    }
    found = "it was removed and made again too often while this job waited";
    return Outcome::failed;
}

SystemFileLock::~SystemFileLock() {
    unlink(path_.c_str());
    close(static_cast<int>(handle_)); // the lock goes with the file
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

void keep_freed_memory_for_reuse() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

std::vector<FileStamp> file_stamps(const std::string& folder,
                                   const std::vector<std::string>& names) {
    std::vector<FileStamp> stamps(names.size());
    const int directory =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return stamps;
    }
    const auto stamp = [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) {
            struct stat status {};
            if (fstatat(directory, names[i].c_str(), &status, 0) == 0) {
                stamps[i].found = true;
                stamps[i].size = static_cast<std::uint64_t>(status.st_size);
                stamps[i].time = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                                 status.st_mtim.tv_nsec;
            }
        }
    };
    // A model's thousand draws: half on a second thread, each call to the system being slow.
    const std::size_t half = names.size() >= 256 ? names.size() / 2 : 0;
    std::thread helper;
    if (half > 0) {
        helper = std::thread(stamp, 0, half);
    }
    stamp(half, names.size());
    if (helper.joinable()) {
        helper.join();
    }
    ::close(directory);
    return stamps;
}

namespace {

// The memory of the last file read whole and let go, kept for the next (up to a bound): memory
// new to the process costs a fault and zeroing per page, several times the copy of the file.
struct SpareMemory {
    std::mutex mutex;
    void* memory = nullptr;
    std::size_t reserved = 0;
};
SpareMemory spare_memory;
constexpr std::size_t largest_spare = std::size_t{256} << 20;

// Memory of at least `reserved` bytes (whole large pages): the spare when it is large enough
// and not twice as large, `reserved` then set to its size.
void* whole_file_memory(std::size_t& reserved) {
    {
        const std::lock_guard<std::mutex> lock(spare_memory.mutex);
        if (spare_memory.memory != nullptr && spare_memory.reserved >= reserved &&
            spare_memory.reserved / 2 < reserved) {
            void* const memory = spare_memory.memory;
            reserved = spare_memory.reserved;
            spare_memory.memory = nullptr;
            return memory;
        }
    }
    void* const memory =
        mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    madvise(memory, reserved, MADV_HUGEPAGE); // a hint: without it, small pages
    return memory;
}

void let_go(void* memory, std::size_t reserved) {
    if (reserved <= largest_spare) {
        const std::lock_guard<std::mutex> lock(spare_memory.mutex);
        std::swap(memory, spare_memory.memory);
        std::swap(reserved, spare_memory.reserved);
    }
    if (memory != nullptr) {
        munmap(memory, reserved);
    }
}

// Reads `count` bytes at `offset` into `out`; the bytes read, fewer at the file's end.
std::size_t read_at(int file, char* out, std::size_t count, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got =
            pread(file, out + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

} // namespace

std::unique_ptr<WholeFile> WholeFile::read(const std::string& utf8, std::uint64_t largest,
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
    // Whole large pages, and one byte more: a file that grew is told from one that did not.
    constexpr std::size_t large_page = std::size_t{2} << 20;
    std::size_t reserved = (size + 1 + large_page - 1) / large_page * large_page;
    void* const memory = whole_file_memory(reserved);
    if (memory == nullptr) {
        ::close(file);
        why = "too large for the memory free";
        return nullptr;
    }
    std::unique_ptr<WholeFile> whole(new WholeFile(static_cast<char*>(memory), size, reserved));
    // Two halves at once: the copy from the system's cache is most of the time.
    const std::size_t half = size >= large_page ? size / 2 / 4096 * 4096 : 0;
    std::size_t first = half;
    std::thread helper;
    if (half > 0) {
        helper = std::thread([&] { first = read_at(file, whole->data_, half, 0); });
    }
    const std::size_t second = read_at(file, whole->data_ + half, size + 1 - half, half);
    if (helper.joinable()) {
        helper.join();
    }
    ::close(file);
    if (first != half || half + second != size) {
        why = "changed while it was read";
        return nullptr;
    }
    return whole;
}

WholeFile::~WholeFile() {
    let_go(data_, reserved_);
}

#endif

} // namespace veldra
