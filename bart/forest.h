#pragma once

#include "bart/tree_node.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

namespace veldra {

// The trees of one posterior-sample file. Owns every node; links between nodes never own.
// Used by one thread: read, build, then predict any number of rows.
class Forest {
public:
    Forest();
    Forest(const Forest&) = delete; // nodes link to each other by address
    Forest& operator=(const Forest&) = delete;

    // Fills node_lists from a parsed model document (the reading walk).
    void read(const boost::property_tree::ptree& document);

    // Links the nodes of every tree by their depths and fills roots. `source` names the model
    // file in the messages of the checks that keep evaluation inside the row and the links.
    void build_trees(const std::string& source = std::string());

    // Sum over the trees, in tree order, for one row of covariates.
    double predict(const double* row) const;

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

private:
    std::int32_t largest_split_variable_ = 0;
};

} // namespace veldra
