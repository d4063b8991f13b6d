#pragma once

#include "bart/forest.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

namespace veldra {

// How model documents are parsed. Both drive the same reading walk and give the same node
// lists, or the same error text; the reference is Boost.PropertyTree's JSON reader.
enum class ModelReader { fast, reference };

// Reads the model document at `path` into an empty forest (new or cleared), as Forest::read
// does with the parsed document. The fast reader parses and validates the document with simdjson
// and walks the parsed document in document order; a document it does not accept is read by the
// reference reader, so that the reference's error text is the one raised.
void read_model_document(const std::string& path, Forest& forest, ModelReader reader);

// Limits that keep a hostile document from exhausting memory or the stack (the reference
// parser and the reading walk descend one call per level): real documents are a few hundred
// kilobytes and nest a few dozen levels.
constexpr std::uintmax_t largest_model_bytes = std::uintmax_t{256} << 20;
constexpr std::size_t deepest_model_nesting = 512;

// The reference parse of the document at `path` (Boost.PropertyTree's JSON reader), after
// checking the limits; a document beyond them raises a message naming the file.
boost::property_tree::ptree parse_model_document(const std::string& path);

} // namespace veldra
