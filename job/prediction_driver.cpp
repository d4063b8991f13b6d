#include "job/prediction_driver.h"

#include "job/sample_runs.h"

#include "bart/forest_prediction.h"
#include "models/calibration_domain.h"
#include "models/domain_reason.h"
#include "models/interval_calibration.h"
#include "models/model_digest.h"
#include "models/model_folder.h"
#include "models/model_open.h"
#include "text/first_derivative.h"
#include "text/number_text.h"
#include "text/platform.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <cmath>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace veldra {

namespace {

// The range file must open, and the output file must be writable, before anything else. An
// existing output file stays as it is until the new one is complete.
void check_files(const std::string& rangefile, const std::string& outfile) {
    {
        std::ifstream range(native_path(rangefile));
        if (!range.is_open()) {
            throw std::runtime_error(missing_range_file_message(rangefile));
        }
    }
    // The message of old, and on a second line the cause and what to do.
    const std::string problem = outfile.empty() ? std::string() : output_problem(outfile);
    if (!problem.empty()) {
        throw std::runtime_error("Cannot open outfile '" + outfile + "' for reading.\n" + problem);
    }
}

} // namespace

// A model whose files or card settings differ from what its card recorded when it was trained
// (a hand-edited pipeline, a replaced draw) would predict something nobody calibrated.
void PairRun::refuse_changed_model() const {
    const std::vector<std::string> changed =
        model_.card ? model_changes(folder_, *model_.card, model_.digests)
                    : std::vector<std::string>();
    if (changed.empty()) {
        return;
    }
    std::string what = changed.front();
    for (std::size_t k = 1; k < changed.size(); ++k) {
        what += (k + 1 == changed.size() ? " and " : ", ") + changed[k];
    }
    throw std::runtime_error("The model in '" + folder_ +
                             "' was changed after it was trained; what differs from its card's "
                             "record: " +
                             what +
                             ". Train the model again, or copy its whole folder again from where "
                             "it was trained.");
}

// "mir/pH": the spectrometer type and property of the pair, as its model folder names them, for
// the lines of a job of many pairs.
std::string PairRun::pair_label() const {
    const boost::filesystem::path folder(folder_);
    return (folder.parent_path().filename() / folder.filename()).generic_string();
}

// The draw levels of the calibrated intervals, from the card's calibration; each level it
// cannot give, or the lack of one, is told.
void PairRun::prepare_calibration(LoggerSet& log) {
    if (!pair_.summary) {
        return;
    }
    const std::optional<IntervalCalibration> calibration =
        model_.card ? model_.card->calibration : std::nullopt;
    if (!calibration) {
        // A model without a card, or a demonstration, is told by the job already.
        VELDRA_LOG(log,
                   model_.card && !model_.card->demonstration ? Severity::info : Severity::debug)
            << "The model in '" << folder_
            << "' has no interval calibration (it was trained without cross-validation, or by "
               "an earlier version): its calibrated intervals are NA.";
        return;
    }
    for (const double level : pair_.levels) {
        const std::optional<CalibratedLevels> levels = calibrated_levels(*calibration, level);
        if (levels) {
            calibrated_levels_.emplace_back(*levels);
            tell_unreached_level(*levels, level, log);
        } else {
            const std::size_t needed = calibration_samples_needed(level);
            if (calibrated_levels_.empty()) {
                unbanded_ =
                    "level too high for the calibration set (needs " + std::to_string(needed) + ")";
            }
            calibrated_levels_.emplace_back(std::nullopt);
            VELDRA_LOG(log, Severity::warning)
                << "The model in '" << folder_ << "' was calibrated on " << calibration->samples
                << " samples, too few for an interval at level " << level << " (it needs " << needed
                << "): its calibrated interval there is NA.";
        }
    }
    advise_level(*calibration, log);
}

// A level whose bounds lie beyond the draws (calibration samples below or above every draw) is
// told: bounded by the standardized residuals, or open on that side for a card without them.
void PairRun::tell_unreached_level(const CalibratedLevels& levels, double level,
                                   LoggerSet& log) const {
    if (levels.low > 0.0 && levels.high < 1.0) {
        return;
    }
    if (!std::isnan(levels.residual_bound)) {
        VELDRA_LOG(log, Severity::info)
            << "The draws of the model in '" << folder_ << "' do not reach the bounds of its "
            << 100.0 * level << "% calibrated interval: it is the mean ± " << levels.residual_bound
            << " standard deviations of the draws instead.";
    } else {
        VELDRA_LOG(log, Severity::warning)
            << "The draws of the model in '" << folder_ << "' do not reach the bounds of its "
            << 100.0 * level
            << "% calibrated interval, and its card (from an earlier version) cannot bound it "
               "otherwise: that interval is open (-Inf or Inf) on that side. Train the model "
               "again to bound it.";
    }
}

