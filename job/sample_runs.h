#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace veldra {

// Shares the samples [0, `samples`) out in runs of neighbours, one per thread, and calls
// `run(first, last)` for each: on `threads` threads (0: one per core), but one thread per 32
// samples at most, so that a small block is not worth a thread. Work whose result for a sample
// depends on that sample alone gives the same result on any number. The first error of a run
// is raised after every run has ended.
template <class Run>
void for_sample_runs(std::size_t samples, unsigned threads, const Run& run) {
    const std::size_t wanted = threads != 0 ? threads : std::thread::hardware_concurrency();
    const std::size_t workers = std::max<std::size_t>(1, std::min(wanted, samples / 32));
    std::vector<std::exception_ptr> errors(workers);
    const auto guarded = [&](std::size_t w) {
        try {
            run(samples * w / workers, samples * (w + 1) / workers);
        } catch (...) {
            errors[w] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (std::size_t w = 1; w < workers; ++w) {
        helpers.emplace_back(guarded, w);
    }
    guarded(0);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

} // namespace veldra
