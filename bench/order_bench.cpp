// Times the selection of a sample's order statistics from its draws: the seven quantiles of the
// output file and the four places of a predictive and a calibrated band, from 1000 draws of a
// property near 2. The job's selection (through buckets) beside one std::nth_element per rank on
// the range above the last. Prints microseconds per sample and whether both found the same
// values, then what the normal draws of a predictive band cost per draw.
#include "bart/order_statistics.h"
#include "bart/predictive_band.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::size_t> ranks_at(const std::vector<double>& levels, std::size_t draws) {
    std::vector<std::size_t> ranks;
    for (const double level : levels) {
        ranks.push_back(static_cast<std::size_t>(level * static_cast<double>(draws)));
    }
    return ranks;
}

// Best of five rounds over every sample; the selected values are summed into `found`.
template <class Select>
double microseconds_per_sample(const std::vector<std::vector<double>>& samples,
                               const std::vector<std::size_t>& ranks, const Select& select,
                               std::vector<double>& found) {
    double best = 1e300;
    std::vector<double> work;
    for (int round = 0; round < 5; ++round) {
        found.assign(ranks.size(), 0.0);
        const Clock::time_point start = Clock::now();
        for (const std::vector<double>& draws : samples) {
            work = draws;
            select(work, ranks);
            for (std::size_t k = 0; k < ranks.size(); ++k) {
                found[k] += work[ranks[k]];
            }
        }
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best * 1e6 / static_cast<double>(samples.size());
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::size_t draws = 1000;
    std::mt19937_64 random(3);
    std::normal_distribution<double> near_two(2.0, 0.3);
    std::vector<std::vector<double>> samples(static_cast<std::size_t>(count));
    for (std::vector<double>& sample : samples) {
        sample.resize(draws);
        for (double& value : sample) {
            value = near_two(random);
        }
    }
    const auto per_rank = [](std::vector<double>& values, const std::vector<std::size_t>& ranks) {
        auto first = values.begin();
        for (const std::size_t rank : ranks) {
            const auto place = values.begin() + static_cast<std::ptrdiff_t>(rank);
            std::nth_element(first, place, values.end());
            first = place + 1;
        }
    };
    const auto job = [](std::vector<double>& values, const std::vector<std::size_t>& ranks) {
        veldra::select_order_statistics(values, ranks);
    };
    struct Kind {
        const char* name;
        std::vector<std::size_t> ranks;
    };
    const Kind kinds[] = {
        {"7 quantiles of 1000 draws", ranks_at({0.025, 0.05, 0.25, 0.5, 0.75, 0.95, 0.975}, draws)},
        {"4 band bounds of 1000 draws", ranks_at({0.025, 0.04, 0.96, 0.975}, draws)}};
    std::printf("%-30s %14s %14s %6s\n", "places", "per rank us", "job's us", "same");
    for (const Kind& kind : kinds) {
        std::vector<double> by_rank;
        std::vector<double> by_job;
        const double rank_us = microseconds_per_sample(samples, kind.ranks, per_rank, by_rank);
        const double job_us = microseconds_per_sample(samples, kind.ranks, job, by_job);
        std::printf("%-30s %14.2f %14.2f %6s\n", kind.name, rank_us, job_us,
                    by_rank == by_job ? "yes" : "NO");
    }
    // The band's error draws: one normal per sample and draw, fixed by the sample's identifier.
    double best = 1e300;
    double total = 0.0;
    for (int round = 0; round < 5; ++round) {
        const Clock::time_point start = Clock::now();
        for (int sample = 0; sample < count; ++sample) {
            const std::string id = "s" + std::to_string(sample + 1);
            for (std::size_t d = 0; d < draws; ++d) {
                total += veldra::sample_draw_normal(id, d);
            }
        }
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("%-30s %14s %14.1f   (sum %.3g)\n", "band's normal draws, ns/draw", "",
                best * 1e9 / (static_cast<double>(count) * static_cast<double>(draws)), total);
    std::printf("reproduce: %s %d (samples; per rank: std::nth_element on the range above the "
                "last rank)\n",
                argv[0], count);
    return 0;
}