// Decisions at a level whose bounds a few calibration samples set are told, with the way out: a
// lower level that more of them bound, else more calibration samples.
void PairRun::advise_level(const IntervalCalibration& calibration, LoggerSet& log) const {
    const std::size_t rank =
        pair_.tolerance && !pair_.levels.empty() ? bounding_rank(calibration, pair_.levels[0]) : 0;
    if (rank == 0 || rank > 3) {
        return;
    }
    std::string advice = "more calibration samples decide more steadily.";
    for (const double lower : {0.9, 0.8, 0.68, 0.5}) {
        if (lower < pair_.levels[0] - 1e-9 && bounding_rank(calibration, lower) > 3) {
            std::ostringstream text;
            text << "a lower first level, such as " << lower << ", decides more steadily.";
            advice = text.str();
            break;
        }
    }
    VELDRA_LOG(log, Severity::info)
        << "The decisions of the model in '" << folder_ << "' rest on its "
        << 100.0 * pair_.levels[0] << "% calibrated interval, whose bounds are set by the "
        << (rank == 1 ? std::string() : std::to_string(rank) + " ") << "most extreme of its "
        << calibration.samples << " calibration samples at each end; " << advice;
}

// The decision on each sample of the block at the pair's tolerance.
void PairRun::decide(PairStatistics& statistics) const {
    if (!pair_.tolerance) {
        return;
    }
    const std::size_t samples = statistics.means.size();
    statistics.decisions.resize(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        const char domain =
            i < statistics.outside.size() ? (statistics.outside[i] ? 'o' : 'i') : 'u';
        const bool banded = !statistics.calibrated_low.empty();
        statistics.decisions[i] = sample_decision(
            domain, banded ? statistics.calibrated_low[0][i] : std::nan(""),
            banded ? statistics.calibrated_high[0][i] : std::nan(""), *pair_.tolerance, unbanded_);
    }
}

std::optional<SpectraTable> PairRun::prepare_resampling(const SpectraTable& first, LoggerSet& log) {
    const std::size_t width = first.rows.empty() ? 0 : first.rows.front().size();
    if (!model_.card || model_.card->covariate_names.empty() || first.names.size() != width) {
        return std::nullopt;
    }
    const std::optional<std::vector<double>> model = wavenumbers_of(model_.card->covariate_names);
    const std::optional<std::vector<double>> input = wavenumbers_of(first.names);
    if (!model || !input || same_axis(*model, *input)) {
        return std::nullopt;
    }
    try {
        resampler_.emplace(*input, *model);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("The model in '" + folder_ + "' takes " + axis_text(*model) +
                                 ". " + e.what() + " Choose spectra that cover the model's range.");
    }
    if (resampler_->reorders()) {
        VELDRA_LOG(log, Severity::info)
            << "The spectra hold the wavenumbers of the model in '" << folder_
            << "' in another order: their columns are put in the model's order, values unchanged.";
    } else {
        VELDRA_LOG(log, Severity::info) << "The spectra (" << axis_text(*input)
                                        << ") are resampled onto the wavenumbers of the model in '"
                                        << folder_ << "' (" << axis_text(*model) << ").";
    }
    return resampled(first);
}

SpectraTable PairRun::resampled(const SpectraTable& block) const {
    SpectraTable out;
    out.ids = block.ids;
    out.machine_type = block.machine_type;
    out.names = model_.card->covariate_names;
    out.rows.reserve(block.rows.size());
    for (const std::vector<double>& row : block.rows) {
        out.rows.push_back((*resampler_)(row.data()));
    }
    return out;
}

