#include "text/runs.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

// Every item is done once, in runs of neighbours; with errors in several runs the earliest run's
// error is raised, and only after every run has ended (the last run fails at once, the first
// only after the others are done).
TEST(Runs, EveryItemOnceAndTheEarliestRunsErrorRaised) {
    for (const std::size_t workers : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        std::vector<std::atomic<int>> done(10);
        for_runs(done.size(), workers, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                ++done[i];
            }
        });
        for (const std::atomic<int>& count : done) {
            EXPECT_EQ(count.load(), 1) << workers << " workers";
        }
    }
    std::atomic<int> ended{0};
    try {
        for_runs(9, 3, [&](std::size_t first, std::size_t) {
            if (first == 0) {
                while (ended.load() < 2) {
                    std::this_thread::yield();
                }
            }
            ++ended;
            if (first != 3) {
                throw std::runtime_error("run from " + std::to_string(first));
            }
        });
        FAIL() << "no error raised";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "run from 0");
    }
    EXPECT_EQ(ended.load(), 3);
}

} // namespace
} // namespace veldra
