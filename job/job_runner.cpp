#include "job/job_runner.h"

#include "input/input_dispatch.h"
#include "input/opus_folder.h"
#include "job/job_summary.h"
#include "job/output_names.h"
#include "job/prediction_driver.h"
#include "job/result_file.h"
#include "job/shard_manifest.h"
#include "job/spectra_blocks.h"
#include "job/staged_outputs.h"
#include "models/model_folder.h"
#include "models/model_layout.h"
#include "text/platform.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

std::string no_card_notice(const std::string& folder) {
    return "Notice: the model in '" + folder +
           "' has no card (model.json): its transformation, back-transformation and covariates "
           "could not be checked against the job's.";
}

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

namespace {

[[noreturn]] void throw_no_spectrum(const SpectraBlocks& input) {
    throw std::runtime_error(input.no_spectrum_message());
}

} // namespace

namespace {

// One pair of the job per spectrometer type and property, in the job's order.
std::vector<PairPrediction> job_pairs(const JobSettings& settings,
                                      const std::vector<std::string>& types,
                                      const std::vector<std::string>& properties,
                                      const std::string& output_path, bool single) {
    std::vector<PairPrediction> pairs;
    for (const std::string& type : types) {
        for (const std::string& property : properties) {
            const fs::path folder = model_folder(settings.model_directory, type, property);
            PairPrediction pair;
            pair.range_file = range_file(folder).string();
            pair.forest_path = draw_file_pattern(folder);
            pair.output_file = settings.summary_only
                                   ? std::string()
                                   : pair_output_path(output_path, type, property, single);
            pair.separator = settings.output_separator;
            pair.transformation = settings.transformation;
            pair.exponential = settings.exponential;
            pair.threads = settings.threads;
            pair.compiled = settings.compiled_models;
            pair.summary = settings.summary;
            pair.spectrometer_type = type;
            pair.levels = settings.levels;
            const auto tolerance = settings.tolerances.find(property);
            if (tolerance != settings.tolerances.end()) {
                pair.tolerance = tolerance->second;
            }
            pairs.push_back(std::move(pair));
        }
    }
    return pairs;
}

// The pairs of a job predicted block after block of its input: each pair's run is checked
// before its first prediction (with several blocks, every pair before any is predicted, so that
// a job that cannot end fails at once), keeps its forests within the job's budget, adds its
// rows to the summary and is closed after the last block.
class PairsJob {
public:
    PairsJob(const JobSettings& settings, std::vector<PairPrediction> pairs,
             std::vector<std::string> properties, std::string summary_file, LoggerSet& log,
             JobOutcome& outcome, StagedOutputs* staging)
        : settings_(settings), pairs_(std::move(pairs)), properties_(std::move(properties)),
          runs_(pairs_.size()), log_(log), outcome_(outcome),
          summary_path_(std::move(summary_file)), staging_(staging) {}

    // Predicts every block of `input`; returns the "Files created" lines.
    std::string run(SpectraBlocks& input, const std::shared_ptr<SpectraPreview>& preview,
                    std::size_t block_samples, std::size_t blocks, JobProgress& progress) {
        for (std::size_t b = 0;; ++b) {
            const bool got = input.next(block_, block_samples, log_);
            outcome_.defective = input.defective();
            if (!got) {
                // An OPUS folder whose last groups are all defective ends with an empty block.
                if (b == 0) {
                    throw_no_spectrum(input);
                }
                close_all();
                break;
            }
            warn_identifiers(b * block_samples);
            if (preview) {
                // The view after the transformation shows what the first pair's forests see.
                if (!pairs_.empty() && !runs_[0]) {
                    start(0);
                }
                preview->add(block_, settings_.transformation,
                             pairs_.empty() ? nullptr : runs_[0]->pipeline());
            }
            if (b == 0 && blocks > 1) {
                for (std::size_t p = 0; p < pairs_.size(); ++p) {
                    if (!runs_[p]) {
                        start(p);
                    }
                }
            }
            const BlockPlace place{b == 0, input.exhausted(), blocks > 1};
            predict_block(place, b * block_samples, input.samples(), progress);
            if (place.last) {
                break;
            }
        }
        if (summary_) {
            summary_->close();
            created(summary_path_);
        }
        return result_;
    }

private:
    void start(std::size_t p) {
        runs_[p] = std::make_unique<PairRun>(pairs_[p], block_, log_);
        runs_[p]->stage_into(staging_);
    }

