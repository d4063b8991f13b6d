#include "cli/train_command.h"

#include "cli/command_line.h"
#include "cli/console.h"
#include "cli/predict_command.h"
#include "input/opus_folder.h"
#include "input/spectral_pipeline.h"
#include "logging/logger_set.h"
#include "models/model_directory.h"
#include "models/model_layout.h"
#include "text/number_text.h"
#include "train/training.h"
#include "train/training_report_text.h"
#include "version.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <optional>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>

namespace veldra {

namespace {

namespace fs = boost::filesystem;
namespace po = boost::program_options;

const char* const usage_line =
    "Usage: veldra-train --spectra PATH --targets CSV --property NAME [options]\n"
    "Try 'veldra-train --help' for more.\n";

// Raised from the console's progress when the user pressed Ctrl-C.
struct Stopped {};

// The calibration's console: messages of level 1 and above as lines above the progress, the
// progress of the iterations, and the stop check at every progress report.
class TrainingConsole : public LogObserver {
public:
    TrainingConsole(ProgressDisplay& display, const std::atomic<bool>& stop)
        : display_(display), stop_(stop) {}

    void record(Severity level, const std::string& text) override {
        if (level >= Severity::info) {
            display_.line(text);
        }
    }

    void progress(std::int64_t done, std::int64_t total) override {
        if (stop_.load()) {
            throw Stopped{};
        }
        if (done == last_done_) {
            return; // the writing repeats the last report
        }
        last_done_ = done;
        display_.show(
            static_cast<double>(done) / static_cast<double>(std::max<std::int64_t>(total, 1)),
            "iteration " + std::to_string(done) + "/" + std::to_string(total), done == total);
    }

private:
    ProgressDisplay& display_;
    const std::atomic<bool>& stop_;
    std::int64_t last_done_ = -1;
};

struct Parsed {
    TrainingSettings settings;
    bool quiet = false;
};

// "2" or "1,2,3,5": the leaf prior's k, or the candidates to choose from.
std::vector<double> k_values(const std::string& text) {
    std::vector<double> values;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        double value = 0.0;
        if (!boost::conversion::try_lexical_convert(item, value)) {
            throw UsageError("--k takes a number, or several separated by commas, not '" + text +
                             "'");
        }
        if (std::find(values.begin(), values.end(), value) != values.end()) {
            throw UsageError("--k names " + item + " twice");
        }
        values.push_back(value);
    }
    if (values.empty() || text.back() == ',') {
        throw UsageError("--k takes a number, or several separated by commas, not '" + text + "'");
    }
    return values;
}

// The methods of --method, separated by ; (spaces around them dropped).
std::vector<std::string> split_methods(const std::string& text) {
    std::vector<std::string> methods;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        const std::string::size_type end = std::min(text.find(';', start), text.size());
        std::string one = text.substr(start, end - start);
        one.erase(0, one.find_first_not_of(' '));
        one.erase(one.find_last_not_of(' ') + 1);
        if (!one.empty()) {
            methods.push_back(one);
        }
        start = end + 1;
    }
    return methods;
}

// The methods of --method, known and, when they choose, with cross-validation to choose by.
std::vector<std::string> checked_methods(const std::string& text, const TrainingSettings& s) {
    const std::vector<std::string> asked = split_methods(text);
    std::vector<std::string> methods;
    try {
        methods = method_names(asked);
    } catch (const std::runtime_error& e) {
        throw UsageError(std::string("--method: ") + e.what());
    }
    if ((methods.size() > 1 || methods.front() == "blend") && s.cv_folds == 0 && s.folds.empty()) {
        throw UsageError("--method " + text +
                         " chooses by cross-validation: give --cv K or --folds");
    }
    return asked;
}

// What the options are read into before they are checked.
struct OptionTexts {
    std::string models;
    std::string transformation = "first_der";
    std::string preprocess;
    std::string method = "bart";
    long long seed = 1;
    int threads = 0;
    std::string k_text;
};

// A sampler setting's description with its range from the sampler's table.
std::string ranged(const std::string& description, const char* option) {
    return description + "; " + bart_option_range_text(bart_option_range(option));
}

