#pragma once

#include <sstream>
#include <stdexcept>
#include <string>

#include <boost/filesystem/path.hpp>

namespace veldra::training_error {

// Ends the training with a message for the user.
[[noreturn]] inline void fail(const std::string& message) {
    throw std::runtime_error(message);
}

// A path as the messages show it: in double quotes, as Boost prints paths.
inline std::string quoted(const std::string& path) {
    std::ostringstream out;
    out << boost::filesystem::path(path);
    return out.str();
}

} // namespace veldra::training_error
