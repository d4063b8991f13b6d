#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace veldra {

// The largest shard manifest read: a few lines per model and per file written.
constexpr std::size_t largest_manifest_bytes = 1u << 20;

// Puts together the outputs of the `shards` parts of a run given `output_path` (`--shard K/N`):
// writes the files a single run would have written, byte for byte (each file: the first part's
// header, then every part's rows in shard order), each beside its target and moved into place
// when complete. Joins the parts only when every manifest is there and none beyond N, all name
// the same run (input with its size and time, models and their cards, settings), their samples
// continue one another to the input's last, and they list the same files; otherwise raises the
// reason and writes nothing. Returns the files written, in the manifests' order.
std::vector<std::string> merge_shards(const std::string& output_path, std::size_t shards);

} // namespace veldra
