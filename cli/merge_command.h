#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace veldra {

// veldra-predict --merge-shards N --output FILE: puts together the outputs of the N shards run
// with that output path, and does nothing else. Nothing when the arguments hold no
// --merge-shards; else the exit status, having listed the files written on `out` ("Files
// created:" and one indented path per line) or said why not on `err`.
std::optional<int> run_merge_command(const std::vector<std::string>& arguments, std::ostream& out,
                                     std::ostream& err);

} // namespace veldra
