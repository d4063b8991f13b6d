#include "job/training.h"

#include "input/input_dispatch.h"
#include "job/model_layout.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

std::string quoted(const std::string& path) {
    std::ostringstream out;
    out << fs::path(path);
    return out.str();
}

// The fields of one CSV line; a carriage return before the line end is dropped.
std::vector<std::string> split_line(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        std::string field = line.substr(start, comma == std::string::npos ? comma : comma - start);
        const auto first = field.find_first_not_of(" \t");
        const auto last = field.find_last_not_of(" \t");
        fields.push_back(first == std::string::npos ? std::string()
                                                    : field.substr(first, last - first + 1));
        if (comma == std::string::npos) {
            return fields;
        }
        start = comma + 1;
    }
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

KeyedTable read_keyed_table(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("Cannot open " + quoted(path) + " for reading.");
    }
    KeyedTable table;
    std::string line;
    if (!std::getline(in, line)) {
        fail("The file " + quoted(path) + " has no header line.");
    }
    table.header = split_line(line);
    const auto key = std::find(table.header.begin(), table.header.end(), "SSN");
    if (key == table.header.end()) {
        fail("The file " + quoted(path) + " has no \"SSN\" column.");
    }
    table.key = static_cast<std::size_t>(key - table.header.begin());
    std::size_t number = 1;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line == "\r") {
            continue;
        }
        std::vector<std::string> fields = split_line(line);
        if (fields.size() != table.header.size()) {
            fail("Line " + std::to_string(number) + " of " + quoted(path) + " has " +
                 std::to_string(fields.size()) + " fields, the header " +
                 std::to_string(table.header.size()) + ".");
        }
        table.rows.push_back(std::move(fields));
    }
    return table;
}

std::vector<double> transformed(const std::vector<double>& row, bool first_derivative) {
    if (!first_derivative) {
        return row;
    }
    // Exactly as prediction prepares a row: row[i + 1] - row[i], and 0.0 for the last.
    std::vector<double> out(row.size(), 0.0);
    for (std::size_t i = 0; i + 1 < row.size(); ++i) {
        out[i] = row[i + 1] - row[i];
    }
    return out;
}

// Draws of the property for one row: range scaling as prediction applies it, then exp for
// a model of log(y).
struct RowDraws {
    std::vector<double> values; // f of every draw on the property's scale
    std::vector<double> noisy;  // the same plus a draw of the error
};

RowDraws draws_for(const BartFit& fit, const std::vector<double>& row, bool log_model,
                   std::mt19937_64& random) {
    RowDraws out;
    const double width = fit.y_max - fit.y_min;
    for (std::size_t d = 0; d < fit.forests.size(); ++d) {
        const double value =
            width * (forest_sum(fit.forests[d], fit.grid, row.data()) + 0.5) + fit.y_min;
        const double noisy = value + fit.sigma[d] * width * bart_detail::standard_normal(random);
        out.values.push_back(log_model ? std::exp(value) : value);
        out.noisy.push_back(log_model ? std::exp(noisy) : noisy);
    }
    return out;
}

double mean_of(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

// The value at `share` of the sorted values (nearest rank below).
double quantile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[at];
}

