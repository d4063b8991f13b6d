#pragma once

#include "job/job_settings.h"

#include <cstddef>
#include <string>
#include <vector>

namespace veldra {

// A shard writes its manifest (shard_manifest_path) beside its outputs once they are complete.
// Its lines name the run (input with its size and time, models with fingerprints of their card
// and range, settings, program), the shard and its samples, and the files it wrote; merging
// joins only parts whose run lines agree, whose samples continue one another and of which none
// is missing or extra.

// Where a shard's samples lie in the input: [first, last) of `total`.
struct ShardSamples {
    std::size_t first = 0;
    std::size_t last = 0;
    std::size_t total = 0;
};

// The lines naming a job's input: for a CSV file its path, size, time and a fingerprint of its
// bytes; for an OPUS folder its files' count, total size and latest time. Taken before the job
// reads the input (it forgets where the input came from once read).
std::string shard_input_identity(const JobSettings& settings);

// The manifest's text: "veldra shard manifest 1", then "key: value" lines; the lines "shard:",
// "samples:" and "file:" differ between the parts of one run, every other line is the same.
// `files` are the outputs the shard wrote, by name within the output folder.
std::string shard_manifest_text(const JobSettings& settings, const std::string& input_identity,
                                const ShardSamples& samples, const std::vector<std::string>& files);

// 64-bit FNV-1a of a file's bytes as 16 hex digits; "none" when it cannot be read. Files larger
// than `limit_bytes` are fingerprinted by their size and first `limit_bytes` bytes.
std::string file_fingerprint(const std::string& path, std::size_t limit_bytes = 16u << 20);

} // namespace veldra
