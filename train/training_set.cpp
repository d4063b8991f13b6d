#include "train/training_set.h"

#include "input/csv_reader.h"
#include "input/input_dispatch.h"
#include "text/csv_record.h"
#include "text/first_derivative.h"
#include "text/number_text.h"
#include "text/platform.h"
#include "train/training_error.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

using training_error::fail;
using training_error::quoted;

// A field without surrounding blanks.
std::string trimmed(const std::string& field) {
    const auto first = field.find_first_not_of(" \t");
    const auto last = field.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : field.substr(first, last - first + 1);
}

// A whole field as a finite number, independent of the locale.
bool parse_number(const std::string& text, double& value) {
    const char* end = text.data() + text.size();
    const std::from_chars_result read = std::from_chars(text.data(), end, value);
    return read.ec == std::errc() && read.ptr == end && std::isfinite(value);
}

// The table of a small CSV file: header fields, then rows keyed by the "SSN" column.
struct KeyedTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
    std::size_t key = 0;
};

// A reference or folds table as spreadsheets and R write it: RFC 4180 records (quoted fields,
// doubled quotes, CR LF), a UTF-8 byte order mark before the header, blanks around fields; its
// samples named in the column `key`.
KeyedTable read_keyed_table(const std::string& path, const std::string& key_name) {
    std::ifstream in(native_path(path), std::ios::binary);
    if (!in) {
        fail("Cannot open " + quoted(path) + " for reading.");
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }
    std::size_t position = 0;
    std::size_t lines = 0;
    std::vector<std::string> fields;
    const auto next = [&](std::size_t line) {
        try {
            if (!next_csv_record(text, position, fields, lines)) {
                return false;
            }
        } catch (const std::runtime_error& e) {
            fail("Line " + std::to_string(line) + " of " + quoted(path) + ": " + e.what() + ".");
        }
        std::transform(fields.begin(), fields.end(), fields.begin(), trimmed);
        return true;
    };
    KeyedTable table;
    if (!next(1)) {
        fail("The file " + quoted(path) + " has no header line.");
    }
    table.header = fields;
    for (std::size_t k = 0; k < table.header.size(); ++k) {
        if (std::find(table.header.begin(), table.header.begin() + static_cast<std::ptrdiff_t>(k),
                      table.header[k]) != table.header.begin() + static_cast<std::ptrdiff_t>(k)) {
            fail("The file " + quoted(path) + " has two columns named \"" + table.header[k] +
                 "\": name each column once.");
        }
    }
    const auto key = std::find(table.header.begin(), table.header.end(), key_name);
    if (key == table.header.end()) {
        fail("The file " + quoted(path) + " has no \"" + key_name + "\" column." +
             csv_separator_hint(text.substr(0, text.find('\n'))));
    }
    table.key = static_cast<std::size_t>(key - table.header.begin());
    for (std::size_t number = lines + 1; next(number); number = lines + 1) {
        if (fields.size() == 1 && fields[0].empty()) {
            continue;
        }
        if (fields.size() != table.header.size()) {
            fail("Line " + std::to_string(number) + " of " + quoted(path) + " has " +
                 std::to_string(fields.size()) + " fields, the header " +
                 std::to_string(table.header.size()) + ".");
        }
        table.rows.push_back(fields);
    }
    return table;
}

// The column of the reference values: the one named, or the only one beside "SSN".
std::size_t target_column(const KeyedTable& targets, const TrainingInput& input) {
    if (input.target.empty()) {
        if (targets.header.size() != 2) {
            fail("The targets file " + quoted(input.targets) +
                 " has several columns: choose one with --target.");
        }
        return 1 - targets.key;
    }
    const auto found = std::find(targets.header.begin(), targets.header.end(), input.target);
    if (found == targets.header.end()) {
        fail("The targets file " + quoted(input.targets) + " has no column \"" + input.target +
             "\".");
    }
    return static_cast<std::size_t>(found - targets.header.begin());
}

// The reference value's text of every sample the table names, once each.
std::map<std::string, std::string> reference_values(const KeyedTable& targets, std::size_t column,
                                                    const TrainingInput& input) {
    std::map<std::string, std::string> value_of;
    for (const std::vector<std::string>& row : targets.rows) {
        if (!value_of.emplace(row[targets.key], row[column]).second) {
            fail("The targets file " + quoted(input.targets) + " names \"" + row[targets.key] +
                 "\" twice.");
        }
    }
    return value_of;
}

// Below this many samples the trainer warns that the model is unlikely to generalise.
constexpr std::size_t few_samples = 20;

// "a, b, c and 3 more": the first names of a list.
std::string first_names(const std::vector<std::string>& names) {
    constexpr std::size_t shown = 20;
    std::string text;
    for (std::size_t k = 0; k < names.size() && k < shown; ++k) {
        text += (k > 0 ? ", " : "") + names[k];
    }
    if (names.size() > shown) {
        text += " and " + std::to_string(names.size() - shown) + " more";
    }
    return text;
}

