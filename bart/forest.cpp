#include "bart/forest.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <boost/filesystem/path.hpp>

namespace veldra {

namespace {

[[noreturn]] void fail_tree(const std::string& source, std::size_t tree, const char* problem) {
    std::ostringstream message;
    if (!source.empty()) {
        message << "Model file " << boost::filesystem::path(source) << ", ";
    }
    message << "tree " << tree << ": " << problem;
    throw std::runtime_error(message.str());
}

// Nodes up to which a tree's right children are found by scanning.
constexpr std::size_t scan_limit = 64;

} // namespace

Forest::Forest() : node_lists(1, std::vector<TreeNode>(1)), roots(1, nullptr) {}

void Forest::clear() {
    while (node_lists.size() > 1) {
        node_lists.back().clear();
        spare_lists_.push_back(std::move(node_lists.back()));
        node_lists.pop_back();
    }
    node_lists.resize(1);
    node_lists[0].assign(1, TreeNode());
    roots.assign(1, nullptr);
    current_tree = 0;
    missing_subtrees = 0;
    largest_split_variable_ = 0;
}

void Forest::start_tree() {
    ++current_tree;
    if (!spare_lists_.empty()) {
        node_lists.push_back(std::move(spare_lists_.back()));
        spare_lists_.pop_back();
    } else {
        // Room for a typical small tree, so that most trees take one allocation, and no more
        // than about a kilobyte: the allocator keeps blocks of up to that size in fast
        // per-thread caches.
        constexpr std::size_t typical_nodes = 1000 / sizeof(TreeNode);
        node_lists.emplace_back();
        node_lists.back().reserve(typical_nodes);
    }
    node_lists.back().emplace_back();
}

void Forest::append_node(const TreeNode& node) {
    TreeNode copy = node;
    copy.parent = copy.left = copy.right = nullptr;
    node_lists[current_tree].push_back(copy);
}

void Forest::build_trees(const std::string& source) {
    current_tree = 1;
    largest_split_variable_ = 0;
    struct Task {
        std::size_t first;
        std::size_t last;
        TreeNode* parent;
        TreeNode** slot;
    };
    std::vector<Task> tasks;
    std::vector<const TreeNode*> reachable;
    roots.reserve(node_lists.size());
    for (std::size_t k = 1; k < node_lists.size(); ++k) {
        std::vector<TreeNode>& nodes = node_lists[k];
        roots.push_back(nullptr);
        const TreeLinks links(nodes, k, source);
        tasks.push_back({1, nodes.size() - 1, nullptr, &roots[k]});
        while (!tasks.empty()) {
            const Task task = tasks.back();
            tasks.pop_back();
            TreeNode* node = &nodes[task.first];
            node->parent = task.parent;
            *task.slot = node;
            const std::size_t a = links.right_child(task.first, task.last);
            if (a != 0) {
                tasks.push_back({a, task.last, node, &node->right});
                tasks.push_back({task.first + 1, a - 1, node, &node->left});
            }
        }
        // Evaluation follows links from internal nodes only: each reachable one needs both.
        reachable.assign(1, roots[k]);
        while (!reachable.empty()) {
            const TreeNode* node = reachable.back();
            reachable.pop_back();
            if (node->is_leaf) {
                continue;
            }
            if (node->left == nullptr || node->right == nullptr) {
                links.fail_without_children();
            }
            if (node->split_variable > largest_split_variable_) {
                largest_split_variable_ = node->split_variable;
            }
            reachable.push_back(node->left);
            reachable.push_back(node->right);
        }
    }
}

void Forest::check_row(std::size_t values, const std::string& source) const {
    check_row_length(largest_split_variable_, values, source);
}

void check_row_length(std::int32_t largest, std::size_t values, const std::string& source) {
    if (static_cast<std::size_t>(largest) > values) {
        std::ostringstream message;
        message << "Model file " << boost::filesystem::path(source) << " needs covariate "
                << largest << ", but the input has " << values << " values per sample.";
        throw std::runtime_error(message.str());
    }
}

TreeLinks::TreeLinks(const std::vector<TreeNode>& nodes, std::size_t tree,
                     const std::string& source)
    : nodes_(nodes), tree_(tree), source_(source) {
    for (std::size_t i = 1; i < nodes.size(); ++i) {
        if (!nodes[i].has_depth) {
            fail_tree(source, tree, "a node has no \"Depth\".");
        }
    }
    if (nodes.size() < 2) {
        throw std::out_of_range("invalid vector<T> subscript");
    }
    if (nodes.size() > scan_limit) {
        by_depth_.reserve(nodes.size() - 1);
        for (std::size_t i = 1; i < nodes.size(); ++i) {
            by_depth_.emplace_back(nodes[i].depth, i);
        }
        std::sort(by_depth_.begin(), by_depth_.end());
    }
}

std::size_t TreeLinks::right_child(std::size_t first, std::size_t last) const {
    const std::int32_t depth = nodes_[first].depth;
    if (depth == std::numeric_limits<std::int32_t>::max()) {
        return 0;
    }
    if (by_depth_.empty()) {
        for (std::size_t a = first + 2; a <= last; ++a) {
            if (nodes_[a].depth == depth + 1) {
                return a;
            }
        }
        return 0;
    }
    const auto found =
        std::lower_bound(by_depth_.begin(), by_depth_.end(), std::make_pair(depth + 1, first + 2));
    return found != by_depth_.end() && found->first == depth + 1 && found->second <= last
               ? found->second
               : 0;
}

void TreeLinks::fail_without_children() const {
    fail_tree(source_, tree_, "an internal node has no children.");
}

} // namespace veldra
