#pragma once

// Support shared by the fuzz targets: the readers take file paths, so every input is written to
// one scratch file of the process first.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <boost/filesystem/operations.hpp>

namespace veldra::fuzz {

// A scratch file removed when the process ends normally.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& extension)
        : path_((boost::filesystem::temp_directory_path() /
                 boost::filesystem::unique_path("veldra-fuzz-%%%%-%%%%-%%%%" + extension))
                    .string()) {}
    ~ScratchFile() {
        boost::system::error_code ignored;
        boost::filesystem::remove(path_, ignored);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Replaces the file's content with the input's bytes and returns its path.
    const std::string& write(const std::uint8_t* data, std::size_t size) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::abort(); // the harness itself failed: nothing would be tested
        }
        return path_;
    }

private:
    std::string path_;
};

} // namespace veldra::fuzz