PairRun::PairRun(const PairPrediction& pair, const SpectraTable& given, LoggerSet& log)
    : pair_(pair) {
    check_files(pair.range_file, pair.output_file);
    const std::string machine = opus_machine_type(pair.spectrometer_type);
    if (!machine.empty() && !given.machine_type.empty() && given.machine_type != "NA" &&
        given.machine_type != machine) {
        throw std::runtime_error("The OPUS files are of machine type " + given.machine_type +
                                 "; the " + pair.spectrometer_type + " models take machine type " +
                                 machine + ". Choose the spectrometer type of the files.");
    }
    folder_ = boost::filesystem::path(pair.forest_path).parent_path().string();
    model_ = open_model(folder_, ModelOpening{pair.range_file, pair.summary});
    const std::optional<SpectraTable> on_model_grid = prepare_resampling(given, log);
    const SpectraTable& first = on_model_grid ? *on_model_grid : given;
    const std::size_t width = first.rows.empty() ? 0 : first.rows.front().size();
    if (model_.card) {
        JobSide job;
        job.transformation = pair.transformation;
        job.exponential = pair.exponential;
        job.covariates = width;
        job.names = first.names.size() == job.covariates ? &first.names : nullptr;
        job.spectrometer_type = pair.spectrometer_type;
        const std::vector<std::string> mismatches = card_mismatches(*model_.card, folder_, job);
        if (!mismatches.empty()) {
            std::string message = mismatches.front();
            for (std::size_t k = 1; k < mismatches.size(); ++k) {
                message += " " + mismatches[k];
            }
            throw std::runtime_error(message);
        }
    }
    prepare_pipeline(first, log);
    prepare_domains(first, width);
    for (std::size_t k = 0; k < model_.range.dropped; ++k) {
        VELDRA_LOG(log, Severity::warning) << range_file_extra_number;
    }
    scaling_ = RangeScaling{model_.range.numbers[0], model_.range.numbers[1]};
    VELDRA_LOG(log, Severity::info) << "Running prediction from "
                                    << "list of json files";
    if (model_.card) {
        // A demonstration is told once per job by the job itself.
        VELDRA_LOG(log, model_.card->demonstration ? Severity::debug : Severity::info)
            << model_accuracy_text(*model_.card);
    } else {
        VELDRA_LOG(log, Severity::debug)
            << "No model card in '" << folder_
            << "': the transformation and the back-transformation could not be checked.";
    }
    prepare_calibration(log);
}

PairRun::~PairRun() = default;

// The model's forests from its compiled model when there is one of its draws as they are now
// (beside them, else in the user's cache); else read from the draws and, when every one was
// read, compiled for the next run beside them or, where the folder cannot be written, in the
// cache. A model too large to hold at once is read a batch of files at a time, as always.
void PairRun::hold_forests(const PredictionOptions& options, bool hold) {
    fingerprint_ = draw_files_fingerprint(model_.draw_files, model_.draw_stamps, &json_bytes_);
    std::string why;
    for (const std::string& path :
         {compiled_model_file(folder_).string(), compiled_model_cache_file(folder_)}) {
        if (path.empty()) {
            continue;
        }
        if (std::optional<CompiledFile> compiled = open_compiled_file(path, fingerprint_, why)) {
            held_.emplace(std::move(*compiled), folder_);
            return;
        }
    }
    hold_draws(options, hold);
}

void PairRun::hold_draws(const PredictionOptions& options, bool hold) {
    held_.reset();
    if (!hold && json_bytes_ > largest_compiled_json_bytes) {
        return;
    }
    held_.emplace(model_.draw_files, options);
    if (!held_->complete()) {
        return;
    }
    const std::string beside = compiled_model_file(folder_).string();
    const std::string cached = compiled_model_cache_file(folder_);
    if (held_->write_compiled(beside, compiled_partial_path(beside), fingerprint_) ||
        cached.empty()) {
        return;
    }
    boost::system::error_code error;
    boost::filesystem::create_directories(boost::filesystem::path(cached).parent_path(), error);
    held_->write_compiled(cached, compiled_partial_path(cached), fingerprint_);
}

// A model with its own preprocessing: the pipeline its card names, planned for the input's
// covariates, with the card's MSC references. A step this version does not know, or a plan the
// input does not allow, stops the pair with the model named.
void PairRun::prepare_pipeline(const SpectraTable& first, LoggerSet& log) {
    if (!model_.card || model_.card->preprocessing.empty()) {
        return;
    }
    const std::size_t width = first.rows.empty() ? 0 : first.rows.front().size();
    try {
        pipeline_.emplace(model_.card->preprocessing);
        pipeline_->prepare(first.names.size() == width
                               ? wavenumbers_of(first.names).value_or(std::vector<double>())
                               : std::vector<double>(),
                           width);
        pipeline_->set_references(model_.card->preprocessing_references);
    } catch (const std::exception& e) {
        throw std::runtime_error("The model in '" + folder_ + "' cannot be used: " + e.what());
    }
    VELDRA_LOG(log, Severity::info)
        << "The model in '" << folder_ << "' applies its own "
        << "preprocessing " << pipeline_->text() << " in place of the job's transformation.";
}

