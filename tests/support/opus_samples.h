#pragma once

#include <charconv>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>

namespace veldra::test {

// The folder of real instrument files beside the checkout ("" when it is not there).
inline std::string opus_samples_dir() {
    const std::string dir = std::string(VELDRA_SHARED_DIR) + "/opus-samples";
    return boost::filesystem::is_directory(dir) ? dir : std::string();
}

// A ground-truth file: "wavenumber,value" lines after a header.
inline std::vector<std::pair<double, double>> read_ground_truth(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    std::vector<std::pair<double, double>> points;
    while (std::getline(in, line)) {
        const std::size_t comma = line.find(',');
        double x = 0;
        double y = 0;
        std::from_chars(line.data(), line.data() + comma, x);
        std::from_chars(line.data() + comma + 1, line.data() + line.size(), y);
        points.emplace_back(x, y);
    }
    return points;
}

} // namespace veldra::test
