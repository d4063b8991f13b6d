// Runs the prediction job on the bundled example with the bundled demonstration models, as the
// window does for a CSV input, and prints the job's log lines and its result.
#include "job/job_runner.h"
#include "logging/logger_set.h"

#include <cstdio>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/utility/setup/console.hpp>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s MODEL_DIR SPECTRA_CSV OUTPUT_FILE [PROPERTY...]\n",
                     argv[0]);
        return 2;
    }
    veldra::JobSettings settings;
    settings.model_directory = argv[1];
    settings.csv_file = argv[2];
    settings.output_path = argv[3];
    settings.opus_configuration_path = (settings.model_directory / "opus.conf").string();
    settings.spectrometer_types = {"mir"};
    settings.soil_properties.assign(argv + 4, argv + argc);
    if (settings.soil_properties.empty()) {
        settings.soil_properties = {"Carbon", "pH", "N"};
    }
    settings.transformation = "first_der";
    settings.exponential = false;
    boost::filesystem::create_directories(
        boost::filesystem::absolute(settings.output_path).parent_path());

    veldra::LoggerSet log;
    namespace expr = boost::log::expressions;
    boost::log::add_console_log(std::clog,
                                boost::log::keywords::format = expr::stream << expr::smessage)
        ->set_filter(expr::attr<veldra::Severity>("severity") >= veldra::Severity::info);
    veldra::JobProgress progress;
    const veldra::JobOutcome outcome = veldra::execute_job(settings, log, progress);
    std::printf("%s", outcome.message.c_str());
    return outcome.ok ? 0 : 1;
}
