#include "cli/train_command.h"

#include "app/model_directory.h"
#include "cli/command_line.h"
#include "cli/predict_command.h"
#include "job/model_layout.h"
#include "job/training.h"
#include "logging/logger_set.h"

#include <chrono>
#include <cstdio>
#include <iomanip>
#include <optional>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/program_options.hpp>

namespace veldra {

namespace {

namespace fs = boost::filesystem;
namespace po = boost::program_options;

const char* const usage_line =
    "Usage: veldra-train --spectra PATH --targets CSV --property NAME [options]\n"
    "Try 'veldra-train --help' for more.\n";

// Raised from the progress callback when the user pressed Ctrl-C.
struct Stopped {};

// Log records of level 1 and above as plain lines.
class LineBackend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    LineBackend(std::ostream& err, bool quiet) : err_(err), quiet_(quiet) {}
    void consume(const boost::log::record_view& record) {
        const auto level = boost::log::extract<Severity>("severity", record);
        const auto message = boost::log::extract<std::string>("Message", record);
        if (!quiet_ && level && *level >= Severity::info && message) {
            err_ << *message << "\n";
        }
    }

private:
    std::ostream& err_;
    bool quiet_;
};

struct Parsed {
    TrainingSettings settings;
    bool quiet = false;
};

std::optional<Parsed> parse(const std::vector<std::string>& arguments, std::ostream& out) {
    Parsed parsed;
    TrainingSettings& s = parsed.settings;
    BartOptions& b = s.bart;
    std::string models;
    std::string transformation = "first_der";
    long long seed = 1;
    po::options_description described(
        "veldra-train: calibrate a BART model from spectra and reference values\n"
        "Usage: veldra-train --spectra PATH --targets CSV --property NAME [options]\nOptions");
    described.add_options()("spectra", po::value(&s.spectra),
                            "CSV file of spectra, or folder of OPUS files")(
        "targets", po::value(&s.targets), "CSV with a column SSN and one column per property")(
        "target", po::value(&s.target), "the column of --targets (needed with several)")(
        "spectrometer", po::value(&s.spectrometer_type)->default_value("mir"),
        "mir, mpa, alphakbr or alphaznse")(
        "property", po::value(&s.property),
        "the property the model predicts (Carbon, N, pH, or another name)")(
        "models", po::value(&models),
        "model directory (default: found beside the program, as prediction finds it)")(
        "transform", po::value(&transformation)->default_value("first_der"),
        "covariate transformation: first_der or none")(
        "log", po::bool_switch(&s.log), "fit log(y); predict with exponential back-transformation")(
        "force", po::bool_switch(&s.force), "replace an existing model")(
        "cv", po::value(&s.cv_folds)->default_value(0), "cross-validate with K random folds")(
        "folds", po::value(&s.folds), "cross-validate with the folds of this CSV (SSN, fold)")(
        "trees", po::value(&b.trees)->default_value(b.trees), "trees per draw")(
        "draws", po::value(&b.draws)->default_value(b.draws), "kept posterior draws")(
        "burn-in", po::value(&b.burn_in)->default_value(b.burn_in), "iterations dropped per chain")(
        "thin", po::value(&b.thin)->default_value(b.thin), "keep every n-th iteration")(
        "chains", po::value(&b.chains)->default_value(b.chains),
        "independent chains (fixed: results do not depend on the cores)")(
        "alpha", po::value(&b.alpha)->default_value(b.alpha),
        "tree prior alpha")("beta", po::value(&b.beta)->default_value(b.beta), "tree prior beta")(
        "k", po::value(&b.k)->default_value(b.k), "leaf prior: sigma_mu = 0.5 / (k sqrt(trees))")(
        "nu", po::value(&b.nu)->default_value(b.nu), "error variance prior degrees of freedom")(
        "q", po::value(&b.q)->default_value(b.q), "error variance prior quantile")(
        "cuts", po::value(&b.max_cuts)->default_value(b.max_cuts),
        "cut points per covariate")("sparse", po::bool_switch(&b.sparse),
                                    "Dirichlet prior on the splitting proportions (DART)")(
        "seed", po::value(&seed)->default_value(1), "random seed")(
        "threads", po::value(&b.threads)->default_value(0), "threads (0: one per core)")(
        "quiet", po::bool_switch(&parsed.quiet),
        "no log lines and no progress")("help", "show this text")("version", "show the version");
    const std::optional<po::variables_map> parsed_values =
        parse_command_line(arguments, described, out, "veldra-train 1.2.5");
    if (!parsed_values) {
        return std::nullopt;
    }
    if (s.spectra.empty() || s.targets.empty() || s.property.empty()) {
        throw UsageError("--spectra, --targets and --property are needed");
    }
    if (s.cv_folds != 0 && !s.folds.empty()) {
        throw UsageError("--cv and --folds exclude each other");
    }
    if (seed < 0) {
        throw UsageError("--seed must not be negative");
    }
    s.bart.seed = static_cast<std::uint64_t>(seed);
    s.transformation = transformation;
    if (models.empty()) {
        const std::optional<ModelDirectory> found =
            search_model_directory(arguments.empty() ? std::string() : arguments[0]);
        if (!found) {
            throw UsageError("no model directory found beside the program: give --models");
        }
        models = found->string();
    }
    s.models = models;
    s.opus_configuration = (fs::path(models) / "opus.conf").string();
    if (fs::is_directory(s.spectra)) {
        s.spectra += "/";
    }
    return parsed;
}

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
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

