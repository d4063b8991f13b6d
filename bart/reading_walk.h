#pragma once

#include "bart/forest.h"
#include "bart/tree_node.h"

#include <optional>
#include <string_view>

namespace veldra {

// The meaning of one entry of a model document, separate from the parser that yields the
// entries, so every parser drives the same walk. A visit takes an entry's children in document
// order with a working node and asks `on_child` what each one means.
class ReadingWalk {
public:
    enum class Action {
        go_on,           // a field or an ignored entry: take the next child
        stop,            // "Mu" completed a leaf: the rest of this entry is not read
        visit_container, // any other key: the working node was reset; visit the child with it
        visit_subtree,   // "TBN" completed an internal node: visit the next child with a fresh
                         // working node (whatever its key), then stop; without one, the notice
    };

    explicit ReadingWalk(Forest& forest) : forest_(forest) {}

    Action on_child(std::string_view key, std::string_view text, TreeNode& working);

    // The same for a child that is a number the parser already converted (correctly rounded,
    // as the text reading would give it) without its text at hand. Keys whose meaning depends
    // on the text itself ("Depth", "Var", "TBN") need the text: for them nothing is changed and
    // the result is empty.
    std::optional<Action> on_number(std::string_view key, double value, TreeNode& working);

    // Whether the key's number is kept as a double, where "-0" and "0" differ.
    static bool keeps_sign_of_zero(std::string_view key) { return key == "Mu" || key == "ORDRule"; }

    // Counted in the forest when an internal node has nothing after "TBN": the reader that
    // runs the job reports it.
    void report_missing_subtree() { ++forest_.missing_subtrees; }

private:
    Action on_leaf_value(double value, TreeNode& working);
    Action on_other_key(std::string_view key, TreeNode& working);

    Forest& forest_;
};

} // namespace veldra
