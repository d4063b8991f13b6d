#pragma once

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
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace veldra::test
