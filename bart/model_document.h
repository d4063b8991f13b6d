#pragma once

#include "bart/forest.h"

#include <string>

namespace veldra {

// How model documents are parsed. Both drive the same reading walk and give the same node
// lists, or the same error text; the reference is Boost.PropertyTree's JSON reader.
enum class ModelReader { fast, reference };

// Reads the model document at `path` into an empty forest (Forest::read on the parsed
// document). The fast reader parses and validates the document with simdjson and walks the
// parsed document in document order; a document it does not accept is read by the reference
// reader, so that the reference's error text is the one raised.
void read_model_document(const std::string& path, Forest& forest, ModelReader reader);

} // namespace veldra
