#include "job/shard_merge.h"

#include "job/output_names.h"
#include "text/placed_file.h"
#include "text/platform.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void refuse(const std::string& reason) {
    throw std::runtime_error(reason);
}

// A manifest as read: the lines that name the run, and the part's own shard, samples and files.
struct Manifest {
    std::vector<std::string> run_lines;
    std::string shard;
    std::string samples;
    std::vector<std::string> files;
    std::string input_samples; // "samples of the input"
};

// The value of a line "key: value" into `value`; false for a line of another key.
bool take(const std::string& line, const char* key, std::string& value) {
    const std::string prefix = std::string(key) + ": ";
    if (line.rfind(prefix, 0) != 0) {
        return false;
    }
    value = line.substr(prefix.size());
    return true;
}

Manifest read_manifest(const std::string& path) {
    std::ifstream in(native_path(path), std::ios::binary);
    std::string text(largest_manifest_bytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > largest_manifest_bytes) {
        refuse(path + " is larger than a shard manifest can be");
    }
    Manifest manifest;
    std::size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            if (line != "veldra shard manifest 1") {
                refuse(path + " is not a shard manifest");
            }
            first = false;
        }
        if (!take(line, "shard", manifest.shard) && !take(line, "samples", manifest.samples)) {
            std::string file;
            if (take(line, "file", file)) {
                manifest.files.push_back(file);
            } else {
                take(line, "samples of the input", manifest.input_samples);
                manifest.run_lines.push_back(line);
            }
        }
    }
    if (first) {
        refuse(path + " is not a shard manifest");
    }
    return manifest;
}

bool whole_number(const std::string& text, std::size_t& value) {
    const char* end = text.data() + text.size();
    return !text.empty() && text[0] != '0' && std::from_chars(text.data(), end, value).ptr == end;
}

// "first to last" of a manifest's samples.
std::pair<std::size_t, std::size_t> sample_range(const std::string& samples,
                                                 const std::string& path) {
    const std::size_t to = samples.find(" to ");
    std::size_t first = 0;
    std::size_t last = 0;
    if (to == std::string::npos || !whole_number(samples.substr(0, to), first) ||
        !whole_number(samples.substr(to + 4), last)) {
        refuse(path + " is not a shard manifest");
    }
    return {first, last};
}

// The first line where two parts' run lines differ, as the two lines.
std::string run_difference(const Manifest& first, const Manifest& other) {
    const std::size_t n = std::max(first.run_lines.size(), other.run_lines.size());
    for (std::size_t j = 0; j < n; ++j) {
        const std::string* a = j < first.run_lines.size() ? &first.run_lines[j] : nullptr;
        const std::string* b = j < other.run_lines.size() ? &other.run_lines[j] : nullptr;
        if (!a || !b || *a != *b) {
            return std::string("\n< ") + (a ? *a : "(nothing)") + "\n> " + (b ? *b : "(nothing)");
        }
    }
    return "";
}

// Refuses a manifest of the same stem and N whose K is not one of 1..N.
void refuse_extra_parts(const fs::path& folder, const std::string& stem, std::size_t shards) {
    boost::system::error_code error;
    for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::optional<std::string> number = shard_manifest_number(name, stem, shards);
        if (!number) {
            continue;
        }
        std::size_t k = 0;
        if (!whole_number(*number, k) || k > shards) {
            refuse("an extra part lies beside the " + std::to_string(shards) +
                   " parts: " + (folder / name).string());
        }
    }
}

// Copies a part's bytes to `out`, without its first line unless `header`.
void append_part(const std::string& path, std::ofstream& out, bool header) {
    std::ifstream in(native_path(path), std::ios::binary);
    if (!in) {
        refuse("missing " + path);
    }
    if (!header) {
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    std::vector<char> buffer(1u << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        out.write(buffer.data(), in.gcount());
    }
}

} // namespace

std::vector<std::string> merge_shards(const std::string& output_path, std::size_t shards) {
    if (shards < 1) {
        refuse("N must be a whole number from 1, not 0");
    }
    const fs::path folder = fs::path(output_path).parent_path();
    const std::string stem = output_stem(output_path);
    refuse_extra_parts(folder, stem, shards);

    std::vector<Manifest> parts;
    std::size_t next = 1;
    for (std::size_t k = 1; k <= shards; ++k) {
        const std::string path = shard_manifest_path(output_path, k, shards);
        const std::string part = "part " + std::to_string(k);
        if (!fs::is_regular_file(path)) {
            refuse(part + " of " + std::to_string(shards) + " is missing or did not finish: no " +
                   path);
        }
        Manifest manifest = read_manifest(path);
        if (manifest.shard != std::to_string(k) + " of " + std::to_string(shards)) {
            refuse(path + " is not the manifest of " + part + " of " + std::to_string(shards));
        }
        if (k > 1 && manifest.run_lines != parts.front().run_lines) {
            refuse(part +
                   " is not of the same run as part 1:" + run_difference(parts.front(), manifest));
        }
        const auto [first, last] = sample_range(manifest.samples, path);
        if (first != next) {
            refuse(part + " starts at sample " + std::to_string(first) +
                   "; the parts before it end at sample " + std::to_string(next - 1));
        }
        next = last + 1;
        // Each file by what follows the part's own stem: the same for every part.
        const std::string own = shard_stem(output_path, k, shards);
        for (std::string& file : manifest.files) {
            if (file.rfind(own, 0) != 0) {
                refuse(path + " lists a file not named for its part: " + file);
            }
            file = file.substr(own.size());
        }
        if (k > 1 && manifest.files != parts.front().files) {
            refuse(part + " lists other files than part 1");
        }
        parts.push_back(std::move(manifest));
    }
    if (std::to_string(next - 1) != parts.front().input_samples) {
        refuse("the parts end at sample " + std::to_string(next - 1) + "; the input holds " +
               parts.front().input_samples);
    }
    for (const std::string& suffix : parts.front().files) {
        for (std::size_t k = 1; k <= shards; ++k) {
            const fs::path part = folder / (shard_stem(output_path, k, shards) + suffix);
            if (!fs::is_regular_file(part)) {
                refuse("missing " + part.string());
            }
        }
    }

    std::vector<std::string> written;
    for (const std::string& suffix : parts.front().files) {
        const std::string target = (folder / (stem + suffix)).string();
        const std::string partial = (folder / ("." + stem + suffix + ".merging")).string();
        {
            std::ofstream out(native_path(partial), std::ios::binary | std::ios::trunc);
            for (std::size_t k = 1; k <= shards; ++k) {
                append_part((folder / (shard_stem(output_path, k, shards) + suffix)).string(), out,
                            k == 1);
            }
            if (!out.flush()) {
                out.close();
                boost::system::error_code ignored;
                fs::remove(partial, ignored);
                refuse("Writing to file failed: " + target);
            }
        }
        std::error_code placing;
        place_file(partial, target, placing);
        if (placing) {
            boost::system::error_code ignored;
            fs::remove(partial, ignored);
            refuse("Writing to file failed: " + target);
        }
        written.push_back(target);
    }
    return written;
}

} // namespace veldra
