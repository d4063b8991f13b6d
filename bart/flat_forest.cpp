#include "bart/flat_forest.h"

#include "bart/little_endian.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>

// Compilers for x86 processors that can compile a function for wide vectors and ask the
// processor whether it has them; elsewhere the descent is compiled once.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define VELDRA_WIDE_VECTORS 1
#define VELDRA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VELDRA_ALWAYS_INLINE inline
#endif

namespace veldra {

namespace {

// Asks for the cache line at `address` ahead of its use; nothing where the compiler has no hint.
void prefetch(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    static_cast<void>(address);
#endif
}

constexpr std::size_t header_bytes = 16;

} // namespace

void FlatForest::forget() {
    nodes_.clear();
    roots_.clear();
    depths_.clear();
    borrowed_nodes_ = nullptr;
    borrowed_roots_ = nullptr;
    borrowed_trees_ = 0;
    borrowed_node_count_ = 0;
}

void FlatForest::append_to(std::string& out) const {
    static_assert(sizeof(Node) == 24 && offsetof(Node, first_value) == 8 &&
                      offsetof(Node, child) == 12,
                  "a node is written as evaluation holds it");
    const std::size_t start = out.size();
    const std::size_t node_count = borrowed() ? borrowed_node_count_ : nodes_.size();
    const std::size_t trees = tree_count();
    const Node* const nodes = node_data();
    out.resize(start + header_bytes + node_count * sizeof(Node) + trees * 8, '\0');
    char* at = out.data() + start;
    store_little_endian(at, static_cast<std::uint32_t>(largest_split_variable_));
    store_little_endian(at + 4, static_cast<std::uint32_t>(node_count));
    store_little_endian(at + 8, static_cast<std::uint32_t>(trees));
    at += header_bytes;
    for (std::size_t n = 0; n < node_count; ++n, at += sizeof(Node)) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &nodes[n].value, sizeof bits);
        store_little_endian(at, bits);
        store_little_endian(at + 8, nodes[n].first_value);
        store_little_endian(at + 12, nodes[n].child[0]);
        store_little_endian(at + 16, nodes[n].child[1]);
    }
    for (const std::uint32_t* list : {root_data(), depth_data()}) {
        for (std::size_t t = 0; t < trees; ++t, at += 4) {
            store_little_endian(at, list[t]);
        }
    }
}

