#pragma once

#include "text/platform.h"

#include <fstream>
#include <string>

#include <boost/filesystem.hpp>

namespace veldra::test {

// A fresh folder below the system's temporary folder, removed with everything in it when the
// object goes.
class TempDir {
public:
    TempDir()
        : path_(boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("veldra-test-%%%%-%%%%-%%%%")) {
        boost::filesystem::create_directories(path_);
    }
    ~TempDir() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const boost::filesystem::path& path() const { return path_; }

    // Path text of `name` inside the folder.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    // Writes `bytes` to `name` inside the folder (creating sub-folders) and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        const boost::filesystem::path target = path_ / name;
        boost::filesystem::create_directories(target.parent_path());
        std::ofstream out(target.string(), std::ios::binary);
        out << bytes;
        return target.string();
    }

private:
    boost::filesystem::path path_;
};

// The whole content of a file, byte for byte.
// A file's bytes; on Windows with the platform's CR LF line ends read as LF, as the programs
// write text files the platform's way.
inline std::string read_file(const std::string& path) {
    std::ifstream in(native_path(path), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
#if defined(_WIN32)
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            lines += text[i];
        }
    }
    text = std::move(lines);
#endif
    return text;
}

} // namespace veldra::test