// The samples of the spectra and of the reference table without the other (how many matched
// the trainer logs with the covariates).
void log_matching(const TrainingSet& set, const TrainingInput& input, LoggerSet& log) {
    if (!set.without_reference.empty()) {
        VELDRA_LOG(log, Severity::info)
            << set.without_reference.size() << " spectra without a reference value in "
            << input.id_column << ": " << first_names(set.without_reference);
    }
    if (!set.without_spectrum.empty()) {
        VELDRA_LOG(log, Severity::info)
            << set.without_spectrum.size()
            << " reference values without a spectrum: " << first_names(set.without_spectrum);
    }
}

// The reference values (not empty, not NA) of samples the spectra do not hold.
void note_values_without_spectrum(const SpectraTable& table,
                                  const std::map<std::string, std::string>& value_of,
                                  TrainingSet& set) {
    std::map<std::string, char> with_spectrum;
    for (const std::string& id : table.ids) {
        with_spectrum[id] = 1;
    }
    for (const auto& entry : value_of) {
        if (!entry.second.empty() && entry.second != "NA" && !with_spectrum.count(entry.first)) {
            ++set.unmatched;
            set.without_spectrum.push_back(entry.first);
        }
    }
}

// Few samples or a single covariate train, with a warning.
void warn_of_a_small_set(const TrainingSet& set, LoggerSet& log) {
    if (set.rows.size() < few_samples) {
        VELDRA_LOG(log, Severity::warning)
            << "Warning: only " << set.rows.size()
            << " samples have a spectrum and a reference value; a model calibrated on fewer than "
            << few_samples << " rarely predicts new soils well.";
    }
    if (set.rows.front().size() < 2) {
        VELDRA_LOG(log, Severity::warning)
            << "Warning: the forests see " << set.rows.front().size()
            << " covariate; is the spectra file a table of one value per sample?";
    }
}

} // namespace

namespace {

// The samples of `table` each named once, or the trainer's message naming the first twice.
void refuse_repeated_samples(const SpectraTable& table) {
    std::map<std::string, std::size_t> row_of;
    for (std::size_t i = 0; i < table.ids.size(); ++i) {
        const auto [found, added] = row_of.emplace(table.ids[i], i);
        if (!added) {
            fail("The spectra hold the sample \"" + table.ids[i] + "\" twice (spectra " +
                 std::to_string(found->second + 1) + " and " + std::to_string(i + 1) +
                 "); each SSN must name one soil.");
        }
    }
}

// Sample `i` of `table` with its value added to `set`, transformed as the input asks.
void add_sample(const SpectraTable& table, std::size_t i, double value, const TrainingInput& input,
                TrainingSet& set) {
    set.ids.push_back(table.ids[i]);
    set.rows.push_back(table.rows[i]);
    if (input.transformation == Transformation::first_derivative) {
        const std::vector<double>& row = table.rows[i];
        first_derivative(row.data(), row.size(), set.rows.back().data());
    }
    set.values.push_back(value);
}

void refuse_too_few(const TrainingSet& set) {
    if (set.rows.size() < 2) {
        fail("Only " + std::to_string(set.rows.size()) +
             " samples have both a spectrum and a reference value; at least 2 are needed.");
    }
}

} // namespace

TrainingSet load_training_set(const TrainingInput& input, LoggerSet& log) {
    const bool folder =
        fs::is_directory(input.spectra) || input.spectra.find('*') != std::string::npos;
    const SpectraTable table = read_spectra_input(
        log, input.opus_configuration, folder ? input.spectra : "", folder ? "" : input.spectra, {},
        {},
        OpusFolderOptions(SampleNaming(input.sample_id), own_spectrometer({input.spectrometer})));
    refuse_repeated_samples(table);

    const KeyedTable targets = read_keyed_table(input.targets, input.id_column);
    const std::size_t column = target_column(targets, input);
    const std::map<std::string, std::string> value_of = reference_values(targets, column, input);

    TrainingSet set;
    set.target = targets.header[column];
    set.names = table.names;
    for (std::size_t i = 0; i < table.ids.size(); ++i) {
        const auto found = value_of.find(table.ids[i]);
        if (found == value_of.end() || found->second.empty() || found->second == "NA") {
            ++set.skipped;
            set.without_reference.push_back(table.ids[i]);
            continue;
        }
        double value = 0.0;
        if (!parse_number(found->second, value)) {
            fail("The value of \"" + table.ids[i] + "\" in " + quoted(input.targets) +
                 " is not a number: \"" + found->second + "\".");
        }
        if (input.log && !(value > 0.0)) {
            fail("The value of \"" + table.ids[i] + "\" is " + found->second +
                 ": a model of log(y) needs values above 0.");
        }
        add_sample(table, i, value, input, set);
    }
    note_values_without_spectrum(table, value_of, set);
    log_matching(set, input, log);
    if (set.rows.empty() && set.unmatched > 0 && !table.ids.empty()) {
        fail("No " + input.id_column + " of the targets file " + quoted(input.targets) +
             " matches a sample of the spectra (the spectra hold \"" + table.ids.front() +
             "\", the targets \"" + value_of.begin()->first + "\"): the " + input.id_column +
             " column must name the same samples.");
    }
    refuse_too_few(set);
    warn_of_a_small_set(set, log);
    return set;
}