bool FlatForest::read_from(std::string_view& bytes, bool borrow) {
    forget();
    if (bytes.size() < header_bytes) {
        return false;
    }
    const auto largest = static_cast<std::int32_t>(load_little_endian<std::uint32_t>(bytes.data()));
    const std::size_t nodes = load_little_endian<std::uint32_t>(bytes.data() + 4);
    const std::size_t trees = load_little_endian<std::uint32_t>(bytes.data() + 8);
    constexpr std::size_t node_bytes = sizeof(Node);
    constexpr std::size_t largest_nodes = (std::size_t{1} << 31) / node_bytes;
    // Each count against the bytes that remain before anything is reserved.
    if (largest < 0 || load_little_endian<std::uint32_t>(bytes.data() + 12) != 0 ||
        nodes > largest_nodes || (trees > 0 && nodes == 0) ||
        (bytes.size() - header_bytes) / node_bytes < nodes ||
        (bytes.size() - header_bytes - nodes * node_bytes) / 8 < trees) {
        return false;
    }
    const char* const first = bytes.data() + header_bytes;
    const char* const lists = first + nodes * node_bytes;
    const std::uint64_t end = nodes * node_bytes;
    const auto slot_limit = static_cast<std::uint64_t>(largest) * lanes;
    // Every node is checked, without a branch per field: a bad one fails the whole forest.
    bool valid = true;
    for (const char* at = first; at < lists; at += node_bytes) {
        const auto slot = load_little_endian<std::uint32_t>(at + 8);
        const auto left = load_little_endian<std::uint32_t>(at + 12);
        const auto right = load_little_endian<std::uint32_t>(at + 16);
        valid &= slot % lanes == 0 && slot <= slot_limit && left % node_bytes == 0 && left < end &&
                 right % node_bytes == 0 && right < end &&
                 load_little_endian<std::uint32_t>(at + 20) == 0;
    }
    for (std::size_t t = 0; t < trees; ++t) {
        const auto root = load_little_endian<std::uint32_t>(lists + 4 * t);
        const auto depth = load_little_endian<std::uint32_t>(lists + 4 * (trees + t));
        // A tree is no deeper than the forest has nodes: no descent runs longer than that.
        valid &= root % node_bytes == 0 && root < end && depth <= nodes;
    }
    if (!valid) {
        return false;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    borrow = false;
#endif
    if (borrow && reinterpret_cast<std::uintptr_t>(first) % alignof(Node) == 0) {
        borrowed_nodes_ = reinterpret_cast<const Node*>(first);
        borrowed_roots_ = reinterpret_cast<const std::uint32_t*>(lists);
        borrowed_trees_ = trees;
        borrowed_node_count_ = nodes;
    } else {
        nodes_.resize(nodes);
        for (std::size_t n = 0; n < nodes; ++n) {
            const char* const at = first + n * node_bytes;
            const std::uint64_t bits = load_little_endian<std::uint64_t>(at);
            std::memcpy(&nodes_[n].value, &bits, sizeof bits);
            nodes_[n].first_value = load_little_endian<std::uint32_t>(at + 8);
            nodes_[n].child[0] = load_little_endian<std::uint32_t>(at + 12);
            nodes_[n].child[1] = load_little_endian<std::uint32_t>(at + 16);
        }
        roots_.resize(trees);
        depths_.resize(trees);
        for (std::size_t t = 0; t < trees; ++t) {
            roots_[t] = load_little_endian<std::uint32_t>(lists + 4 * t);
            depths_[t] = load_little_endian<std::uint32_t>(lists + 4 * (trees + t));
        }
    }
    largest_split_variable_ = largest;
    bytes.remove_prefix(header_bytes + nodes * node_bytes + trees * 8);
    return true;
}

FlatForest::FlatForest(const Forest& forest, const std::string& source) {
    rebuild(forest, source);
}

void FlatForest::rebuild(const Forest& forest, const std::string& source) {
    // Each tree in pre-order from its root: a node's left child is the next node, its right
    // child is patched in when it is reached.
    struct Pending {
        std::size_t first;    // the node's position in its list
        std::size_t last;     // where its subtree's range ends
        std::uint32_t parent; // whose right link to patch, or none
        std::uint32_t depth;
    };
    constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
    // Links are byte offsets of 32 bits: a tree may start at node largest_index at the latest,
    // so that its nodes (fewer than a document's bytes) stay within reach. Documents are at most
    // a few hundred megabytes, far below.
    constexpr std::uint32_t node_bytes = sizeof(Node);
    constexpr std::size_t largest_index = (std::size_t{1} << 31) / node_bytes;
    constexpr std::int32_t largest_slot = std::numeric_limits<std::int32_t>::max() / lanes;
    std::vector<Pending> pending;
    std::size_t listed = 0;
    for (const std::vector<TreeNode>& nodes : forest.node_lists) {
        listed += nodes.size();
    }
    forget();
    largest_split_variable_ = 0;
    nodes_.reserve(listed);
    roots_.reserve(forest.node_lists.size());
    depths_.reserve(forest.node_lists.size());
    for (std::size_t k = 1; k < forest.node_lists.size(); ++k) {
        const std::vector<TreeNode>& nodes = forest.node_lists[k];
        const TreeLinks links(nodes, k, source);
        if (nodes_.size() > largest_index) {
            throw std::length_error("Model file " + source + " has too many nodes to evaluate.");
        }
        roots_.push_back(static_cast<std::uint32_t>(nodes_.size()) * node_bytes);
        std::uint32_t deepest = 0;
        pending.assign(1, {1, nodes.size() - 1, none, 0});
        while (!pending.empty()) {
            const Pending item = pending.back();
            pending.pop_back();
            const auto index = static_cast<std::uint32_t>(nodes_.size());
            if (item.parent != none) {
                nodes_[item.parent].child[1] = index * node_bytes;
            }
            const TreeNode& node = nodes[item.first];
            if (node.is_leaf) {
                nodes_.push_back({node.leaf_value, 0, {index * node_bytes, index * node_bytes}});
                deepest = std::max(deepest, item.depth);
                continue;
            }
            const std::size_t right = links.right_child(item.first, item.last);
            if (right == 0) {
                links.fail_without_children();
            }
            const std::int32_t v = node.split_variable;
            largest_split_variable_ = std::max(largest_split_variable_, v);
            // A split variable too large for a row block never reaches evaluation: no row holds
            // it, so check_row refuses the forest.
            const std::uint32_t first_value =
                v >= 1 && v <= largest_slot ? static_cast<std::uint32_t>(v) * lanes : 0;
            nodes_.push_back(
                {node.cut_value, first_value, {(index + 1) * node_bytes, index * node_bytes}});
            pending.push_back({right, item.last, index, item.depth + 1});
            pending.push_back({item.first + 1, right - 1, none, item.depth + 1});
        }
        depths_.push_back(deepest);
    }
}

void FlatForest::RowBlock::prepare(const std::vector<std::vector<double>>& rows, std::size_t first,
                                   std::size_t count, bool first_derivative) {
    count_ = count;
    std::size_t longest = 0;
    bool full = count == lanes; // every lane used, every row as long as the longest
    for (std::size_t l = 0; l < count; ++l) {
        longest = std::max(longest, rows[first + l].size());
    }
    for (std::size_t l = 0; l < count; ++l) {
        full = full && rows[first + l].size() == longest;
    }
    constexpr double never_greater = -std::numeric_limits<double>::infinity();
    if (full && longest > 0) {
        // The usual block: written one covariate (one cache line) at a time, each value once.
        values_.resize((longest + 1) * lanes);
        std::fill_n(values_.begin(), lanes, never_greater);
        const double* source[lanes];
        for (std::size_t l = 0; l < lanes; ++l) {
            source[l] = rows[first + l].data();
        }
        double* out = values_.data() + lanes;
        if (first_derivative) {
            for (std::size_t i = 0; i + 1 < longest; ++i, out += lanes) {
                for (std::size_t l = 0; l < lanes; ++l) {
                    out[l] = source[l][i + 1] - source[l][i];
                }
            }
            std::fill_n(out, lanes, 0.0);
        } else {
            for (std::size_t i = 0; i < longest; ++i, out += lanes) {
                for (std::size_t l = 0; l < lanes; ++l) {
                    out[l] = source[l][i];
                }
            }
        }
        return;
    }
    // Minus infinity is never greater than a cut: slot 0, the slots past a row's end (never
    // read by a checked forest) and the lanes past `count` all send a test left.
    values_.assign((longest + 1) * lanes, never_greater);
    for (std::size_t l = 0; l < count; ++l) {
        const std::vector<double>& row = rows[first + l];
        const std::size_t n = row.size();
        double* out = values_.data() + lanes + l;
        if (first_derivative) {
            for (std::size_t i = 0; i + 1 < n; ++i) {
                out[i * lanes] = row[i + 1] - row[i];
            }
            if (n > 0) {
                out[(n - 1) * lanes] = 0.0;
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                out[i * lanes] = row[i];
            }
        }
    }
}

bool FlatForest::wide_vectors_available() {
#if defined(VELDRA_WIDE_VECTORS)
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return available;
#else
    return false;
#endif
}

void FlatForest::predict(const RowBlock& block, double* sums, bool wide_vectors) const {
#if defined(VELDRA_WIDE_VECTORS)
    if (wide_vectors && wide_vectors_available()) {
        descend_wide(block, sums);
        return;
    }
#else
    static_cast<void>(wide_vectors);
#endif
    descend(block, sums);
}

#if defined(VELDRA_WIDE_VECTORS)
// The same code, inlined where the compiler may use wide vectors: the same comparisons,
// selections and additions in the same order, so the same sums.
__attribute__((target("avx2"))) void FlatForest::descend_wide(const RowBlock& block,
                                                              double* sums) const {
    descend(block, sums);
}
#endif

VELDRA_ALWAYS_INLINE void FlatForest::descend(const RowBlock& block, double* sums) const {
    const double* const values = block.values_.data();
    // Each lane holds the address of its node; a link is added to the first node's address, so
    // that every step reads the node through the address itself.
    const char* const first = reinterpret_cast<const char*>(node_data());
    const auto node_at = [first](std::uint32_t offset) {
        return reinterpret_cast<const Node*>(first + offset);
    };
    double total[lanes] = {};
    const Node* at[lanes];
    const std::uint32_t* const roots = root_data();
    const std::uint32_t* const depths = depth_data();
    const std::size_t trees = tree_count();
    for (std::size_t t = 0; t < trees; ++t) {
        // The nodes of a tree a few ahead, and the covariate its root tests, are requested now:
        // the descent waits on memory far more than it computes.
        if (t + 4 < trees) {
            prefetch(node_at(roots[t + 4]));
        }
        if (t + 2 < trees) {
            prefetch(values + node_at(roots[t + 2])->first_value);
        }
        // The first two levels are the same few nodes for every lane: each lane's two tests are
        // made against all of them at once, and its choice is taken from the results. A leaf
        // leads to itself and tests slot 0, which sends every lane left, so a tree whose leaves
        // all lie within two steps of its root ends here with the leaf's value: most trees.
        const Node* const root = node_at(roots[t]);
        const Node* const left = node_at(root->child[0]);
        const Node* const right = node_at(root->child[1]);
        const double* const root_values = values + root->first_value;
        const double* const left_values = values + left->first_value;
        const double* const right_values = values + right->first_value;
        const Node* const left_left = node_at(left->child[0]);
        const Node* const left_right = node_at(left->child[1]);
        const Node* const right_left = node_at(right->child[0]);
        const Node* const right_right = node_at(right->child[1]);
        const double root_cut = root->value;
        const double left_cut = left->value;
        const double right_cut = right->value;
        if (depths[t] <= 2) {
            const double leaves[4] = {left_left->value, left_right->value, right_left->value,
                                      right_right->value};
            for (std::size_t l = 0; l < lanes; ++l) {
                const double on_left = left_values[l] > left_cut ? leaves[1] : leaves[0];
                const double on_right = right_values[l] > right_cut ? leaves[3] : leaves[2];
                total[l] += root_values[l] > root_cut ? on_right : on_left;
            }
            continue;
        }
        for (std::size_t l = 0; l < lanes; ++l) {
            const Node* const on_left = left_values[l] > left_cut ? left_right : left_left;
            const Node* const on_right = right_values[l] > right_cut ? right_right : right_left;
            at[l] = root_values[l] > root_cut ? on_right : on_left;
        }
        // Deeper trees: each lane takes as many more steps as the deepest leaf needs. The
        // comparison picks the child's link by index: no branch to mispredict.
        for (std::uint32_t step = 2; step < depths[t]; ++step) {
#pragma GCC unroll 8
            for (std::size_t l = 0; l < lanes; ++l) {
                const Node& node = *at[l];
                const bool greater = values[node.first_value + l] > node.value;
                at[l] = node_at(node.child[greater ? 1 : 0]);
            }
        }
        for (std::size_t l = 0; l < lanes; ++l) {
            total[l] += at[l]->value;
        }
    }
    std::copy(total, total + block.count_, sums);
}

double FlatForest::predict(const std::vector<double>& row, bool first_derivative) const {
    RowBlock block;
    block.prepare({row}, 0, 1, first_derivative);
    double sum = 0.0;
    predict(block, &sum);
    return sum;
}

} // namespace veldra
