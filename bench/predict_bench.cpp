// Times the forest prediction over a realistic model: one folder of posterior-sample documents
// evaluated on 10, 100 and 1000 samples, each the fastest of a few runs. Prints seconds per
// model, milliseconds per file, what one more sample costs per tree (nanoseconds per descent)
// and the peak memory of the process; then the time the files take to read alone.
#include "bart/flat_forest.h"
#include "bart/forest.h"
#include "bart/forest_prediction.h"
#include "bart/model_document.h"
#include "bench/command_line.h"
#include "input/csv_reader.h"
#include "tests/reference/reference_prediction.h"
#include "text/platform.h"
#include "tools/model_tree_generator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

namespace {

namespace fs = boost::filesystem;

// Prints, per sample count, the fastest of `repeat` predictions of the model's files.
void time_predictions(const fs::path& model, const veldra::SpectraTable& all,
                      const std::vector<int>& sample_counts, int trees, bool reference,
                      unsigned threads, int repeat, veldra::LoggerSet& log) {
    std::printf("%8s %14s %12s %15s %16s\n", "samples", "s per model", "ms per file",
                "ns per descent", "peak memory MB");
    double previous_seconds = 0;
    int previous_count = 0;
    for (const int count : sample_counts) {
        const veldra::SpectraRows rows(all.rows.begin(), all.rows.begin() + count);
        // The machine's speed drifts from run to run: the fastest of a few runs is the figure
        // least disturbed by whatever else it was doing.
        double seconds = 0;
        std::size_t files = 0;
        for (int run = 0; run < std::max(repeat, 1); ++run) {
            const auto start = std::chrono::steady_clock::now();
            // The reference: its reader, one thread, row by row through the tree nodes.
            const veldra::PredictionMatrix matrix =
                reference
                    ? veldra::test::reference_predict_from_forest_files(
                          (model / "MCMC*.json").string(), "json", rows, {0.0, 10.0}, true, log)
                    : veldra::predict_from_forest_files((model / "MCMC*.json").string(), "json",
                                                        rows, {0.0, 10.0}, true, log,
                                                        veldra::PredictionOptions{threads});
            const double taken =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            seconds = run == 0 ? taken : std::min(seconds, taken);
            files = matrix.size();
        }
        // What one more sample costs per tree of every file: reading the files does not change.
        const double descent_ns = previous_count > 0 && count > previous_count
                                      ? (seconds - previous_seconds) * 1e9 /
                                            (static_cast<double>(count - previous_count) *
                                             static_cast<double>(files) * trees)
                                      : 0.0;
        std::printf("%8d %14.3f %12.3f %15.2f %16.1f\n", count, seconds,
                    1000.0 * seconds / static_cast<double>(files), descent_ns,
                    static_cast<double>(veldra::peak_memory_bytes()) / 1e6);
        previous_seconds = seconds;
        previous_count = count;
    }
}

// Reading alone: every file into a thread's cleared forest, as the prediction reads them, on as
// many threads, without building or evaluating.
void time_reading(const std::string& pattern, std::uintmax_t bytes, bool reference,
                  unsigned threads, int repeat) {
    const std::vector<std::string> files = veldra::list_matching_files(pattern, "json");
    const unsigned readers =
        threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
    double reading = 0;
    for (int run = 0; run < std::max(repeat, 1); ++run) {
        std::atomic<std::size_t> next{0};
        const auto read_files = [&] {
            veldra::Forest forest;
            for (std::size_t i = next++; i < files.size(); i = next++) {
                forest.clear();
                if (reference) {
                    veldra::read_model_document_reference(files[i], forest);
                } else {
                    veldra::read_model_document(files[i], forest);
                }
            }
        };
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> helpers;
        for (unsigned t = 1; t < readers; ++t) {
            helpers.emplace_back(read_files);
        }
        read_files();
        for (std::thread& helper : helpers) {
            helper.join();
        }
        const double taken =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        reading = run == 0 ? taken : std::min(reading, taken);
    }
    std::printf("reading alone (%u threads): %.3f ms per file, %.0f MB/s\n", readers,
                1000.0 * reading / static_cast<double>(files.size()),
                static_cast<double>(bytes) / 1e6 / reading);
}

} // namespace

int main(int argc, char** argv) {
    namespace po = boost::program_options;
    int draws = 1000;
    int trees = 200;
    std::vector<int> sample_counts;
    std::string keep;
    std::string reader_name = "fast";
    unsigned threads = 0;
    int repeat = 3;
    po::options_description described("veldra-bench-predict");
    described.add_options()("help", "show this text")(
        "draws", po::value(&draws)->default_value(draws), "posterior-sample documents")(
        "trees", po::value(&trees)->default_value(trees), "trees per document")(
        "samples", po::value(&sample_counts)->multitoken(), "sample counts (default 10 100 1000)")(
        "model-dir", po::value(&keep), "generate the model here and keep it (default: temporary)")(
        "reader", po::value(&reader_name)->default_value(reader_name),
        "model document reader: fast or reference")(
        "threads", po::value(&threads)->default_value(threads),
        "threads (0: one per core)")("repeat", po::value(&repeat)->default_value(repeat),
                                     "runs per sample count; the fastest is printed");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    if (sample_counts.empty()) {
        sample_counts = {10, 100, 1000};
    }

    const fs::path root =
        keep.empty() ? fs::temp_directory_path() / fs::unique_path("veldra-bench-%%%%-%%%%")
                     : fs::path(keep);
    const fs::path model = root / "mir" / "Acidified.Carbon";
    if (!fs::exists(model / "MCMC1.json")) {
        veldra::tools::ModelTreeOptions options;
        options.draws = draws;
        options.trees = trees;
        options.types = {"mir"};
        options.properties = {"Carbon"};
        options.varied = true;
        std::cout << "generating " << draws << " documents of " << trees << " trees in " << root
                  << "\n";
        veldra::tools::write_model_tree(root, options);
    }
    // Every file is read once before timing, so that no row of figures pays for the disk.
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(model)) {
        std::ifstream in(entry.path().string(), std::ios::binary);
        bytes += static_cast<std::uintmax_t>(
            std::distance(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
    std::printf("model: %d documents, %d trees each, %.1f MB of JSON, 3578 covariates\n", draws,
                trees, static_cast<double>(bytes) / 1e6);
    std::printf("descent: %s\n", veldra::FlatForest::wide_vectors_available()
                                     ? "256-bit vectors (AVX2)"
                                     : "baseline instructions (no AVX2)");

    veldra::LoggerSet log;
    const bool reference = reader_name == "reference";
    const int largest = *std::max_element(sample_counts.begin(), sample_counts.end());
    const fs::path csv = root / "samples.csv";
    veldra::tools::write_example_spectra(csv.string(), veldra::tools::grid_of_spectrometer("mir"),
                                         largest, 11);
    const veldra::SpectraTable all = veldra::read_spectra_csv(csv.string());
    time_predictions(model, all, sample_counts, trees, reference, threads, repeat, log);
    time_reading((model / "MCMC*.json").string(), bytes, reference, threads, repeat);
    if (keep.empty()) {
        fs::remove_all(root);
    }
    std::printf("reproduce: %s --draws %d --trees %d --reader %s --threads %u --repeat %d\n",
                argv[0], draws, trees, reader_name.c_str(), threads, repeat);
    return 0;
}
