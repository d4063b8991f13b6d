#include "bart/forest_prediction.h"

#include "bart/forest.h"

#include <algorithm>
#include <locale>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/regex.hpp>

namespace veldra {

namespace fs = boost::filesystem;

PredictionMatrix predict_from_forest_files(const std::string& forest_path,
                                           const std::string& format_word, const SpectraRows& rows,
                                           const RangeScaling& scaling, bool first_derivative,
                                           LoggerSet& log, ModelReader reader) {
    if (rows.empty()) {
        throw std::runtime_error("indata is empty");
    }
    std::vector<std::string> files = list_matching_files(forest_path, format_word);
    if (files.empty()) {
        throw std::runtime_error("No files found in '" + forest_path + "' which match '" +
                                 format_word + "'");
    }
    std::sort(files.begin(), files.end());

    log.inner_maximum = static_cast<std::int32_t>(files.size()) - 1;
    log.inner_position = 0;
    const std::string separator(45, '=');
    PredictionMatrix matrix;
    matrix.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        log.inner_position = static_cast<std::int32_t>(i);
        VELDRA_LOG(log, 0) << separator;
        VELDRA_LOG(log, 0) << "FOREST: " << files[i];
        VELDRA_LOG(log, 0) << separator;
        VELDRA_LOG(log, 0) << "Number of predicted values: " << rows.size();
        Forest forest;
        read_model_document(files[i], forest, reader);
        forest.build_trees(files[i]);
        matrix.push_back(
            predict_with_built_forest(forest, rows, scaling, first_derivative, files[i]));
    }
    return matrix;
}

std::vector<std::string> list_matching_files(const std::string& path,
                                             const std::string& default_pattern) {
    fs::path folder;
    std::string pattern;
    if (fs::is_directory(path)) {
        folder = path;
        pattern = default_pattern;
    } else {
        const fs::path given(path);
        folder = given.parent_path();
        pattern = given.filename().string();
    }
    if (folder.empty()) {
        folder = fs::current_path();
    }
    if (!fs::exists(folder) || !fs::is_directory(folder)) {
        std::ostringstream message;
        message << "Directory `" << folder << "` not exists";
        throw std::runtime_error(message.str());
    }

    std::string expression;
    for (const char c : pattern) {
        if (c == '.') {
            expression += "\\.";
        } else if (c == '*') {
            expression += ".*";
        } else {
            expression += c;
        }
    }
    const boost::regex matcher(expression, boost::regex::perl);

    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (boost::regex_match(entry.path().filename().string(), matcher)) {
            files.push_back((folder / entry.path().filename()).string());
        }
    }
    return files;
}

std::vector<double> predict_with_forest(const boost::property_tree::ptree& document,
                                        const SpectraRows& rows, const RangeScaling& scaling,
                                        bool first_derivative, const std::string& source) {
    Forest forest;
    forest.read(document);
    forest.build_trees(source);
    return predict_with_built_forest(forest, rows, scaling, first_derivative, source);
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
        const std::size_t n = row.size();
        if (first_derivative) {
            working.assign(n, 0.0);
            for (std::size_t i = 0; i + 1 < n; ++i) {
                working[i] = row[i + 1] - row[i];
            }
        } else {
            working = row;
        }
        const double sum = forest.predict(working.data());
        values.push_back((scaling.second - scaling.first) * (sum + 0.5) + scaling.first);
    }
    return values;
}

} // namespace veldra