po::options_description described_options(Parsed& parsed, OptionTexts& texts) {
    TrainingSettings& s = parsed.settings;
    TrainingInput& in = s.input;
    BartOptions& b = s.bart;
    po::options_description described(
        "veldra-train: calibrate a BART model from spectra and reference values\n"
        "Usage: veldra-train --spectra PATH --targets CSV --property NAME [options]\nOptions");
    described.add_options()("spectra", po::value(&in.spectra),
                            "CSV file of spectra, or folder of OPUS files")(
        "targets", po::value(&in.targets), "CSV with a column SSN and one column per property")(
        "target", po::value(&in.target), "the column of --targets (needed with several)")(
        "sample-id", po::value(&in.sample_id),
        "REGEX: an OPUS file's sample is the first group of REGEX found in its base name")(
        "id-column", po::value(&in.id_column)->default_value("SSN"),
        "the column of --targets (and --folds) that names the samples as the spectra do")(
        "spectrometer", po::value(&s.spectrometer_type)->default_value("mir"),
        "mir, mpa, alphakbr, alphaznse, or a lab's own instrument (letters, digits, - and _; "
        "its OPUS files are read on their own axes)")(
        "property", po::value(&s.property),
        "the property the model predicts (Carbon, N, pH, or another name)")(
        "models", po::value(&texts.models),
        "model directory (default: found beside the program, as prediction finds it)")(
        "transform", po::value(&texts.transformation)->default_value("first_der"),
        "covariate transformation: first_der or none")(
        "preprocess", po::value(&texts.preprocess),
        "preprocessing pipeline in place of --transform: steps joined by +, from keep(A-B,...), "
        "drop(A-B,...), bin(N), snv, msc, sg(WINDOW,ORDER,DERIVATIVE), first_der (e.g. "
        "drop(2400-2250)+sg(21,2,1)); several separated by ; or auto (a documented set) are each "
        "cross-validated and the best interval score kept")(
        "method", po::value(&texts.method)->default_value("bart"),
        "bart (the forests), pls (partial least squares, components chosen by an inner 5-fold "
        "cross-validation), blend (each draw a weighted sum of both, the weight chosen by "
        "cross-validation); several separated by ; or auto (all three) are each cross-validated "
        "and the best interval score kept")(
        "log", po::bool_switch(&in.log),
        "fit log(y); predict with exponential back-transformation")(
        "force", po::bool_switch(&s.force), "replace an existing model")(
        "cv", po::value(&s.cv_folds)->default_value(0), "cross-validate with K random folds")(
        "folds", po::value(&s.folds), "cross-validate with the folds of this CSV (SSN, fold)")(
        "trees", po::value(&b.trees)->default_value(b.trees),
        ranged("trees per draw", "trees").c_str())("draws",
                                                   po::value(&b.draws)->default_value(b.draws),
                                                   ranged("kept posterior draws", "draws").c_str())(
        "burn-in", po::value(&b.burn_in)->default_value(b.burn_in),
        ranged("iterations dropped per chain", "burn-in").c_str())(
        "thin", po::value(&b.thin)->default_value(b.thin),
        ranged("keep every n-th iteration", "thin").c_str())(
        "chains", po::value(&b.chains)->default_value(b.chains),
        ranged("independent chains (fixed: results do not depend on the cores)", "chains").c_str())(
        "alpha", po::value(&b.alpha)->default_value(b.alpha, shortest_text(b.alpha)),
        ranged("tree prior alpha", "alpha").c_str())(
        "beta", po::value(&b.beta)->default_value(b.beta, shortest_text(b.beta)),
        ranged("tree prior beta", "beta").c_str())(
        "k", po::value(&texts.k_text)->default_value(shortest_text(b.k)),
        ranged("leaf prior: sigma_mu = 0.5 / (k sqrt(trees)); given several (1,2,3,5), each is "
               "cross-validated and the best interval score kept",
               "k")
            .c_str())("nu", po::value(&b.nu)->default_value(b.nu, shortest_text(b.nu)),
                      ranged("error variance prior degrees of freedom", "nu").c_str())(
        "q", po::value(&b.q)->default_value(b.q, shortest_text(b.q)),
        ranged("error variance prior quantile", "q").c_str())(
        "cuts", po::value(&b.max_cuts)->default_value(b.max_cuts),
        ranged("cut points per covariate", "cuts").c_str())(
        "sparse", po::bool_switch(&b.sparse),
        "Dirichlet prior on the splitting proportions (DART)")(
        "seed", po::value(&texts.seed)->default_value(1),
        "random seed")("threads", po::value(&texts.threads)->default_value(0),
                       ranged("threads (0: one per core)", "threads").c_str())(
        "quiet", po::bool_switch(&parsed.quiet),
        "no log lines and no progress")("help", "show this text")("version", "show the version");
    return described;
}

// The sampler's settings: threads, seed and every k candidate within their ranges.
void check_sampler_settings(TrainingSettings& s, const OptionTexts& texts) {
    BartOptions& b = s.bart;
    if (texts.threads < 0) {
        throw UsageError("--threads takes 0 (one per core) or a positive number");
    }
    b.threads = static_cast<unsigned>(texts.threads);
    s.k_choices = k_values(texts.k_text);
    for (const double k : s.k_choices) {
        b.k = k;
        const std::vector<BartOptionProblem> problems = bart_option_problems(b);
        if (!problems.empty()) {
            throw UsageError("--" + problems.front().option + " " + problems.front().message);
        }
    }
    b.k = s.k_choices.front();
    if (s.k_choices.size() > 1 && s.cv_folds == 0 && s.folds.empty()) {
        throw UsageError("--k with several values chooses among them by cross-validation: "
                         "give --cv K or --folds");
    }
    if (s.cv_folds != 0 && !s.folds.empty()) {
        throw UsageError("--cv and --folds exclude each other");
    }
    if (texts.seed < 0) {
        throw UsageError("--seed must not be negative");
    }
    b.seed = static_cast<std::uint64_t>(texts.seed);
}

