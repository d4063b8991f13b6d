#include "train/model_writer.h"

#include "text/number_text.h"

#include <fstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(path.string(), std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        throw std::runtime_error("Writing to file failed: " + path.string());
    }
}

} // namespace

bool is_model_file(const fs::path& path) {
    const std::string name = path.filename().string();
    return name == "rgy.txt" || name == "sigma.txt" || name == "model.json" ||
           (name.rfind("MCMC", 0) == 0 && path.extension() == ".json");
}

void write_model(const fs::path& folder, const BartFit& fit, const std::string& card) {
    fs::create_directories(folder.parent_path());
    const fs::path staging = folder.parent_path() / fs::unique_path(".veldra-train-%%%%-%%%%");
    fs::create_directories(staging);
    try {
        for (std::size_t d = 0; d < fit.forests.size(); ++d) {
            write_text(staging / ("MCMC" + std::to_string(d + 1) + ".json"),
                       forest_document(fit.forests[d], fit.grid));
        }
        write_text(staging / "rgy.txt",
                   shortest_text(fit.y_min) + " " + shortest_text(fit.y_max) + "\n");
        std::string sigma;
        for (const double s : fit.sigma) {
            sigma += shortest_text(s * (fit.y_max - fit.y_min)) + "\n";
        }
        write_text(staging / "sigma.txt", sigma);
        write_text(staging / "model.json", card);
        fs::create_directories(folder);
        for (fs::directory_iterator it(folder), end; it != end; ++it) {
            if (is_model_file(it->path())) {
                fs::remove(it->path());
            }
        }
        for (fs::directory_iterator it(staging), end; it != end; ++it) {
            fs::rename(it->path(), folder / it->path().filename());
        }
        fs::remove_all(staging);
    } catch (...) {
        boost::system::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

} // namespace veldra
