#include "cli/predict_command.h"

#include "cli/command_line.h"
#include "cli/console.h"
#include "cli/merge_command.h"
#include "input/csv_reader.h"
#include "input/input_dispatch.h"
#include "input/opus_folder.h"
#include "job/decision_settings.h"
#include "job/job_record.h"
#include "job/job_runner.h"
#include "job/job_summary.h"
#include "job/output_names.h"
#include "job/result_file.h"
#include "logging/logger_set.h"
#include "models/model_directory.h"
#include "models/model_layout.h"
#include "version.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

namespace veldra {

namespace {

namespace fs = boost::filesystem;
namespace po = boost::program_options;

const char* const usage_line =
    "Usage: veldra-predict --input PATH --output FILE --property NAME [--property NAME ...] "
    "[options]\nTry 'veldra-predict --help' for more.\n";

// The job's console: log lines of level 1 and above, the progress, and the stop check at
// every record that would reach the window (level 1 and above), exactly where the window's
// sink checks.
class ConsoleBackend : public LogObserver {
public:
    ConsoleBackend(ProgressDisplay& display, const std::atomic<bool>& stop, const LoggerSet& log,
                   const JobProgress& progress)
        : display_(display), stop_(stop), log_(log), progress_(progress) {}

    void record(Severity level, const std::string& text) override {
        if (level >= Severity::info) {
            if (stop_.load()) {
                throw JobStop();
            }
            display_.line(text);
        }
        show_progress(level >= Severity::info);
    }

private:
    void show_progress(bool at_record) {
        const auto [maximum, current] = job_progress(progress_, log_);
        const double fraction = maximum > 0 ? static_cast<double>(current) / maximum : 0.0;
        std::ostringstream text;
        text << "pair "
             << progress_.outer_position + (progress_.outer_position <= progress_.outer_maximum)
             << "/" << progress_.outer_maximum + 1 << "  file " << log_.inner_position + 1 << "/"
             << log_.inner_maximum + 1;
        display_.show(fraction, text.str(), at_record);
    }