    LoggerSet log; // removes every earlier sink
    const auto sink = boost::make_shared<boost::log::sinks::synchronous_sink<LineBackend>>(
        boost::make_shared<LineBackend>(err, parsed->quiet));
    boost::log::core::get()->add_sink(sink);
    struct SinkRemoval {
        boost::shared_ptr<boost::log::sinks::synchronous_sink<LineBackend>> sink;
        ~SinkRemoval() { boost::log::core::get()->remove_sink(sink); }
    } removal{sink};

    const auto start = std::chrono::steady_clock::now();
    auto last = start - std::chrono::seconds(1);
    bool bar_shown = false;
    settings.bart.progress = [&](long done, long total) {
        if (stop.load()) {
            throw Stopped{};
        }
        const auto now = std::chrono::steady_clock::now();
        if (parsed->quiet ||
            (now - last < std::chrono::milliseconds(terminal ? 200 : 10000) && done != total)) {
            return;
        }
        last = now;
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const double left =
            done > 0 ? elapsed * static_cast<double>(total - done) / static_cast<double>(done)
                     : 0.0;
        std::ostringstream text;
        text << "iteration " << done << "/" << total << "  elapsed " << clock_text(elapsed)
             << "  left " << clock_text(left);
        if (terminal) {
            constexpr int width = 30;
            const auto filled = static_cast<int>(width * done / std::max(total, 1L));
            err << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
                << std::string(static_cast<std::size_t>(width - filled), ' ') << "] " << text.str()
                << std::flush;
            bar_shown = true;
        } else {
            err << "progress: " << text.str() << "\n";
        }
    };
    const auto end_bar = [&] {
        if (bar_shown) {
            err << "\n";
            bar_shown = false;
        }
    };

    TrainingReport report;
    try {
        report = train_model(settings, log);
    } catch (const Stopped&) {
        end_bar();
        err << "Stopped by user\n";
        return exit_stopped;
    } catch (const std::exception& e) {
        end_bar();
        err << e.what() << "\n";
        return exit_failure;
    }
    end_bar();
    out << "Model written to:\n  " << report.folder.string() << "\n";
    out << "samples " << report.samples << ", skipped " << report.skipped << ", covariates "
        << report.covariates << "\n";
    out << "              R2      RMSE      bias      RPIQ  coverage\n";
    const auto line = [&](const char* name, const Accuracy& a) {
        out << std::left << std::setw(10) << name << std::right << std::setw(8) << fixed(a.r2, 3)
            << std::setw(10) << fixed(a.rmse, 4) << std::setw(10) << fixed(a.bias, 4)
            << std::setw(10) << fixed(a.rpiq, 2) << std::setw(10) << fixed(a.coverage, 3) << "\n";
    };
    line("fit", report.fit);
    if (report.cross_validation) {
        line("cv", report.cross_validation->accuracy);
        out << "(cv: " << report.cross_validation->method << ", out-of-fold, pooled)\n";
    }
    return exit_success;
}

} // namespace veldra
