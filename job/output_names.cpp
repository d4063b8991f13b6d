#include "job/output_names.h"

#include <utility>

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

} // namespace veldra
