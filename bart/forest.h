#pragma once

#include "bart/tree_node.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace veldra {

// The trees of one posterior-sample file. Owns every node; links between nodes never own.
// Used by one thread: read, build, then predict any number of rows.
class Forest {
public:
    Forest();
    Forest(const Forest&) = delete; // nodes link to each other by address
    Forest& operator=(const Forest&) = delete;

    // Back to the state of a new forest, keeping the memory of the node lists for the trees of
    // the next document read into it: a thread reading many documents allocates them once.
    void clear();

    // Links the nodes of every tree by their depths and fills roots. `source` names the model
    // file in the messages of the checks that keep evaluation inside the row and the links.
    void build_trees(const std::string& source = std::string());

    // Raises a clear error, naming `source`, when a row of `values` covariates is too short
    // for a split variable of this forest.
    void check_row(std::size_t values, const std::string& source) const;

    // The largest split variable any reachable internal node tests (0 when none).
    std::int32_t largest_split_variable() const { return largest_split_variable_; }

    // Called by the reading walk.
    void start_tree();
    void append_node(const TreeNode& node);

    // Trees are numbered from 1: position 0 of node_lists and of every tree's list, and of
    // roots, is a placeholder.
    std::vector<std::vector<TreeNode>> node_lists;
    std::vector<TreeNode*> roots;
    std::size_t current_tree = 0;
    // Internal nodes the reading walk found without a subtree after "TBN" (each a notice).
    std::size_t missing_subtrees = 0;

private:
    std::int32_t largest_split_variable_ = 0;
    std::vector<std::vector<TreeNode>> spare_lists_; // emptied lists clear() kept
};

// Raises the error Forest::check_row describes for a forest whose largest split variable is
// `largest`.
void check_row_length(std::int32_t largest, std::size_t values, const std::string& source);

// One tree's node list (trees numbered from 1, position 0 a placeholder) checked and ready for
// finding children: every node needs a "Depth" and the list a root, or the constructor raises
// the message naming `source` and the tree. Every builder of trees links through it, so all
// link the same nodes and raise the same messages.
class TreeLinks {
public:
    TreeLinks(const std::vector<TreeNode>& nodes, std::size_t tree, const std::string& source);

    // A node's left child is the node right after it; its right child is the first later node
    // one level deeper, and the right subtree runs to the end of the parent's range. Returns
    // the right child of the node at `first` whose range ends at `last`; 0 when there is none,
    // and then the node has no children.
    std::size_t right_child(std::size_t first, std::size_t last) const;

    // Raised for a reachable internal node without children.
    [[noreturn]] void fail_without_children() const;

private:
    const std::vector<TreeNode>& nodes_;
    std::size_t tree_;
    const std::string& source_;
    // (depth, position) of every node, sorted, for trees too large to scan: a hostile tree
    // cannot make the search quadratic.
    std::vector<std::pair<std::int32_t, std::size_t>> by_depth_;
};

} // namespace veldra
