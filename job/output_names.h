#pragma once

#include <cstddef>
#include <string>

namespace veldra {

// The names of every file a job writes, from the output path the user gave: the one place that
// spells them. <stem> and <extension> split the output's name at its last dot.

// <stem> of the output path, and <stem>-shard-<K>-of-<N>, which begins every name a shard
// writes.
std::string output_stem(const std::string& output_path);
std::string shard_stem(const std::string& output_path, std::size_t shard, std::size_t shards);

// The output file of one pair: the output path itself for a single pair, else
// <parent>/<stem>-<type>-<property><extension>.
std::string pair_output_path(const std::string& output_path, const std::string& type,
                             const std::string& property, bool single);

// The summary file of a job: "<stem>-summary<extension>" beside the output path.
std::string summary_path(const std::string& output_path);

// "<stem>-shard-<K>-of-<N><extension>" beside the output path: the output path a shard's files
// are named from.
std::string shard_output_path(const std::string& output_path, std::size_t shard,
                              std::size_t shards);

// The manifest a shard writes beside its outputs once they are complete:
// "<stem>-shard-<K>-of-<N>-manifest.txt".
std::string shard_manifest_path(const std::string& output_path, std::size_t shard,
                                std::size_t shards);

} // namespace veldra