SpectraTable PairRun::preprocessed(const SpectraTable& block) const {
    SpectraTable out;
    out.ids = block.ids;
    out.machine_type = block.machine_type;
    out.rows.resize(block.rows.size());
    std::vector<double> scratch;
    for (std::size_t i = 0; i < block.rows.size(); ++i) {
        pipeline_->apply(block.rows[i].data(), out.rows[i], scratch);
    }
    return out;
}

namespace {

// Refuses a sample whose spectrum has no value (NaN: a reflectance not above 0, kept empty by a
// conversion) where the model reads it.
void refuse_empty_points(const SpectraTable& block, const std::string& folder) {
    for (std::size_t i = 0; i < block.rows.size(); ++i) {
        const std::vector<double>& row = block.rows[i];
        const auto empty = [](double value) { return std::isnan(value); };
        const auto first = std::find_if(row.begin(), row.end(), empty);
        if (first == row.end()) {
            continue;
        }
        const auto last = std::find_if(row.rbegin(), row.rend(), empty);
        const std::size_t from = static_cast<std::size_t>(first - row.begin());
        const std::size_t to = row.size() - 1 - static_cast<std::size_t>(last - row.rbegin());
        const std::optional<std::vector<double>> axis = wavenumbers_of(block.names);
        char where[96] = "";
        if (axis && axis->size() == row.size()) {
            std::snprintf(where, sizeof where, " at %.2f–%.2f cm-1", (*axis)[from], (*axis)[to]);
        }
        throw std::runtime_error("The spectrum of '" + block.ids.at(i) + "' has no value" + where +
                                 ", which the model in '" + folder +
                                 "' needs (a reflectance not above 0 there has no absorbance): "
                                 "leave the sample out, or measure it again.");
    }
}

// The covariates of the rows as the forests see them: their first derivative when the forests
// take it themselves.
SpectraRows linear_covariates(const SpectraRows& rows, bool derive) {
    if (!derive) {
        return rows;
    }
    SpectraRows derived(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        derived[i].resize(rows[i].size());
        first_derivative(rows[i].data(), rows[i].size(), derived[i].data());
    }
    return derived;
}

} // namespace

// The forests' draws of the block (blended with the model's linear part when it has one): the
// forests held or compiled at the first block, read again from the draws when their compiled
// model turns out damaged.
PredictionMatrix PairRun::evaluate(const SpectraTable& block, const BlockPlace& place,
                                   LoggerSet& log) {
    const bool first_derivative = derive();
    PredictionOptions options{pair_.threads};
    options.log_files = place.first;
    if (place.first && pair_.compiled) {
        hold_forests(options, place.hold);
    } else if (place.first && place.hold) {
        held_.emplace(model_.draw_files, options);
    }
    const auto predict = [&] {
        return held_ ? held_->predict(block.rows, scaling_, first_derivative, log, place.first,
                                      options)
                     : predict_from_forest_files(model_.draw_files, block.rows, scaling_,
                                                 first_derivative, log, options);
    };
    std::optional<PredictionMatrix> predicted;
    try {
        predicted = predict();
    } catch (const DamagedCompiledModel&) {
        // Its forests are read from the draws, as if it were not there, and compiled again.
        hold_draws(options, place.hold);
        predicted = predict();
    }
    if (model_.linear) {
        blend_draws(*model_.linear, linear_covariates(block.rows, first_derivative), *predicted);
    }
    return std::move(*predicted);
}

// The block's predictive and calibrated bounds, added to the pair's figures.
void PairRun::add_bounds(const PredictionMatrix& matrix, const std::vector<std::string>& ids,
                         const std::vector<double>& sigma, PairStatistics& statistics) const {
    std::vector<double> low;
    std::vector<double> high;
    CalibratedBounds calibrated{calibrated_levels_, {}, {}};
    predictive_bounds(matrix, model_.draw_of_file, sigma, ids, pair_.exponential, low, high,
                      calibrated_levels_.empty() ? nullptr : &calibrated, pair_.threads);
    statistics.predictive_low.insert(statistics.predictive_low.end(), low.begin(), low.end());
    statistics.predictive_high.insert(statistics.predictive_high.end(), high.begin(), high.end());
    statistics.calibrated_low = std::move(calibrated.low);
    statistics.calibrated_high = std::move(calibrated.high);
}

