#include "bart/plain_document.h"

#include "bart/model_document.h"
#include "bart/reading_walk.h"

#include <array>
#include <cstdint>
#include <exception>

namespace veldra {

namespace {

// Thrown when the document leaves the plain form or the walk fails; caught at the top.
struct NotPlain {};

// A recursive-descent scan that validates every byte and drives the reading walk on the
// entries it visits, exactly as the reference visit takes the parsed document: children in
// document order, containers with an empty text, scalars with their text as written. Entries
// the walk does not visit are still scanned, so that an invalid document is never accepted.
class PlainScan {
public:
    PlainScan(std::string_view text, ReadingWalk& walk)
        : at_(text.data()), end_(text.data() + text.size()), walk_(walk) {}

    void document() {
        skip_space();
        const char open = *at_;
        if (open != '{' && open != '[') {
            throw NotPlain{};
        }
        ++at_;
        TreeNode working;
        container(open == '{', &working);
        skip_space();
        if (at_ != end_) {
            throw NotPlain{};
        }
    }

    // Notices the reference prints on its way through the document, in order.
    std::size_t missing_subtrees() const { return missing_subtrees_; }

private:
    // The body of a container whose opening bracket was read, through its closing bracket. With
    // a working node the container is visited; without one it is only scanned.
    void container(bool object, TreeNode* working) {
        if (++depth_ > deepest_model_nesting) {
            throw NotPlain{};
        }
        const char close = object ? '}' : ']';
        skip_space();
        if (*at_ == close) {
            ++at_;
            --depth_;
            return;
        }
        // How the visit goes on: child by child, the next child as a fresh subtree, or over.
        enum class Mode { walk, subtree_next, done };
        Mode mode = working != nullptr ? Mode::walk : Mode::done;
        for (;;) {
            const std::string_view key = object ? member_key() : std::string_view();
            const char first = *at_;
            const bool nested = first == '{' || first == '[';
            std::string_view text;
            if (nested) {
                ++at_;
            } else {
                text = scalar();
            }
            if (mode == Mode::done) {
                if (nested) {
                    container(first == '{', nullptr);
                }
            } else if (mode == Mode::subtree_next) {
                TreeNode fresh;
                if (nested) {
                    container(first == '{', &fresh);
                }
                mode = Mode::done;
            } else {
                ReadingWalk::Action action = ReadingWalk::Action::go_on;
                try {
                    action = walk_.on_child(key, text, *working);
                } catch (const std::exception&) {
                    throw NotPlain{};
                }
                if (action == ReadingWalk::Action::stop) {
                    mode = Mode::done;
                } else if (action == ReadingWalk::Action::visit_subtree) {
                    mode = Mode::subtree_next;
                }
                if (nested) {
                    container(first == '{',
                              action == ReadingWalk::Action::visit_container ? working : nullptr);
                }
            }
            skip_space();
            if (*at_ == ',') {
                ++at_;
                skip_space();
                continue;
            }
            if (*at_ != close) {
                throw NotPlain{};
            }
            ++at_;
            break;
        }
        if (mode == Mode::subtree_next) {
            ++missing_subtrees_;
        }
        --depth_;
    }

    // An object member's key and the colon after it, and the space around them.
    std::string_view member_key() {
        if (*at_ != '"') {
            throw NotPlain{};
        }
        ++at_;
        const std::string_view key = string();
        skip_space();
        if (*at_ != ':') {
            throw NotPlain{};
        }
        ++at_;
        skip_space();
        return key;
    }

    // A scalar at the current position: a string's characters, a number's or a literal's text.
    std::string_view scalar() {
        if (*at_ == '"') {
            ++at_;
            return string();
        }
        const char* const start = at_;
        if (*at_ == '-' || is_digit(*at_)) {
            number();
        } else {
            for (const char* literal : {"true", "false", "null"}) {
                // Compared byte by byte: the zero byte after the text ends a mismatch.
                std::size_t n = 0;
                while (literal[n] != '\0' && at_[n] == literal[n]) {
                    ++n;
                }
                if (literal[n] == '\0') {
                    at_ += n;
                    break;
                }
            }
        }
        if (at_ == start) {
            throw NotPlain{};
        }
        return std::string_view(start, static_cast<std::size_t>(at_ - start));
    }

    // The characters of a string whose opening quote was read, through its closing quote. The
    // zero byte after the text ends any scan that would run past it.
    std::string_view string() {
        const char* const start = at_;
        const char* end = start; // a local the compiler keeps in a register
        while (is_plain_character(*end)) {
            ++end;
        }
        if (*end != '"') {
            throw NotPlain{};
        }
        at_ = end + 1;
        return std::string_view(start, static_cast<std::size_t>(end - start));
    }

    // JSON's number: a minus, no leading zeros, a fraction and an exponent each with digits.
    void number() {
        if (*at_ == '-') {
            ++at_;
        }
        if (*at_ == '0') {
            ++at_;
        } else if (is_digit(*at_)) {
            digits();
        } else {
            throw NotPlain{};
        }
        if (*at_ == '.') {
            ++at_;
            digits();
        }
        if (*at_ == 'e' || *at_ == 'E') {
            ++at_;
            if (*at_ == '+' || *at_ == '-') {
                ++at_;
            }
            digits();
        }
    }

    void digits() {
        const char* end = at_;
        while (is_digit(*end)) {
            ++end;
        }
        if (end == at_) {
            throw NotPlain{};
        }
        at_ = end;
    }

    void skip_space() {
        const char* end = at_;
        while ((classes_of(*end) & space) != 0) {
            ++end;
        }
        at_ = end;
    }

    // Classes of bytes, as bits. Printable ASCII and delete, less the quote and the backslash,
    // is a string's text as written; JSON's whitespace is the space, tab, line feed and carriage
    // return.
    enum Class : std::uint8_t { plain = 1, digit = 2, space = 4 };

    static std::uint8_t classes_of(char c) {
        static constexpr std::array<std::uint8_t, 256> classes = [] {
            std::array<std::uint8_t, 256> table{};
            for (int b = 0x20; b < 0x80; ++b) {
                table[b] = plain;
            }
            table['"'] = 0;
            table['\\'] = 0;
            for (int b = '0'; b <= '9'; ++b) {
                table[b] = plain | digit;
            }
            table[' '] = plain | space;
            table['\t'] = space;
            table['\n'] = space;
            table['\r'] = space;
            return table;
        }();
        return classes[static_cast<unsigned char>(c)];
    }

    static bool is_digit(char c) { return (classes_of(c) & digit) != 0; }
    static bool is_plain_character(char c) { return (classes_of(c) & plain) != 0; }

    const char* at_;
    const char* const end_;
    ReadingWalk& walk_;
    std::size_t depth_ = 0;
    std::size_t missing_subtrees_ = 0;
};

} // namespace

bool read_plain_document(std::string_view text, Forest& forest) {
    ReadingWalk walk(forest);
    PlainScan scan(text, walk);
    try {
        scan.document();
    } catch (const NotPlain&) {
        return false;
    }
    for (std::size_t n = 0; n < scan.missing_subtrees(); ++n) {
        walk.report_missing_subtree();
    }
    return true;
}

} // namespace veldra