    void created(const std::string& path) {
        result_ += "  " + path + "\n";
        outcome_.created.push_back(path);
    }

    void finish(std::size_t p) {
        if (!pairs_[p].output_file.empty()) {
            created(pairs_[p].output_file);
        }
        runs_[p].reset();
    }

    void close_all() {
        for (std::size_t p = 0; p < pairs_.size(); ++p) {
            if (runs_[p]) {
                runs_[p]->finish(log_);
                finish(p);
            }
        }
    }

    // Told after the pair's first block: a demonstration once per job, each model without a
    // card by name.
    void tell(const std::optional<ModelCard>& card, const std::string& folder) {
        if (card && card->demonstration && !demonstration_told_) {
            VELDRA_LOG(log_, Severity::warning) << demonstration_warning;
            demonstration_told_ = true;
        }
        if (!card) {
            VELDRA_LOG(log_, Severity::warning) << no_card_notice(folder);
        }
    }

    // Forests beyond the budget are read again for every block instead.
    void hold_within_budget(PairRun& run) {
        if (held_ + run.held_bytes() > settings_.held_forest_budget) {
            run.release_forests();
        } else {
            held_ += run.held_bytes();
        }
    }

    // A sample named twice, or not named, is predicted all the same, but the lines of its
    // output cannot be told apart: the first of each is told.
    void warn_identifiers(std::size_t first_sample) {
        for (std::size_t i = 0; i < block_.ids.size(); ++i) {
            const std::string& id = block_.ids[i];
            const std::size_t sample = first_sample + i + 1;
            if (id.empty() && !empty_told_) {
                empty_told_ = true;
                VELDRA_LOG(log_, Severity::warning)
                    << "Warning: sample " << sample
                    << " of the input has no identifier; its lines in the outputs cannot be "
                       "told from other unnamed samples'.";
            }
            const auto [seen, added] = sample_of_id_.emplace(id, sample);
            if (!added && !id.empty() && !twice_told_) {
                twice_told_ = true;
                VELDRA_LOG(log_, Severity::warning)
                    << "Warning: the input names \"" << id << "\" twice (samples " << seen->second
                    << " and " << sample
                    << "); both are predicted, and their lines in the outputs share the name.";
            }
        }
    }

    void predict_block(const BlockPlace& place, std::size_t first_sample, std::size_t samples,
                       JobProgress& progress) {
        std::vector<SummaryPart> parts;
        for (std::size_t p = 0; p < pairs_.size(); ++p) {
            if (!runs_[p]) {
                start(p);
            }
            if (!place.first) {
                VELDRA_LOG(log_, Severity::debug)
                    << "Samples " << first_sample + 1 << " to " << first_sample + block_.ids.size()
                    << " of " << samples << ": " << pairs_[p].forest_path;
            }
            PairRun& run = *runs_[p];
            PairStatistics statistics;
            run.predict_block(block_, place, log_, &statistics);
            if (place.first) {
                tell(run.card(), run.folder());
            }
            if (place.first && place.hold) {
                hold_within_budget(run);
            }
            if (settings_.summary) {
                const std::optional<ModelCard>& card = run.card();
                const std::optional<double> r2 =
                    card && !card->demonstration ? card->r2() : std::nullopt;
                parts.push_back({pairs_[p].spectrometer_type, properties_[p], block_.ids,
                                 std::move(statistics), r2, run.preprocessing(),
                                 run.resampled_from(),
                                 !r2                       ? ""
                                 : card->cross_validated() ? "cross-validation"
                                                           : "training fit"});
            }
            if (place.last) {
                finish(p);
            }
            ++progress.outer_position;
            log_.inner_position = 0; // the next pair starts at its first file
        }
        if (settings_.summary && !parts.empty()) {
            if (!summary_) {
                summary_.emplace(summary_path_, settings_.levels, staging_);
            }
            summary_->write(parts);
        }
    }

    const JobSettings& settings_;
    std::vector<PairPrediction> pairs_;
    std::vector<std::string> properties_; // each pair's property
    std::vector<std::unique_ptr<PairRun>> runs_;
    LoggerSet& log_;
    JobOutcome& outcome_;
    std::unordered_map<std::string, std::size_t> sample_of_id_; // the first sample of each name
    bool empty_told_ = false;
    bool twice_told_ = false;
    std::string summary_path_;
    SpectraTable block_;
    std::optional<SummaryWriter> summary_;
    StagedOutputs* staging_;
    std::string result_;
    std::size_t held_ = 0;
    bool demonstration_told_ = false;
};

} // namespace

