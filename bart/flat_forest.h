#pragma once

#include "bart/forest.h"

#include <cstdint>
#include <vector>

namespace veldra {

// A built forest copied into one contiguous array with index links, for evaluation that stays
// in cache and descends several rows at once without data-dependent branches.
class FlatForest {
public:
    // Rows descended together: independent chains of loads the processor overlaps.
    static constexpr std::size_t lanes = 8;

    explicit FlatForest(const Forest& forest);

    // Prepares a row for evaluation: its values (or, with the first derivative, row[i + 1] -
    // row[i] and 0.0 for the last, exactly as a derivative row holds them) followed by one
    // slot that sends every test to the left (for split variables of 0 or less).
    static void prepare_row(const std::vector<double>& row, bool first_derivative,
                            std::vector<double>& prepared);

    // Forest sums of up to `lanes` prepared rows, trees added in order as Forest::predict adds
    // them. Every row must hold every split variable (Forest::check_row).
    void predict(const std::vector<double>* const* prepared, std::size_t count, double* sums) const;

    // The forest sum of one row.
    double predict(const std::vector<double>& row, bool first_derivative) const;

private:
    struct Node {
        double value;          // the cut of an internal node, the output of a leaf
        std::int32_t variable; // 0-based covariate; -1 tests nothing (always left)
        std::uint32_t left;    // a leaf's children are itself
        std::uint32_t right;
    };
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> roots_;
    std::vector<std::uint32_t> depths_; // steps from each root to its deepest leaf
};

} // namespace veldra