void PairRun::predict_block(const SpectraTable& read, const BlockPlace& place, LoggerSet& log,
                            PairStatistics* statistics, PredictionSummary* keep) {
    std::optional<SpectraTable> on_model_grid;
    if (resampler_) {
        on_model_grid = resampled(read);
    }
    const SpectraTable& given = on_model_grid ? *on_model_grid : read;
    refuse_empty_points(given, folder_);
    std::optional<SpectraTable> own;
    if (pipeline_) {
        own = preprocessed(given);
    }
    const SpectraTable& block = own ? *own : given;
    if (domain_) {
        judge_domain(block, given, pair_.summary ? statistics : nullptr);
        if (place.last) {
            log_domain(log);
            domain_logged_ = true;
        }
    }
    const PredictionMatrix matrix = evaluate(block, place, log);
    if (place.first) {
        // After every other check of the model has passed, so that a damaged or missing file
        // is named as such; nothing of the pair is in place yet.
        refuse_changed_model();
    }
    const bool figures = statistics != nullptr && pair_.summary;
    const std::vector<double>* sigma = figures && model_.sigma ? &*model_.sigma : nullptr;
    check_prediction_matrix(matrix);
    if (place.first) {
        VELDRA_LOG(log, Severity::info) << "Predictions complete.";
        writer_.emplace(pair_.output_file, pair_.separator, matrix.size(), log, staging_);
    } else if (matrix.size() != writer_draws_) {
        throw std::runtime_error("The model in '" + folder_ + "' changed during the job.");
    }
    writer_draws_ = matrix.size();
    writer_->write(matrix, block.ids, pair_.exponential, keep, figures ? statistics : nullptr,
                   pair_.threads);
    if (sigma != nullptr) {
        add_bounds(matrix, block.ids, *sigma, *statistics);
    }
    if (figures) {
        decide(*statistics);
    }
    if (place.last) {
        writer_->close();
        held_.reset();
    }
}

void PairRun::finish(LoggerSet& log) {
    if (domain_ && !domain_logged_) {
        log_domain(log);
        domain_logged_ = true;
    }
    if (writer_) {
        writer_->close();
    }
    held_.reset();
}

std::size_t PairRun::held_bytes() const {
    return held_ ? held_->bytes() : 0;
}

void PairRun::release_forests() {
    held_.reset();
}

void predict_pair(const PairPrediction& pair, const SpectraTable& table, LoggerSet& log,
                  PredictionSummary* summary, PairReport* report) {
    PairRun run(pair, table, log);
    if (report != nullptr) {
        report->card = run.card();
    }
    if (summary != nullptr) {
        summary->draws_per_sample.clear();
        summary->quantiles.assign(quantile_levels.size(), std::vector<double>());
        summary->sample_ids = table.ids;
    }
    run.predict_block(table, BlockPlace{true, true, false}, log,
                      report != nullptr ? &report->statistics : nullptr, summary);
    if (summary != nullptr) {
        const std::size_t draws =
            summary->draws_per_sample.empty() ? 0 : summary->draws_per_sample.front().size();
        summary->samples_per_draw.assign(draws, std::vector<double>(table.rows.size()));
        for (std::size_t i = 0; i < draws; ++i) {
            for (std::size_t j = 0; j < table.rows.size(); ++j) {
                summary->samples_per_draw[i][j] = summary->draws_per_sample[j][i];
            }
        }
    }
}

std::string model_accuracy_text(const ModelCard& card) {
    if (card.demonstration) {
        return "Model card: a demonstration model drawn at random from the prior; its "
               "predictions mean nothing about soil.";
    }
    return "Model card: " + card_figures(card) + ".";
}

std::vector<double> read_range_file(const std::string& path, LoggerSet& log) {
    const RangeNumbers read = read_range_numbers(path);
    for (std::size_t k = 0; k < read.dropped; ++k) {
        VELDRA_LOG(log, Severity::warning) << range_file_extra_number;
    }
    return read.numbers;
}

} // namespace veldra
