#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veldra {

// One tree to write: nodes[0] is the root; a node is a leaf when `left` is negative.
struct WrittenTree {
    struct Node {
        std::int32_t variable = 0; // 0-based covariate a split tests
        double value = 0.0;        // the split's cut ("x<=cut" goes left) or the leaf's value
        std::int32_t left = -1;
        std::int32_t right = -1;
    };
    std::vector<Node> nodes;
};

// The model document of one forest, in the format the forest reader takes: trees in order,
// nodes with "Depth", 1-based "Var", "ORDRule" as "x<=cut", "TBN", "Mu" and subtree lists,
// every number in its shortest exact form, so that reading it back gives the same doubles.
std::string forest_document(const std::vector<WrittenTree>& forest);

} // namespace veldra
