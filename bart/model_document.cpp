#include "bart/model_document.h"

#include "bart/reading_walk.h"

#include <locale>
#include <memory>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <simdjson.h>

namespace veldra {

namespace {

namespace od = simdjson::ondemand;

// Thrown out of the fast walk when simdjson reports an error after validation; the document is
// then read again by the reference reader.
struct FastReaderFailed {};

void check(simdjson::error_code error) {
    if (error != simdjson::SUCCESS) {
        throw FastReaderFailed{};
    }
}

std::string_view trim_json_space(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                             text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

class FastWalk {
public:
    explicit FastWalk(ReadingWalk& walk) : walk_(walk) {}

    // Takes the children of `value` in document order, as the reference visit does.
    void visit(od::value value, TreeNode& working) {
        od::json_type type;
        check(value.type().get(type));
        if (type == od::json_type::object) {
            od::object object;
            check(value.get_object().get(object));
            bool subtree_next = false;
            for (auto field_result : object) {
                check(field_result.error());
                od::field field = std::move(field_result).value_unsafe();
                std::string_view key;
                check(field.unescaped_key().get(key));
                if (step(key, field.value(), working, subtree_next)) {
                    return;
                }
            }
            if (subtree_next) {
                ReadingWalk::report_missing_subtree();
            }
        } else if (type == od::json_type::array) {
            od::array array;
            check(value.get_array().get(array));
            bool subtree_next = false;
            for (auto element_result : array) {
                check(element_result.error());
                od::value element = std::move(element_result).value_unsafe();
                if (step(std::string_view(), element, working, subtree_next)) {
                    return;
                }
            }
            if (subtree_next) {
                ReadingWalk::report_missing_subtree();
            }
        }
    }

private:
    // One child of a visit; returns true when the visit of the parent ends here.
    bool step(std::string_view key, od::value child, TreeNode& working, bool& subtree_next) {
        if (subtree_next) {
            TreeNode fresh;
            visit(child, fresh);
            return true;
        }
        od::json_type type;
        check(child.type().get(type));
        std::string_view text;
        if (type == od::json_type::string) {
            check(child.get_string().get(text));
        } else if (type != od::json_type::object && type != od::json_type::array) {
            text = trim_json_space(child.raw_json_token());
        }
        switch (walk_.on_child(key, text, working)) {
        case ReadingWalk::Action::go_on:
            return false;
        case ReadingWalk::Action::stop:
            return true;
        case ReadingWalk::Action::visit_container:
            if (type == od::json_type::object || type == od::json_type::array) {
                visit(child, working);
            }
            return false;
        case ReadingWalk::Action::visit_subtree:
            subtree_next = true;
            return false;
        }
        return false;
    }

    ReadingWalk& walk_;
};

void read_reference(const std::string& path, Forest& forest) {
    boost::property_tree::ptree document;
    boost::property_tree::read_json(path, document, std::locale());
    forest.read(document);
}

// Reads with simdjson; false when the document is left to the reference reader.
bool read_fast(const std::string& path, Forest& forest) {
    simdjson::padded_string bytes;
    if (simdjson::padded_string::load(path).get(bytes) != simdjson::SUCCESS) {
        return false;
    }
    // Full validation first: the walk skips what it does not read, and a document the
    // reference would reject must never be accepted here.
    thread_local simdjson::dom::parser validator;
    simdjson::dom::element root;
    if (validator.parse(bytes).get(root) != simdjson::SUCCESS ||
        (root.type() != simdjson::dom::element_type::OBJECT &&
         root.type() != simdjson::dom::element_type::ARRAY)) {
        return false;
    }
    thread_local od::parser parser;
    od::document document;
    if (parser.iterate(bytes).get(document) != simdjson::SUCCESS) {
        return false;
    }
    od::value value;
    if (document.get_value().get(value) != simdjson::SUCCESS) {
        return false;
    }
    ReadingWalk walk(forest);
    FastWalk fast(walk);
    TreeNode working;
    try {
        fast.visit(value, working);
    } catch (const FastReaderFailed&) {
        return false;
    }
    return true;
}

} // namespace

void read_model_document(const std::string& path, Forest& forest, ModelReader reader) {
    if (reader == ModelReader::fast) {
        Forest attempt;
        if (read_fast(path, attempt)) {
            forest.node_lists = std::move(attempt.node_lists);
            forest.current_tree = attempt.current_tree;
            return;
        }
    }
    read_reference(path, forest);
}

} // namespace veldra
