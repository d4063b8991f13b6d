#include "models/model_directory.h"

#include "text/platform.h"

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

bool entry_exists(const fs::path& path) {
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    return !error && status.type() != fs::file_not_found && status.type() != fs::status_error;
}

} // namespace

std::pair<ModelDirectory, ModelDirectory> model_directory_candidates(const std::string& program) {
    boost::system::error_code error;
    fs::path executable = fs::canonical(fs::path(program), fs::current_path(), error);
    if (error || program.empty() || !fs::is_regular_file(executable, error)) {
        executable = fs::canonical(fs::path(running_executable_path()), error);
    }
    const fs::path folder = executable.parent_path();
    return {folder / model_directory_location, folder.parent_path() / model_directory_location};
}

std::optional<ModelDirectory> search_model_directory(const std::string& program) {
    const auto [first, second] = model_directory_candidates(program);
    if (entry_exists(first)) {
        return first;
    }
    if (entry_exists(second)) {
        return second;
    }
    return std::nullopt;
}

std::optional<ModelDirectory> find_model_directory(const std::string& program, std::ostream& err) {
    if (std::optional<ModelDirectory> found = search_model_directory(program)) {
        return found;
    }
    const auto [first, second] = model_directory_candidates(program);
    err << "Resources not found. Expected locations:\n"
        << "  " << first << "\n"
        << "  " << second << std::endl;
    return std::nullopt;
}

} // namespace veldra
