#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace veldra {

// Shares the items [0, `items`) out in `workers` runs of neighbours and calls `run(first, last)`
// for each, the first run on the calling thread and the others on threads of their own. A run
// ends at its first error; once every run has ended, the error of the earliest run is raised, as
// doing the items in turn would have raised it.
template <class Run>
void for_runs(std::size_t items, std::size_t workers, const Run& run) {
    if (workers == 0) {
        workers = 1;
    }
    std::vector<std::exception_ptr> errors(workers);
    const auto guarded = [&](std::size_t w) {
        try {
            run(items * w / workers, items * (w + 1) / workers);
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
