#include "models/model_open.h"

#include "models/model_layout.h"
#include "text/platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

std::string missing_range_file_message(const std::string& range_path) {
    const std::string message = "Cannot open rangefile '" + range_path + "' for reading.";
    const boost::filesystem::path folder = boost::filesystem::path(range_path).parent_path();
    boost::system::error_code error;
    if (!boost::filesystem::is_directory(folder, error)) {
        return message + "\nThe model folder '" + folder.string() +
               "' does not exist: check the spectrometer type and the property (names are "
               "case-sensitive: mir, not MIR) and the model directory.";
    }
    if (boost::filesystem::exists(range_path, error)) {
        return message + "\nThe file cannot be read: check its permissions.";
    }
    return message + "\nThe folder '" + folder.string() +
           "' holds no range file (rgy.txt): it is not a complete model folder.";
}

namespace fs = boost::filesystem;

namespace {

const char* const compiled_model_name = "compiled-forests.bin";

// FNV-1a over 64 bits.
struct Fnv {
    std::uint64_t value = 0xcbf29ce484222325ULL;
    void add(const std::string& text) {
        for (const char c : text) {
            value = (value ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        }
    }
};

// The domains the card says the trainer wrote must be there; one the card does not name is
// used when present, as for models of earlier versions.
void read_domains(OpenedModel& model) {
    const fs::path folder(model.folder);
    std::string digest;
    model.domain = read_calibration_domain(folder, domain_file_name, &digest);
    if (model.domain) {
        model.digests["domain"] = digest;
    }
    const ModelCard* card = model.card ? &*model.card : nullptr;
    if (!model.domain && card != nullptr && card->domain.value_or(false)) {
        throw std::runtime_error("The model in '" + model.folder +
                                 "' has lost its calibration domain \"domain.json\", which its "
                                 "card says the trainer wrote: copy the whole model folder "
                                 "again, or train the model again.");
    }
    if (card == nullptr || !card->input_domain.value_or(false) || card->preprocessing.empty()) {
        return;
    }
    model.input_domain = read_calibration_domain(folder, input_domain_file_name, &digest);
    if (!model.input_domain) {
        throw std::runtime_error("The model in '" + model.folder +
                                 "' has lost or damaged its domain before the preprocessing \"" +
                                 std::string(input_domain_file_name) +
                                 "\", which its card says the trainer wrote: copy the whole "
                                 "model folder again, or train the model again.");
    }
    model.digests["input_domain"] = digest;
}

void read_draws(OpenedModel& model, const fs::path& folder) {
    model.draw_files = list_draw_files(folder);
    if (model.draw_files.empty()) {
        throw std::runtime_error("No files found in '" + draw_file_pattern(folder) +
                                 "' which match 'json'");
    }
    const std::string problem = draw_files_problem(model.draw_files, model.folder,
                                                   model.card ? model.card->draws : std::nullopt);
    if (!problem.empty()) {
        throw std::runtime_error(problem);
    }
    model.draw_of_file = draw_indices(model.draw_files);
    std::vector<std::string> names;
    names.reserve(model.draw_files.size());
    for (const std::string& file : model.draw_files) {
        names.push_back(fs::path(file).filename().string());
    }
    model.draw_stamps = file_stamps(folder.string(), names);
    std::vector<std::pair<std::string, std::uintmax_t>> sizes;
    sizes.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        sizes.emplace_back(names[i], model.draw_stamps[i].size);
    }
    model.digests["draws"] = draws_digest(std::move(sizes));
}

} // namespace

