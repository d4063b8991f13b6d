#include "job/job_runner.h"

#include "input/input_dispatch.h"
#include "job/model_layout.h"
#include "job/prediction_driver.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace veldra {

namespace fs = boost::filesystem;

std::pair<int, int> job_progress(const JobProgress& outer, const LoggerSet& log) {
    const std::int64_t files = std::int64_t{log.inner_maximum} + 1;
    const std::int64_t maximum = files * (std::int64_t{outer.outer_maximum} + 1) - 1;
    const std::int64_t current = files * outer.outer_position + log.inner_position;
    const auto clamp = [](std::int64_t v) {
        return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(),
                                                         std::numeric_limits<int>::max()));
    };
    return {clamp(maximum), clamp(current)};
}

std::string pair_output_path(const std::string& output_path, const std::string& type,
                             const std::string& property, bool single) {
    if (single) {
        return output_path;
    }
    const fs::path output(output_path);
    const std::string name = output.filename().string();
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    const std::string stem = name.substr(0, name.size() - extension.size());
    return (output.parent_path() / (stem + "-" + type + "-" + property + extension)).string();
}

std::string run_job(JobSettings& settings, const std::vector<std::string>& types,
                    const std::vector<std::string>& properties, bool single, LoggerSet& log,
                    JobProgress& progress) {
    std::string result;
    // The input is read once; every prediction uses this copy, whatever happens to the files.
    const SpectraTable table =
        read_spectra_input(log, settings.opus_configuration_path, settings.opus_folder,
                           settings.csv_file, settings.columns, settings.ids);
    if (settings.columns.empty() || settings.ids.empty()) {
        settings.opus_configuration_path.clear();
        settings.opus_folder.clear();
        settings.csv_file.clear();
    }

    for (const std::string& type : types) {
        for (const std::string& property : properties) {
            const fs::path folder = settings.model_directory / type / model_property_name(property);
            const std::string outfile =
                pair_output_path(settings.output_path, type, property, single);
            run_prediction_on_table(
                (folder / "rgy.txt").string(), outfile, settings.output_separator,
                folder.string() + "/MCMC*.json", "json", table, settings.transformation,
                settings.exponential, log,
                PredictionOptions{ModelReader::fast, settings.threads, settings.reference_path});
            result += "  " + outfile + "\n";
            ++progress.outer_position;
        }
    }
    return result;
}

JobOutcome execute_job(JobSettings& settings, LoggerSet& log, JobProgress& progress) {
    const std::size_t pairs = settings.spectrometer_types.size() * settings.soil_properties.size();
    JobOutcome outcome{"Files created:\n", false, false};
    progress.outer_maximum = static_cast<std::int32_t>(pairs) - 1;
    progress.outer_position = 0;
    try {
        outcome.message += run_job(settings, settings.spectrometer_types, settings.soil_properties,
                                   pairs == 1, log, progress);
        outcome.ok = true;
    } catch (const std::exception& e) {
        outcome.message = e.what();
    } catch (const JobStop&) {
        outcome.user = true;
    } catch (...) {
        outcome.message = "Unknow exception catched";
    }
    return outcome;
}

} // namespace veldra
