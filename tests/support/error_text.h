#pragma once

#include <exception>
#include <functional>
#include <string>

namespace veldra::test {

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