OpenedModel open_model(const fs::path& folder, const ModelOpening& opening) {
    OpenedModel model;
    model.folder = folder.string();
    model.card = read_model_card(folder);
    read_domains(model);
    std::string linear_digest;
    model.linear = read_linear_part(folder, model.card ? &*model.card : nullptr, &linear_digest);
    if (model.linear) {
        model.digests["linear"] = linear_digest;
    }
    const std::string range =
        opening.range_file.empty() ? range_file(folder).string() : opening.range_file;
    if (!std::ifstream(native_path(range)).is_open()) {
        throw std::runtime_error(missing_range_file_message(range));
    }
    model.range = read_range_numbers(range);
    if (model.range.numbers.size() < 2) {
        throw std::runtime_error("The range file '" + range +
                                 "' must start with two numbers (the smallest and the largest "
                                 "reference value of the model); it holds " +
                                 std::to_string(model.range.numbers.size()) + ".");
    }
    read_draws(model, folder);
    if (opening.error_spreads) {
        model.sigma = read_sigma_file(model.folder, model.draw_files.size());
    }
    return model;
}

std::vector<std::string> list_draw_files(const fs::path& folder) {
    std::vector<std::string> files;
    if (!fs::is_directory(folder)) {
        std::ostringstream message;
        message << "Directory `" << folder << "` not exists";
        throw std::runtime_error(message.str());
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (is_draw_file(entry.path())) {
            files.push_back((folder / entry.path().filename()).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

fs::path compiled_model_file(const fs::path& folder) {
    return folder / compiled_model_name;
}

std::string compiled_model_cache_file(const fs::path& folder) {
    const std::string cache = user_cache_folder();
    if (cache.empty()) {
        return std::string();
    }
    const fs::path absolute = fs::absolute(folder);
    Fnv hash;
    hash.add(absolute.generic_string());
    char name[40];
    std::snprintf(name, sizeof name, "%016llx.bin", static_cast<unsigned long long>(hash.value));
    return (fs::path(cache) / "veldra" / "compiled" / name).string();
}

std::string compiled_partial_path(const std::string& compiled_path) {
    static std::atomic<unsigned> calls{0};
    return compiled_path + ".partial-" + std::to_string(current_process_id()) + "-" +
           std::to_string(calls++);
}

std::uint64_t draw_files_fingerprint(const std::vector<std::string>& files,
                                     std::uint64_t* total_bytes) {
    // The files of one folder (a model's draws) are stamped from the folder, in runs.
    std::vector<FileStamp> stamps;
    stamps.reserve(files.size());
    for (std::size_t first = 0; first < files.size();) {
        const fs::path folder = fs::path(files[first]).parent_path();
        std::vector<std::string> names;
        std::size_t end = first;
        for (; end < files.size() && fs::path(files[end]).parent_path() == folder; ++end) {
            names.push_back(fs::path(files[end]).filename().string());
        }
        for (const FileStamp& stamp : file_stamps(folder.string(), names)) {
            stamps.push_back(stamp);
        }
        first = end;
    }
    return draw_files_fingerprint(files, stamps, total_bytes);
}

std::uint64_t draw_files_fingerprint(const std::vector<std::string>& files,
                                     const std::vector<FileStamp>& stamps,
                                     std::uint64_t* total_bytes) {
    Fnv hash;
    std::uint64_t total = 0;
    hash.add(std::to_string(files.size()));
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileStamp stamp = i < stamps.size() ? stamps[i] : FileStamp();
        total += stamp.size;
        hash.add(fs::path(files[i]).filename().string());
        hash.add("\n" + std::to_string(stamp.size) + "\n" + std::to_string(stamp.time) + "\n");
    }
    if (total_bytes != nullptr) {
        *total_bytes = total;
    }
    return hash.value;
}

std::string read_at_most(const std::string& path, std::size_t largest) {
    std::ifstream in(native_path(path), std::ios::binary);
    // In pieces: the memory taken follows the file, not the bound. Room for a regular file's
    // bytes is taken at once.
    std::string content;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(native_path(path), error);
    if (!error) {
        content.reserve(static_cast<std::size_t>(std::min<std::uintmax_t>(size, largest)) + 1);
    }
    char piece[1 << 16];
    while (content.size() <= largest && in.read(piece, sizeof piece).gcount() > 0) {
        const std::size_t room = largest + 1 - content.size();
        content.append(piece, std::min(room, static_cast<std::size_t>(in.gcount())));
    }
    return content;
}

} // namespace veldra
