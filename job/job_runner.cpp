#include "job/job_runner.h"

#include "input/input_dispatch.h"
#include "job/job_summary.h"
#include "job/prediction_driver.h"
#include "job/spectra_blocks.h"
#include "models/model_layout.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
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

std::pair<std::size_t, std::size_t> shard_range(std::size_t samples, std::size_t shard,
                                                std::size_t shards) {
    if (shard < 1 || shard > shards) {
        throw std::runtime_error("Shard " + std::to_string(shard) + " of " +
                                 std::to_string(shards) + " does not exist.");
    }
    if (shards > samples) {
        throw std::runtime_error(
            "The input holds " + std::to_string(samples) + " samples: " + std::to_string(shards) +
            " shards would leave some empty; use at most " + std::to_string(samples) + ".");
    }
    return {(shard - 1) * samples / shards, shard * samples / shards};
}

SpectraTable shard_of(SpectraTable table, std::size_t shard, std::size_t shards) {
    const auto range = shard_range(table.rows.size(), shard, shards);
    SpectraTable part;
    part.machine_type = table.machine_type;
    part.names = std::move(table.names);
    part.ids.assign(std::make_move_iterator(table.ids.begin() + range.first),
                    std::make_move_iterator(table.ids.begin() + range.second));
    part.rows.assign(std::make_move_iterator(table.rows.begin() + range.first),
                     std::make_move_iterator(table.rows.begin() + range.second));
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

namespace {

[[noreturn]] void throw_no_spectrum(const JobSettings& settings) {
    if (!settings.opus_folder.empty()) {
        throw std::runtime_error("No spectrum to predict: no file of the OPUS folder '" +
                                 settings.opus_folder +
                                 "' could be read (the log says why for each).");
    }
    throw std::runtime_error("No spectrum to predict: the input holds no sample.");
}

} // namespace

std::string predict_pairs(JobSettings& settings, const std::vector<std::string>& types,
                          const std::vector<std::string>& properties, bool single, LoggerSet& log,
                          JobProgress& progress, JobOutcome& outcome) {
    std::vector<std::string>& created = outcome.created;
    std::string result;
    // The input is read once, a block at a time; every prediction of a block uses the same rows,
    // whatever happens to the files.
    SpectraBlocks input(settings, log);
    std::shared_ptr<SpectraPreview> preview;
    if (settings.keep_spectra) {
        preview = std::make_shared<SpectraPreview>();
        outcome.spectra = preview;
    }
    std::string output_path = settings.output_path;
    if (settings.shards > 0) {
        output_path = shard_output_path(output_path, settings.shard, settings.shards);
    }
    const std::size_t pair_count = types.size() * properties.size();
    if (input.samples() == 0 && pair_count > 0) {
        throw_no_spectrum(settings);
    }
    if (settings.columns.empty() || settings.ids.empty()) {
        settings.opus_configuration_path.clear();
        settings.opus_folder.clear();
        settings.csv_file.clear();
    }
    const std::size_t block_samples =
        settings.block_samples != 0 ? settings.block_samples : default_block_samples(input.width());
    const std::size_t blocks =
        std::max<std::size_t>(1, (input.samples() + block_samples - 1) / block_samples);
    progress.outer_maximum = static_cast<std::int32_t>(
        std::min<std::size_t>(pair_count * blocks, std::numeric_limits<std::int32_t>::max()) - 1);

    std::vector<PairPrediction> pairs;
    std::vector<std::string> pair_properties;
    for (const std::string& type : types) {
        for (const std::string& property : properties) {
            pair_properties.push_back(property);
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
            pairs.push_back(std::move(pair));
        }
    }

    std::vector<std::unique_ptr<PairRun>> runs(pairs.size());
    std::optional<SummaryWriter> summary;
    std::vector<SummaryPart> parts;
    bool demonstration_told = false;
    bool no_card_told = false;
    std::size_t held = 0;
    SpectraTable block;
    // A pair's checks come before its first prediction; with several blocks every pair is
    // checked before any is predicted, so that a job that cannot end fails at once.
    const auto start = [&](std::size_t p) {
        runs[p] = std::make_unique<PairRun>(pairs[p], block, log);
    };
    // Told after the pair's first block, once per job.
    const auto tell = [&](const std::optional<ModelCard>& card) {
        if (card && card->demonstration && !demonstration_told) {
            VELDRA_LOG(log, Severity::warning) << demonstration_warning;
            demonstration_told = true;
        }
        if (!card && !no_card_told) {
            VELDRA_LOG(log, Severity::warning) << no_card_notice;
            no_card_told = true;
        }
    };
    // The last block is the one after which the input has no sample left; an OPUS folder whose
    // last groups are all defective can end with an empty block instead, which closes the pairs.
    const auto finish = [&](std::size_t p) {
        if (!pairs[p].output_file.empty()) {
            result += "  " + pairs[p].output_file + "\n";
            created.push_back(pairs[p].output_file);
        }
        runs[p].reset();
    };
    for (std::size_t b = 0;; ++b) {
        const std::size_t first_sample = b * block_samples;
        const bool got = input.next(block, block_samples, log);
        outcome.defective = input.defective();
        if (!got) {
            if (b == 0) {
                throw_no_spectrum(settings);
            }
            for (std::size_t p = 0; p < pairs.size(); ++p) {
                if (runs[p]) {
                    runs[p]->finish(log);
                    finish(p);
                }
            }
            break;
        }
        const bool last = input.exhausted();
        if (preview) {
            preview->add(block, settings.transformation);
        }
        if (b == 0 && blocks > 1) {
            for (std::size_t p = 0; p < pairs.size(); ++p) {
                start(p);
            }
        }
        parts.clear();
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            if (!runs[p]) {
                start(p);
            }
            if (b > 0) {
                VELDRA_LOG(log, Severity::debug)
                    << "Samples " << first_sample + 1 << " to " << first_sample + block.ids.size()
                    << " of " << input.samples() << ": " << pairs[p].forest_path;
            }
            PairRun& run = *runs[p];
            BlockPlace place{b == 0, last, blocks > 1};
            PairStatistics statistics;
            run.predict_block(block, place, log, &statistics);
            if (place.first) {
                tell(run.card());
            }
            if (place.first && place.hold) {
                // Forests beyond the budget are read again for every block instead.
                if (held + run.held_bytes() > settings.held_forest_budget) {
                    run.release_forests();
                } else {
                    held += run.held_bytes();
                }
            }
            if (settings.summary) {
                const std::optional<ModelCard>& card = run.card();
                parts.push_back({pairs[p].spectrometer_type, pair_properties[p], block.ids,
                                 std::move(statistics),
                                 card && !card->demonstration ? card->r2 : std::nullopt});
            }
            if (place.last) {
                finish(p);
            }
            ++progress.outer_position;
            log.inner_position = 0; // the next pair starts at its first file
        }
        if (settings.summary && !parts.empty()) {
            if (!summary) {
                summary.emplace(summary_path(output_path));
            }
            summary->write(parts);
        }
        if (last) {
            break;
        }
    }
    if (summary) {
        summary->close();
        const std::string path = summary_path(output_path);
        result += "  " + path + "\n";
        created.push_back(path);
    }
    return result;
}

JobOutcome run_job(JobSettings& settings, LoggerSet& log, JobProgress& progress) {
    const std::size_t pairs = settings.spectrometer_types.size() * settings.soil_properties.size();
    JobOutcome outcome;
    outcome.message = "Files created:\n";
    progress.outer_maximum = static_cast<std::int32_t>(pairs) - 1;
    progress.outer_position = 0;
    try {
        outcome.message +=
            predict_pairs(settings, settings.spectrometer_types, settings.soil_properties,
                          pairs == 1, log, progress, outcome);
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
