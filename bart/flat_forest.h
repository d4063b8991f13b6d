#pragma once

#include "bart/forest.h"

#include <cstdint>
#include <vector>

namespace veldra {

// A built forest copied into one contiguous array with index links, for evaluation that stays
// in cache. Node 0 of every tree is its root; `roots` holds where each tree starts.
class FlatForest {
public:
    explicit FlatForest(const Forest& forest);

    // The forest sum for one row of covariates, with the first derivative taken on the fly
    // when asked: covariate v is row[v] - row[v - 1] (0.0 for the last), exactly the value a
    // derivative row would hold. The row must hold every split variable (Forest::check_row).
    double predict(const double* row, std::size_t values, bool first_derivative) const;

private:
    struct Node {
        double value;               // the cut of an internal node, the output of a leaf
        std::int32_t variable;      // 1-based split variable; 0 or less tests nothing
        std::uint32_t left_or_leaf; // index of the left child, or leaf_mark for a leaf
        std::uint32_t right;
    };
    static constexpr std::uint32_t leaf_mark = 0xFFFFFFFFu;
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> roots_;
};

} // namespace veldra
