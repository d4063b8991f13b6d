#include "bart/compiled_forests.h"

#include "bart/little_endian.h"
#include "text/placed_file.h"
#include "text/platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include <boost/crc.hpp>
#include <boost/filesystem/operations.hpp>

// Compilers for x86 processors that can compile a function for the CRC instructions and ask the
// processor whether it has them.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define VELDRA_CRC_INSTRUCTIONS 1
#endif

namespace veldra {

namespace fs = boost::filesystem;

namespace {

// The format's name, padded with zeros to 32 bytes; then the fingerprint, the forest count and
// four zero bytes: every entry starts 8-byte aligned, and so does every forest.
constexpr std::string_view magic = "veldra compiled forests 2\n";
constexpr std::size_t magic_bytes = 32;
constexpr std::size_t header_bytes = magic_bytes + 16;
constexpr std::size_t largest_name_bytes = 4096;

std::size_t padded(std::size_t size) {
    return (size + 7) / 8 * 8;
}

void put_u32(std::string& out, std::uint32_t value) {
    char bytes[4];
    store_little_endian(bytes, value);
    out.append(bytes, 4);
}

void put_u64(std::string& out, std::uint64_t value) {
    char bytes[8];
    store_little_endian(bytes, value);
    out.append(bytes, 8);
}

std::uint64_t get_u64(const char* bytes) {
    return load_little_endian<std::uint64_t>(bytes);
}

// The CRC-32C of each of four interleaved streams of 8-byte words, the last words and bytes in
// the first stream: a flip of any bit changes its stream's CRC. With the processor's CRC
// instructions (x86 with SSE 4.2) eight bytes take one step; elsewhere the same CRCs are made a
// byte at a time by Boost's table-driven CRC.
using Crc32c = boost::crc_optimal<32, 0x1EDC6F41, 0, 0, true, true>;

std::uint64_t combined(const std::uint32_t streams[4], std::size_t size) {
    std::uint64_t total = size;
    for (int s = 0; s < 4; ++s) {
        total = (total ^ streams[s]) * 0x100000001b3ULL;
        total ^= total >> 29;
    }
    return total;
}

std::uint64_t checksum_by_table(std::string_view bytes) {
    Crc32c engines[4];
    std::size_t at = 0;
    for (; at + 32 <= bytes.size(); at += 32) {
        for (int s = 0; s < 4; ++s) {
            engines[s].process_bytes(bytes.data() + at + 8 * s, 8);
        }
    }
    engines[0].process_bytes(bytes.data() + at, bytes.size() - at);
    const std::uint32_t streams[4] = {engines[0].checksum(), engines[1].checksum(),
                                      engines[2].checksum(), engines[3].checksum()};
    return combined(streams, bytes.size());
}

#if defined(VELDRA_CRC_INSTRUCTIONS)
__attribute__((target("sse4.2"))) std::uint64_t checksum_by_instructions(std::string_view bytes) {
    std::uint64_t streams[4] = {0, 0, 0, 0};
    std::size_t at = 0;
    for (; at + 32 <= bytes.size(); at += 32) {
        for (int s = 0; s < 4; ++s) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes.data() + at + 8 * s, 8);
            streams[s] = __builtin_ia32_crc32di(streams[s], word);
        }
    }
    std::uint32_t narrow[4];
    for (int s = 0; s < 4; ++s) {
        narrow[s] = static_cast<std::uint32_t>(streams[s]);
    }
    for (; at < bytes.size(); ++at) {
        narrow[0] = __builtin_ia32_crc32qi(narrow[0], static_cast<unsigned char>(bytes[at]));
    }
    return combined(narrow, bytes.size());
}
#endif

} // namespace

std::uint64_t compiled_checksum(std::string_view bytes, bool crc_instructions) {
#if defined(VELDRA_CRC_INSTRUCTIONS)
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.2") != 0;
    }();
    if (crc_instructions && available) {
        return checksum_by_instructions(bytes);
    }
#else
    static_cast<void>(crc_instructions);
#endif
    return checksum_by_table(bytes);
}

namespace {

std::uint64_t checksum(std::string_view bytes) {
    return compiled_checksum(bytes, true);
}

// The file's checksum: that of its header and of each entry in turn, folded in order, so that
// the entries' sums can be made on several threads as they are read.
std::uint64_t folded(const std::vector<std::uint64_t>& sums) {
    std::uint64_t total = 0x9e3779b97f4a7c15ULL;
    for (const std::uint64_t sum : sums) {
        total = (total ^ sum) * 0x100000001b3ULL;
        total ^= total >> 29;
    }
    return total;
}

} // namespace