namespace {
std::vector<std::string> job_outputs(const JobSettings& settings,
                                     const std::vector<std::string>& extra);
} // namespace

std::string predict_pairs(JobSettings& settings, const std::vector<std::string>& types,
                          const std::vector<std::string>& properties, bool single, LoggerSet& log,
                          JobProgress& progress, JobOutcome& outcome) {
    std::string output_path = settings.output_path;
    if (settings.shards > 0) {
        output_path = shard_output_path(output_path, settings.shard, settings.shards);
    }
    // One job at a time writes these outputs, and they are placed together at the end.
    const std::optional<OutputLock> lock =
        output_path.empty() ? std::nullopt : std::make_optional<OutputLock>(output_path);
    if (lock) {
        std::size_t removed = 0;
        for (const std::string& path : job_outputs(settings, {})) {
            removed += remove_dead_partials(path);
        }
        if (removed > 0) {
            VELDRA_LOG(log, Severity::info)
                << "Removed " << removed << " partial files that a stopped job left beside its "
                << "outputs.";
        }
    }
    StagedOutputs staged;
    try {
        // The input is read once, a block at a time; every prediction of a block uses the same
        // rows, whatever happens to the files.
        const std::string input_identity =
            settings.shards > 0 ? shard_input_identity(settings) : std::string();
        SpectraBlocks input(settings, log);
        std::shared_ptr<SpectraPreview> preview;
        if (settings.keep_spectra) {
            preview = std::make_shared<SpectraPreview>();
            outcome.spectra = preview;
        }
        const std::size_t pair_count = types.size() * properties.size();
        if (input.samples() == 0 && pair_count > 0) {
            throw_no_spectrum(input);
        }
        if (settings.columns.empty() || settings.ids.empty()) {
            settings.opus_configuration_path.clear();
            settings.opus_folder.clear();
            settings.csv_file.clear();
        }
        const std::size_t block_samples = settings.block_samples != 0
                                              ? settings.block_samples
                                              : default_block_samples(input.width());
        const std::size_t blocks =
            std::max<std::size_t>(1, (input.samples() + block_samples - 1) / block_samples);
        progress.outer_maximum = static_cast<std::int32_t>(
            std::min<std::size_t>(pair_count * blocks, std::numeric_limits<std::int32_t>::max()) -
            1);

        std::vector<std::string> pair_properties;
        for (std::size_t t = 0; t < types.size(); ++t) {
            pair_properties.insert(pair_properties.end(), properties.begin(), properties.end());
        }
        PairsJob job(settings, job_pairs(settings, types, properties, output_path, single),
                     pair_properties, summary_path(output_path), log, outcome, &staged);
        std::string created = job.run(input, preview, block_samples, blocks, progress);
        if (settings.shards > 0) {
            const std::string manifest =
                shard_manifest_path(settings.output_path, settings.shard, settings.shards);
            ResultFileStream file(manifest, &staged);
            file.stream() << shard_manifest_text(settings, input_identity,
                                                 {input.first_sample(),
                                                  input.first_sample() + input.samples(),
                                                  input.input_samples()},
                                                 outcome.created);
            file.close();
            created += "  " + manifest + "\n";
            outcome.created.push_back(manifest);
        }
        staged.place();
        return created;
    } catch (...) {
        // What was finished stays complete on disk; what an earlier job left under the job's
        // other names is set aside, so that no name holds a file of another job.
        outcome.set_aside = staged.place_finished(job_outputs(settings, {}));
        throw;
    }
}

namespace {

// Every file the job writes: per-pair files, summary, shard manifest and the `extra` outputs.
std::vector<std::string> job_outputs(const JobSettings& settings,
                                     const std::vector<std::string>& extra) {
    const std::size_t pairs = settings.spectrometer_types.size() * settings.soil_properties.size();
    const std::string output =
        settings.shards > 0
            ? shard_output_path(settings.output_path, settings.shard, settings.shards)
            : settings.output_path;
    std::vector<std::string> outputs;
    if (pairs > 0 && !settings.summary_only) {
        for (const std::string& type : settings.spectrometer_types) {
            for (const std::string& property : settings.soil_properties) {
                outputs.push_back(pair_output_path(output, type, property, pairs == 1));
            }
        }
    }
    if (pairs > 0 && settings.summary) {
        outputs.push_back(summary_path(output));
    }
    if (settings.shards > 0) {
        outputs.push_back(
            shard_manifest_path(settings.output_path, settings.shard, settings.shards));
    }
    for (const std::string& path : extra) {
        if (!path.empty()) {
            outputs.push_back(path);
        }
    }
    return outputs;
}

} // namespace

