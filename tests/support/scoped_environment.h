#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace veldra::test {

// Sets an environment variable for the life of the object, then gives it back its earlier value
// (or removes it), even when the test fails on the way.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            old_ = old;
        }
        set(value.c_str());
    }
    ~ScopedEnvironment() { set(old_ ? old_->c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    void set(const char* value) {
#if defined(_WIN32)
        _putenv_s(name_.c_str(), value ? value : ""); // "" removes it
#else
        if (value) {
            ::setenv(name_.c_str(), value, 1);
        } else {
            ::unsetenv(name_.c_str());
        }
#endif
    }

    std::string name_;
    std::optional<std::string> old_;
};

} // namespace veldra::test
