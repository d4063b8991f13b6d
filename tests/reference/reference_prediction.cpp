#include "tests/reference/reference_prediction.h"

#include "bart/model_document.h"
#include "text/first_derivative.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra::test {

namespace fs = boost::filesystem;

void read_with(Reader reader, const std::string& path, Forest& forest) {
    if (reader == Reader::fast) {
        read_model_document(path, forest);
    } else {
        read_model_document_reference(path, forest);
    }
}

double reference_forest_sum(const Forest& forest, const double* row) {
    double sum = 0.0;
    for (std::size_t k = 1; k < forest.roots.size(); ++k) {
        sum += forest.roots[k]->evaluate(row);
    }
    return sum;
}

void read_forest_text(const std::string& json, Forest& forest) {
    const fs::path path =
        fs::temp_directory_path() / fs::unique_path("veldra-forest-%%%%%%%%.json");
    {
        std::ofstream out(path.string(), std::ios::binary);
        out << json;
    }
    try {
        read_model_document_reference(path.string(), forest);
    } catch (...) {
        fs::remove(path);
        throw;
    }
    fs::remove(path);
}

std::vector<double> predict_with_built_forest(const Forest& forest, const SpectraRows& rows,
                                              const RangeScaling& scaling, bool first_derivative,
                                              const std::string& source) {
    for (const std::vector<double>& row : rows) {
        forest.check_row(row.size(), source);
    }
    std::vector<double> values;
    values.reserve(rows.size());
    std::vector<double> working;
    for (const std::vector<double>& row : rows) {
        working = row;
        if (first_derivative) {
            veldra::first_derivative(row.data(), row.size(), working.data());
        }
        const double sum = reference_forest_sum(forest, working.data());
        values.push_back((scaling.second - scaling.first) * (sum + 0.5) + scaling.first);
    }
    return values;
}

std::vector<double> predict_with_forest(const std::string& json, const SpectraRows& rows,
                                        const RangeScaling& scaling, bool first_derivative) {
    Forest forest;
    read_forest_text(json, forest);
    forest.build_trees();
    return predict_with_built_forest(forest, rows, scaling, first_derivative);
}

PredictionMatrix reference_predict_from_forest_files(const std::string& forest_path,
                                                     const std::string& format_word,
                                                     const SpectraRows& rows,
                                                     const RangeScaling& scaling,
                                                     bool first_derivative, LoggerSet& log) {
    if (rows.empty()) {
        throw std::runtime_error("indata is empty");
    }
    const std::vector<std::string> files = forest_files(forest_path, format_word);
    log.inner_maximum = static_cast<std::int32_t>(files.size()) - 1;
    const std::string separator(45, '=');
    PredictionMatrix matrix;
    for (std::size_t i = 0; i < files.size(); ++i) {
        log.inner_position = static_cast<std::int32_t>(i);
        Forest forest;
        read_model_document_reference(files[i], forest);
        for (std::size_t n = 0; n < forest.missing_subtrees; ++n) {
            VELDRA_LOG(log, Severity::warning) << missing_subtree_notice;
        }
        VELDRA_LOG(log, Severity::debug) << separator;
        VELDRA_LOG(log, Severity::debug) << "FOREST: " << files[i];
        VELDRA_LOG(log, Severity::debug) << separator;
        VELDRA_LOG(log, Severity::debug) << "Number of predicted values: " << rows.size();
        forest.build_trees(files[i]);
        matrix.push_back(
            predict_with_built_forest(forest, rows, scaling, first_derivative, files[i]));
    }
    return matrix;
}

} // namespace veldra::test
