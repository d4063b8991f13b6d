#include "bart/order_statistics.h"

#include <cstdint>

namespace veldra::order_detail {

namespace {

// The working room of one selection. Not kept per thread: a thread's objects with destructors
// are not reliably destroyed at the thread's end by every platform's runtime.
struct BucketRoom {
    std::vector<std::uint32_t> counts;  // draws per bucket
    std::vector<std::int32_t> wanted;   // per bucket: its place among the wanted ones, or -1
    std::vector<std::uint16_t> buckets; // per draw
    std::vector<double> gathered;
    std::vector<std::size_t> filled; // per wanted bucket
};

struct WantedBucket {
    std::size_t bucket;
    std::size_t below; // draws in the buckets before it
    std::size_t count;
    std::size_t gathered; // where its draws start in the gathered ones
};

// The buckets holding the ranks, found walking the buckets' `counts` in order, into `wanted`;
// returns the draws they hold together.
std::size_t wanted_buckets(const std::vector<std::uint32_t>& counts,
                           const std::vector<std::size_t>& ranks,
                           std::vector<WantedBucket>& wanted) {
    std::size_t below = 0;
    std::size_t gathered = 0;
    std::size_t bucket = 0;
    for (const std::size_t rank : ranks) {
        while (below + counts[bucket] <= rank) {
            below += counts[bucket++];
        }
        if (wanted.empty() || wanted.back().bucket != bucket) {
            wanted.push_back({bucket, below, counts[bucket], gathered});
            gathered += counts[bucket];
        }
    }
    return gathered;
}

} // namespace

bool select_through_buckets(std::vector<double>& values, const std::vector<std::size_t>& ranks) {
    const std::size_t n = values.size();
    if (n < 128 || ranks.empty()) {
        return false;
    }
    double low = values[0];
    double high = values[0];
    for (const double value : values) {
        low = value < low ? value : low;
        high = value > high ? value : high;
    }
    const double width = high - low;
    if (width == 0.0) {
        return true; // every place holds the one value
    }
    if (!std::isfinite(width)) {
        return false;
    }
    // About two draws per bucket; the bucket of a value never falls as the value rises (each
    // step rounds monotonically), so the buckets are in the draws' order.
    std::size_t count = 64;
    while (count < n / 2 && count < 4096) {
        count *= 2;
    }
    const double scale = static_cast<double>(count) / width;
    if (!std::isfinite(scale)) {
        return false; // a width of a few of the smallest doubles
    }
    const std::size_t last_bucket = count - 1;
    BucketRoom room;
    room.counts.resize(count, 0);
    room.wanted.resize(count, -1);
    room.buckets.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t bucket =
            std::min(last_bucket, static_cast<std::size_t>((values[i] - low) * scale));
        room.buckets[i] = static_cast<std::uint16_t>(bucket);
        ++room.counts[bucket];
    }
    std::vector<WantedBucket> wanted;
    const std::size_t gathered = wanted_buckets(room.counts, ranks, wanted);
    if (gathered > n / 4) {
        return false;
    }
    for (std::size_t w = 0; w < wanted.size(); ++w) {
        room.wanted[wanted[w].bucket] = static_cast<std::int32_t>(w);
    }
    room.gathered.resize(gathered);
    std::vector<std::size_t>& filled = room.filled;
    filled.assign(wanted.size(), 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t w = room.wanted[room.buckets[i]];
        if (w >= 0) {
            const auto place = static_cast<std::size_t>(w);
            room.gathered[wanted[place].gathered + filled[place]++] = values[i];
        }
    }
    std::size_t next = 0; // the first rank not yet placed
    for (const WantedBucket& each : wanted) {
        const auto first = room.gathered.begin() + static_cast<std::ptrdiff_t>(each.gathered);
        std::sort(first, first + static_cast<std::ptrdiff_t>(each.count));
        for (; next < ranks.size() && ranks[next] < each.below + each.count; ++next) {
            values[ranks[next]] = first[static_cast<std::ptrdiff_t>(ranks[next] - each.below)];
        }
    }
    return true;
}

} // namespace veldra::order_detail
