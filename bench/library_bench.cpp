// A spectral library re-predicted: 17 properties on realistic models (default 1000 draws x 200
// trees, 3578 covariates), summary only, at several sample counts (default 10,000 and 100,000).
// Each count runs in a process of its own, so that its peak memory is its own. Prints seconds,
// samples per second and peak memory, each against the first count.
#include "bench/command_line.h"
#include "bench/realistic_models.h"
#include "job/job_runner.h"
#include "models/model_layout.h"
#include "text/platform.h"
#include "tools/model_tree_generator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

namespace {

namespace fs = boost::filesystem;

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// The job on one input, in this process: prints "<seconds> <peak bytes>" to `result`.
int run_one(const fs::path& models, const fs::path& input, std::size_t block,
            const std::string& result) {
    const fs::path output = fs::temp_directory_path() / fs::unique_path("veldra-library-%%%%");
    fs::create_directories(output);
    veldra::JobSettings settings;
    settings.output_path = (output / "library.csv").string();
    settings.model_directory = models;
    settings.csv_file = input.string();
    settings.spectrometer_types = {"mir"};
    settings.soil_properties = veldra::soil_properties();
    settings.summary = true;
    settings.summary_only = true;
    settings.block_samples = block;
    veldra::LoggerSet log;
    veldra::JobProgress progress;
    const auto start = std::chrono::steady_clock::now();
    const veldra::JobOutcome outcome = veldra::run_job(settings, log, progress);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fs::remove_all(output);
    if (!outcome.ok) {
        std::cerr << outcome.message << "\n";
        return 1;
    }
    std::ofstream(result) << seconds << " " << veldra::peak_memory_bytes() << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    veldra::keep_freed_memory_for_reuse(); // as the programs do
    namespace po = boost::program_options;
    int draws = 1000;
    int trees = 200;
    std::vector<int> sample_counts;
    std::string keep;
    std::size_t block = 0;
    std::string one_input;
    std::string one_result;
    po::options_description described("veldra-bench-library");
    described.add_options()("help", "show this text")(
        "draws", po::value(&draws)->default_value(draws), "posterior draws per model")(
        "trees", po::value(&trees)->default_value(trees), "trees per document")(
        "samples", po::value(&sample_counts)->multitoken(), "sample counts (default 10000 100000)")(
        "model-dir", po::value(&keep), "generate the models and inputs here and keep them")(
        "block", po::value(&block)->default_value(0), "samples per block (0: the job's rule)")(
        "one-input", po::value(&one_input), "(internal) run one job on this input")(
        "one-result", po::value(&one_result), "(internal) where that job's figures go");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    if (!one_input.empty()) {
        return run_one(keep, one_input, block, one_result);
    }
    if (sample_counts.empty()) {
        sample_counts = {10000, 100000};
    }
    const fs::path root =
        veldra::bench::realistic_models(keep, "veldra-bench-library", draws, trees);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("%8s %10s %12s %12s %14s %12s\n", "samples", "seconds", "samples/s", "peak MB",
                "throughput x", "peak x");
    double first_rate = 0;
    double first_peak = 0;
    for (const int samples : sample_counts) {
        const fs::path input = root / ("library-" + std::to_string(samples) + ".csv");
        if (!fs::exists(input)) {
            veldra::tools::write_example_spectra(
                input.string(), veldra::tools::grid_of_spectrometer("mir"), samples, 11);
        }
        const fs::path result = root / "result.txt";
        const std::string command = quoted(argv[0]) + " --model-dir " + quoted(root.string()) +
                                    " --block " + std::to_string(block) + " --one-input " +
                                    quoted(input.string()) + " --one-result " +
                                    quoted(result.string());
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "the job on %d samples failed\n", samples);
            return 1;
        }
        double seconds = 0;
        double peak = 0;
        std::ifstream(result.string()) >> seconds >> peak;
        const double rate = samples / seconds;
        if (first_rate == 0) {
            first_rate = rate;
            first_peak = peak;
        }
        std::printf("%8d %10.1f %12.1f %12.1f %14.3f %12.3f\n", samples, seconds, rate, peak / 1e6,
                    rate / first_rate, peak / first_peak);
        if (keep.empty()) {
            fs::remove(input);
        }
    }
    if (keep.empty()) {
        fs::remove_all(root);
    }
    std::printf("reproduce: %s --draws %d --trees %d (summary only, 17 properties, one per core)\n",
                argv[0], draws, trees);
    return 0;
}
