#pragma once

#include "bart/flat_forest.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {

// The flat forests of all of a model's draw files in one file, read in one go instead of a
// document per draw. Only a cache: it records a fingerprint of the draw files it was made from
// and is used only while they still have it; a file that is damaged, foreign or of other draws
// is ignored and the draws are read instead.
struct CompiledForests {
    std::vector<std::string> names;            // each draw file's name, in their order
    std::vector<FlatForest> forests;           // built as the draw files' readers build them
    std::vector<std::size_t> missing_subtrees; // the notices each file's reading gave
    // The bytes the forests are evaluated in (the file read whole, or a copy), kept while they
    // are, and their size.
    std::shared_ptr<const void> storage;
    std::size_t storage_bytes = 0;
};

// The largest compiled file read: larger ones are ignored.
constexpr std::uint64_t largest_compiled_bytes = std::uint64_t{2} << 30;

// The file's bytes: a header naming the format and `fingerprint`, every forest with its file's
// name and notices, each 8-byte aligned and in the form evaluation reads, then a checksum of
// everything before it.
std::string compiled_forests_bytes(const std::vector<std::string>& names,
                                   const std::vector<FlatForest>& forests,
                                   const std::vector<std::size_t>& missing_subtrees,
                                   std::uint64_t fingerprint);

// The checksum such a file keeps of its pieces: the same value whether made with the
// processor's CRC instructions, where it has them and `crc_instructions` asks for them, or
// without.
std::uint64_t compiled_checksum(std::string_view bytes, bool crc_instructions = true);

// The forests of such bytes made from draw files of `fingerprint`; nothing, and in `why` the
// reason, for bytes of another format or version, other draws, a wrong checksum, or any size,
// link or name that does not hold.
std::optional<CompiledForests> parse_compiled_forests(std::string_view bytes,
                                                      std::uint64_t fingerprint, std::string& why);

// A compiled model's bytes with their header checked and their entries found, the forests not yet
// read: each is checked and read where it lies when it is first needed, and the file's checksum
// is known once all were read. Copies share the bytes.
class CompiledFile {
public:
    // The index of such bytes, which `storage` keeps (8-byte aligned), made from draw files of
    // `fingerprint`; nothing, and why, as for `parse_compiled_forests`, when the header or an
    // entry's length does not hold.
    static std::optional<CompiledFile> index(std::string_view bytes,
                                             std::shared_ptr<const void> storage,
                                             std::uint64_t fingerprint, std::string& why);

    std::size_t size() const { return entries_.size(); }
    const std::vector<std::string>& names() const { return names_; }
    const std::vector<std::size_t>& missing_subtrees() const { return missing_subtrees_; }
    const std::shared_ptr<const void>& storage() const { return storage_; }
    std::size_t storage_bytes() const { return storage_bytes_; }

    // Makes the sum of entry `i` and reads its forest where it lies (FlatForest::read_from,
    // borrowing): false when the bytes are not a forest. Entries may be read on several threads
    // at once, each by one.
    bool read(std::size_t i, FlatForest& forest);
    // Once every entry was read: whether their sums give the file's checksum.
    bool sum_holds() const;

private:
    std::vector<std::string> names_;
    std::vector<std::size_t> missing_subtrees_;
    std::vector<std::string_view> entries_;
    std::vector<std::size_t> forest_starts_; // where each entry's forest starts in it
    std::vector<std::uint64_t> sums_;        // the header's, then each entry's once read
    std::uint64_t recorded_ = 0;
    std::shared_ptr<const void> storage_;
    std::size_t storage_bytes_ = 0;
};

// The index of a compiled model's file, mapped into memory; nothing (and why) when it is absent,
// unreadable, larger than its bound, or its header or index do not hold.
std::optional<CompiledFile> open_compiled_file(const std::string& path, std::uint64_t fingerprint,
                                               std::string& why);

// The same for a file, mapped into memory and evaluated where it lies; nothing (and why) when it
// is absent, unreadable or larger than its bound. The programs replace such a file only by
// renaming a new one into place, never by writing into it.
std::optional<CompiledForests> read_compiled_forests(const std::string& path,
                                                     std::uint64_t fingerprint, std::string& why);

// Writes the bytes to `path` through `partial` beside it (a name of this writer's own, which the
// model folder's owner makes), placed when complete (`place_file`), so that a reader never sees
// a partial file; false, leaving nothing, when it cannot.
bool write_compiled_forests(const std::string& path, const std::string& partial,
                            const std::string& bytes);
// The same for the bytes `compiled_forests_bytes` gives, written a forest at a time.
bool write_compiled_forests(const std::string& path, const std::string& partial,
                            const std::vector<std::string>& names,
                            const std::vector<FlatForest>& forests,
                            const std::vector<std::size_t>& missing_subtrees,
                            std::uint64_t fingerprint);

} // namespace veldra
