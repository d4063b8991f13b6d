#pragma once

#include "bart/forest.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veldra {

// Reads the model document at `path` into an empty forest (new or cleared). A plain document
// (what real model files are) is read in one pass, any other valid one with simdjson, both
// walked in document order; a document they do not accept is read by the reference reader, so
// that its error text is the one raised.
void read_model_document(const std::string& path, Forest& forest);

// The same, keeping its buffers (the file's bytes, simdjson's parser) from one document to the
// next: one reader per thread. Objects rather than thread-local buffers, whose destruction at a
// thread's end MinGW's runtime orders after their storage is gone.
class ModelDocumentReader {
public:
    ModelDocumentReader();
    ~ModelDocumentReader();
    ModelDocumentReader(const ModelDocumentReader&) = delete;
    ModelDocumentReader& operator=(const ModelDocumentReader&) = delete;
    void read(const std::string& path, Forest& forest);

private:
    struct Buffers;
    std::unique_ptr<Buffers> buffers_;
};

// The reference reader: Boost.PropertyTree's JSON parser, then the reading walk, after checking
// the limits below (a document beyond them raises a message naming the file).
void read_model_document_reference(const std::string& path, Forest& forest);

// Limits that keep a hostile document from exhausting memory or the stack (the reference
// parser and the reading walk descend one call per level): real documents are a few hundred
// kilobytes and nest a few dozen levels.
constexpr std::uintmax_t largest_model_bytes = std::uintmax_t{256} << 20;
constexpr std::size_t deepest_model_nesting = 512;

} // namespace veldra
