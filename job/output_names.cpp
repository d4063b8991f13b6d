#include "job/output_names.h"

#include "text/platform.h"

#include <charconv>
#include <utility>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

namespace veldra {

namespace {

// The output's name split at its last dot: stem and extension (with its dot, or empty).
std::pair<std::string, std::string> split_name(const std::string& output_path) {
    const std::string name = boost::filesystem::path(output_path).filename().string();
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    return {name.substr(0, name.size() - extension.size()), extension};
}

// <parent>/<stem><suffix><extension> of the output path, or without the extension.
std::string beside_output(const std::string& output_path, const std::string& suffix,
                          bool keep_extension = true) {
    const auto [stem, extension] = split_name(output_path);
    return (boost::filesystem::path(output_path).parent_path() /
            (stem + suffix + (keep_extension ? extension : "")))
        .string();
}

std::string shard_suffix(std::size_t shard, std::size_t shards) {
    return "-shard-" + std::to_string(shard) + "-of-" + std::to_string(shards);
}

} // namespace

std::string output_stem(const std::string& output_path) {
    return split_name(output_path).first;
}

std::string shard_stem(const std::string& output_path, std::size_t shard, std::size_t shards) {
    return output_stem(output_path) + shard_suffix(shard, shards);
}

std::string pair_output_path(const std::string& output_path, const std::string& type,
                             const std::string& property, bool single) {
    return single ? output_path : beside_output(output_path, "-" + type + "-" + property);
}

std::string summary_path(const std::string& output_path) {
    return beside_output(output_path, "-summary");
}

std::string shard_output_path(const std::string& output_path, std::size_t shard,
                              std::size_t shards) {
    return beside_output(output_path, shard_suffix(shard, shards));
}

std::string shard_manifest_path(const std::string& output_path, std::size_t shard,
                                std::size_t shards) {
    return beside_output(output_path, shard_suffix(shard, shards) + "-manifest.txt", false);
}

namespace {

namespace fs = boost::filesystem;

// ".<name>.": where a partial file's name of target `name` begins.
std::string partial_prefix(const std::string& name) {
    std::string kept = name;
    const std::size_t room = 255 - std::string(". .4294967295-%%%%%%%%.part").size();
    if (kept.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) {
            --cut; // not inside a UTF-8 character
        }
        kept.resize(cut);
    }
    return "." + kept + ".";
}

constexpr const char* partial_suffix = ".part";

// The first free name of "<stem><word><extension>", "<stem><word 2><extension>", ... beside
// `path`, `word` being " (new)" or " (earlier)".
std::string free_name(const std::string& path, const std::string& word) {
    const fs::path target(path);
    for (int n = 1;; ++n) {
        const std::string numbered =
            n == 1 ? word : word.substr(0, word.size() - 1) + " " + std::to_string(n) + ")";
        const fs::path candidate = target.parent_path() / (target.stem().string() + numbered +
                                                           target.extension().string());
        boost::system::error_code error;
        if (!fs::exists(fs::symlink_status(candidate, error))) {
            return candidate.string();
        }
    }
}

} // namespace

std::string partial_path(const std::string& path) {
    const fs::path target(path);
    return (target.parent_path() /
            fs::unique_path(partial_prefix(target.filename().string()) +
                            std::to_string(current_process_id()) + "-%%%%%%%%" + partial_suffix))
        .string();
}

std::optional<long> partial_writer(const std::string& name, const std::string& target_name) {
    const std::string prefix = partial_prefix(target_name);
    const std::string suffix = partial_suffix;
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    const std::string middle =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    const std::size_t dash = middle.find('-');
    if (dash == std::string::npos) {
        return middle.size() == 8 ? std::optional<long>(0) : std::nullopt;
    }
    long process = 0;
    const auto read = std::from_chars(middle.data(), middle.data() + dash, process);
    if (read.ec != std::errc() || read.ptr != middle.data() + dash || process <= 0) {
        return std::nullopt;
    }
    return process;
}

std::string kept_beside_path(const std::string& path) {
    return free_name(path, " (new)");
}

std::string earlier_path(const std::string& path) {
    return free_name(path, " (earlier)");
}

std::string lock_path(const std::string& output) {
    const fs::path target(output);
    return (target.parent_path() / ("." + target.filename().string() + ".lock")).string();
}

std::optional<std::string> shard_manifest_number(const std::string& name, const std::string& stem,
                                                 std::size_t shards) {
    const std::string prefix = stem + "-shard-";
    const std::string suffix = "-of-" + std::to_string(shards) + "-manifest.txt";
    if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    return name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
}

} // namespace veldra