namespace {

// Hands the file's bytes to `sink` a piece at a time (the header, each entry, the checksum), each
// piece made in the same buffer: no copy of the whole file is ever held.
template <typename Sink>
void emit_compiled_forests(const std::vector<std::string>& names,
                           const std::vector<FlatForest>& forests,
                           const std::vector<std::size_t>& missing_subtrees,
                           std::uint64_t fingerprint, Sink&& sink) {
    std::string piece(magic);
    piece.resize(magic_bytes, '\0');
    put_u64(piece, fingerprint);
    put_u32(piece, static_cast<std::uint32_t>(forests.size()));
    put_u32(piece, 0);
    std::vector<std::uint64_t> sums{checksum(piece)};
    sink(piece);
    for (std::size_t i = 0; i < forests.size(); ++i) {
        piece.clear();
        put_u32(piece, static_cast<std::uint32_t>(names[i].size()));
        put_u32(piece, 0);
        piece += names[i];
        piece.resize(padded(piece.size()), '\0');
        put_u64(piece, missing_subtrees[i]);
        forests[i].append_to(piece);
        sums.push_back(checksum(piece));
        sink(piece);
    }
    piece.clear();
    put_u64(piece, folded(sums));
    sink(piece);
}

// Writes to `path` through a file of a name of this process beside it, renamed into place, so
// that a reader never sees a partial file; false, leaving nothing, when it cannot.
template <typename Write>
bool write_whole_or_nothing(const std::string& path, const std::string& partial, Write&& write) {
    {
        std::ofstream out(native_path(partial), std::ios::binary | std::ios::trunc);
        write(out);
        out.close();
        if (!out) {
            boost::system::error_code ignored;
            fs::remove(partial, ignored);
            return false;
        }
    }
    std::error_code error;
    place_file(partial, path, error);
    if (error) {
        boost::system::error_code ignored;
        fs::remove(partial, ignored);
        return false;
    }
    return true;
}

} // namespace

std::string compiled_forests_bytes(const std::vector<std::string>& names,
                                   const std::vector<FlatForest>& forests,
                                   const std::vector<std::size_t>& missing_subtrees,
                                   std::uint64_t fingerprint) {
    std::string out;
    emit_compiled_forests(names, forests, missing_subtrees, fingerprint,
                          [&out](const std::string& piece) { out += piece; });
    return out;
}

bool write_compiled_forests(const std::string& path, const std::string& partial,
                            const std::vector<std::string>& names,
                            const std::vector<FlatForest>& forests,
                            const std::vector<std::size_t>& missing_subtrees,
                            std::uint64_t fingerprint) {
    return write_whole_or_nothing(path, partial, [&](std::ofstream& out) {
        emit_compiled_forests(
            names, forests, missing_subtrees, fingerprint, [&out](const std::string& piece) {
                out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
            });
    });
}

namespace {

// Each entry's place in the body, and where its forest starts within it, with its file's name
// and notices: every length checked against the bytes that remain. "" when all hold, else what
// does not.
std::string index_entries(std::string_view rest, std::size_t count, std::vector<std::string>& names,
                          std::vector<std::size_t>& missing, std::vector<std::string_view>& entries,
                          std::vector<std::size_t>& forests) {
    // Each entry takes at least 32 bytes: no count reserves more than the bytes allow.
    if (count > rest.size() / 32) {
        return "damaged (its forest count exceeds its size)";
    }
    names.reserve(count);
    missing.reserve(count);
    entries.reserve(count);
    forests.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (rest.size() < 8) {
            return "damaged (a file name)";
        }
        const std::uint64_t length = load_little_endian<std::uint32_t>(rest.data());
        const std::size_t name_end = 8 + padded(static_cast<std::size_t>(length));
        if (length > largest_name_bytes || rest.size() < name_end) {
            return "damaged (a file name)";
        }
        names.emplace_back(rest.substr(8, length));
        const std::size_t forest = name_end + 8;
        if (rest.size() < forest + 16) {
            return "damaged (the forest of " + names.back() + ")";
        }
        missing.push_back(get_u64(rest.data() + name_end));
        const std::uint64_t nodes = load_little_endian<std::uint32_t>(rest.data() + forest + 4);
        const std::uint64_t trees = load_little_endian<std::uint32_t>(rest.data() + forest + 8);
        const std::uint64_t size = forest + 16 + nodes * 24 + trees * 8; // under 2^38
        if (size > rest.size()) {
            return "damaged (the forest of " + names.back() + ")";
        }
        entries.push_back(rest.substr(0, size));
        forests.push_back(forest);
        rest.remove_prefix(size);
    }
    return rest.empty() ? std::string() : "damaged (bytes after its forests)";
}

} // namespace

