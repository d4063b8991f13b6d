#pragma once

#include "bart/forest.h"

#include <string_view>

namespace veldra {

// Reads a model document in one pass, without building a parsed document, when it lies within
// the plain form real model files take: JSON whose strings hold printable ASCII without escapes,
// nesting within the model limit, nothing around the root object or array but whitespace. Then
// the reading walk gets every entry exactly as the reference reader gives it (number texts as
// written) and the result is the reference's. Returns false, with `forest` in an unspecified
// state and nothing printed, for any other document, valid or not, and whenever the walk raises
// an error: those are left to a reader that gives the reference's result or message. `text` must
// be followed by at least one zero byte.
bool read_plain_document(std::string_view text, Forest& forest);

} // namespace veldra