    ProgressDisplay& display_;
    const std::atomic<bool>& stop_;
    const LoggerSet& log_;
    const JobProgress& progress_;
};

struct Options {
    std::string input;
    bool force_csv = false;
    bool force_opus = false;
    std::vector<std::string> spectrometers;
    std::vector<std::string> properties;
    std::vector<std::string> own_properties; // calibrated by the lab, checked against the tree
    Transformation transformation = Transformation::first_derivative;
    bool exponential = true;
    std::string output;
    std::string models;
    std::string write_spectra;
    std::string sample_id;
    bool quiet = false;
    bool summary = true;
    bool summary_only = false;
    std::size_t shard = 0;
    std::size_t shards = 0;
    std::size_t block_samples = 0;
    std::string report;
    unsigned threads = 0;
    std::vector<double> levels{0.95};
    std::map<std::string, double> tolerances;
};

// Keeps the allowed values of `given`, in `order`, once each; raises UsageError for others.
std::vector<std::string> ordered_choice(const std::vector<std::string>& given,
                                        const std::vector<std::string>& order, const char* what) {
    for (const std::string& value : given) {
        if (std::find(order.begin(), order.end(), value) == order.end()) {
            throw UsageError(std::string("unknown ") + what + " '" + value + "'");
        }
    }
    std::vector<std::string> chosen;
    for (const std::string& value : order) {
        if (std::find(given.begin(), given.end(), value) != given.end()) {
            chosen.push_back(value);
        }
    }
    return chosen;
}

po::options_description described_options() {
    po::options_description described(
        "veldra-predict: soil property predictions from infrared spectra with BART models\n"
        "Usage: veldra-predict --input PATH --output FILE --property NAME [options]\nOptions");
    described.add_options()("input", po::value<std::string>(),
                            "CSV file of spectra, or folder of OPUS files")(
        "csv", "read --input as a CSV file")("opus", "read --input as a folder of OPUS files")(
        "sample-id", po::value<std::string>(),
        "REGEX: an OPUS file's sample is the first group of REGEX found in its base name "
        "(default: the base name, replicates <sample>.0, <sample>.1, ...)")(
        "spectrometer", po::value<std::vector<std::string>>(),
        "mir (default), mpa, alphakbr or alphaznse, or a lab's own instrument (letters, digits, "
        "- and _: the folder of its models; its OPUS files are read on their own axes); "
        "repeatable")(
        "property", po::value<std::vector<std::string>>(),
        "Carbon, Al, B, Ca, Cu, EC.S, Fe, Hp, K, Mg, Mn, Na, P, S, Zn, pH, N, or all; repeatable")(
        "transform", po::value<std::string>()->default_value("first_der"),
        "covariate transformation: first_der or none")(
        "exp", po::value<std::string>()->default_value("yes"),
        "exponential back-transformation: yes or no")(
        "output", po::value<std::string>(),
        "output file; several pairs write <stem>-<spectrometer>-<property><extension>")(
        "models", po::value<std::string>(),
        "model directory (default: found beside the program, as the window finds it)")(
        "write-spectra", po::value<std::string>(),
        "also write the spectra as read (after OPUS resampling and averaging) to this CSV")(
        "no-summary", "do not write the summary table <stem>-summary<extension>")(
        "summary-only", "write the summary table and no per-draw files")(
        "report", po::value<std::string>(),
        "also write the job's PDF report (settings, models, every pair's chart and table)")(
        "level", po::value<std::vector<std::string>>(),
        "level of the summary's calibrated intervals (0.9 or 90%; default 0.95); repeatable, "
        "the first one is the decisions'")(
        "tolerance", po::value<std::vector<std::string>>(),
        "PROPERTY=HALF_WIDTH: decide per sample (accept, or re-measure and why) at this half "
        "width of the calibrated interval; repeatable")(
        "shard", po::value<std::string>(),
        "K/N: predict only the K-th of N contiguous parts of the samples")(
        "merge-shards", po::value<std::string>(),
        "N: put together the files of the N shards run with --output FILE, and do nothing "
        "else (only with --output)")("threads", po::value<int>()->default_value(0),
                                     "threads evaluating forest files (0: one per core)")(
        "block", po::value<long long>()->default_value(0),
        "samples predicted at a time (0: as many as fit in 32 MB of input)")(
        "quiet", "no log lines and no progress")("help", "show this text")("version",
                                                                           "show the version");
    return described;
}

// The seventeen properties named, in their order, and apart the lab's own (other plain names,
// checked against the model tree later); "all" stands for the seventeen.
void choose_properties(const po::variables_map& values, Options& options) {
    std::vector<std::string> properties = values.count("property")
                                              ? values["property"].as<std::vector<std::string>>()
                                              : std::vector<std::string>();
    if (std::find(properties.begin(), properties.end(), "all") != properties.end()) {
        properties = soil_properties();
    }
    const auto& standard = soil_properties();
    const auto own = [&](const std::string& property) {
        return std::find(options.own_properties.begin(), options.own_properties.end(), property) !=
               options.own_properties.end();
    };
    for (const std::string& property : properties) {
        if (std::find(standard.begin(), standard.end(), property) == standard.end()) {
            if (!is_plain_property_name(property)) {
                throw UsageError("unknown soil property '" + property + "'");
            }
            if (!own(property)) {
                options.own_properties.push_back(property);
            }
        }
    }
    properties.erase(std::remove_if(properties.begin(), properties.end(), own), properties.end());
    options.properties = ordered_choice(properties, soil_properties(), "soil property");
}

// "K/N" of --shard.
void parse_shard(const std::string& text, Options& options) {
    const std::size_t slash = text.find('/');
    const auto whole = [](const std::string& part, std::size_t& value) {
        const char* end = part.data() + part.size();
        return !part.empty() && std::from_chars(part.data(), end, value).ptr == end;
    };
    if (slash == std::string::npos || !whole(text.substr(0, slash), options.shard) ||
        !whole(text.substr(slash + 1), options.shards) || options.shards < 1 ||
        options.shards > 100000 || options.shard < 1 || options.shard > options.shards) {
        throw UsageError("--shard takes K/N with 1 <= K <= N <= 100000, not '" + text + "'");
    }
}

// "--level 0.95,0.9": a list where the option takes one level (a decimal comma, "0,9", is told
// by the level's own message).
void refuse_level_list(const std::string& text) {
    if (text.find(',') == std::string::npos) {
        return;
    }
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        try {
            parse_level(item);
        } catch (const std::runtime_error&) {
            return;
        }
    }
    throw UsageError("--level takes one level, not a list ('" + text +
                     "'): repeat --level for each level (--level 0.68 --level 0.9)");
}

// The output choices: files, summary, report, spectra.
void choose_outputs(const po::variables_map& values, Options& options) {
    options.output = values.count("output") ? values["output"].as<std::string>() : "";
    options.models = values.count("models") ? values["models"].as<std::string>() : "";
    options.write_spectra =
        values.count("write-spectra") ? values["write-spectra"].as<std::string>() : "";
    options.quiet = values.count("quiet") > 0;
    options.summary = values.count("no-summary") == 0;
    options.summary_only = values.count("summary-only") > 0;
    if (options.summary_only && !options.summary) {
        throw UsageError("--summary-only and --no-summary exclude each other");
    }
    options.report = values.count("report") ? values["report"].as<std::string>() : "";
    if (!options.report.empty() && !options.summary) {
        throw UsageError("--report needs the summary table: leave out --no-summary");
    }
    try {
        if (values.count("level")) {
            std::string levels;
            for (const std::string& level : values["level"].as<std::vector<std::string>>()) {
                refuse_level_list(level);
                parse_level(level); // each one whole: "0.9 0.95" is two
                levels += level + ",";
            }
            options.levels = parse_levels(levels);
        }
        if (values.count("tolerance")) {
            for (const std::string& text : values["tolerance"].as<std::vector<std::string>>()) {
                const auto tolerance = parse_tolerance(text);
                if (!options.tolerances.insert(tolerance).second) {
                    throw UsageError("--tolerance of " + tolerance.first + " is given twice");
                }
            }
        }
    } catch (const UsageError&) {
        throw;
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
    if ((values.count("level") || values.count("tolerance")) && !options.summary) {
        throw UsageError("--level and --tolerance need the summary table: leave out --no-summary");
    }
}

std::optional<Options> parse(const std::vector<std::string>& arguments, std::ostream& out) {
    const std::optional<po::variables_map> parsed_values = parse_command_line(
        arguments, described_options(), out, std::string("veldra-predict ") + veldra_version);
    if (!parsed_values) {
        return std::nullopt;
    }
    const po::variables_map& values = *parsed_values;

    Options options;
    options.force_csv = values.count("csv") > 0;
    options.force_opus = values.count("opus") > 0;
    if (options.force_csv && options.force_opus) {
        throw UsageError("--csv and --opus exclude each other");
    }
    if (!values.count("input")) {
        throw UsageError("--input is required");
    }
    options.input = values["input"].as<std::string>();
    if (values.count("sample-id")) {
        options.sample_id = values["sample-id"].as<std::string>();
        try {
            SampleNaming{options.sample_id};
        } catch (const std::runtime_error& e) {
            throw UsageError(e.what());
        }
    }
    try {
        options.spectrometers = chosen_spectrometers(
            values.count("spectrometer") ? values["spectrometer"].as<std::vector<std::string>>()
                                         : std::vector<std::string>{"mir"});
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    choose_properties(values, options);
    const std::string transform = values["transform"].as<std::string>();
    if (transform != "first_der" && transform != "none") {
        throw UsageError("--transform takes first_der or none, not '" + transform + "'");
    }
    options.transformation = *transformation_from_text(transform);
    const std::string exponential = values["exp"].as<std::string>();
    if (exponential != "yes" && exponential != "no") {
        throw UsageError("--exp takes yes or no, not '" + exponential + "'");
    }
    options.exponential = exponential == "yes";
    choose_outputs(values, options);
    if (values.count("shard")) {
        parse_shard(values["shard"].as<std::string>(), options);
    }
    const long long block = values["block"].as<long long>();
    if (block < 0 || block > 100000000) {
        throw UsageError("--block takes 0 (by the input's width) or 1 to 100000000 samples");
    }
    options.block_samples = static_cast<std::size_t>(block);
    const int threads = values["threads"].as<int>();
    if (threads < 0) {
        throw UsageError("--threads takes 0 (one per core) or a positive number");
    }
    options.threads = static_cast<unsigned>(threads);
    if (options.properties.empty() && options.own_properties.empty() &&
        options.write_spectra.empty()) {
        throw UsageError("Please choose at least one soil property");
    }
    if ((!options.properties.empty() || !options.own_properties.empty()) &&
        options.output.empty()) {
        throw UsageError("--output is required when predicting");
    }
    for (const auto& tolerance : options.tolerances) {
        const auto named = [&](const std::vector<std::string>& list) {
            return std::find(list.begin(), list.end(), tolerance.first) != list.end();
        };
        if (!named(options.properties) && !named(options.own_properties)) {
            throw UsageError("--tolerance names " + tolerance.first +
                             ", which is not a property of the job");
        }
    }
    return options;
}

} // namespace

namespace {

// The properties of the job: the seventeen chosen, then each lab's own whose model folder exists
// for a chosen spectrometer type; nothing (after a usage message) when one has none.
std::optional<std::vector<std::string>>
job_properties(const Options& options, const ModelDirectory& models, std::ostream& err) {
    std::vector<std::string> properties = options.properties;
    for (const std::string& property : options.own_properties) {
        const bool found = std::any_of(
            options.spectrometers.begin(), options.spectrometers.end(),
            [&](const std::string& type) {
                const auto available = available_properties(models, type);
                return std::find(available.begin(), available.end(), property) != available.end();
            });
        if (!found) {
            err << "veldra-predict: unknown soil property '" << property << "' (no model folder "
                << model_folder(models, options.spectrometers.front(), property) << ")\n"
                << usage_line;
            return std::nullopt;
        }
        properties.push_back(property);
    }
    return properties;
}

JobSettings job_settings(const Options& options, const ModelDirectory& models, bool opus,
                         const std::vector<std::string>& properties) {
    JobSettings settings;
    settings.output_path = options.output;
    settings.model_directory = models;
    // As the window hands a folder over: followed by "/", once (a '*' pattern as it is).
    const bool slash = opus && (options.input.empty() || options.input.back() != '/') &&
                       fs::path(options.input).filename().string().find('*') == std::string::npos;
    settings.opus_folder = !opus ? std::string() : slash ? options.input + "/" : options.input;
    settings.csv_file = opus ? std::string() : options.input;
    settings.sample_id = options.sample_id;
    settings.opus_configuration_path = opus_configuration_file(models).string();
    settings.exponential = options.exponential;
    settings.spectrometer_types = options.spectrometers;
    settings.soil_properties = properties;
    settings.transformation = options.transformation;
    settings.threads = options.threads;
    settings.levels = options.levels;
    settings.tolerances = options.tolerances;
    settings.summary = options.summary;
    settings.summary_only = options.summary_only;
    settings.shard = options.shard;
    settings.block_samples = options.block_samples;
    settings.shards = options.shards;
    return settings;
}

// Every output's folder, made when it does not exist and checked before any work; false after a
// message when one cannot be written.
bool prepare_output_folders(const Options& options, std::ostream& err) {
    const bool predicting = !options.properties.empty() || !options.own_properties.empty();
    for (const std::string& target :
         {predicting ? options.output : std::string(), options.write_spectra, options.report}) {
        if (target.empty()) {
            continue;
        }
        const std::string folder = output_folder(target);
        boost::system::error_code made;
        if (!fs::exists(folder, made) && fs::create_directories(folder, made)) {
            err << "Created the output folder '" << folder << "'.\n";
        }
        if (made) {
            err << "Cannot create the output folder '" << folder << "': " << made.message()
                << ".\n";
            return false;
        }
        const std::string problem = output_folder_problem(target);
        if (!problem.empty()) {
            err << problem << "\n";
            return false;
        }
    }
    return true;
}

// --write-spectra: the input read once and written; the job then goes on from the table in
// memory, exactly as read. An exit status when the command ends here.
std::optional<int> write_spectra_first(const Options& options, bool opus, JobSettings& settings,
                                       LoggerSet& log, ProgressDisplay& display, std::ostream& out,
                                       std::ostream& err, JobRecord& record) {
    std::vector<std::string> notes; // what the OPUS spectra were made from
    try {
        std::vector<std::string> names;
        SpectraTable table;
        if (opus) {
            OpusFolderOptions reading(SampleNaming(settings.sample_id),
                                      own_spectrometer(settings.spectrometer_types));
            reading.keep_empty_points = true; // written as empty cells, and said
            import_opus_folder(table, settings.opus_configuration_path, settings.opus_folder, log,
                               &names, reading);
            notes = table.read_notes;
        } else {
            table = read_spectra_input(log, "", "", settings.csv_file, {}, {});
            names = table.names; // as the reader took them: unquoted, without row names
        }
        write_spectra_table(options.write_spectra, table, names);
        record.defective = table.defective;
        record.created.push_back(options.write_spectra);
        settings.columns = columns_from_table(table);
        settings.ids = table.ids;
        settings.opus_folder.clear();
        settings.csv_file.clear();
        settings.opus_configuration_path.clear();
    } catch (const std::bad_alloc&) {
        display.finish();
        err << out_of_memory_message << "\n";
        return exit_failure;
    } catch (const std::exception& e) {
        display.finish();
        err << e.what() << "\n";
        return exit_failure;
    } catch (const JobStop&) {
        display.finish();
        err << "Stopped by user\n";
        return exit_stopped;
    }
    if (settings.soil_properties.empty()) {
        display.finish();
        out << "Spectra written to:\n  " << options.write_spectra << "\n";
        for (const std::string& note : notes) {
            out << "  " << note << "\n";
        }
        return exit_success;
    }
    return std::nullopt;
}

// The job's outcome on the two streams, then the report when asked; the exit status.
int finish_job(const Options& options, const JobOutcome& outcome, JobRecord record,
               const ReportWriter& report, std::ostream& out, std::ostream& err) {
    if (!outcome.ok) {
        // The files that are complete stay; standard output still lists them.
        if (!outcome.created.empty()) {
            out << "Files created:\n";
            for (const std::string& file : outcome.created) {
                out << "  " << file << "\n";
            }
        }
        err << (outcome.stopped_by_user ? std::string("Stopped by user") : outcome.message) << "\n";
        if (outcome.stopped_by_user) {
            for (const std::string& note : outcome.set_aside) {
                err << note << "\n";
            }
        }
        return outcome.stopped_by_user ? exit_stopped : exit_failure;
    }
    out << outcome.message;
    if (!options.report.empty()) {
        // The files read into memory first (--write-spectra) keep what that reading found.
        if (!outcome.defective.empty() || record.defective.empty()) {
            record.defective = outcome.defective;
        }
        record.created.insert(record.created.end(), outcome.created.begin(), outcome.created.end());
        const std::string output =
            options.shards > 0 ? shard_output_path(options.output, options.shard, options.shards)
                               : options.output;
        try {
            report(options.report, summary_path(output), record);
        } catch (const std::exception& e) {
            err << e.what() << "\n";
            return exit_failure;
        }
        out << "  " << options.report << "\n";
    }
    return exit_success;
}

} // namespace

int run_predict_command(const std::vector<std::string>& arguments, std::ostream& out,
                        std::ostream& err, const std::atomic<bool>& stop, bool terminal,
                        const ReportWriter& report) {
    if (const std::optional<int> merged = run_merge_command(arguments, out, err)) {
        return *merged;
    }
    std::optional<Options> parsed;
    try {
        parsed = parse(arguments, out);
    } catch (const UsageError& e) {
        err << "veldra-predict: " << e.what() << "\n" << usage_line;
        return exit_usage;
    }
    if (!parsed) {
        return exit_success;
    }
    Options options = *parsed;
    if (options.shards > 0) {
        // Every output of a shard is named for it, so that the parts of a run never collide.
        for (std::string* path : {&options.report, &options.write_spectra}) {
            if (!path->empty()) {
                *path = shard_output_path(*path, options.shard, options.shards);
            }
        }
    }
    if (!options.report.empty() && !report) {
        err << "veldra-predict: this build cannot write reports (it was built without Qt)\n"
            << usage_line;
        return exit_usage;
    }

    boost::system::error_code error;
    const bool opus =
        options.force_opus || (!options.force_csv && fs::is_directory(options.input, error));
    ModelDirectory models(options.models);
    if (models.empty() &&
        (opus || !options.properties.empty() || !options.own_properties.empty())) {
        const std::string program = arguments.empty() ? std::string() : arguments.front();
        const std::optional<ModelDirectory> found = find_model_directory(program, err);
        if (!found) {
            return exit_failure;
        }
        models = *found;
    }
    const std::optional<std::vector<std::string>> properties = job_properties(options, models, err);
    if (!properties) {
        return exit_usage;
    }
    JobSettings settings = job_settings(options, models, opus, *properties);
    const JobRefusal refusal =
        job_request_refusal(settings, {options.report, options.write_spectra});
    if (refusal.usage) {
        err << "veldra-predict: " << refusal.message << "\n" << usage_line;
        return exit_usage;
    }
    if (!refusal.message.empty()) {
        err << "veldra-predict: " << refusal.message << "\n";
        return exit_failure;
    }
    if (!prepare_output_folders(options, err)) {
        return exit_failure;
    }

    LoggerSet log;
    JobProgress progress;
    ProgressDisplay display(err, terminal, options.quiet, std::chrono::milliseconds(100));
    ConsoleBackend console(display, stop, log, progress);
    const ObserverGuard observing(log, console);
    // Before the input is read into memory: the record names the input as given.
    JobRecord record = job_record(settings, veldra_version);
    if (!options.write_spectra.empty()) {
        if (const std::optional<int> status =
                write_spectra_first(options, opus, settings, log, display, out, err, record)) {
            return *status;
        }
    }
    const JobOutcome outcome = run_job(settings, log, progress);
    display.finish();
    return finish_job(options, outcome, record, report, out, err);
}

} // namespace veldra