// The model directory: given, or found beside the program.
std::string models_folder(std::string models, const std::vector<std::string>& arguments) {
    if (models.empty()) {
        const std::optional<ModelDirectory> found =
            search_model_directory(arguments.empty() ? std::string() : arguments[0]);
        if (!found) {
            throw UsageError("no model directory found beside the program: give --models");
        }
        models = found->string();
    }
    if (!fs::is_directory(models)) {
        throw UsageError("--models: no model directory '" + models +
                         "' (give the folder that holds " + opus_configuration_name +
                         " and the spectrometer folders)");
    }
    return models;
}

std::optional<Parsed> parse(const std::vector<std::string>& arguments, std::ostream& out) {
    Parsed parsed;
    OptionTexts texts;
    TrainingSettings& s = parsed.settings;
    TrainingInput& in = s.input;
    const std::optional<po::variables_map> parsed_values =
        parse_command_line(arguments, described_options(parsed, texts), out,
                           std::string("veldra-train ") + veldra_version);
    if (!parsed_values) {
        return std::nullopt;
    }
    if (in.spectra.empty() || in.targets.empty() || s.property.empty()) {
        throw UsageError("--spectra, --targets and --property are needed");
    }
    try {
        SampleNaming{in.sample_id};
    } catch (const std::runtime_error& e) {
        throw UsageError(e.what());
    }
    if (in.id_column.empty()) {
        throw UsageError("--id-column takes the name of a column of --targets, not ''");
    }
    if (!is_plain_spectrometer_name(s.spectrometer_type)) {
        throw UsageError("unknown spectrometer type '" + s.spectrometer_type +
                         "' (a lab's own takes 1 to 64 letters, digits, - and _)");
    }
    in.spectrometer = s.spectrometer_type;
    if (!is_plain_property_name(s.property)) {
        throw UsageError("--property takes a plain name (letters, digits and ._-+, at most 64), "
                         "not '" +
                         s.property + "'");
    }
    if (s.cv_folds < 0 || s.cv_folds == 1) {
        throw UsageError(
            "--cv takes the number of folds, 2 or more (0: no cross-validation), not " +
            std::to_string(s.cv_folds));
    }
    check_sampler_settings(s, texts);
    const std::optional<Transformation> chosen = transformation_from_text(texts.transformation);
    if (!chosen || texts.transformation == "no transformation") {
        throw UsageError("--transform takes first_der or none, not '" + texts.transformation + "'");
    }
    in.transformation = *chosen;
    if (parsed_values->count("preprocess")) {
        if (!(*parsed_values)["transform"].defaulted()) {
            throw UsageError("--transform and --preprocess exclude each other: write the "
                             "transformation as a step of the pipeline (first_der)");
        }
        try {
            s.preprocess = pipeline_candidates(texts.preprocess);
        } catch (const std::runtime_error& e) {
            throw UsageError(std::string("--preprocess: ") + e.what());
        }
        if ((s.preprocess.size() > 1 || s.preprocess.front() == "auto") && s.cv_folds == 0 &&
            s.folds.empty()) {
            throw UsageError("--preprocess with several pipelines chooses among them by "
                             "cross-validation: give --cv K or --folds");
        }
    }
    s.methods = checked_methods(texts.method, s);
    s.models = models_folder(texts.models, arguments);
    in.opus_configuration = opus_configuration_file(s.models).string();
    if (fs::is_directory(in.spectra)) {
        in.spectra += "/";
    }
    return parsed;
}

} // namespace

int run_train_command(const std::vector<std::string>& arguments, std::ostream& out,
                      std::ostream& err, const std::atomic<bool>& stop, bool terminal) {
    std::optional<Parsed> parsed;
    try {
        parsed = parse(arguments, out);
    } catch (const UsageError& e) {
        err << "veldra-train: " << e.what() << "\n" << usage_line;
        return exit_usage;
    }
    if (!parsed) {
        return exit_success;
    }
    TrainingSettings& settings = parsed->settings;

    LoggerSet log;
    ProgressDisplay display(err, terminal, parsed->quiet, std::chrono::milliseconds(200));
    TrainingConsole console(display, stop);
    const ObserverGuard observing(log, console);

    TrainingReport report;
    try {
        report = train_model(settings, log);
    } catch (const Stopped&) {
        display.finish();
        err << "Stopped by user\n";
        return exit_stopped;
    } catch (const std::bad_alloc&) {
        display.finish();
        err << "Not enough memory for this calibration: fewer --chains, --trees or --draws, or "
               "fewer threads, need less.\n";
        return exit_failure;
    } catch (const std::exception& e) {
        display.finish();
        err << e.what() << "\n";
        return exit_failure;
    }
    display.finish();
    out << "Model written to:\n  " << report.folder.string() << "\n";
    out << training_report_text(report);
    return exit_success;
}

} // namespace veldra
