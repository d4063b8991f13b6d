#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace veldra {

// Everything the programs do differently on Linux and Windows. Text in the programs is UTF-8,
// paths included; on Windows every path reaches the system as UTF-16 (wide) through these
// functions, through std::filesystem, or through Boost.Filesystem, which this file makes read
// and write narrow paths as UTF-8 there.

// A UTF-8 path text as the system's own path type (wide on Windows), for streams and
// std::filesystem.
std::filesystem::path native_path(const std::string& utf8);

// The same path back as UTF-8 text.
std::string utf8_path(const std::filesystem::path& path);

// std::fopen with a UTF-8 path; nullptr when it cannot be opened.
std::FILE* open_file(const std::string& utf8, const char* mode);

// The command line as UTF-8 texts, the program path first: `argv` on Linux; on Windows the
// system's wide command line, since `argv` went through the ANSI code page and may have lost
// characters.
std::vector<std::string> program_arguments(int argc, char** argv);

// The path of the running executable as the operating system knows it (on Windows from the
// system as a wide path, so no code page loses a character); "" when it cannot say.
std::string running_executable_path();

// The program path to search the model files from: on Linux the first argument (made canonical
// by the caller), on Windows the executable's own path (the first argument passed through the
// ANSI code page and may name no file).
std::string program_path(const char* first_argument);

// This process's identifier.
long current_process_id();

// The user's folder for caches: $XDG_CACHE_HOME or ~/.cache on Linux, %LOCALAPPDATA% on
// Windows; "" when the environment names none.
std::string user_cache_folder();

// Whether a process with this identifier runs on this machine; true where it cannot tell.
bool process_is_running(long id);

// Asks the system to put a file's or a folder's content on the disk before returning (fsync on
// Linux; FlushFileBuffers for a file on Windows, where a folder needs nothing): after a crash
// or a power cut, what was synced is there. False when it could not be opened or synced.
bool sync_to_disk(const std::string& utf8);

// This machine's name, for messages that tell where a process runs; "" when the system says none.
std::string host_name();

// The system's own exclusive lock on a file, held by this object and released by the system
// when the process ends in any way, killed included: flock on Linux (on an open file, so that
// two opens of one process exclude each other too), LockFileEx on Windows. The file is removed
// before the lock is let go; whoever opened it meanwhile finds on taking the lock that its name
// now names another file (or none) and tries again, so two processes never hold one name.
class SystemFileLock {
public:
    enum class Outcome {
        taken, // held by `lock`; the file holds `owner`, written and synced
        held,  // held by another open file (another process); `found` is its content
        // The file system keeps no locks (some network folders) and the file was there already,
        // left by another job or a killed one; `found` is its content. (Where the file was not
        // there, it is made and counts as taken: its presence is the claim.)
        unsupported,
        failed, // the file cannot be made or opened; `found` says why
    };
    static Outcome take(const std::string& utf8, const std::string& owner,
                        std::unique_ptr<SystemFileLock>& lock, std::string& found);
    ~SystemFileLock();
    SystemFileLock(const SystemFileLock&) = delete;
    SystemFileLock& operator=(const SystemFileLock&) = delete;

private:
    SystemFileLock(std::string path, std::intptr_t handle)
        : path_(std::move(path)), handle_(handle) {}
    std::string path_;
    std::intptr_t handle_; // a file descriptor, or a Windows HANDLE
};

// Whether the standard error stream is an interactive terminal (progress bar) or not (plain
// progress lines).
bool standard_error_is_terminal();

// Calls `handler` (a plain C function) on Ctrl-C and on a request to end: SIGINT and SIGTERM, and
// on Windows also Ctrl-Break (SIGBREAK).
void on_stop_signals(void (*handler)(int));

// The Qt platform plugin that draws (charts, PDF reports) without a screen: "offscreen" on
// Linux; "windows" on Windows, whose fonts are the system's (the offscreen plugin finds none
// there and draws no text).
const char* headless_qt_platform();

// Whether the windows scale as a whole by the system's display scaling (125%, 150%): on Windows,
// where it is the user's setting for every program and scaling only the fonts clips texts in
// widgets sized in pixels; not on Linux, where the desktop passes its own scale to Qt.
bool windows_follow_display_scaling();

// Whether another program holds the file open so that it cannot be replaced or removed: on
// Windows a spreadsheet or a PDF viewer that opened it without sharing deletion (a sharing
// violation); never on Linux, where an open file can be replaced.
bool file_held_open_elsewhere(const std::string& utf8);

// Largest resident memory of this process so far, in bytes (0 where the platform cannot say).
std::uint64_t peak_memory_bytes();

// Asks the C library to keep the memory a job lets go of for the next one in the process rather
// than hand it back to the system, where taking it again costs a fault per page: on Linux, blocks
// of up to 32 MB come from the heap and up to 256 MB of its free top is kept (a job of 1000
// samples took 0.19 s instead of 0.26 s when it followed another; the price is memory kept: a
// process that ran the 17-property job three ways peaked at 96 MB instead of 58 MB). Called
// once, first thing in a program's main; nothing on Windows.
void keep_freed_memory_for_reuse();

// The size and last modification time of a file, read with one call to the system: the time in
// the system's own units (nanoseconds since 1970 on Linux, 100-nanosecond ticks since 1601 on
// Windows). `found` is false, with 0 for both, when it cannot be read.
struct FileStamp {
    bool found = false;
    std::uint64_t size = 0;
    std::int64_t time = 0;
};

// The stamps of the files `names` in `folder`, in their order, found from the folder without
// walking its path again for each file.
std::vector<FileStamp> file_stamps(const std::string& folder,
                                   const std::vector<std::string>& names);

// A regular file's bytes read whole into memory that starts on a page (aligned for any type),
// kept while the object lives. On Linux a large file is read on two threads into memory the
// system is asked to give as large pages: several times faster than mapping the file where
// mapping costs a fault per page.
class WholeFile {
public:
    // The bytes of the file; nothing, with the reason in `why`, when it is absent, not a regular
    // file, empty, larger than `largest` bytes, or could not be read whole (it changed).
    static std::unique_ptr<WholeFile> read(const std::string& utf8, std::uint64_t largest,
                                           std::string& why);
    ~WholeFile();
    WholeFile(const WholeFile&) = delete;
    WholeFile& operator=(const WholeFile&) = delete;

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    WholeFile(char* data, std::size_t size, std::size_t reserved)
        : data_(data), size_(size), reserved_(reserved) {}
    char* data_;
    std::size_t size_;
    std::size_t reserved_; // the bytes of memory held
};

} // namespace veldra
