#pragma once

#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include <sys/stat.h>

namespace veldra::test {

// A named pipe standing in for an input file. A job that opens it waits there until `release`
// writes the content, so a test acts while the job is known to be at its start, whatever the
// machine's speed.
class HeldFile {
public:
    HeldFile(std::string path, std::string content)
        : path_(std::move(path)), content_(std::move(content)) {
        std::signal(SIGPIPE, SIG_IGN); // a reader that stops early must not end the test
        ok_ = ::mkfifo(path_.c_str(), 0600) == 0;
    }
    ~HeldFile() {
        if (writer_.joinable()) {
            writer_.join();
        }
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool ok() const { return ok_; }

    // Writes the content from another thread once a reader has opened the pipe.
    void release() {
        writer_ = std::thread([this] {
            std::ofstream out(path_, std::ios::binary);
            out << content_;
        });
    }

private:
    std::string path_;
    std::string content_;
    bool ok_ = false;
    std::thread writer_;
};

} // namespace veldra::test
