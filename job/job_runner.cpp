#include "job/job_runner.h"

#include "input/input_dispatch.h"
#include "job/job_summary.h"
#include "job/prediction_driver.h"
#include "models/model_layout.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>

namespace veldra {

namespace fs = boost::filesystem;

std::pair<int, int> job_progress(const JobProgress& outer, const LoggerSet& log) {
    const std::int64_t files = std::int64_t{log.inner_maximum} + 1;
    const std::int64_t maximum = files * (std::int64_t{outer.outer_maximum} + 1) - 1;
    const std::int64_t current =
        std::min(files * outer.outer_position + log.inner_position, maximum);
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

SpectraTable shard_of(SpectraTable table, std::size_t shard, std::size_t shards) {
    const std::size_t n = table.rows.size();
    if (shard < 1 || shard > shards) {
        throw std::runtime_error("Shard " + std::to_string(shard) + " of " +
                                 std::to_string(shards) + " does not exist.");
    }
    if (shards > n) {
        throw std::runtime_error(
            "The input holds " + std::to_string(n) + " samples: " + std::to_string(shards) +
            " shards would leave some empty; use at most " + std::to_string(n) + ".");
    }
    const std::size_t first = (shard - 1) * n / shards;
    const std::size_t last = shard * n / shards;
    SpectraTable part;
    part.machine_type = table.machine_type;
    part.ids.assign(std::make_move_iterator(table.ids.begin() + first),
                    std::make_move_iterator(table.ids.begin() + last));
    part.rows.assign(std::make_move_iterator(table.rows.begin() + first),
                     std::make_move_iterator(table.rows.begin() + last));
    return part;
}

std::string shard_output_path(const std::string& output_path, std::size_t shard,
                              std::size_t shards) {
    const fs::path output(output_path);
    const std::string name = output.filename().string();
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    const std::string stem = name.substr(0, name.size() - extension.size());
    return (output.parent_path() / (stem + "-shard-" + std::to_string(shard) + "-of-" +
                                    std::to_string(shards) + extension))
        .string();
}

std::string predict_pairs(JobSettings& settings, const std::vector<std::string>& types,
                          const std::vector<std::string>& properties, bool single, LoggerSet& log,
                          JobProgress& progress, std::vector<std::string>& created) {
    std::string result;
    // The input is read once; every prediction uses this copy, whatever happens to the files.
    SpectraTable table =
        read_spectra_input(log, settings.opus_configuration_path, settings.opus_folder,
                           settings.csv_file, settings.columns, settings.ids);
    std::string output_path = settings.output_path;
    if (settings.shards > 0) {
        table = shard_of(std::move(table), settings.shard, settings.shards);
        output_path = shard_output_path(output_path, settings.shard, settings.shards);
    }
    if (table.rows.empty() && !types.empty() && !properties.empty()) {
        if (!settings.opus_folder.empty()) {
            throw std::runtime_error("No spectrum to predict: no file of the OPUS folder '" +
                                     settings.opus_folder +
                                     "' could be read (the log says why for each).");
        }
        throw std::runtime_error("No spectrum to predict: the input holds no sample.");
    }
    if (settings.columns.empty() || settings.ids.empty()) {
        settings.opus_configuration_path.clear();
        settings.opus_folder.clear();
        settings.csv_file.clear();
    }

    std::vector<SummaryPart> parts;
    bool demonstration_told = false;
    bool no_card_told = false;
    for (const std::string& type : types) {
        for (const std::string& property : properties) {
            const fs::path folder = model_folder(settings.model_directory, type, property);
            PairPrediction pair;
            pair.range_file = (folder / "rgy.txt").string();
            pair.forest_path = folder.string() + "/MCMC*.json";
            pair.output_file = settings.summary_only
                                   ? std::string()
                                   : pair_output_path(output_path, type, property, single);
            pair.separator = settings.output_separator;
            pair.transformation = settings.transformation;
            pair.exponential = settings.exponential;
            pair.threads = settings.threads;
            pair.summary = settings.summary;
            pair.spectrometer_type = type;
            PairReport report;
            predict_pair(pair, table, log, nullptr, &report);
            if (report.card && report.card->demonstration && !demonstration_told) {
                VELDRA_LOG(log, Severity::warning) << demonstration_warning;
                demonstration_told = true;
            }
            if (!report.card && !no_card_told) {
                VELDRA_LOG(log, Severity::warning) << no_card_notice;
                no_card_told = true;
            }
            if (settings.summary) {
                parts.push_back({type, property, table.ids, std::move(report.statistics),
                                 report.card ? report.card->r2 : std::nullopt});
                if (report.card && report.card->demonstration) {
                    parts.back().model_r2.reset();
                }
            }
            if (!pair.output_file.empty()) {
                result += "  " + pair.output_file + "\n";
                created.push_back(pair.output_file);
            }
            ++progress.outer_position;
            log.inner_position = 0; // the next pair starts at its first file
        }
    }
    if (settings.summary && !parts.empty()) {
        const std::string path = summary_path(output_path);
        write_summary_file(path, parts);
        result += "  " + path + "\n";
        created.push_back(path);
    }
    return result;
}

JobOutcome run_job(JobSettings& settings, LoggerSet& log, JobProgress& progress) {
    const std::size_t pairs = settings.spectrometer_types.size() * settings.soil_properties.size();
    JobOutcome outcome{"Files created:\n", false, false, {}};
    progress.outer_maximum = static_cast<std::int32_t>(pairs) - 1;
    progress.outer_position = 0;
    try {
        outcome.message +=
            predict_pairs(settings, settings.spectrometer_types, settings.soil_properties,
                          pairs == 1, log, progress, outcome.created);
        outcome.ok = true;
    } catch (const std::bad_alloc&) {
        outcome.message = out_of_memory_message;
    } catch (const std::exception& e) {
        outcome.message = e.what();
    } catch (const JobStop&) {
        outcome.stopped_by_user = true;
    } catch (...) {
        outcome.message = "Unknow exception catched";
    }
    return outcome;
}

} // namespace veldra
