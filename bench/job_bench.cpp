// A 17-property job on realistic models (default 1000 draws x 200 trees, 3578 covariates) for
// several sample counts, on the reference path (property-tree reader, one thread, one forest at
// a time, row by row) and on the fast path reading the draw files alone, making the compiled
// models and reading them, in the same run. Prints seconds, the ratio of the reference to the
// compiled models, milliseconds per file, the marginal nanoseconds per sample x tree descent
// and the peak memory, and checks that every path wrote the same bytes.
#include "bench/command_line.h"
#include "bench/realistic_models.h"
#include "input/input_dispatch.h"
#include "job/job_runner.h"
#include "job/output_names.h"
#include "job/prediction_driver.h"
#include "models/model_layout.h"
#include "models/model_open.h"
#include "tests/reference/reference_prediction.h"
#include "text/platform.h"
#include "tools/model_tree_generator.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

namespace {

namespace fs = boost::filesystem;

std::string read_all(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The same job on the reference path: input read once, then every pair evaluated by the
// reference and written by the same writer, to the same file names.
void run_reference_job(const veldra::JobSettings& settings, veldra::LoggerSet& log) {
    const veldra::SpectraTable table =
        veldra::read_spectra_input(log, "", "", settings.csv_file, {}, {});
    for (const std::string& property : settings.soil_properties) {
        const fs::path folder = veldra::model_folder(settings.model_directory, "mir", property);
        const std::vector<double> range =
            veldra::read_range_file((folder / "rgy.txt").string(), log);
        const veldra::PredictionMatrix matrix = veldra::test::reference_predict_from_forest_files(
            (folder / "MCMC*.json").string(), "json", table.rows, {range.at(0), range.at(1)}, true,
            log);
        veldra::write_prediction_file(
            matrix, veldra::pair_output_path(settings.output_path, "mir", property, false), ",",
            table, true, log);
    }
}

// How the job reads its models: the reference path, the draw files alone, the draw files while
// compiling them (no compiled model at the start), or the compiled models.
enum class Path { reference, draws, compiling, compiled };

// Runs the job and returns its seconds; the output files go to `folder`.
double run_job(const fs::path& models, const fs::path& input, const fs::path& folder, Path path) {
    // Output files of an earlier run are removed before timing: overwriting them would make
    // the kernel drop their pages inside the timed job.
    fs::remove_all(folder);
    fs::create_directories(folder);
    veldra::JobSettings settings;
    settings.output_path = (folder / "out.csv").string();
    settings.model_directory = models;
    settings.csv_file = input.string();
    settings.opus_configuration_path = (models / "opus.conf").string();
    settings.spectrometer_types = {"mir"};
    settings.soil_properties = veldra::soil_properties();
    settings.compiled_models = path == Path::compiling || path == Path::compiled;
    if (path == Path::compiling) {
        for (const std::string& property : settings.soil_properties) {
            fs::remove(veldra::compiled_model_file(veldra::model_folder(models, "mir", property)));
        }
    }
    veldra::LoggerSet log;
    veldra::JobProgress progress;
    const auto start = std::chrono::steady_clock::now();
    if (path == Path::reference) {
        run_reference_job(settings, log);
    } else {
        const veldra::JobOutcome outcome = veldra::run_job(settings, log, progress);
        if (!outcome.ok) {
            throw std::runtime_error(outcome.message);
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    veldra::keep_freed_memory_for_reuse(); // as the programs do
    namespace po = boost::program_options;
    int draws = 1000;
    int trees = 200;
    std::vector<int> sample_counts;
    std::string keep;
    bool skip_reference = false;
    po::options_description described("veldra-bench-job");
    described.add_options()("help", "show this text")(
        "draws", po::value(&draws)->default_value(draws), "posterior draws per model")(
        "trees", po::value(&trees)->default_value(trees), "trees per document")(
        "samples", po::value(&sample_counts)->multitoken(), "sample counts (default 10 100 1000)")(
        "model-dir", po::value(&keep), "generate the models here and keep them")(
        "fast-only", po::bool_switch(&skip_reference), "do not run the reference path");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    if (sample_counts.empty()) {
        sample_counts = {10, 100, 1000};
    }
    const fs::path root = veldra::bench::realistic_models(keep, "veldra-bench-job", draws, trees);
    // Every model file is read once before timing, so that neither path pays for the disk.
    for (fs::recursive_directory_iterator it(root / "mir"), end; it != end; ++it) {
        if (fs::is_regular_file(it->status())) {
            read_all(it->path());
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double files = 17.0 * draws;
    std::printf("%8s %12s %9s %11s %11s %7s %12s %14s %12s %6s\n", "samples", "reference s",
                "draws s", "compiling s", "compiled s", "ratio", "ms per file", "ns per descent",
                "peak MB", "same");
    double previous_seconds = 0;
    int previous_samples = 0;
    for (const int samples : sample_counts) {
        const fs::path input = root / ("samples-" + std::to_string(samples) + ".csv");
        veldra::tools::write_example_spectra(
            input.string(), veldra::tools::grid_of_spectrometer("mir"), samples, 11);
        const double draws_only = run_job(root, input, root / "draws", Path::draws);
        const double compiling = run_job(root, input, root / "compiling", Path::compiling);
        const double fast = run_job(root, input, root / "fast", Path::compiled);
        // The fast paths' peak: the reference runs after them (and earlier rows had fewer
        // samples).
        const double fast_peak_mb = static_cast<double>(veldra::peak_memory_bytes()) / 1e6;
        double reference = 0;
        bool same = true;
        if (!skip_reference) {
            reference = run_job(root, input, root / "reference", Path::reference);
        }
        for (const std::string& property : veldra::soil_properties()) {
            const std::string name = "out-mir-" + property + ".csv";
            const std::string expected = read_all(root / "fast" / name);
            same = same && read_all(root / "draws" / name) == expected &&
                   read_all(root / "compiling" / name) == expected &&
                   (skip_reference || read_all(root / "reference" / name) == expected);
        }
        // The descent cost is what one more sample adds (reading the models does not change).
        const double descent_ns =
            previous_samples > 0
                ? (fast - previous_seconds) * 1e9 / ((samples - previous_samples) * files * trees)
                : 0.0;
        std::printf("%8d %12.2f %9.2f %11.2f %11.3f %7.1f %12.4f %14.2f %12.1f %6s\n", samples,
                    reference, draws_only, compiling, fast, skip_reference ? 0.0 : reference / fast,
                    fast * 1000.0 / files, descent_ns, fast_peak_mb, same ? "yes" : "NO");
        previous_seconds = fast;
        previous_samples = samples;
        fs::remove(input);
    }
    // What checking a compiled model against its draws costs: a stat of every draw file.
    {
        const std::vector<std::string> draw_files =
            veldra::list_draw_files(veldra::model_folder(root, "mir", "pH"));
        const auto start = std::chrono::steady_clock::now();
        const std::uint64_t fingerprint = veldra::draw_files_fingerprint(draw_files);
        const double ms =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 1e3;
        std::printf("fingerprint of %lu draw files (%016llx): %.2f ms\n",
                    static_cast<unsigned long>(draw_files.size()),
                    static_cast<unsigned long long>(fingerprint), ms);
    }
    if (keep.empty()) {
        fs::remove_all(root);
    }
    std::printf("reproduce: %s --draws %d --trees %d (draws: the draw files alone; compiling: "
                "making the compiled models; compiled: reading them; ns per descent: marginal, 2 "
                "threads)\n",
                argv[0], draws, trees);
    return 0;
}
