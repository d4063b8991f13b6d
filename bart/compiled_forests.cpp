#include "bart/compiled_forests.h"

#include "bart/little_endian.h"
#include "text/platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

constexpr std::string_view magic = "veldra compiled forests 1\n";
constexpr std::size_t largest_name_bytes = 4096;

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

// Takes a little-endian integer of `width` bytes from the front of `bytes`; false when fewer
// remain.
bool take(std::string_view& bytes, std::size_t width, std::uint64_t& value) {
    if (bytes.size() < width) {
        return false;
    }
    value = 0;
    for (std::size_t k = width; k-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[k]);
    }
    bytes.remove_prefix(width);
    return true;
}

// A checksum of the bytes, eight at a time in four independent chains (a bit flip anywhere
// changes it), fast enough that checking a model costs little beside reading it.
std::uint64_t checksum(std::string_view bytes) {
    constexpr std::uint64_t prime = 0x100000001b3ULL;
    std::uint64_t chain[4] = {0xcbf29ce484222325ULL, 0x84222325cbf29ce4ULL, 0x9e3779b97f4a7c15ULL,
                              0x7f4a7c159e3779b9ULL};
    std::size_t at = 0;
    for (; at + 32 <= bytes.size(); at += 32) {
        for (int c = 0; c < 4; ++c) {
            chain[c] = (chain[c] ^ get_u64(bytes.data() + at + 8 * c)) * prime;
            chain[c] ^= chain[c] >> 29;
        }
    }
    std::uint64_t total = bytes.size();
    for (; at < bytes.size(); ++at) {
        total = (total ^ static_cast<unsigned char>(bytes[at])) * prime;
    }
    for (const std::uint64_t value : chain) {
        total = (total ^ value) * prime;
        total ^= total >> 31;
    }
    return total;
}

} // namespace

std::string compiled_forests_bytes(const std::vector<std::string>& names,
                                   const std::vector<FlatForest>& forests,
                                   const std::vector<std::size_t>& missing_subtrees,
                                   std::uint64_t fingerprint) {
    std::string out(magic);
    put_u64(out, fingerprint);
    put_u32(out, static_cast<std::uint32_t>(forests.size()));
    for (std::size_t i = 0; i < forests.size(); ++i) {
        put_u32(out, static_cast<std::uint32_t>(names[i].size()));
        out += names[i];
        put_u64(out, missing_subtrees[i]);
        forests[i].append_to(out);
    }
    put_u64(out, checksum(out));
    return out;
}

namespace {

// Where each forest of the body lies, with its file's name and notices: every length checked
// against the bytes that remain. "" when all hold, else what does not.
std::string index_forests(std::string_view rest, CompiledForests& compiled,
                          std::vector<std::string_view>& pieces) {
    std::uint64_t count = 0;
    take(rest, 4, count);
    // Each forest takes at least 24 bytes: no count reserves more than the bytes allow.
    if (count > rest.size() / 24) {
        return "damaged (its forest count exceeds its size)";
    }
    compiled.names.reserve(count);
    compiled.missing_subtrees.reserve(count);
    pieces.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t length = 0;
        std::uint64_t missing = 0;
        if (!take(rest, 4, length) || length > largest_name_bytes || rest.size() < length) {
            return "damaged (a file name)";
        }
        compiled.names.emplace_back(rest.substr(0, length));
        rest.remove_prefix(length);
        if (!take(rest, 8, missing) || rest.size() < 12) {
            return "damaged (the forest of " + compiled.names.back() + ")";
        }
        compiled.missing_subtrees.push_back(missing);
        const std::uint64_t nodes = load_little_endian<std::uint32_t>(rest.data() + 4);
        const std::uint64_t trees = load_little_endian<std::uint32_t>(rest.data() + 8);
        const std::uint64_t size = 12 + nodes * 20 + trees * 8; // at most 12 + 2^32 * 28
        if (size > rest.size()) {
            return "damaged (the forest of " + compiled.names.back() + ")";
        }
        pieces.push_back(rest.substr(0, size));
        rest.remove_prefix(size);
    }
    return rest.empty() ? std::string() : "damaged (bytes after its forests)";
}

} // namespace