TrainingSet training_set_of(const SpectraTable& table, const std::vector<double>& values,
                            const std::string& target, const TrainingInput& input, LoggerSet& log) {
    if (values.size() != table.ids.size() || table.rows.size() != table.ids.size()) {
        fail("The spectra hold " + std::to_string(table.rows.size()) + " samples and the values " +
             std::to_string(values.size()) + ": give one value per spectrum.");
    }
    refuse_repeated_samples(table);
    TrainingSet set;
    set.target = target;
    set.names = table.names;
    for (std::size_t i = 0; i < table.ids.size(); ++i) {
        if (std::isnan(values[i])) {
            ++set.skipped;
            set.without_reference.push_back(table.ids[i]);
            continue;
        }
        if (!std::isfinite(values[i])) {
            fail("The value of \"" + table.ids[i] + "\" is not a finite number.");
        }
        if (input.log && !(values[i] > 0.0)) {
            fail("The value of \"" + table.ids[i] + "\" is " + shortest_text(values[i]) +
                 ": a model of log(y) needs values above 0.");
        }
        add_sample(table, i, values[i], input, set);
    }
    log_matching(set, input, log);
    refuse_too_few(set);
    warn_of_a_small_set(set, log);
    return set;
}

namespace {

// Every fold's fit has at least two training samples (the other folds' samples), or says which
// fold does not.
void check_training_samples(const std::vector<int>& folds) {
    std::map<int, std::size_t> held;
    for (const int fold : folds) {
        ++held[fold];
    }
    for (const auto& [fold, count] : held) {
        const std::size_t training = folds.size() - count;
        if (training < 2) {
            fail("Fold " + std::to_string(fold) + " holds " + std::to_string(count) + " of the " +
                 std::to_string(folds.size()) + " samples, which leaves " +
                 std::to_string(training) +
                 " to fit its model on; each fit needs at least two. Use fewer folds or more "
                 "samples.");
        }
    }
}

} // namespace

std::vector<int> assign_folds(const std::string& folds_file, int k, std::uint64_t seed,
                              const TrainingSet& set, const std::string& id_column) {
    std::vector<int> folds(set.ids.size(), 0);
    if (!folds_file.empty()) {
        const KeyedTable table = read_keyed_table(folds_file, id_column);
        const auto column = std::find(table.header.begin(), table.header.end(), "fold");
        if (column == table.header.end()) {
            fail("The folds file " + quoted(folds_file) + " has no \"fold\" column.");
        }
        const auto index = static_cast<std::size_t>(column - table.header.begin());
        std::map<std::string, int> fold_of;
        for (const std::vector<std::string>& row : table.rows) {
            double value = 0.0;
            if (!parse_number(row[index], value) || value < 1 || value != std::floor(value) ||
                value > 1000) {
                fail("The fold of \"" + row[table.key] + "\" in " + quoted(folds_file) +
                     " is not a whole number from 1 to 1000.");
            }
            if (!fold_of.emplace(row[table.key], static_cast<int>(value)).second) {
                fail("The folds file " + quoted(folds_file) + " names \"" + row[table.key] +
                     "\" twice.");
            }
        }
        for (std::size_t i = 0; i < set.ids.size(); ++i) {
            const auto found = fold_of.find(set.ids[i]);
            if (found == fold_of.end()) {
                fail("The folds file " + quoted(folds_file) + " gives no fold for \"" + set.ids[i] +
                     "\".");
            }
            folds[i] = found->second;
        }
        if (std::adjacent_find(folds.begin(), folds.end(), std::not_equal_to<>()) == folds.end()) {
            fail("The folds file " + quoted(folds_file) + " puts every sample in fold " +
                 std::to_string(folds.front()) +
                 "; cross-validation needs samples in at least two folds.");
        }
        check_training_samples(folds);
        return folds;
    }
    if (k < 2 || static_cast<std::size_t>(k) > set.ids.size()) {
        fail("Cross-validation needs from 2 to " + std::to_string(set.ids.size()) + " folds, not " +
             std::to_string(k) + ".");
    }
    std::vector<std::size_t> order(set.ids.size());
    std::iota(order.begin(), order.end(), 0);
    std::mt19937_64 random(seed ^ 0x5eedf01dULL);
    for (std::size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[static_cast<std::size_t>(random() % i)]);
    }
    for (std::size_t r = 0; r < order.size(); ++r) {
        folds[order[r]] = static_cast<int>(r % static_cast<std::size_t>(k)) + 1;
    }
    check_training_samples(folds);
    return folds;
}

std::vector<std::string> reference_table_columns(const std::string& path,
                                                 const std::string& id_column) {
    const KeyedTable table = read_keyed_table(path, id_column);
    std::vector<std::string> columns;
    for (std::size_t k = 0; k < table.header.size(); ++k) {
        if (k != table.key) {
            columns.push_back(table.header[k]);
        }
    }
    return columns;
}

} // namespace veldra
