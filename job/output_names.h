#pragma once

#include <cstddef>
#include <optional>
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

// Names made beside any file a job writes, from its path:

// The hidden file a file is written under until complete: ".<name>.<process>-<8 random>.part"
// (a long name shortened, keeping its whole characters, so that the partial file fits wherever
// the target does: most file systems take 255 bytes).
std::string partial_path(const std::string& path);
// The process that wrote the partial file `name` for a target named `target_name`: nothing for
// a name that is not one, 0 for one of an earlier version (".<name>.<8 random>.part").
std::optional<long> partial_writer(const std::string& name, const std::string& target_name);

// A free name beside `path` for a complete file that could not take its place: "out (new).csv",
// then "out (new 2).csv", ...
std::string kept_beside_path(const std::string& path);
// A free name beside `path` for an earlier job's file set aside: "out (earlier).csv", ...
std::string earlier_path(const std::string& path);

// The lock file of a job writing `output`: ".<name>.lock" beside it.
std::string lock_path(const std::string& output);

// Whether `name` is the manifest of a shard K of `shards` of outputs of stem `stem`
// ("<stem>-shard-<K>-of-<N>-manifest.txt"); K, or nothing, the number as written whatever it is.
std::optional<std::string> shard_manifest_number(const std::string& name, const std::string& stem,
                                                 std::size_t shards);

} // namespace veldra
