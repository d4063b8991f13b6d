#pragma once

#include "input/spectral_pipeline.h"
#include "logging/logger_set.h"
#include "train/fit_export.h"
#include "train/pls.h"
#include "train/training.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veldra {

// Row `j` of a matrix the exported fit predicted: its draws on the fitted scale.
std::vector<double> draws_of_row(const PredictionMatrix& matrix, std::size_t j);

// Partial least squares on the rows of `set` picked by `use`, on the fitting scale.
PlsModel fit_linear(const TrainingSet& set, const std::vector<char>& use,
                    const TrainingSettings& settings);

// The set as `pipeline` preprocesses its spectra.
TrainingSet preprocessed(const TrainingSet& raw, const SpectralPipeline& pipeline);

// The fits of one training run: the folds, and every fit's iterations reported against the
// whole run's.
class TrainingRun {
public:
    TrainingRun(const TrainingSettings& settings, const TrainingSet& set, std::size_t pipelines,
                LoggerSet& log);

    // The set the next fits use: the same samples, preprocessed another way. When `pipeline`
    // fits references to the calibration spectra (MSC), each fold of a cross-validation refits
    // them to its own calibration rows of `raw`, so that no held-out spectrum shapes them.
    void use(const TrainingSet& set, const TrainingSet* raw = nullptr,
             const SpectralPipeline* pipeline = nullptr);

    bool cross_validated() const { return fold_count_ > 0; }

    // The sampler iterations of every fit of the run: the total its progress reports count to.
    long total_steps() const { return per_fit_ * fits_; }

    // BART fitted with `k` on the rows `use` picks, seeded with `seed`.
    BartFit fit(const std::vector<char>& use, double k, std::uint64_t seed);
    BartFit fit(const TrainingSet& set, const std::vector<char>& use, double k, std::uint64_t seed);

    // Out-of-fold predictions and bands with the leaf prior's `k`.
    CrossValidation cross_validate(double k);

    // Out-of-fold predictions of partial least squares on the fitted scale, on the folds of the
    // cross-validations (NaN for a sample no fold left out).
    std::vector<double> linear_out_of_fold() const;

    // Names the cross-validations that follow in the log ("" for the usual words).
    void set_stage(const std::string& stage) { stage_ = stage; }

    // Every candidate k cross-validated on the same folds, seeds and error draws; the one with
    // the lowest interval score is kept in `report`. `known` is the cross-validation at
    // `known_k` when it was made already.
    void choose_k(TrainingReport& report, std::optional<CrossValidation> known = std::nullopt,
                  double known_k = 0.0);

private:
    // The spectra as read, preprocessed with references fitted to the rows `use` keeps.
    TrainingSet fold_set(const std::vector<char>& use) const;

    const TrainingSettings& settings_;
    const TrainingSet* set_;
    const TrainingSet* raw_ = nullptr;
    std::optional<SpectralPipeline> fold_pipeline_;
    LoggerSet& log_;
    std::string stage_;
    std::vector<int> folds_;
    int fold_count_ = 0;
    long per_fit_ = 0;
    long fits_ = 0;
    long offset_ = 0;
};

} // namespace veldra
