#pragma once

#include "bart/forest.h"
#include "bart/forest_prediction.h"
#include "logging/logger_set.h"

#include <string>
#include <vector>

namespace veldra::test {

// The slow paths the fast ones are checked against: the reference reader, one forest at a time,
// row by row through the linked tree nodes.

// The two model document readers the product has: the fast one (with its fallback) and the
// reference alone.
enum class Reader { fast, reference };
void read_with(Reader reader, const std::string& path, Forest& forest);

// Sum over the trees, in tree order, for one row of covariates.
double reference_forest_sum(const Forest& forest, const double* row);

// Reads a model document given as text with the reference reader.
void read_forest_text(const std::string& json, Forest& forest);

// One draw from a built forest: every row (after the optional first derivative), scaled.
std::vector<double> predict_with_built_forest(const Forest& forest, const SpectraRows& rows,
                                              const RangeScaling& scaling, bool first_derivative,
                                              const std::string& source = std::string());

// One draw from a document given as text.
std::vector<double> predict_with_forest(const std::string& json, const SpectraRows& rows,
                                        const RangeScaling& scaling, bool first_derivative);

// Every document `forest_path` names, in byte-wise order, one thread, reference reader, with
// the same per-file records as the fast path.
PredictionMatrix reference_predict_from_forest_files(const std::string& forest_path,
                                                     const std::string& format_word,
                                                     const SpectraRows& rows,
                                                     const RangeScaling& scaling,
                                                     bool first_derivative, LoggerSet& log);

} // namespace veldra::test
