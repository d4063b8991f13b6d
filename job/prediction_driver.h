#pragma once

#include "bart/forest_prediction.h"
#include "input/resampling.h"
#include "input/spectra_table.h"
#include "input/spectral_pipeline.h"
#include "job/result_file.h"
#include "logging/logger_set.h"
#include "models/calibration_domain.h"
#include "models/model_card.h"
#include "models/model_folder.h"
#include "models/model_layout.h"
#include "models/model_open.h"

#include <optional>
#include <string>
#include <vector>

namespace veldra {

// One prediction: one soil property for one spectrometer type.
struct PairPrediction {
    std::string range_file;  // "rgy.txt" of the model
    std::string forest_path; // the pattern of the model folder's draws (draw_file_pattern)
    std::string output_file;
    std::string separator = ",";
    Transformation transformation = Transformation::first_derivative;
    bool exponential = true;
    unsigned threads = 0;             // 0: one per core
    bool summary = false;             // fill the report's statistics and predictive bounds
    std::string spectrometer_type;    // checked against the machine type of OPUS input; "" skips
    std::vector<double> levels{0.95}; // of the summary's calibrated intervals
    std::optional<double> tolerance;  // the half width the decision allows (none: no decision)
    // Read the model's compiled forests when they are of its draws as they are, and compile
    // them when not; false reads the draw files alone, a batch at a time for a single block.
    bool compiled = true;
};

// What a pair gives beyond its output file: the summary's figures and the model's card.
struct PairReport {
    PairStatistics statistics;
    std::optional<ModelCard> card;
};

// Where a block stands in the job's input: the first block reads the model and opens the
// output file, the last puts it in place; `hold` keeps the forests read at the first block for
// the next ones.
struct BlockPlace {
    bool first = true;
    bool last = true;
    bool hold = false;
};

// One pair predicted a block of samples at a time, each block's lines appended to the pair's
// output file, which is in place once the last block is written. Together the blocks give the
// file `predict_pair` writes for the whole input, byte for byte, whatever their sizes.
class PairRun {
public:
    // The checks of `predict_pair` before any forest is read, on the input as `first` (the
    // first block) shows it: its machine type, width and covariate names.
    PairRun(const PairPrediction& pair, const SpectraTable& first, LoggerSet& log);
    ~PairRun();
    PairRun(const PairRun&) = delete;
    PairRun& operator=(const PairRun&) = delete;

    // Judges the block against the calibration domain (logging the whole input's verdicts at the
    // last block), evaluates it and writes its lines. With `pair.summary`, `statistics` receives
    // the block's figures; `keep` receives what `write_prediction_file` keeps.
    void predict_block(const SpectraTable& block, const BlockPlace& place, LoggerSet& log,
                       PairStatistics* statistics, PredictionSummary* keep = nullptr);

    // Ends a pair whose input ended without a last block (an OPUS folder whose last groups gave
    // no sample): logs the domain's verdicts and puts the output file in place.
    void finish(LoggerSet& log);

    // Hands the output file, once complete, to `staging` to be placed with the job's others.
    void stage_into(StagedOutputs* staging) { staging_ = staging; }

