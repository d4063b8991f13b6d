#include "bart/model_document.h"

#include "bart/plain_document.h"
#include "bart/reading_walk.h"
#include "text/platform.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <locale>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <simdjson.h>

namespace veldra {

namespace {

namespace dom = simdjson::dom;

// Thrown out of the fast walk when it cannot give the reference's result itself; the document
// is then read again by the reference reader.
struct FastReaderFailed {};

// Bytes read from a model file at a time.
constexpr std::size_t chunk = 1 << 16;

// Walks the validated document in document order (objects keep repeated keys), giving the
// reading walk what the reference reader would: strings unescaped, literals as their text,
// integers as their decimal text, and other numbers as the correctly rounded values the text
// reading yields too.
class FastWalk {
public:
    explicit FastWalk(ReadingWalk& walk) : walk_(walk) {}

    // Takes the children of `value` in document order, as the reference visit does.
    void visit(dom::element value, TreeNode& working) {
        bool subtree_next = false;
        if (value.type() == dom::element_type::OBJECT) {
            for (const dom::key_value_pair field : dom::object(value)) {
                if (step(field.key, field.value, working, subtree_next)) {
                    return;
                }
            }
        } else if (value.type() == dom::element_type::ARRAY) {
            for (const dom::element element : dom::array(value)) {
                if (step(std::string_view(), element, working, subtree_next)) {
                    return;
                }
            }
        } else {
            return;
        }
        if (subtree_next) {
            ++missing_subtrees_;
        }
    }

    // Notices the reference prints on its way; printed once the walk has succeeded, since a walk
    // that gives up leaves the document to the reference, which prints them itself.
    std::size_t missing_subtrees() const { return missing_subtrees_; }

private:
    // One child of a visit; returns true when the visit of the parent ends here.
    bool step(std::string_view key, dom::element child, TreeNode& working, bool& subtree_next) {
        if (subtree_next) {
            TreeNode fresh;
            visit(child, fresh);
            return true;
        }
        const dom::element_type type = child.type();
        ReadingWalk::Action action = ReadingWalk::Action::go_on;
        if (type == dom::element_type::DOUBLE) {
            const std::optional<ReadingWalk::Action> taken =
                walk_.on_number(key, child.get_double().value_unsafe(), working);
            if (!taken) {
                throw FastReaderFailed{};
            }
            action = *taken;
        } else {
            // The parser reads "-0" as the integer 0: where the sign would be kept, the text
            // is needed.
            if (type == dom::element_type::INT64 && child.get_int64().value_unsafe() == 0 &&
                ReadingWalk::keeps_sign_of_zero(key)) {
                throw FastReaderFailed{};
            }
            action = walk_.on_child(key, scalar_text(child, type), working);
        }
        switch (action) {
        case ReadingWalk::Action::go_on:
            return false;
        case ReadingWalk::Action::stop:
            return true;
        case ReadingWalk::Action::visit_container:
            visit(child, working);
            return false;
        case ReadingWalk::Action::visit_subtree:
            subtree_next = true;
            return false;
        }
        return false;
    }

    // The text the reference reader holds for a value that is not a fractional number; empty
    // for containers. An integer's text is its decimal form (JSON allows no other), except
    // that "-0" becomes "0", which reads the same as an integer or as characters.
    std::string_view scalar_text(dom::element value, dom::element_type type) {
        switch (type) {
        case dom::element_type::STRING:
            return value.get_string().value_unsafe();
        case dom::element_type::INT64:
            return integer_text(value.get_int64().value_unsafe());
        case dom::element_type::UINT64:
            return integer_text(value.get_uint64().value_unsafe());
        case dom::element_type::BOOL:
            return value.get_bool().value_unsafe() ? "true" : "false";
        case dom::element_type::NULL_VALUE:
            return "null";
        default:
            return std::string_view();
        }
    }

    template <typename Integer>
    std::string_view integer_text(Integer value) {
        const std::to_chars_result written =
            std::to_chars(number_, number_ + sizeof number_, value);
        return std::string_view(number_, static_cast<std::size_t>(written.ptr - number_));
    }

