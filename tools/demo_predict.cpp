// Predicts one property for the bundled example with the bundled demonstration models and
// prints the posterior mean and spread of every sample. Stands in for the prediction job
// until the job exists.
#include "bart/forest_prediction.h"
#include "input/csv_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>

#include <boost/log/core.hpp>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s MODEL_FOLDER RANGE_FILE SPECTRA_CSV\n", argv[0]);
        return 2;
    }
    try {
        const veldra::SpectraTable table = veldra::read_spectra_csv(argv[3]);
        veldra::RangeScaling scaling;
        std::ifstream range(argv[2]);
        if (!(range >> scaling.first >> scaling.second)) {
            std::fprintf(stderr, "cannot read %s\n", argv[2]);
            return 1;
        }
        veldra::LoggerSet log;
        boost::log::core::get()->set_logging_enabled(false);
        const veldra::PredictionMatrix draws = veldra::predict_from_forest_files(
            std::string(argv[1]) + "/MCMC*.json", "json", table.rows, scaling, true, log);
        std::printf("%zu draws from %s\n%-12s %10s %10s\n", draws.size(), argv[1], "sample", "mean",
                    "std");
        for (std::size_t j = 0; j < table.rows.size(); ++j) {
            double sum = 0;
            double squares = 0;
            for (const auto& draw : draws) {
                sum += draw[j];
                squares += draw[j] * draw[j];
            }
            const double n = static_cast<double>(draws.size());
            const double mean = sum / n;
            std::printf("%-12s %10.4f %10.4f\n", table.ids[j].c_str(), mean,
                        std::sqrt(std::max(0.0, squares / n - mean * mean)));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