    const std::optional<ModelCard>& card() const { return model_.card; }
    // The points the spectra were resampled from onto the model's wavenumbers; 0 when they
    // were on the model's own grid (and went through untouched, or only reordered).
    std::size_t resampled_from() const {
        return resampler_ && !resampler_->reorders() ? resampler_->source_size() : 0;
    }
    const std::string& folder() const { return folder_; }
    // The model's own pipeline; nullptr when it has none.
    const SpectralPipeline* pipeline() const { return pipeline_ ? &*pipeline_ : nullptr; }
    // What the rows go through before the forests: the model's pipeline, or the job's
    // transformation ("first_der", "none").
    std::string preprocessing() const {
        return pipeline_ ? pipeline_->text() : transformation_text(pair_.transformation);
    }
    // The memory of the forests held for the next blocks; releasing them makes every next block
    // read the model's files again.
    std::size_t held_bytes() const;
    void release_forests();

private:
    // `as_read` is the block before the model's pipeline (the same block without one).
    void judge_domain(const SpectraTable& block, const SpectraTable& as_read,
                      PairStatistics* statistics);
    void log_domain(LoggerSet& log) const;
    // Spectra on other wavenumbers than the model's (its card names them) are resampled onto
    // the model's; the first block so resampled, or nothing when they are on its grid.
    std::optional<SpectraTable> prepare_resampling(const SpectraTable& first, LoggerSet& log);
    SpectraTable resampled(const SpectraTable& block) const;
    void prepare_pipeline(const SpectraTable& first, LoggerSet& log);
    void prepare_domains(const SpectraTable& first, std::size_t width);
    void tell_unreached_level(const CalibratedLevels& levels, double level, LoggerSet& log) const;
    void refuse_changed_model() const;
    void hold_forests(const PredictionOptions& options, bool hold);
    void hold_draws(const PredictionOptions& options, bool hold);
    std::string pair_label() const;
    void advise_level(const IntervalCalibration& calibration, LoggerSet& log) const;
    void prepare_calibration(LoggerSet& log);
    // Why a sample outside lies there: the bands of its largest contributions (`bands_text`).
    std::string outside_reason(const CalibrationDomain& domain, const std::vector<double>& row,
                               const std::vector<double>& wavenumbers) const;
    void decide(PairStatistics& statistics) const;
    PredictionMatrix evaluate(const SpectraTable& block, const BlockPlace& place, LoggerSet& log);
    void add_bounds(const PredictionMatrix& matrix, const std::vector<std::string>& ids,
                    const std::vector<double>& sigma, PairStatistics& statistics) const;
    // The block as the model's pipeline preprocesses it.
    SpectraTable preprocessed(const SpectraTable& block) const;
    // Whether the forests take the first derivative of the rows they are given.
    bool derive() const {
        return !pipeline_ && pair_.transformation == Transformation::first_derivative;
    }

    PairPrediction pair_;
    std::string folder_;
    OpenedModel model_;
    std::optional<SpectralPipeline> pipeline_;   // the card's preprocessing, when it has one
    std::optional<SpectrumResampler> resampler_; // the input's wavenumbers onto the model's
    std::optional<CalibrationDomain> domain_;
    std::optional<CalibrationDomain> input_domain_; // before the pipeline, on the derivative
    RangeScaling scaling_;
    std::optional<HeldForests> held_;
    std::uint64_t fingerprint_ = 0; // of the draw files, as listed
    std::uint64_t json_bytes_ = 0;  // their size
    std::optional<PredictionFileWriter> writer_;
    StagedOutputs* staging_ = nullptr;
    std::size_t writer_draws_ = 0;
    std::vector<std::string> outside_;         // the first twenty samples outside the domain
    std::vector<std::string> outside_reasons_; // and why
    std::vector<double> domain_wavenumbers_;   // of the covariates the domain is made of
    std::vector<double> input_wavenumbers_;    // of the input domain's (first derivative)
    // The draw levels of each calibrated interval; empty without a calibration.
    std::vector<std::optional<CalibratedLevels>> calibrated_levels_;
    std::string unbanded_ = "no calibration"; // why the first level has no calibrated band
    std::size_t outside_count_ = 0;
    std::size_t judged_ = 0;
    bool domain_logged_ = false;
};

// The largest model (its draw files' total size) whose forests a job compiles when it would
// otherwise read them a batch at a time: compiling holds them all at once.
constexpr std::uint64_t largest_compiled_json_bytes = std::uint64_t{1} << 30;

// Checks the range file and that the output file can be written (without touching an existing
// one), reads the range scaling, evaluates every posterior-sample forest on the table and writes
// the output file (none when `pair.output_file` is empty); fills `summary` when given. Errors are
// raised with the complete message for the user.
//
// Before any forest is read: OPUS input must be of the pair's spectrometer type; the model card
// ("model.json"), when there is one, must match the job (transformation, back-transformation,
// covariate count), and its accuracy is logged; the calibration domain ("domain.json"), when
// there is one, must have the input's width, and every sample is scored against it, those
// outside being logged. With `pair.summary`, `report` receives the summary's figures, with the
// posterior-predictive bounds where the model has "sigma.txt".
void predict_pair(const PairPrediction& pair, const SpectraTable& table, LoggerSet& log,
                  PredictionSummary* summary = nullptr, PairReport* report = nullptr);

// The log line of a model's card: its accuracy and sample count, or that it is a demonstration.
std::string model_accuracy_text(const ModelCard& card);

// The numbers of a range file (`read_range_numbers`), each dropped number told with a warning
// record.
std::vector<double> read_range_file(const std::string& path, LoggerSet& log);

// The warning for a dropped number of a range file.
constexpr const char* range_file_extra_number =
    "Error: range file has a row with more than one number.";

} // namespace veldra