std::optional<CompiledFile> CompiledFile::index(std::string_view bytes,
                                                std::shared_ptr<const void> storage,
                                                std::uint64_t fingerprint, std::string& why) {
    if (bytes.size() < header_bytes + 8 || bytes.substr(0, magic.size()) != magic ||
        bytes.substr(magic.size(), magic_bytes - magic.size()).find_first_not_of('\0') !=
            std::string_view::npos) {
        why = "not a compiled model of this version";
        return std::nullopt;
    }
    // Other draws are told from the header alone: a stale file costs nothing more.
    if (get_u64(bytes.data() + magic_bytes) != fingerprint) {
        why = "made from other draw files";
        return std::nullopt;
    }
    const std::string_view body = bytes.substr(0, bytes.size() - 8);
    CompiledFile file;
    file.recorded_ = get_u64(bytes.data() + body.size());
    why = load_little_endian<std::uint32_t>(body.data() + magic_bytes + 12) != 0
              ? "damaged (its header)"
              : index_entries(body.substr(header_bytes),
                              load_little_endian<std::uint32_t>(body.data() + magic_bytes + 8),
                              file.names_, file.missing_subtrees_, file.entries_,
                              file.forest_starts_);
    if (!why.empty()) {
        return std::nullopt;
    }
    file.sums_.assign(file.entries_.size() + 1, 0);
    file.sums_[0] = checksum(body.substr(0, header_bytes));
    file.storage_ = std::move(storage);
    file.storage_bytes_ = bytes.size();
    return file;
}

bool CompiledFile::read(std::size_t i, FlatForest& forest) {
    sums_[i + 1] = checksum(entries_[i]);
    std::string_view bytes = entries_[i].substr(forest_starts_[i]);
    return forest.read_from(bytes, true) && bytes.empty();
}

bool CompiledFile::sum_holds() const {
    return folded(sums_) == recorded_;
}

namespace {

// Every forest of the file read, on two threads, each entry's sum made while its bytes are in
// the cache.
std::optional<CompiledForests> read_every_forest(CompiledFile file, std::string& why) {
    const std::size_t count = file.size();
    std::vector<FlatForest> forests(count);
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failed{count}; // the first forest that is not one
    const auto read_forests = [&] {
        for (std::size_t i = next++; i < count; i = next++) {
            if (!file.read(i, forests[i])) {
                std::size_t seen = failed.load();
                while (i < seen && !failed.compare_exchange_weak(seen, i)) {
                }
            }
        }
    };
    if (count > 1 && std::thread::hardware_concurrency() > 1) {
        std::thread helper(read_forests);
        read_forests();
        helper.join();
    } else {
        read_forests();
    }
    if (!file.sum_holds()) {
        why = "damaged (its checksum differs)";
        return std::nullopt;
    }
    if (failed < count) {
        why = "damaged (the forest of " + file.names()[failed] + ")";
        return std::nullopt;
    }
    CompiledForests compiled;
    compiled.names = file.names();
    compiled.missing_subtrees = file.missing_subtrees();
    compiled.forests = std::move(forests);
    compiled.storage = file.storage();
    compiled.storage_bytes = file.storage_bytes();
    return compiled;
}

} // namespace

std::optional<CompiledForests> parse_compiled_forests(std::string_view bytes,
                                                      std::uint64_t fingerprint, std::string& why) {
    // A copy at an address aligned for the nodes, kept by the forests.
    std::shared_ptr<std::uint64_t[]> copy(new std::uint64_t[bytes.size() / 8 + 1]);
    if (!bytes.empty()) {
        std::memcpy(copy.get(), bytes.data(), bytes.size());
    }
    const std::string_view aligned(reinterpret_cast<const char*>(copy.get()), bytes.size());
    std::optional<CompiledFile> file = CompiledFile::index(
        aligned, std::shared_ptr<const void>(copy, copy.get()), fingerprint, why);
    return file ? read_every_forest(std::move(*file), why) : std::nullopt;
}

std::optional<CompiledFile> open_compiled_file(const std::string& path, std::uint64_t fingerprint,
                                               std::string& why) {
    std::shared_ptr<const WholeFile> file = WholeFile::read(path, largest_compiled_bytes, why);
    if (!file) {
        return std::nullopt;
    }
    const std::string_view bytes(file->data(), file->size());
    return CompiledFile::index(bytes, std::shared_ptr<const void>(file, file.get()), fingerprint,
                               why);
}

std::optional<CompiledForests> read_compiled_forests(const std::string& path,
                                                     std::uint64_t fingerprint, std::string& why) {
    std::optional<CompiledFile> file = open_compiled_file(path, fingerprint, why);
    return file ? read_every_forest(std::move(*file), why) : std::nullopt;
}

bool write_compiled_forests(const std::string& path, const std::string& partial,
                            const std::string& bytes) {
    return write_whole_or_nothing(path, partial, [&bytes](std::ofstream& out) {
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    });
}

} // namespace veldra
