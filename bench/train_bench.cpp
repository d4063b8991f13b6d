// Fitting time and memory of the BART sampler at the size of a lab's calibration set:
// default 300 samples x 1700 covariates (smooth spectra with a few informative bands), 200
// trees, 200 burn-in and 1000 kept iterations over the default chains.
#include "bench/command_line.h"
#include "text/platform.h"
#include "train/bart_sampler.h"

#include <chrono>
#include <cmath>
#include <iostream>
#include <random>

#include <boost/program_options.hpp>

int main(int argc, char** argv) {
    namespace po = boost::program_options;
    int samples = 300;
    int covariates = 1700;
    veldra::BartOptions options;
    po::options_description described("veldra-bench-train");
    described.add_options()("help", "show this text")(
        "samples", po::value(&samples)->default_value(samples), "training samples")(
        "covariates", po::value(&covariates)->default_value(covariates), "covariates per sample")(
        "trees", po::value(&options.trees)->default_value(options.trees),
        "trees")("burn-in", po::value(&options.burn_in)->default_value(options.burn_in), "burn-in")(
        "draws", po::value(&options.draws)->default_value(options.draws), "kept draws")(
        "threads", po::value(&options.threads)->default_value(0u), "threads (0: every core)");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    std::mt19937_64 random(1);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<std::vector<double>> rows(static_cast<std::size_t>(samples));
    std::vector<double> y;
    for (std::vector<double>& row : rows) {
        const double a = noise(random);
        const double b = noise(random);
        row.resize(static_cast<std::size_t>(covariates));
        for (int j = 0; j < covariates; ++j) {
            const double x = static_cast<double>(j) / covariates;
            row[static_cast<std::size_t>(j)] = a * std::exp(-std::pow((x - 0.3) / 0.05, 2)) +
                                               b * std::exp(-std::pow((x - 0.7) / 0.08, 2)) +
                                               0.01 * noise(random);
        }
        y.push_back(2.0 + a + 0.5 * b * b + 0.2 * noise(random));
    }
    const auto start = std::chrono::steady_clock::now();
    const veldra::BartFit fit = veldra::fit_bart(rows, y, options);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "samples " << samples << ", covariates " << covariates << ", trees "
              << options.trees << ", iterations " << options.burn_in << " + " << options.draws
              << " (" << options.chains << " chains)\n"
              << "seconds " << seconds << "\n"
              << "peak MB " << static_cast<double>(veldra::peak_memory_bytes()) / 1048576.0 << "\n"
              << "kept draws " << fit.forests.size() << "\n"
              << "reproduce: build/bin/veldra-bench-train\n";
    return 0;
}
