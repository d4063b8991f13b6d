#pragma once

#include <cstdint>

namespace veldra::bench {

// Largest resident memory of this process so far, in bytes (0 where the platform cannot say).
std::uint64_t peak_memory_bytes();

} // namespace veldra::bench
