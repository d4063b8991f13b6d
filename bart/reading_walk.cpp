#include "bart/reading_walk.h"

#include "text/c_number.h"

#include <stdexcept>

namespace veldra {

ReadingWalk::Action ReadingWalk::on_child(std::string_view key, std::string_view text,
                                          TreeNode& working) {
    if (key == "Depth") {
        working.depth = read_c_int(text);
        working.has_depth = true;
        return Action::go_on;
    }
    if (key == "Var") {
        working.split_variable = read_c_int(text);
        return Action::go_on;
    }
    if (key == "Mu") {
        return on_leaf_value(read_c_double(text), working);
    }
    if (key == "ORDRule") {
        const std::size_t equals = text.find('=');
        working.cut_value =
            read_c_double(equals == std::string_view::npos ? text : text.substr(equals + 1));
        return Action::go_on;
    }
    if (key == "TBN") {
        if (text.size() < 3) {
            throw std::out_of_range("invalid string position");
        }
        working.flag_t = text[0] == '1';
        working.is_leaf = text[1] == '1';
        working.flag_n = text[2] == '1';
        if (working.cut_value != -1.0) {
            forest_.append_node(working);
            return Action::visit_subtree;
        }
        return Action::go_on;
    }
    return on_other_key(key, working);
}

std::optional<ReadingWalk::Action> ReadingWalk::on_number(std::string_view key, double value,
                                                          TreeNode& working) {
    if (key == "Depth" || key == "Var" || key == "TBN") {
        return std::nullopt;
    }
    if (key == "Mu") {
        return on_leaf_value(value, working);
    }
    if (key == "ORDRule") {
        // A number's text holds no '=': the whole text is the cut.
        working.cut_value = value;
        return Action::go_on;
    }
    return on_other_key(key, working);
}

ReadingWalk::Action ReadingWalk::on_leaf_value(double value, TreeNode& working) {
    working.leaf_value = value;
    forest_.append_node(working);
    return Action::stop;
}

ReadingWalk::Action ReadingWalk::on_other_key(std::string_view key, TreeNode& working) {
    if (key == "n") {
        return Action::go_on;
    }
    if (key == "Tree") {
        forest_.start_tree();
        return Action::go_on;
    }
    working.reset();
    return Action::visit_container;
}

} // namespace veldra