namespace {

// A path as the comparisons of outputs take it: absolute, links, "." and ".." resolved.
std::string path_key(const std::string& path) {
    boost::system::error_code error;
    const fs::path resolved = fs::weakly_canonical(fs::absolute(path), error);
    return (error ? fs::absolute(path) : resolved).lexically_normal().string();
}

// What the job reads, which no output may replace: the CSV input and the OPUS configuration, the
// OPUS files, and each pair's model folder, where even a new file could pass for part of the
// model. Keyed by `path_key`, the paths as given beside.
struct ReadByJob {
    explicit ReadByJob(const JobSettings& settings) {
        for (const std::string& path : {settings.csv_file, settings.opus_configuration_path}) {
            if (!path.empty()) {
                files.emplace(path_key(path), path);
            }
        }
        opus_folder = settings.opus_folder;
        if (opus_folder.find('*') != std::string::npos) {
            opus_folder = fs::path(opus_folder).parent_path().string();
        }
        while (opus_folder.size() > 1 &&
               (opus_folder.back() == '/' || opus_folder.back() == '\\')) {
            opus_folder.pop_back();
        }
        opus = opus_folder.empty() ? std::string() : path_key(opus_folder);
        try {
            naming = SampleNaming(settings.sample_id);
        } catch (const std::runtime_error&) {
            // The request is refused for its pattern; the files are named by base name here.
        }
        if (!settings.model_directory.empty()) {
            for (const std::string& type : settings.spectrometer_types) {
                for (const std::string& property : settings.soil_properties) {
                    const std::string folder =
                        model_folder(settings.model_directory, type, property).string();
                    model_folders.emplace(path_key(folder), folder);
                }
            }
        }
    }

    // Why `path` must not be written, or "".
    std::string clash(const std::string& path) const {
        const fs::path parent = fs::path(path).parent_path();
        const std::string folder = path_key(parent.empty() ? std::string(".") : parent.string());
        const auto file = files.find(path_key(path));
        if (file != files.end()) {
            return "The output '" + path + "' is the job's input '" + file->second +
                   "': choose another output path.";
        }
        boost::system::error_code error;
        if (!opus.empty() && folder == opus &&
            !naming.sample_of(fs::path(path).filename().string()).empty() &&
            fs::exists(path, error)) {
            return "The output '" + path + "' is one of the job's OPUS files in '" + opus_folder +
                   "': choose another output path.";
        }
        const auto models = model_folders.find(folder);
        if (models != model_folders.end()) {
            return "The output '" + path + "' is in the model folder '" + models->second +
                   "', which the job reads: choose another output path.";
        }
        return std::string();
    }

    std::map<std::string, std::string> files;
    std::map<std::string, std::string> model_folders;
    std::string opus_folder; // as given, without a pattern or a trailing separator
    std::string opus;
    SampleNaming naming; // which files of the OPUS folder the job reads
};

} // namespace

std::string job_output_clash(const JobSettings& settings, const std::vector<std::string>& extra) {
    const ReadByJob read(settings);
    std::map<std::string, std::string> seen;
    for (const std::string& path : job_outputs(settings, extra)) {
        const std::string refusal = read.clash(path);
        if (!refusal.empty()) {
            return refusal;
        }
        const auto [found, added] = seen.emplace(path_key(path), path);
        if (!added) {
            return "The outputs '" + found->second + "' and '" + path +
                   "' are the same file: choose paths of their own.";
        }
    }
    return std::string();
}

std::string job_output_in_use(const JobSettings& settings, const std::vector<std::string>& extra) {
    for (const std::string& path : job_outputs(settings, extra)) {
        if (file_held_open_elsewhere(path)) {
            return "The output '" + path +
                   "' is open in another program: close it there, then start the job again.";
        }
    }
    return std::string();
}

JobRefusal job_request_refusal(const JobSettings& request, const std::vector<std::string>& extra) {
    std::string clash = job_output_clash(request, extra);
    if (!clash.empty()) {
        return {std::move(clash), true};
    }
    return {job_output_in_use(request, extra), false};
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
    // A failure says, after its own text, which files of an earlier job were set aside.
    if (!outcome.ok && !outcome.stopped_by_user) {
        for (const std::string& note : outcome.set_aside) {
            outcome.message += "\n" + note;
        }
    }
    return outcome;
}

} // namespace veldra
