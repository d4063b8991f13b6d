#pragma once

#include "bart/compiled_forests.h"
#include "bart/flat_forest.h"
#include "bart/model_document.h"
#include "logging/logger_set.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veldra {

// The two numbers of a model's range file: a forest sum s maps to
// (second - first) x (s + 0.5) + first.
struct RangeScaling {
    double first = 0.0;
    double second = 0.0;
};

// Rows of covariates, one per sample, in column order.
using SpectraRows = std::vector<std::vector<double>>;

// One entry per posterior-sample file (a draw), each with one value per sample.
using PredictionMatrix = std::vector<std::vector<double>>;

// Logged for each internal node that a model document leaves without a subtree after "TBN".
constexpr const char* missing_subtree_notice =
    "INFO : No subtree in intermediate node? Something wrong...";

// How forest files are evaluated; every choice gives the same matrix.
struct PredictionOptions {
    unsigned threads = 0;  // 0: one per core
    bool log_files = true; // the per-file records (else only the progress pair is set)
};

// Evaluates every model document that `forest_path` names (a folder followed by a file-name
// pattern, or a folder whose entries must match `format_word`), in byte-wise order of their
// paths, on every row, and scales each sum. Sets the inner progress pair of `log` and writes
// the per-file records at level 0, in file order, each after the notices of its reading. Files are
// read and evaluated on several threads in batches; the matrix is in file order and the first error
// raised is the one of the earliest failing file, as one thread would find it.
PredictionMatrix predict_from_forest_files(const std::string& forest_path,
                                           const std::string& format_word, const SpectraRows& rows,
                                           const RangeScaling& scaling, bool first_derivative,
                                           LoggerSet& log,
                                           const PredictionOptions& options = PredictionOptions());

// The same for the model files listed, in their order (a model folder's draws as its owner
// listed and checked them).
PredictionMatrix predict_from_forest_files(const std::vector<std::string>& files,
                                           const SpectraRows& rows, const RangeScaling& scaling,
                                           bool first_derivative, LoggerSet& log,
                                           const PredictionOptions& options = PredictionOptions());

// A compiled model whose bytes turned out not to be its forests when they were first read (its
// checksum, or a forest): the draws are to be read instead.
class DamagedCompiledModel : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The forests of a model's files, read once and kept, for an input predicted a block of samples at
// a time. A file that cannot be read keeps its error, which `predict` raises in file order as
// `predict_from_forest_files` would.
class HeldForests {
public:
    // Reads and builds every file of `forest_path` on several threads.
    HeldForests(const std::string& forest_path, const std::string& format_word,
                const PredictionOptions& options = PredictionOptions());
    // Reads and builds the files listed, in their order.
    explicit HeldForests(std::vector<std::string> files,
                         const PredictionOptions& options = PredictionOptions());

    // The forests of `draws` model documents made in memory (`document(d)`, called from
    // several threads at once, for a fit just made), each read and built as a model file of
    // those bytes is, and named "draw <d + 1>" in messages. A document outside the plain form
    // the forest writer gives is refused, naming its draw.
    HeldForests(std::size_t draws, const std::function<std::string(std::size_t)>& document,
                const PredictionOptions& options = PredictionOptions());

    // The forests of a compiled model of the folder's draw files, named by their paths there.
    HeldForests(CompiledForests compiled, const std::string& folder);
    // The same from its indexed file: each forest is checked and read where it lies by the
    // first `predict`, on the thread that evaluates it, while its bytes are in the cache; that
    // call raises DamagedCompiledModel, nothing predicted, when the file is not what it says.
    HeldForests(CompiledFile compiled, const std::string& folder);

    std::size_t files() const { return files_.size(); }
    // Whether every file was read and built (a compiled model may be made of them).
    bool complete() const;
    // The compiled model of these forests, for draw files of `fingerprint`.
    std::string compiled_bytes(std::uint64_t fingerprint) const;
    // Writes that compiled model to `path` through `partial` (`write_compiled_forests`); false
    // when it cannot.
    bool write_compiled(const std::string& path, const std::string& partial,
                        std::uint64_t fingerprint) const;
    // The memory the forests take.
    std::size_t bytes() const;

    // The matrix `predict_from_forest_files` gives for these rows, with its per-file records
    // when `log_files` (their order and texts), else only the progress pair.
    // The first call on forests of a compiled file reads them (see above): that call must not
    // run beside another on the same forests.
    PredictionMatrix predict(const SpectraRows& rows, const RangeScaling& scaling,
                             bool first_derivative, LoggerSet& log, bool log_files,
                             const PredictionOptions& options = PredictionOptions()) const;

private:
    std::vector<std::string> files_;
    mutable std::vector<FlatForest> forests_; // a compiled file's read by the first predict
    std::vector<std::exception_ptr> errors_;
    std::vector<std::size_t> missing_subtrees_;
    std::shared_ptr<const void> storage_;        // the bytes compiled forests are evaluated in
    std::size_t storage_bytes_ = 0;              // their size
    mutable std::optional<CompiledFile> unread_; // a compiled file whose forests are unread
};

// The forest files of a model, sorted by name: `list_matching_files` that fails when none match.
std::vector<std::string> forest_files(const std::string& forest_path,
                                      const std::string& format_word);

// Paths of the folder entries whose names match the pattern as a whole, unsorted.
std::vector<std::string> list_matching_files(const std::string& path,
                                             const std::string& default_pattern);

} // namespace veldra
