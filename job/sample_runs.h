#pragma once

#include "text/runs.h"

#include <algorithm>
#include <cstddef>
#include <thread>

namespace veldra {

// Shares the samples [0, `samples`) out in runs of neighbours, one per thread, and calls
// `run(first, last)` for each: on `threads` threads (0: one per core), but one thread per 32
// samples at most, so that a small block is not worth a thread. Work whose result for a sample
// depends on that sample alone gives the same result on any number. The first error of a run
// is raised after every run has ended.
template <class Run>
void for_sample_runs(std::size_t samples, unsigned threads, const Run& run) {
    const std::size_t wanted = threads != 0 ? threads : std::thread::hardware_concurrency();
    for_runs(samples, std::max<std::size_t>(1, std::min(wanted, samples / 32)), run);
}

} // namespace veldra