    ReadingWalk& walk_;
    char number_[24];
    std::size_t missing_subtrees_ = 0;
};

[[noreturn]] void fail_limit(const std::string& path, const std::string& problem) {
    std::ostringstream message;
    message << "Model file " << boost::filesystem::path(path) << " " << problem;
    throw std::runtime_error(message.str());
}

// How deep containers nest in `text`, outside strings; stops counting past `limit`.
std::size_t nesting_depth(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size() && deepest <= limit; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

void visit(const boost::property_tree::ptree& entry, TreeNode& working, ReadingWalk& walk) {
    for (auto child = entry.begin(); child != entry.end(); ++child) {
        switch (walk.on_child(child->first, child->second.data(), working)) {
        case ReadingWalk::Action::go_on:
            break;
        case ReadingWalk::Action::stop:
            return;
        case ReadingWalk::Action::visit_container:
            visit(child->second, working, walk);
            break;
        case ReadingWalk::Action::visit_subtree: {
            const auto subtree = std::next(child);
            if (subtree == entry.end()) {
                walk.report_missing_subtree();
                return;
            }
            TreeNode fresh;
            visit(subtree->second, fresh, walk);
            return;
        }
        }
    }
}

// The reference parse of the document at `path` (Boost.PropertyTree's JSON reader), after
// checking the limits; a document beyond them raises a message naming the file.
boost::property_tree::ptree parse_model_document(const std::string& path) {
    boost::system::error_code error;
    const std::uintmax_t size = boost::filesystem::file_size(path, error);
    if (!error && size > largest_model_bytes) {
        fail_limit(path, "is larger than " + std::to_string(largest_model_bytes >> 20) + " MB.");
    }
    {
        std::ifstream in(native_path(path), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        if (nesting_depth(text, deepest_model_nesting) > deepest_model_nesting) {
            fail_limit(path,
                       "nests deeper than " + std::to_string(deepest_model_nesting) + " levels.");
        }
    }
    // As read_json(path, ...) reads a named file, with its messages, through the wide path.
    namespace json = boost::property_tree::json_parser;
    std::ifstream stream(native_path(path));
    if (!stream) {
        throw json::json_parser_error("cannot open file", path, 0);
    }
    stream.imbue(std::locale());
    boost::property_tree::ptree document;
    json::detail::read_json_internal(stream, document, path);
    return document;
}

// The whole file in `bytes`, followed by the zero padding the parser reads past the end;
// false when it cannot be read.
bool load_padded(const std::string& path, std::vector<char>& bytes, std::size_t& size) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(open_file(path, "rb"), &std::fclose);
    if (!file) {
        return false;
    }
    // Reads go straight into `bytes`: a stream buffer would only add a copy and its setting up.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    size = 0;
    for (;;) {
        if (bytes.size() < size + simdjson::SIMDJSON_PADDING + chunk) {
            bytes.resize(size + simdjson::SIMDJSON_PADDING + chunk);
        }
        const std::size_t got = std::fread(bytes.data() + size, 1, chunk, file.get());
        size += got;
        if (size > largest_model_bytes) {
            return false; // the reference reader names the problem
        }
        if (got < chunk) {
            break;
        }
    }
    if (std::ferror(file.get()) != 0) {
        return false;
    }
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(size), simdjson::SIMDJSON_PADDING,
                '\0');
    return true;
}

} // namespace

struct ModelDocumentReader::Buffers {
    std::vector<char> bytes;
    std::optional<dom::parser> parser; // made when a document is not plain
};

namespace {

// The parser, allocated once; nesting beyond the limit is a depth error in it, so the reference
// reader names it.
dom::parser& parser_of(std::optional<dom::parser>& parser) {
    if (!parser) {
        dom::parser made;
        if (made.allocate(chunk, deepest_model_nesting) != simdjson::SUCCESS) {
            throw std::bad_alloc();
        }
        parser.emplace(std::move(made));
    }
    return *parser;
}

// Reads a plain document in one pass, any other valid one with simdjson, into an empty forest;
// false, with the forest empty again, when the document is left to the reference reader.
bool read_fast(const std::string& path, Forest& forest, std::vector<char>& bytes,
               std::optional<dom::parser>& parser_slot) {
    std::size_t size = 0;
    if (!load_padded(path, bytes, size)) {
        return false;
    }
    if (read_plain_document(std::string_view(bytes.data(), size), forest)) {
        return true;
    }
    forest.clear();
    // The whole document is validated: one the reference rejects is never accepted here.
    dom::element root;
    if (parser_of(parser_slot).parse(bytes.data(), size, false).get(root) != simdjson::SUCCESS ||
        (root.type() != dom::element_type::OBJECT && root.type() != dom::element_type::ARRAY)) {
        return false;
    }
    ReadingWalk walk(forest);
    FastWalk fast(walk);
    TreeNode working;
    try {
        fast.visit(root, working);
    } catch (const FastReaderFailed&) {
        forest.clear();
        return false;
    } catch (const std::exception&) {
        forest.clear();
        return false; // the reference raises the same error after the same notices
    }
    for (std::size_t n = 0; n < fast.missing_subtrees(); ++n) {
        walk.report_missing_subtree();
    }
    return true;
}

} // namespace

void read_model_document_reference(const std::string& path, Forest& forest) {
    const boost::property_tree::ptree document = parse_model_document(path);
    ReadingWalk walk(forest);
    TreeNode working;
    visit(document, working, walk);
}

ModelDocumentReader::ModelDocumentReader() : buffers_(std::make_unique<Buffers>()) {}

ModelDocumentReader::~ModelDocumentReader() = default;

void ModelDocumentReader::read(const std::string& path, Forest& forest) {
    if (!read_fast(path, forest, buffers_->bytes, buffers_->parser)) {
        read_model_document_reference(path, forest);
    }
}

void read_model_document(const std::string& path, Forest& forest) {
    ModelDocumentReader().read(path, forest);
}

} // namespace veldra
