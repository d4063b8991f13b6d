#include "train/model_writer.h"

#include "text/number_text.h"
#include "text/platform.h"
#include "train/training_error.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

using training_error::fail;
using training_error::quoted;

const std::string staging_prefix = ".veldra-train-";

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(native_path(path.string()), std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        throw std::runtime_error("Writing to file failed: " + path.string());
    }
}

// The first value of the fit that is not a finite number, described; "" when all are.
std::string non_finite_value(const BartFit& fit) {
    if (!std::isfinite(fit.y_min) || !std::isfinite(fit.y_max)) {
        return "the response range";
    }
    for (std::size_t d = 0; d < fit.sigma.size(); ++d) {
        if (!std::isfinite(fit.sigma[d])) {
            return "the error spread of draw " + std::to_string(d + 1);
        }
    }
    for (std::size_t d = 0; d < fit.forests.size(); ++d) {
        for (const BartTree& tree : fit.forests[d]) {
            for (const BartTree::Node& node : tree.nodes) {
                if (!std::isfinite(node.value)) {
                    return "a leaf value of draw " + std::to_string(d + 1);
                }
            }
        }
    }
    for (const std::vector<double>& cuts : fit.grid.cuts) {
        for (const double cut : cuts) {
            if (!std::isfinite(cut)) {
                return "a cut point";
            }
        }
    }
    return std::string();
}

// The process that made a staging folder, from its name ".veldra-train-<id>-…"; 0 for the
// older names without one.
long staging_owner(const std::string& name) {
    const std::string rest = name.substr(staging_prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 18) {
        return 0;
    }
    for (std::size_t i = 0; i < dash; ++i) {
        if (rest[i] < '0' || rest[i] > '9') {
            return 0;
        }
    }
    return std::stol(rest.substr(0, dash));
}

} // namespace

bool is_model_file(const fs::path& path) {
    const std::string name = path.filename().string();
    return name == "rgy.txt" || name == "sigma.txt" || name == "model.json" ||
           name == "domain.json" || (name.rfind("MCMC", 0) == 0 && path.extension() == ".json");
}

std::size_t remove_stale_staging(const fs::path& type_folder) {
    std::size_t removed = 0;
    boost::system::error_code error;
    if (!fs::is_directory(type_folder, error)) {
        return 0;
    }
    const std::time_t hour_ago =
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - 3600;
    for (fs::directory_iterator it(type_folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(staging_prefix, 0) != 0 || !fs::is_directory(it->path(), error)) {
            continue;
        }
        const long owner = staging_owner(name);
        const bool stale = owner != 0 ? !process_is_running(owner)
                                      : fs::last_write_time(it->path(), error) < hour_ago;
        if (stale && !error) {
            boost::system::error_code ignored;
            fs::remove_all(it->path(), ignored);
            removed += ignored ? 0 : 1;
        }
    }
    return removed;
}

void write_model(const fs::path& folder, const BartFit& fit, const std::string& card,
                 const std::function<void()>& checkpoint, const std::string& domain) {
    const std::string bad = non_finite_value(fit);
    if (!bad.empty()) {
        fail("The fit gave " + bad + " that is not a finite number; no model was written. " +
             "Check the reference values and the prior settings.");
    }
    const fs::path parent = folder.parent_path();
    boost::system::error_code status;
    if (fs::exists(parent, status) && !fs::is_directory(parent, status)) {
        fail("Cannot write the model into " + quoted(parent.string()) +
             ": it is a file, not a folder.");
    }
    fs::path staging;
    try {
        fs::create_directories(parent);
        remove_stale_staging(parent);
        staging = parent / fs::unique_path(staging_prefix + std::to_string(current_process_id()) +
                                           "-%%%%-%%%%");
        fs::create_directories(staging);
    } catch (const fs::filesystem_error& e) {
        fail("Cannot write the model into " + quoted(parent.string()) + ": " + e.code().message() +
             ".");
    }
    try {
        for (std::size_t d = 0; d < fit.forests.size(); ++d) {
            if (checkpoint) {
                checkpoint();
            }
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
        if (!domain.empty()) {
            write_text(staging / "domain.json", domain);
        }
        if (checkpoint) {
            checkpoint(); // the last point at which a stop leaves the old model in place
        }
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
    } catch (const fs::filesystem_error& e) {
        boost::system::error_code ignored;
        fs::remove_all(staging, ignored);
        fail("Cannot write the model into " + quoted(folder.string()) + ": " + e.code().message() +
             ".");
    } catch (...) {
        boost::system::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

} // namespace veldra
