// Predicts soil properties for the bundled example with the bundled demonstration models and
// writes one output file per property, as the prediction job does. Stands in for the job until
// the front ends exist.
#include "job/model_layout.h"
#include "job/prediction_driver.h"

#include <cstdio>
#include <exception>
#include <string>

#include <boost/filesystem.hpp>
#include <boost/log/core.hpp>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s MODEL_DIR SPECTRA_CSV OUTPUT_DIR [PROPERTY...]\n", argv[0]);
        return 2;
    }
    const boost::filesystem::path models(argv[1]);
    const std::string csv = argv[2];
    const boost::filesystem::path output(argv[3]);
    std::vector<std::string> properties(argv + 4, argv + argc);
    if (properties.empty()) {
        properties = {"Carbon", "pH", "N"};
    }
    try {
        boost::filesystem::create_directories(output);
        veldra::LoggerSet log;
        boost::log::core::get()->set_logging_enabled(false);
        for (const std::string& property : properties) {
            const boost::filesystem::path folder =
                models / "mir" / veldra::model_property_name(property);
            const std::string outfile = (output / ("example-mir-" + property + ".csv")).string();
            const veldra::PredictionSummary summary = veldra::run_prediction(
                (folder / "rgy.txt").string(), outfile, ",", folder.string() + "/MCMC*.json",
                "json", "", csv, {}, {}, (models / "opus.conf").string(), "first_der", false, log);
            std::printf("%s: %zu samples x %zu draws -> %s\n", property.c_str(),
                        summary.means.size(), summary.samples_per_draw.size(), outfile.c_str());
            for (std::size_t j = 0; j < summary.means.size() && j < 3; ++j) {
                std::printf("  %-10s mean %9.4f  std %8.4f  95%% interval [%.4f, %.4f]\n",
                            summary.sample_ids[j].c_str(), summary.means[j],
                            summary.standard_deviations[j], summary.quantiles[0][j],
                            summary.quantiles[6][j]);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