std::optional<CompiledForests> parse_compiled_forests(std::string_view bytes,
                                                      std::uint64_t fingerprint, std::string& why) {
    if (bytes.size() < magic.size() + 20 || bytes.substr(0, magic.size()) != magic) {
        why = "not a compiled model of this version";
        return std::nullopt;
    }
    // Other draws are told from the header alone: a stale file costs nothing more.
    if (get_u64(bytes.data() + magic.size()) != fingerprint) {
        why = "made from other draw files";
        return std::nullopt;
    }
    const std::string_view body = bytes.substr(0, bytes.size() - 8);
    const std::uint64_t recorded = get_u64(bytes.data() + body.size());
    CompiledForests compiled;
    std::vector<std::string_view> pieces;
    const std::string problem = index_forests(body.substr(magic.size() + 8), compiled, pieces);
    // The forests are read on two threads, one of them first checking the sum of the bytes.
    compiled.forests.resize(pieces.size());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> failed{pieces.size()}; // the first forest that is not one
    const auto fail = [&failed](std::size_t i) {
        std::size_t seen = failed.load();
        while (i < seen && !failed.compare_exchange_weak(seen, i)) {
        }
    };
    const auto read_forests = [&] {
        for (std::size_t i = next++; i < pieces.size(); i = next++) {
            try {
                std::string_view piece = pieces[i];
                if (!compiled.forests[i].read_from(piece) || !piece.empty()) {
                    fail(i);
                }
            } catch (const std::exception&) { // out of memory: as bytes that are not a forest
                fail(i);
            }
        }
    };
    bool sum_holds = false;
    if (problem.empty() && pieces.size() > 1 && std::thread::hardware_concurrency() > 1) {
        std::thread helper([&] {
            sum_holds = checksum(body) == recorded;
            read_forests();
        });
        read_forests();
        helper.join();
    } else {
        sum_holds = checksum(body) == recorded;
        if (problem.empty()) {
            read_forests();
        }
    }
    if (!sum_holds) {
        why = "damaged (its checksum differs)";
        return std::nullopt;
    }
    if (!problem.empty() || failed < pieces.size()) {
        why = !problem.empty() ? problem : "damaged (the forest of " + compiled.names[failed] + ")";
        return std::nullopt;
    }
    return compiled;
}

std::optional<CompiledForests> read_compiled_forests(const std::string& path,
                                                     std::uint64_t fingerprint, std::string& why) {
    boost::system::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || !fs::is_regular_file(path, error)) {
        why = "absent";
        return std::nullopt;
    }
    if (size > largest_compiled_bytes) {
        why = "larger than its bound";
        return std::nullopt;
    }
    std::ifstream in(native_path(path), std::ios::binary);
    // Not filled first: every byte is read into it, or the file is refused.
    const std::unique_ptr<char[]> bytes(new char[static_cast<std::size_t>(size) + 1]);
    in.read(bytes.get(), static_cast<std::streamsize>(size + 1));
    if (static_cast<std::uintmax_t>(in.gcount()) != size) {
        why = "changed while it was read";
        return std::nullopt;
    }
    return parse_compiled_forests(std::string_view(bytes.get(), static_cast<std::size_t>(size)),
                                  fingerprint, why);
}

bool write_compiled_forests(const std::string& path, const std::string& bytes) {
    // A name of this process and call: two writers of one model never share a partial file.
    static std::atomic<unsigned> calls{0};
    const std::string partial =
        path + ".partial-" + std::to_string(current_process_id()) + "-" + std::to_string(calls++);
    {
        std::ofstream out(native_path(partial), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            boost::system::error_code ignored;
            fs::remove(partial, ignored);
            return false;
        }
    }
    boost::system::error_code error;
    fs::rename(partial, path, error);
    if (error) {
        fs::remove(partial, error);
        return false;
    }
    return true;
}

} // namespace veldra
