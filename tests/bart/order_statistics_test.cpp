#include "bart/order_statistics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

// Selected order statistics are what a full sort puts at their ranks, for any draws: ties,
// NaNs (last), infinities, one draw, and ranks repeated or at either end.
TEST(OrderStatistics, SelectedRanksHoldWhatASortPutsThere) {
    std::mt19937_64 random(5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (int round = 0; round < 400; ++round) {
        const std::size_t size = 1 + random() % 60;
        std::vector<double> values(size);
        for (double& value : values) {
            const unsigned kind = static_cast<unsigned>(random() % 10);
            // Every other round without a NaN, as most samples' draws are.
            value = kind == 0 && round % 2 == 0 ? nan
                    : kind == 1                 ? (random() % 2 ? inf : -inf)
                                : static_cast<double>(random() % 7) - 3.0; // many ties
        }
        std::vector<std::size_t> ranks(1 + random() % 9);
        for (std::size_t& rank : ranks) {
            rank = random() % size;
        }
        ranks.push_back(0);
        ranks.push_back(size - 1);
        std::sort(ranks.begin(), ranks.end());
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end(), before_in_draw_order);
        std::vector<double> selected = values;
        select_order_statistics(selected, ranks);
        for (const std::size_t rank : ranks) {
            if (std::isnan(sorted[rank])) {
                EXPECT_TRUE(std::isnan(selected[rank])) << round << " rank " << rank;
            } else {
                EXPECT_EQ(selected[rank], sorted[rank]) << round << " rank " << rank;
            }
        }
    }
}

// Many draws go through buckets between the smallest and the largest: every rank holds what a
// sort puts there whether the draws spread evenly, bunch around a few values with an outlier far
// off (the ranks' buckets then too full), repeat one value, reach an infinity, or lie a few of
// the smallest doubles apart.
TEST(OrderStatistics, ManyDrawsSelectedThroughBucketsAsASortWould) {
    std::mt19937_64 random(11);
    std::normal_distribution<double> normal(2.0, 0.3);
    const double inf = std::numeric_limits<double>::infinity();
    for (int round = 0; round < 300; ++round) {
        const std::size_t size = 100 + random() % 3000;
        std::vector<double> values(size);
        for (double& value : values) {
            switch (round % 6) {
            case 0:
                value = normal(random);
                break;
            case 1:
                value = random() % 1000 == 0 ? 1e12 : normal(random);
                break;
            case 2:
                value = std::round(normal(random) * 4.0) / 4.0;
                break; // few values, ties
            case 3:
                value = random() % 500 == 0 ? -inf : normal(random);
                break;
            case 4:
                value = static_cast<double>(random() % 3) * 4.9e-324;
                break;
            default:
                value = random() % 2 ? -0.0 : 7.5;
                break;
            }
        }
        // The quantiles of a job, a predictive band and a calibrated one, and chosen ranks.
        std::vector<std::size_t> ranks;
        for (const double level : {0.025, 0.05, 0.25, 0.5, 0.75, 0.95, 0.975}) {
            ranks.push_back(static_cast<std::size_t>(level * static_cast<double>(size)));
        }
        for (int k = 0; k < 3; ++k) {
            ranks.push_back(random() % size);
        }
        ranks.push_back(0);
        ranks.push_back(size - 1);
        std::sort(ranks.begin(), ranks.end());
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        std::vector<double> selected = values;
        select_order_statistics(selected, ranks);
        for (const std::size_t rank : ranks) {
            ASSERT_EQ(selected[rank], sorted[rank]) << round << " rank " << rank;
        }
    }
}

} // namespace
} // namespace veldra