// Fits BART on the rows of `set` picked by `use`, with the response on the fitting scale.
BartFit fit_on(const TrainingSet& set, const std::vector<char>& use,
               const TrainingSettings& settings, const BartOptions& options) {
    std::vector<std::vector<double>> rows;
    std::vector<double> y;
    for (std::size_t i = 0; i < set.rows.size(); ++i) {
        if (use[i]) {
            rows.push_back(set.rows[i]);
            y.push_back(settings.log ? std::log(set.values[i]) : set.values[i]);
        }
    }
    return fit_bart(rows, y, options);
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_number(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string accuracy_json(const Accuracy& a) {
    return "{\"r2\": " + json_number(a.r2) + ", \"rmse\": " + json_number(a.rmse) +
           ", \"bias\": " + json_number(a.bias) + ", \"rpiq\": " + json_number(a.rpiq) +
           ", \"coverage_95\": " + json_number(a.coverage) + "}";
}

std::string model_card(const TrainingSettings& settings, const TrainingReport& report,
                       const BartOptions& options) {
    // SOURCE_DATE_EPOCH fixes the date, as reproducible builds do, so that the same seed can
    // give the same bytes.
    char date[32];
    std::time_t now = std::time(nullptr);
    if (const char* fixed = std::getenv("SOURCE_DATE_EPOCH")) {
        long long seconds = 0;
        const char* end = fixed + std::strlen(fixed);
        if (std::from_chars(fixed, end, seconds).ptr == end) {
            now = static_cast<std::time_t>(seconds);
        }
    }
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::ostringstream card;
    card << "{\n"
         << "  \"property\": " << json_text(settings.property) << ",\n"
         << "  \"model_folder\": " << json_text(model_property_name(settings.property)) << ",\n"
         << "  \"spectrometer_type\": " << json_text(settings.spectrometer_type) << ",\n"
         << "  \"transformation\": " << json_text(settings.transformation) << ",\n"
         << "  \"log\": " << (settings.log ? "true" : "false") << ",\n"
         << "  \"back_transformation\": "
         << json_text(settings.log ? "exp (predict with exponential back-transformation)"
                                   : "none (predict without exponential back-transformation)")
         << ",\n"
         << "  \"target\": " << json_text(report.target) << ",\n"
         << "  \"samples_used\": " << report.samples << ",\n"
         << "  \"samples_skipped\": " << report.skipped << ",\n"
         << "  \"covariates\": " << report.covariates << ",\n"
         << "  \"trees\": " << options.trees << ",\n"
         << "  \"draws\": " << options.draws << ",\n"
         << "  \"burn_in\": " << options.burn_in << ",\n"
         << "  \"thin\": " << options.thin << ",\n"
         << "  \"chains\": " << options.chains << ",\n"
         << "  \"alpha\": " << json_number(options.alpha) << ",\n"
         << "  \"beta\": " << json_number(options.beta) << ",\n"
         << "  \"k\": " << json_number(options.k) << ",\n"
         << "  \"nu\": " << json_number(options.nu) << ",\n"
         << "  \"q\": " << json_number(options.q) << ",\n"
         << "  \"max_cuts\": " << options.max_cuts << ",\n"
         << "  \"sparse\": " << (options.sparse ? "true" : "false") << ",\n"
         << "  \"seed\": " << options.seed << ",\n"
         << "  \"program\": \"veldra-train 1.2.5\",\n"
         << "  \"date\": " << json_text(date) << ",\n"
         << "  \"training_fit\": " << accuracy_json(report.fit);
    if (report.cross_validation) {
        const CrossValidation& cv = *report.cross_validation;
        card << ",\n  \"cross_validation\": {\"method\": " << json_text(cv.method)
             << ", \"folds\": " << cv.folds << ", \"accuracy\": " << accuracy_json(cv.accuracy)
             << "}";
    }
    card << "\n}\n";
    return card.str();
}

bool is_model_file(const fs::path& path) {
    const std::string name = path.filename().string();
    return name == "rgy.txt" || name == "sigma.txt" || name == "model.json" ||
           (name.rfind("MCMC", 0) == 0 && path.extension() == ".json");
}

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(path.string(), std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        fail("Writing to file failed: " + path.string());
    }
}

std::string shortest(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Writes the model beside the folder, then replaces the folder's model files with it, so a
// failure never leaves a half-written model in place of a complete one.
void write_model(const fs::path& folder, const BartFit& fit, const std::string& card) {
    fs::create_directories(folder.parent_path());
    const fs::path staging = folder.parent_path() / fs::unique_path(".veldra-train-%%%%-%%%%");
    fs::create_directories(staging);
    try {
        for (std::size_t d = 0; d < fit.forests.size(); ++d) {
            write_text(staging / ("MCMC" + std::to_string(d + 1) + ".json"),
                       forest_document(fit.forests[d], fit.grid));
        }
        write_text(staging / "rgy.txt", shortest(fit.y_min) + " " + shortest(fit.y_max) + "\n");
        std::string sigma;
        for (const double s : fit.sigma) {
            sigma += shortest(s * (fit.y_max - fit.y_min)) + "\n";
        }
        write_text(staging / "sigma.txt", sigma);
        write_text(staging / "model.json", card);
        fs::create_directories(folder);
        for (fs::directory_iterator it(folder), end; it != end; ++it) {
            if (is_model_file(it->path())) {
                fs::remove(it->path());
            }
        }
        for (fs::directory_iterator it(staging), end; it != end; ++it) {
            fs::rename(it->path(), folder / it->path().filename());
        }
        fs::remove_all(staging);
    } catch (...) {
        boost::system::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

} // namespace

TrainingSet load_training_set(const TrainingSettings& settings, LoggerSet& log) {
    if (settings.transformation != "first_der" && settings.transformation != "none") {
        fail("The transformation must be first_der or none, not '" + settings.transformation +
             "'.");
    }
    const bool folder =
        fs::is_directory(settings.spectra) || settings.spectra.find('*') != std::string::npos;
    const SpectraTable table =
        read_spectra_input(log, settings.opus_configuration, folder ? settings.spectra : "",
                           folder ? "" : settings.spectra, {}, {});

    const KeyedTable targets = read_keyed_table(settings.targets);
    std::size_t column = targets.header.size();
    if (settings.target.empty()) {
        if (targets.header.size() != 2) {
            fail("The targets file " + quoted(settings.targets) +
                 " has several columns: choose one with --target.");
        }
        column = 1 - targets.key;
    } else {
        const auto found = std::find(targets.header.begin(), targets.header.end(), settings.target);
        if (found == targets.header.end()) {
            fail("The targets file " + quoted(settings.targets) + " has no column \"" +
                 settings.target + "\".");
        }
        column = static_cast<std::size_t>(found - targets.header.begin());
    }
    std::map<std::string, std::string> value_of;
    for (const std::vector<std::string>& row : targets.rows) {
        if (!value_of.emplace(row[targets.key], row[column]).second) {
            fail("The targets file " + quoted(settings.targets) + " names \"" + row[targets.key] +
                 "\" twice.");
        }
    }

    TrainingSet set;
    set.target = targets.header[column];
    for (std::size_t i = 0; i < table.ids.size(); ++i) {
        const auto found = value_of.find(table.ids[i]);
        if (found == value_of.end() || found->second.empty() || found->second == "NA") {
            ++set.skipped;
            continue;
        }
        double value = 0.0;
        if (!parse_number(found->second, value)) {
            fail("The value of \"" + table.ids[i] + "\" in " + quoted(settings.targets) +
                 " is not a number: \"" + found->second + "\".");
        }
        if (settings.log && !(value > 0.0)) {
            fail("The value of \"" + table.ids[i] + "\" is " + found->second +
                 ": a model of log(y) needs values above 0.");
        }
        set.ids.push_back(table.ids[i]);
        set.rows.push_back(transformed(table.rows[i], settings.transformation == "first_der"));
        set.values.push_back(value);
    }
    std::map<std::string, char> with_spectrum;
    for (const std::string& id : table.ids) {
        with_spectrum[id] = 1;
    }
    for (const auto& entry : value_of) {
        if (!entry.second.empty() && entry.second != "NA" && !with_spectrum.count(entry.first)) {
            ++set.unmatched;
        }
    }
    if (set.rows.size() < 2) {
        fail("Only " + std::to_string(set.rows.size()) +
             " samples have both a spectrum and a reference value; at least 2 are needed.");
    }
    return set;
}

Accuracy accuracy_of(const std::vector<double>& observed, const std::vector<double>& predicted,
                     const std::vector<double>& low, const std::vector<double>& high) {
    Accuracy a;
    const auto n = static_cast<double>(observed.size());
    const double mean = mean_of(observed);
    double sse = 0.0;
    double sst = 0.0;
    double bias = 0.0;
    double inside = 0.0;
    for (std::size_t i = 0; i < observed.size(); ++i) {
        const double e = predicted[i] - observed[i];
        sse += e * e;
        sst += (observed[i] - mean) * (observed[i] - mean);
        bias += e;
        if (i < low.size() && observed[i] >= low[i] && observed[i] <= high[i]) {
            inside += 1.0;
        }
    }
    a.rmse = std::sqrt(sse / n);
    a.r2 = 1.0 - sse / sst;
    a.bias = bias / n;
    // Interquartile range with the usual linear interpolation between order statistics.
    std::vector<double> sorted = observed;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double share) {
        const double position = share * (n - 1.0);
        const auto below = static_cast<std::size_t>(std::floor(position));
        const std::size_t above = std::min(below + 1, sorted.size() - 1);
        return sorted[below] + (position - std::floor(position)) * (sorted[above] - sorted[below]);
    };
    a.rpiq = (at(0.75) - at(0.25)) / a.rmse;
    a.coverage = low.empty() ? 0.0 : inside / n;
    return a;
}

std::vector<int> assign_folds(const TrainingSettings& settings, const TrainingSet& set) {
    std::vector<int> folds(set.ids.size(), 0);
    if (!settings.folds.empty()) {
        const KeyedTable table = read_keyed_table(settings.folds);
        const auto column = std::find(table.header.begin(), table.header.end(), "fold");
        if (column == table.header.end()) {
            fail("The folds file " + quoted(settings.folds) + " has no \"fold\" column.");
        }
        const auto index = static_cast<std::size_t>(column - table.header.begin());
        std::map<std::string, int> fold_of;
        for (const std::vector<std::string>& row : table.rows) {
            double value = 0.0;
            if (!parse_number(row[index], value) || value < 1 || value != std::floor(value) ||
                value > 1000) {
                fail("The fold of \"" + row[table.key] + "\" in " + quoted(settings.folds) +
                     " is not a whole number from 1 to 1000.");
            }
            fold_of[row[table.key]] = static_cast<int>(value);
        }
        for (std::size_t i = 0; i < set.ids.size(); ++i) {
            const auto found = fold_of.find(set.ids[i]);
            if (found == fold_of.end()) {
                fail("The folds file " + quoted(settings.folds) + " gives no fold for \"" +
                     set.ids[i] + "\".");
            }
            folds[i] = found->second;
        }
        return folds;
    }
    const int k = settings.cv_folds;
    if (k < 2 || static_cast<std::size_t>(k) > set.ids.size()) {
        fail("Cross-validation needs from 2 to " + std::to_string(set.ids.size()) + " folds, not " +
             std::to_string(k) + ".");
    }
    std::vector<std::size_t> order(set.ids.size());
    std::iota(order.begin(), order.end(), 0);
    std::mt19937_64 random(settings.bart.seed ^ 0x5eedf01dULL);
    for (std::size_t i = order.size(); i > 1; --i) {
        std::swap(order[i - 1], order[static_cast<std::size_t>(random() % i)]);
    }
    for (std::size_t r = 0; r < order.size(); ++r) {
        folds[order[r]] = static_cast<int>(r % static_cast<std::size_t>(k)) + 1;
    }
    return folds;
}

TrainingReport train_model(const TrainingSettings& settings, LoggerSet& log) {
    const auto& types = spectrometer_types();
    if (std::find(types.begin(), types.end(), settings.spectrometer_type) == types.end()) {
        fail("Unknown spectrometer type '" + settings.spectrometer_type + "'.");
    }
    if (settings.property.empty()) {
        fail("No property given.");
    }
    TrainingReport report;
    report.folder =
        settings.models / settings.spectrometer_type / model_property_name(settings.property);
    if (!settings.force && fs::exists(report.folder)) {
        for (fs::directory_iterator it(report.folder), end; it != end; ++it) {
            if (is_model_file(it->path())) {
                fail("A model exists in " + quoted(report.folder.string()) +
                     "; use --force to replace it.");
            }
        }
    }
    const TrainingSet set = load_training_set(settings, log);
    report.samples = set.rows.size();
    report.target = set.target;
    report.unmatched = set.unmatched;
    report.skipped = set.skipped;
    report.covariates = set.rows.front().size();
    VELDRA_LOG(log, 1) << report.samples << " samples with a reference value, " << set.skipped
                       << " without; " << report.covariates << " covariates";

    // Every fit reports its iterations against the whole run.
    std::vector<int> folds;
    int fold_count = 0;
    if (settings.cv_folds > 0 || !settings.folds.empty()) {
        folds = assign_folds(settings, set);
        fold_count = *std::max_element(folds.begin(), folds.end());
    }
    long per_fit = 0;
    for (int c = 0; c < settings.bart.chains; ++c) {
        per_fit += settings.bart.burn_in;
    }
    per_fit += static_cast<long>(settings.bart.draws) * settings.bart.thin;
    long fits = 1;
    for (int f = 1; f <= fold_count; ++f) {
        fits += std::count(folds.begin(), folds.end(), f) > 0 ? 1 : 0;
    }
    long offset = 0;
    const auto options_for = [&](std::uint64_t seed) {
        BartOptions options = settings.bart;
        options.seed = seed;
        options.progress = [&, user = settings.bart.progress](long done, long) {
            if (user) {
                user(offset + done, per_fit * fits);
            }
        };
        return options;
    };

    std::mt19937_64 noise(settings.bart.seed ^ 0xba5eba11ULL);
    if (fold_count > 0) {
        CrossValidation cv;
        cv.method = settings.folds.empty()
                        ? "random " + std::to_string(settings.cv_folds) + " folds"
                        : "folds from " + settings.folds;
        std::vector<double> predicted(set.rows.size());
        std::vector<double> low(set.rows.size());
        std::vector<double> high(set.rows.size());
        for (int f = 1; f <= fold_count; ++f) {
            std::vector<char> use(set.rows.size());
            bool any = false;
            for (std::size_t i = 0; i < use.size(); ++i) {
                use[i] = folds[i] != f;
                any = any || folds[i] == f;
            }
            if (!any) {
                continue;
            }
            ++cv.folds;
            const BartFit fit = fit_on(set, use, settings,
                                       options_for(settings.bart.seed + static_cast<unsigned>(f)));
            offset += per_fit;
            for (std::size_t i = 0; i < use.size(); ++i) {
                if (!use[i]) {
                    const RowDraws draws = draws_for(fit, set.rows[i], settings.log, noise);
                    predicted[i] = mean_of(draws.values);
                    low[i] = quantile(draws.noisy, 0.025);
                    high[i] = quantile(draws.noisy, 0.975);
                }
            }
            VELDRA_LOG(log, 1) << "fold " << f << " done";
        }
        cv.observed = set.values;
        cv.predicted = predicted;
        cv.accuracy = accuracy_of(set.values, predicted, low, high);
        report.cross_validation = cv;
    }

    const BartFit fit = fit_on(set, std::vector<char>(set.rows.size(), 1), settings,
                               options_for(settings.bart.seed));
    std::vector<double> low;
    std::vector<double> high;
    for (const std::vector<double>& row : set.rows) {
        const RowDraws draws = draws_for(fit, row, settings.log, noise);
        report.fitted.push_back(mean_of(draws.values));
        low.push_back(quantile(draws.noisy, 0.025));
        high.push_back(quantile(draws.noisy, 0.975));
    }
    report.fit = accuracy_of(set.values, report.fitted, low, high);
    write_model(report.folder, fit, model_card(settings, report, settings.bart));
    return report;
}

} // namespace veldra
