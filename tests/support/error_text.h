#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace veldra::test {

// A text with its paths spelt as on Linux: on Windows, where paths joined by the programs take
// backslashes, every backslash becomes a slash, so that an expected message names paths one way.
inline std::string slashes(std::string text) {
#if defined(_WIN32)
    for (char& c : text) {
        c = c == '\\' ? '/' : c;
    }
#endif
    return text;
}

inline std::vector<std::string> slashes(std::vector<std::string> texts) {
    for (std::string& text : texts) {
        text = slashes(std::move(text));
    }
    return texts;
}

// The text of the exception `run` raises, or "no error".
inline std::string error_text(const std::function<void()>& run) {
    try {
        run();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

} // namespace veldra::test
