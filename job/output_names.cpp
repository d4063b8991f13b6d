#include "job/output_names.h"

#include <boost/filesystem/path.hpp>

namespace veldra {

namespace {

// <parent>/<stem><suffix><extension> of the output path, or without the extension.
std::string beside_output(const std::string& output_path, const std::string& suffix,
                          bool keep_extension = true) {
    const boost::filesystem::path output(output_path);
    const std::string name = output.filename().string();
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    const std::string stem = name.substr(0, name.size() - extension.size());
    return (output.parent_path() / (stem + suffix + (keep_extension ? extension : ""))).string();
}

std::string shard_suffix(std::size_t shard, std::size_t shards) {
    return "-shard-" + std::to_string(shard) + "-of-" + std::to_string(shards);
}

} // namespace

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
