#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace veldra {

// Ascending as by plain "less than", a NaN after every number: the order a draw's quantiles are
// taken in (a document may hold "Mu": "nan"), a strict weak order for std::sort and its kin.
inline bool before_in_draw_order(double a, double b) {
    return a < b || (!std::isnan(a) && std::isnan(b));
}

namespace order_detail {

// The selection below for draws without a NaN, through buckets of equal width between the
// smallest and the largest draw: one pass counts the draws of each bucket, which names the
// buckets holding the ranks; a second gathers the draws of those buckets alone, which are then
// sorted. About five passes' work for any number of ranks, where a selection per rank makes
// several with a branch per draw that the processor cannot foresee. False, with `values`
// untouched, when the draws are too few, spread over no finite width, or so unevenly that the
// ranks' buckets hold more than a quarter of them: then the selection per rank is the faster.
bool select_through_buckets(std::vector<double>& values, const std::vector<std::size_t>& ranks);

} // namespace order_detail

// Puts at each of `ranks` (ascending, each below `values.size()`) the value a full sort in draw
// order would put there; the other places are left holding values in no given order (some may
// be repeated). Draws without a NaN go through buckets (above); otherwise one selection per
// rank on the shrinking range between its neighbours, about n log(ranks) comparisons instead of
// n log n.
inline void select_order_statistics(std::vector<double>& values,
                                    const std::vector<std::size_t>& ranks) {
    struct Range {
        std::size_t first;      // of the values
        std::size_t last;       // one past
        std::size_t rank_first; // of the ranks within it
        std::size_t rank_last;
    };
    // Without a NaN the draw order is plain "less than", which the selection inlines.
    const bool plain =
        std::none_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
    if (plain && order_detail::select_through_buckets(values, ranks)) {
        return;
    }
    std::vector<Range> pending{{0, values.size(), 0, ranks.size()}};
    while (!pending.empty()) {
        const Range range = pending.back();
        pending.pop_back();
        if (range.rank_first == range.rank_last || range.first == range.last) {
            continue;
        }
        const std::size_t middle = range.rank_first + (range.rank_last - range.rank_first) / 2;
        const std::size_t nth = ranks[middle];
        const auto first = values.begin() + static_cast<std::ptrdiff_t>(range.first);
        const auto place = values.begin() + static_cast<std::ptrdiff_t>(nth);
        const auto last = values.begin() + static_cast<std::ptrdiff_t>(range.last);
        if (plain) {
            std::nth_element(first, place, last);
        } else {
            std::nth_element(first, place, last, before_in_draw_order);
        }
        // Equal ranks beside the middle one are placed by it.
        std::size_t low = middle;
        while (low > range.rank_first && ranks[low - 1] == nth) {
            --low;
        }
        std::size_t high = middle + 1;
        while (high < range.rank_last && ranks[high] == nth) {
            ++high;
        }
        pending.push_back({range.first, nth, range.rank_first, low});
        pending.push_back({nth + 1, range.last, high, range.rank_last});
    }
}

} // namespace veldra
