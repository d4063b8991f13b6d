#pragma once

#include <string>
#include <system_error>

namespace veldra {

// The one way a file takes its place: written whole beside its target (`partial`), its bytes
// synced to the disk, renamed onto the target in one step, and the folder synced where the
// system keeps a folder apart. A reader sees the old file or the whole new one, never part of
// one, and after a crash or a power cut the disk holds one of the two. `error` is the rename's;
// the partial file stays where it was when the rename fails.
void place_file(const std::string& partial, const std::string& target, std::error_code& error);

} // namespace veldra
