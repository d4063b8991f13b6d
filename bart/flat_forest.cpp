#include "bart/flat_forest.h"

#include <algorithm>
#include <limits>

namespace veldra {

FlatForest::FlatForest(const Forest& forest) {
    // Each tree in pre-order from its root, following the links the build made; only nodes
    // evaluation can reach are copied.
    struct Pending {
        const TreeNode* node;
        std::uint32_t parent; // whose right link to patch, or none
        std::uint32_t depth;
    };
    constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
    std::vector<Pending> pending;
    for (std::size_t k = 1; k < forest.roots.size(); ++k) {
        roots_.push_back(static_cast<std::uint32_t>(nodes_.size()));
        std::uint32_t deepest = 0;
        pending.assign(1, {forest.roots[k], none, 0});
        while (!pending.empty()) {
            const Pending item = pending.back();
            pending.pop_back();
            const auto index = static_cast<std::uint32_t>(nodes_.size());
            if (item.parent != none) {
                nodes_[item.parent].right = index;
            }
            if (item.node->is_leaf) {
                nodes_.push_back({item.node->leaf_value, -1, index, index});
                deepest = std::max(deepest, item.depth);
                continue;
            }
            const std::int32_t v = item.node->split_variable;
            nodes_.push_back({item.node->cut_value, v >= 1 ? v - 1 : -1, index + 1, index});
            // The left subtree comes next; the right one is patched in when it is reached.
            pending.push_back({item.node->right, index, item.depth + 1});
            pending.push_back({item.node->left, none, item.depth + 1});
        }
        depths_.push_back(deepest);
    }
}

void FlatForest::prepare_row(const std::vector<double>& row, bool first_derivative,
                             std::vector<double>& prepared) {
    const std::size_t n = row.size();
    prepared.resize(n + 1);
    if (first_derivative) {
        for (std::size_t i = 0; i + 1 < n; ++i) {
            prepared[i] = row[i + 1] - row[i];
        }
        if (n > 0) {
            prepared[n - 1] = 0.0;
        }
    } else {
        std::copy(row.begin(), row.end(), prepared.begin());
    }
    // Nothing is greater than minus infinity's comparison partner: the test goes left.
    prepared[n] = -std::numeric_limits<double>::infinity();
}

void FlatForest::predict(const std::vector<double>* const* prepared, std::size_t count,
                         double* sums) const {
    const double* data[lanes];
    std::int64_t sentinel[lanes];
    for (std::size_t l = 0; l < count; ++l) {
        data[l] = prepared[l]->data();
        sentinel[l] = static_cast<std::int64_t>(prepared[l]->size()) - 1;
        sums[l] = 0.0;
    }
    const Node* const nodes = nodes_.data();
    std::uint32_t at[lanes];
    for (std::size_t t = 0; t < roots_.size(); ++t) {
        for (std::size_t l = 0; l < count; ++l) {
            at[l] = roots_[t];
        }
        // Every lane takes as many steps as the deepest leaf needs; a leaf leads to itself.
        for (std::uint32_t step = 0; step < depths_[t]; ++step) {
            for (std::size_t l = 0; l < count; ++l) {
                const Node& node = nodes[at[l]];
                const std::int64_t v = node.variable < 0 ? sentinel[l] : node.variable;
                at[l] = data[l][v] > node.value ? node.right : node.left;
            }
        }
        for (std::size_t l = 0; l < count; ++l) {
            sums[l] += nodes[at[l]].value;
        }
    }
}

double FlatForest::predict(const std::vector<double>& row, bool first_derivative) const {
    std::vector<double> prepared;
    prepare_row(row, first_derivative, prepared);
    const std::vector<double>* rows[1] = {&prepared};
    double sum = 0.0;
    predict(rows, 1, &sum);
    return sum;
}

} // namespace veldra
