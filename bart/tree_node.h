#pragma once

#include <cstdint>

namespace veldra {

// One node of a regression tree as a model document describes it. Links are filled when the
// forest builds its trees and never own. Fields run from the widest to the narrowest, so that a
// node takes 56 bytes: the readers copy every node into a list and the builders read it back.
struct TreeNode {
    double leaf_value = 0.0;
    double cut_value = -1.0; // -1.0: the node has no rule
    TreeNode* parent = nullptr;
    TreeNode* left = nullptr;
    TreeNode* right = nullptr;
    std::int32_t depth = 0;
    std::int32_t split_variable = -1; // 1-based covariate; 0 or less tests nothing
    bool flag_t = true;               // first character of "TBN"; kept, unused by prediction
    bool is_leaf = true;              // second character of "TBN"
    bool flag_n = false;              // third character of "TBN"; kept, unused by prediction
    bool has_depth = false;           // whether "Depth" was read; a document is expected to give it

    // Back to a default-constructed node, field by field (assigning a temporary goes through
    // a copy on the stack that the processor forwards badly; this runs for every entry).
    void reset() {
        leaf_value = 0.0;
        cut_value = -1.0;
        parent = left = right = nullptr;
        depth = 0;
        split_variable = -1;
        flag_t = true;
        is_leaf = true;
        flag_n = false;
        has_depth = false;
    }

    // Output of the subtree below this node for a row of covariates. Ties and NaN go left.
    // The caller guarantees that every internal node reached has both children and that the
    // row holds every split variable (Forest::build_trees and Forest::check_row do).
    double evaluate(const double* row) const {
        const TreeNode* node = this;
        while (!node->is_leaf) {
            const std::int32_t v = node->split_variable;
            node = (v >= 1 && row[v - 1] > node->cut_value) ? node->right : node->left;
        }
        return node->leaf_value;
    }
};

} // namespace veldra
