#include "text/placed_file.h"

#include "text/platform.h"

#include <filesystem>

namespace veldra {

void place_file(const std::string& partial, const std::string& target, std::error_code& error) {
    // A sync that fails (a file system that keeps no promises) leaves the rename as safe as it
    // was: the file is still whole before it is renamed.
    sync_to_disk(partial);
    std::filesystem::rename(native_path(partial), native_path(target), error);
    if (!error) {
        sync_to_disk(utf8_path(native_path(target).parent_path()));
    }
}

} // namespace veldra
