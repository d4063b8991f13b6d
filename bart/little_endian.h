#pragma once

#include <cstdint>
#include <cstring>

namespace veldra {

// Little-endian integers in byte buffers, whatever the processor: one load or store on the
// little-endian processors the programs run on, bytes swapped on others.
template <typename Integer>
Integer as_little_endian(Integer value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if constexpr (sizeof value == 8) {
        return __builtin_bswap64(value);
    } else {
        return __builtin_bswap32(value);
    }
#else
    return value;
#endif
}

template <typename Integer>
Integer load_little_endian(const char* at) {
    Integer value;
    std::memcpy(&value, at, sizeof value);
    return as_little_endian(value);
}

template <typename Integer>
void store_little_endian(char* at, Integer value) {
    value = as_little_endian(value);
    std::memcpy(at, &value, sizeof value);
}

} // namespace veldra
