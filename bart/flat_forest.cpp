#include "bart/flat_forest.h"

namespace veldra {

FlatForest::FlatForest(const Forest& forest) {
    // Each tree in pre-order from its root, following the links the build made; only nodes
    // evaluation can reach are copied.
    std::vector<std::pair<const TreeNode*, std::uint32_t>> pending; // node, slot to patch
    for (std::size_t k = 1; k < forest.roots.size(); ++k) {
        roots_.push_back(static_cast<std::uint32_t>(nodes_.size()));
        pending.clear();
        pending.emplace_back(forest.roots[k], leaf_mark);
        while (!pending.empty()) {
            const auto [node, parent_right] = pending.back();
            pending.pop_back();
            const auto index = static_cast<std::uint32_t>(nodes_.size());
            if (parent_right != leaf_mark) {
                nodes_[parent_right].right = index;
            }
            if (node->is_leaf) {
                nodes_.push_back({node->leaf_value, 0, leaf_mark, 0});
                continue;
            }
            nodes_.push_back({node->cut_value, node->split_variable, index + 1, 0});
            // The right subtree is patched in when it is reached; the left one comes next.
            pending.emplace_back(node->right, index);
            pending.emplace_back(node->left, leaf_mark);
        }
    }
}

double FlatForest::predict(const double* row, std::size_t values, bool first_derivative) const {
    double sum = 0.0;
    const Node* nodes = nodes_.data();
    for (const std::uint32_t root : roots_) {
        const Node* node = nodes + root;
        while (node->left_or_leaf != leaf_mark) {
            const std::int32_t v = node->variable;
            bool right = false;
            if (v >= 1) {
                const auto at = static_cast<std::size_t>(v);
                const double x = !first_derivative ? row[at - 1]
                                 : at < values     ? row[at] - row[at - 1]
                                                   : 0.0;
                right = x > node->value;
            }
            node = nodes + (right ? node->right : node->left_or_leaf);
        }
        sum += node->value;
    }
    return sum;
}

} // namespace veldra
