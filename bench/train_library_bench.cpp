// Training at the size of a regional library: synthetic spectra (smooth bands whose heights
// set the property, with noise) for 1,000 to 10,000 soils x 1,700 wavenumbers, calibrated the
// way `veldra-train` does it (read, first derivative, BART with the default settings, domain,
// model folder written), once as one fit and once with 10-fold cross-validation. Each size and
// mode runs in its own process, so that its peak memory is its own.
#include "bench/command_line.h"
#include "logging/logger_set.h"
#include "text/platform.h"
#include "train/training.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

namespace {

namespace fs = boost::filesystem;

constexpr int wavenumbers = 1701; // 1700 covariates after the first derivative

// Writes the spectra, the reference values and the instrument's grid for `samples` soils.
void write_library(const fs::path& folder, int samples) {
    fs::create_directories(folder / "models");
    std::mt19937_64 random(1);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::ofstream spectra((folder / "spectra.csv").string());
    std::ofstream targets((folder / "targets.csv").string());
    spectra << "SSN";
    for (int j = 0; j < wavenumbers; ++j) {
        spectra << ",wn" << j;
    }
    spectra << "\n";
    targets << "SSN,Carbon\n";
    char number[32];
    for (int i = 0; i < samples; ++i) {
        const double a = noise(random);
        const double b = noise(random);
        spectra << "s" << i;
        for (int j = 0; j < wavenumbers; ++j) {
            const double x = static_cast<double>(j) / wavenumbers;
            const double value = 1.0 + 0.2 * a * std::exp(-std::pow((x - 0.3) / 0.05, 2)) +
                                 0.2 * b * std::exp(-std::pow((x - 0.7) / 0.08, 2)) +
                                 0.002 * noise(random);
            std::snprintf(number, sizeof number, ",%.6f", value);
            spectra << number;
        }
        spectra << "\n";
        targets << "s" << i << "," << 2.0 + a + 0.5 * b * b + 0.2 * noise(random) << "\n";
    }
    std::ofstream((folder / "models" / "opus.conf").string())
        << "[htsxt]\nstart_wn=4000\nend_wn=600\nnum_wn=" << wavenumbers << "\n";
}

// One calibration in this process: prints its time and this process's peak memory.
int train_once(const fs::path& folder, int folds, unsigned threads) {
    veldra::TrainingSettings settings;
    settings.input.spectra = (folder / "spectra.csv").string();
    settings.input.targets = (folder / "targets.csv").string();
    settings.input.target = "Carbon";
    settings.input.opus_configuration = (folder / "models" / "opus.conf").string();
    settings.spectrometer_type = "mir";
    settings.property = "Carbon";
    settings.models = folder / "models";
    settings.force = true;
    settings.cv_folds = folds;
    settings.bart.threads = threads;
    veldra::LoggerSet log;
    const auto start = std::chrono::steady_clock::now();
    const veldra::TrainingReport report = veldra::train_model(settings, log);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "seconds " << seconds << " peak_mb "
              << static_cast<double>(veldra::peak_memory_bytes()) / 1048576.0 << " samples "
              << report.samples << " covariates " << report.covariates << "\n";
    return 0;
}

// The figures a child printed: its time and peak memory.
struct Figures {
    double seconds = 0.0;
    double peak_mb = 0.0;
};

Figures run_child(const std::string& self, const fs::path& folder, int folds, unsigned threads) {
    const fs::path output = folder / "figures.txt";
    const std::string command = "\"" + self + "\" --one \"" + folder.string() + "\" --cv " +
                                std::to_string(folds) + " --threads " + std::to_string(threads) +
                                " > \"" + output.string() + "\"";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("the calibration failed: " + command);
    }
    std::ifstream in(output.string());
    std::string word;
    Figures figures;
    while (in >> word) {
        if (word == "seconds") {
            in >> figures.seconds;
        } else if (word == "peak_mb") {
            in >> figures.peak_mb;
        }
    }
    return figures;
}

std::vector<int> parse_sizes(const std::string& text) {
    std::vector<int> sizes;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        sizes.push_back(std::stoi(item));
    }
    return sizes;
}

} // namespace

int main(int argc, char** argv) {
    namespace po = boost::program_options;
    std::string sizes = "1000,3000,10000";
    std::string one;
    std::string work = (fs::temp_directory_path() / "veldra-bench-train-library").string();
    int folds = 10;
    unsigned threads = 0;
    bool keep = false;
    po::options_description described("veldra-bench-train-library");
    described.add_options()("help", "show this text")(
        "samples", po::value(&sizes)->default_value(sizes), "library sizes, comma-separated")(
        "cv", po::value(&folds)->default_value(folds), "folds of the cross-validated run")(
        "threads", po::value(&threads)->default_value(threads), "threads (0: every core)")(
        "work", po::value(&work)->default_value(work), "folder for the libraries and models")(
        "keep", po::bool_switch(&keep), "keep each library and its model in the work folder")(
        "one", po::value(&one), "(internal) calibrate the library in this folder once");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    if (!one.empty()) {
        return train_once(one, folds, threads);
    }
    std::cout << "soils  covariates  fit s  fit peak MB  cv" << folds << " s  cv" << folds
              << " peak MB\n";
    for (const int samples : parse_sizes(sizes)) {
        const fs::path folder = fs::path(work) / std::to_string(samples);
        write_library(folder, samples);
        const Figures fit = run_child(argv[0], folder, 0, threads);
        const Figures cv = run_child(argv[0], folder, folds, threads);
        std::cout << samples << "  " << wavenumbers - 1 << "  " << fit.seconds << "  "
                  << fit.peak_mb << "  " << cv.seconds << "  " << cv.peak_mb << std::endl;
        if (!keep) {
            fs::remove_all(folder);
        }
    }
    std::cout << "reproduce: build/bin/veldra-bench-train-library --samples " << sizes << " --cv "
              << folds << "\n";
    return 0;
}
