// Arbitrary bytes as a compiled model, and as one flat forest of it read in place. The fingerprint
// is taken from where the header keeps it, so that inputs reach the checksum; bytes read as a
// forest (the checksum aside) are evaluated on a row as long as the forest asks, where the
// sanitizers see any read outside it.
#include "bart/compiled_forests.h"
#include "bart/flat_forest.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    constexpr std::size_t header = 32; // "veldra compiled forests 2\n" and its padding
    std::uint64_t fingerprint = 0;
    for (std::size_t k = 0; k < 8 && header + k < size; ++k) {
        fingerprint |= static_cast<std::uint64_t>(data[header + k]) << (8 * k);
    }
    std::string why;
    const std::optional<veldra::CompiledForests> compiled =
        veldra::parse_compiled_forests(bytes, fingerprint, why);
    if (compiled) {
        for (const veldra::FlatForest& forest : compiled->forests) {
            const std::vector<double> row(
                static_cast<std::size_t>(forest.largest_split_variable()) + 1, 0.25);
            if (row.size() <= 100000) {
                static_cast<void>(forest.predict(row, false));
            }
        }
    }
    // As one forest, evaluated where it lies: the bytes at an address aligned for its nodes.
    std::vector<std::uint64_t> aligned(size / 8 + 1);
    if (size > 0) {
        std::memcpy(aligned.data(), data, size);
    }
    veldra::FlatForest forest;
    std::string_view rest(reinterpret_cast<const char*>(aligned.data()), size);
    if (forest.read_from(rest, true) && forest.largest_split_variable() < 100000) {
        const std::vector<double> row(static_cast<std::size_t>(forest.largest_split_variable()) + 1,
                                      -0.5);
        static_cast<void>(forest.predict(row, true));
    }
    return 0;
}
