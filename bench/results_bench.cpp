// Opening the results of a large job: a summary of 17 pairs x N samples (default 10,000) read
// from its file and shown in the results window with the job's spectra (3578 covariates) and
// the first sample chosen, on the offscreen platform unless another is chosen. Prints the
// seconds of each step and of the whole.
#include "bench/command_line.h"
#include "gui/results_window.h"
#include "job/job_record.h"
#include "job/job_summary.h"
#include "job/spectra_preview.h"

#include <QApplication>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

namespace {

namespace fs = boost::filesystem;

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    namespace po = boost::program_options;
    int samples = 10000;
    po::options_description described("veldra-bench-results");
    described.add_options()("help", "show this text")(
        "samples", po::value(&samples)->default_value(samples), "samples of the job");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    const fs::path file =
        fs::temp_directory_path() / fs::unique_path("veldra-bench-results-%%%%.csv");
    {
        // Samples first, one line per pair, as a job writes it; a few outside the domain.
        std::ofstream out(file.string());
        out << veldra::summary_header << "\n";
        std::mt19937_64 random(5);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (int s = 0; s < samples; ++s) {
            for (int p = 0; p < 17; ++p) {
                const double mean = 1 + 10 * unit(random);
                out << "sample" << s << ",mir,property" << p << "," << mean << "," << 0.1 * mean
                    << "," << 0.8 * mean << "," << mean << "," << 1.2 * mean << "," << 0.7 * mean
                    << "," << 1.3 * mean << "," << (unit(random) < 0.02 ? "outside" : "inside")
                    << "," << 10 * unit(random) << "," << unit(random) << ",0.9\n";
            }
        }
    }
    // The spectra a window job keeps: 10,000 samples of 3578 covariates, as a preview.
    auto preview = std::make_shared<veldra::SpectraPreview>();
    {
        veldra::SpectraTable block;
        for (int k = 0; k < 3578; ++k) {
            block.names.push_back("m" + std::to_string(7497.96 - 1.9286 * k));
        }
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (int s = 0; s < samples; s += 500) {
            block.ids.clear();
            block.rows.assign(static_cast<std::size_t>(std::min(500, samples - s)),
                              std::vector<double>(3578));
            for (std::size_t i = 0; i < block.rows.size(); ++i) {
                block.ids.push_back("sample" + std::to_string(s + static_cast<int>(i)));
                const double level = unit(random);
                for (std::size_t k = 0; k < 3578; ++k) {
                    block.rows[i][k] = level + std::sin(static_cast<double>(k) / 300.0);
                }
            }
            preview->add(block, veldra::Transformation::first_derivative);
        }
    }
    veldra::JobRecord record;
    record.recorded = true;
    record.spectra = preview;

    const auto start = std::chrono::steady_clock::now();
    const veldra::SummaryTable table = veldra::read_summary_file(file.string());
    const double reading = since(start);
    const auto shown = std::chrono::steady_clock::now();
    veldra::ResultsWindow window(nullptr, table, "Results");
    window.set_record(file.string(), record);
    window.choose_row(0);
    const double building = since(shown);
    window.show();
    QApplication::processEvents();
    const double showing = since(shown);
    std::printf("building the window %.2f s, showing it %.2f s\n", building, showing - building);
    const double whole = since(start);
    fs::remove(file);
    std::printf("%d samples x 17 pairs: reading %.2f s, window %.2f s, together %.2f s\n", samples,
                reading, showing, whole);
    std::printf("reproduce: %s --samples %d\n", argv[0], samples);
    return 0;
}
