#include "models/model_folder.h"

#include "models/model_digest.h"
#include "models/model_open.h"

#include "text/number_text.h"
#include "text/platform.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

const std::string staging_prefix = ".veldra-train-";
const std::string aside_prefix = ".veldra-old-";

// A path as messages show it: in double quotes, as Boost prints paths.
std::string quoted(const fs::path& path) {
    std::ostringstream out;
    out << path;
    return out.str();
}

// A file of the model that could not be written into the staging folder, and the system's
// reason; told naming the model's own folder, since the staging folder is removed.
struct StagedFileError {
    std::string file;
    std::string reason;
};

void write_text(const fs::path& path, const std::string& text) {
    errno = 0;
    std::ofstream out(native_path(path.string()), std::ios::binary);
    out << text;
    out.close();
    if (!out || !sync_to_disk(path.string())) {
        const int cause = errno;
        throw StagedFileError{path.filename().string(),
                              cause != 0 ? std::strerror(cause) : "the disk refused it"};
    }
}

// The process in a name "<prefix><id>-…"; 0 for a name without one.
long owner_of(const std::string& name, const std::string& prefix) {
    const std::string rest = name.substr(prefix.size());
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

// Puts back "<aside_prefix><id>-<name>" of an ended process as <name> where <name> is missing;
// removes it where <name> exists (the new model arrived).
void restore_set_aside(const fs::path& entry) {
    const std::string name = entry.filename().string();
    const long owner = owner_of(name, aside_prefix);
    if (owner == 0 || process_is_running(owner)) {
        return;
    }
    const std::string rest = name.substr(aside_prefix.size());
    const fs::path target = entry.parent_path() / rest.substr(rest.find('-') + 1);
    boost::system::error_code error;
    if (fs::exists(target, error)) {
        fs::remove_all(entry, error);
    } else {
        fs::rename(entry, target, error);
    }
}

void stage_files(const fs::path& staging, const ModelContents& contents,
                 const std::function<void()>& checkpoint) {
    for (std::size_t d = 0; d < contents.draws; ++d) {
        if (checkpoint) {
            checkpoint();
        }
        write_text(staging / draw_file_name(d), contents.forest_document(d));
    }
    if (contents.compiled) {
        // Of the draw files as staged: their times stay what they are when the folder is renamed.
        const std::string bytes = contents.compiled(list_draw_files(staging));
        if (!bytes.empty()) {
            write_text(compiled_model_file(staging), bytes);
        }
    }
    write_text(range_file(staging),
               shortest_text(contents.range_low) + " " + shortest_text(contents.range_high) + "\n");
    if (!contents.sigma.empty()) {
        std::string sigma;
        for (const double s : contents.sigma) {
            sigma += shortest_text(s) + "\n";
        }
        write_text(sigma_file(staging), sigma);
    }
    if (contents.domain) {
        write_text(staging / domain_file_name, domain_document(*contents.domain));
    }
    if (contents.input_domain) {
        write_text(staging / input_domain_file_name, domain_document(*contents.input_domain));
    }
    if (contents.linear) {
        write_text(staging / linear_file_name, linear_part_text(*contents.linear));
    }
    // Last, the card, with what it records of the files beside it and of itself.
    if (contents.card) {
        ModelCard card = *contents.card;
        card.digest = model_files_digest(staging);
        card.digest["card"] = card_shaping_digest(model_card_text(card));
        write_text(card_file(staging), model_card_text(card));
    }
}

// Copies what the lab keeps in the old folder beside its model (notes, its own files) into the
// staging folder, so that the swap keeps them.
void copy_other_files(const fs::path& folder, const fs::path& staging) {
    boost::system::error_code error;
    if (!fs::is_directory(folder, error)) {
        return;
    }
    for (fs::directory_iterator it(folder), end; it != end; ++it) {
        if (!is_model_file(it->path())) {
            fs::copy(it->path(), staging / it->path().filename(),
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        }
    }
}

// Swaps the staged folder in for `folder`; on a failure before the new one is in place, the old
// one is put back.
void swap_in(const fs::path& staging, const fs::path& folder,
             const std::function<void()>& checkpoint) {
    // Every file was synced as it was written; the folder's entries too, before the swap, and
    // the model directory's after it.
    sync_to_disk(staging.string());
    boost::system::error_code error;
    if (!fs::exists(folder, error)) {
        fs::rename(staging, folder);
        sync_to_disk(folder.parent_path().string());
        return;
    }
    const fs::path aside =
        folder.parent_path() /
        (aside_prefix + std::to_string(current_process_id()) + "-" + folder.filename().string());
    fs::remove_all(aside);
    fs::rename(folder, aside);
    try {
        if (checkpoint) {
            checkpoint();
        }
        fs::rename(staging, folder);
    } catch (...) {
        boost::system::error_code ignored;
        fs::rename(aside, folder, ignored);
        throw;
    }
    sync_to_disk(folder.parent_path().string());
    fs::remove_all(aside, error); // what is left is removed by the next writer
}

} // namespace

fs::path range_file(const fs::path& folder) {
    return folder / "rgy.txt";
}

fs::path sigma_file(const fs::path& folder) {
    return folder / "sigma.txt";
}

std::string draw_file_name(std::size_t draw) {
    return "MCMC" + std::to_string(draw + 1) + ".json";
}

std::string draw_file_pattern(const fs::path& folder) {
    return folder.string() + "/MCMC*.json";
}

bool is_draw_file(const fs::path& path) {
    return path.filename().string().rfind("MCMC", 0) == 0 && path.extension() == ".json";
}

bool is_model_file(const fs::path& path) {
    const std::string name = path.filename().string();
    // The compiled model (a cache of the draws, with a writer's partial file) is the old model's.
    const std::string compiled = compiled_model_file(fs::path()).filename().string();
    return name.rfind(compiled, 0) == 0 || name == "rgy.txt" || name == "sigma.txt" ||
           name == card_file_name || name == domain_file_name || name == input_domain_file_name ||
           name == linear_file_name || is_draw_file(path);
}

std::size_t remove_stale_staging(const fs::path& type_folder) {
    std::size_t removed = 0;
    boost::system::error_code error;
    if (!fs::is_directory(type_folder, error)) {
        return 0;
    }
    const std::time_t hour_ago =
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - 3600;
    std::vector<fs::path> set_aside;
    for (fs::directory_iterator it(type_folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(aside_prefix, 0) == 0) {
            set_aside.push_back(it->path());
        }
        if (name.rfind(staging_prefix, 0) != 0 || !fs::is_directory(it->path(), error)) {
            continue;
        }
        const long owner = owner_of(name, staging_prefix);
        const bool stale = owner != 0 ? !process_is_running(owner)
                                      : fs::last_write_time(it->path(), error) < hour_ago;
        if (stale && !error) {
            boost::system::error_code ignored;
            fs::remove_all(it->path(), ignored);
            removed += ignored ? 0 : 1;
        }
    }
    for (const fs::path& entry : set_aside) {
        restore_set_aside(entry);
    }
    return removed;
}

void write_model_folder(const fs::path& folder, const ModelContents& contents,
                        const std::function<void()>& checkpoint) {
    const fs::path parent = folder.parent_path();
    boost::system::error_code status;
    if (fs::exists(parent, status) && !fs::is_directory(parent, status)) {
        throw std::runtime_error("Cannot write the model into " + quoted(parent) +
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
        throw std::runtime_error("Cannot write the model into " + quoted(parent) + ": " +
                                 e.code().message() + ".");
    }
    try {
        stage_files(staging, contents, checkpoint);
        copy_other_files(folder, staging);
        if (checkpoint) {
            checkpoint(); // the last point at which a stop leaves the old model in place
        }
        swap_in(staging, folder, checkpoint);
    } catch (const fs::filesystem_error& e) {
        boost::system::error_code ignored;
        fs::remove_all(staging, ignored);
        throw std::runtime_error("Cannot write the model into " + quoted(folder) + ": " +
                                 e.code().message() + ".");
    } catch (const StagedFileError& e) {
        boost::system::error_code ignored;
        fs::remove_all(staging, ignored);
        throw std::runtime_error("Cannot write the model into " + quoted(folder) + ": its file " +
                                 e.file + " could not be written (" + e.reason +
                                 "). Free space on the disk, or choose another models folder; "
                                 "the model there is as it was.");
    } catch (...) {
        boost::system::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

RangeNumbers read_range_numbers(const std::string& path) {
    const std::string content = read_at_most(path, largest_range_bytes);
    if (content.size() > largest_range_bytes) {
        throw std::runtime_error("The range file '" + path + "' is larger than " +
                                 std::to_string(largest_range_bytes >> 10) +
                                 " KB: it must hold the smallest and the largest reference value "
                                 "of the model.");
    }
    std::istringstream in(content);
    RangeNumbers read;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        int count = 0;
        double value = 0.0;
        while (fields >> value) {
            if (count < 2) {
                read.numbers.push_back(value);
                ++count;
            } else {
                ++read.dropped;
            }
        }
    }
    return read;
}

std::optional<std::vector<double>> read_sigma_file(const std::string& folder, std::size_t draws) {
    const fs::path file = sigma_file(folder);
    boost::system::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) {
        return std::nullopt;
    }
    if (!fs::is_regular_file(file, error)) {
        throw std::runtime_error("The error spread file \"" + file.string() +
                                 "\" cannot be read: it is not a file.");
    }
    if (fs::file_size(file, error) > largest_sigma_bytes || error) {
        throw std::runtime_error("The error spread file \"" + file.string() + "\" is larger than " +
                                 std::to_string(largest_sigma_bytes >> 20) + " MB.");
    }
    std::ifstream in(native_path(file.string()));
    std::vector<double> sigma;
    std::string line;
    while (std::getline(in, line) && sigma.size() <= draws) {
        if (line.empty() || line == "\r") {
            continue;
        }
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        double value = 0.0;
        std::string rest;
        if (!(fields >> value) || (fields >> rest) || !std::isfinite(value) || value < 0.0) {
            throw std::runtime_error("The error spread file \"" + file.string() + "\" holds \"" +
                                     line.substr(0, 40) +
                                     "\", not one number of at least 0 per line.");
        }
        sigma.push_back(value);
    }
    if (sigma.size() != draws) {
        throw std::runtime_error("The error spread file \"" + file.string() + "\" holds " +
                                 (sigma.size() > draws ? "more than " + std::to_string(draws)
                                                       : std::to_string(sigma.size())) +
                                 " values for " + std::to_string(draws) + " draws.");
    }
    return sigma;
}

} // namespace veldra
