#pragma once

#include "bart/model_document.h"
#include "logging/logger_set.h"

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
    unsigned threads = 0; // 0: one per core
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

// The forest files of a model, sorted by name: `list_matching_files` that fails when none match.
std::vector<std::string> forest_files(const std::string& forest_path,
                                      const std::string& format_word);

// Paths of the folder entries whose names match the pattern as a whole, unsorted.
std::vector<std::string> list_matching_files(const std::string& path,
                                             const std::string& default_pattern);

} // namespace veldra
