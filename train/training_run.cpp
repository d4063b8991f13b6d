#include "train/training_run.h"

#include "train/accuracy.h"
#include "train/method_choice.h"
#include "train/training_error.h"

#include <algorithm>
#include <cmath>

namespace veldra {

using training_error::fail;

namespace {

// The rows of `set` picked by `use` and their values on the fitting scale (log(y) for a model of
// log(y)).
struct PickedRows {
    std::vector<std::vector<double>> rows;
    std::vector<double> y;
};
PickedRows picked(const TrainingSet& set, const std::vector<char>& use,
                  const TrainingSettings& settings) {
    PickedRows out;
    for (std::size_t i = 0; i < set.rows.size(); ++i) {
        if (use[i]) {
            out.rows.push_back(set.rows[i]);
            out.y.push_back(settings.input.log ? std::log(set.values[i]) : set.values[i]);
        }
    }
    return out;
}

// Fits BART on the rows of `set` picked by `use`, with the response on the fitting scale.
BartFit fit_on(const TrainingSet& set, const std::vector<char>& use,
               const TrainingSettings& settings, const BartOptions& options) {
    const PickedRows data = picked(set, use, settings);
    return fit_bart(data.rows, data.y, options);
}

} // namespace

// Row `j` of a matrix the exported fit predicted: its draws on the fitted scale.
std::vector<double> draws_of_row(const PredictionMatrix& matrix, std::size_t j) {
    std::vector<double> fitted(matrix.size());
    for (std::size_t d = 0; d < matrix.size(); ++d) {
        fitted[d] = matrix[d][j];
    }
    return fitted;
}

// Partial least squares on the rows of `set` picked by `use`, on the fitting scale.
PlsModel fit_linear(const TrainingSet& set, const std::vector<char>& use,
                    const TrainingSettings& settings) {
    const PickedRows data = picked(set, use, settings);
    try {
        return fit_pls(data.rows, data.y);
    } catch (const std::invalid_argument& e) {
        fail(e.what());
    }
}

// The set as `pipeline` preprocesses its spectra.
TrainingSet preprocessed(const TrainingSet& raw, const SpectralPipeline& pipeline) {
    TrainingSet set = raw;
    std::vector<double> scratch;
    for (std::vector<double>& row : set.rows) {
        std::vector<double> out;
        pipeline.apply(row.data(), out, scratch);
        row = std::move(out);
    }
    return set;
}

TrainingRun::TrainingRun(const TrainingSettings& settings, const TrainingSet& set,
                         std::size_t pipelines, LoggerSet& log)
    : settings_(settings), set_(&set), log_(log) {
    if (settings.cv_folds > 0 || !settings.folds.empty()) {
        folds_ = assign_folds(settings.folds, settings.cv_folds, settings.bart.seed, set,
                              settings.input.id_column);
        fold_count_ = *std::max_element(folds_.begin(), folds_.end());
    }
    per_fit_ = static_cast<long>(settings.bart.chains) * settings.bart.burn_in +
               static_cast<long>(settings.bart.draws) * settings.bart.thin;
    long fold_fits = 0;
    for (int f = 1; f <= fold_count_; ++f) {
        fold_fits += std::count(folds_.begin(), folds_.end(), f) > 0 ? 1 : 0;
    }
    const std::size_t ks = settings.k_choices.size();
    const std::size_t validations =
        (pipelines > 1 ? pipelines : 0) +
        (ks > 1 ? ks - (pipelines > 1 ? 1 : 0) : (pipelines > 1 ? 0 : 1));
    fits_ = 1 + fold_fits * static_cast<long>(validations);
}

void TrainingRun::use(const TrainingSet& set, const TrainingSet* raw,
                      const SpectralPipeline* pipeline) {
    set_ = &set;
    fold_pipeline_.reset();
    raw_ = nullptr;
    if (raw && pipeline && pipeline->needs_references()) {
        fold_pipeline_ = *pipeline;
        raw_ = raw;
    }
}

BartFit TrainingRun::fit(const std::vector<char>& use, double k, std::uint64_t seed) {
    return fit(*set_, use, k, seed);
}

BartFit TrainingRun::fit(const TrainingSet& set, const std::vector<char>& use, double k,
                         std::uint64_t seed) {
    BartOptions options = settings_.bart;
    options.seed = seed;
    options.k = k;
    options.progress = [this](long done, long) { log_.progress(offset_ + done, per_fit_ * fits_); };
    BartFit fitted = fit_on(set, use, settings_, options);
    offset_ += per_fit_;
    return fitted;
}

CrossValidation TrainingRun::cross_validate(double k) {
    const std::size_t n = set_->rows.size();
    CrossValidation cv;
    cv.method = settings_.folds.empty() ? "random " + std::to_string(settings_.cv_folds) + " folds"
                                        : "folds from " + settings_.folds;
    cv.ids = set_->ids;
    cv.observed = set_->values;
    cv.predicted.assign(n, 0.0);
    cv.low.assign(n, 0.0);
    cv.high.assign(n, 0.0);
    cv.pit.assign(n, std::nan(""));
    cv.residuals.assign(n, std::nan(""));
    cv.draws.assign(n, std::vector<double>());
    cv.fold.assign(folds_.begin(), folds_.end());
    cv.fold_sigma.assign(static_cast<std::size_t>(fold_count_), std::vector<double>());
    for (int f = 1; f <= fold_count_; ++f) {
        std::vector<char> use(n);
        for (std::size_t i = 0; i < n; ++i) {
            use[i] = folds_[i] != f;
        }
        if (std::find(use.begin(), use.end(), 0) == use.end()) {
            continue; // an empty fold
        }
        ++cv.folds;
        const TrainingSet refitted = fold_pipeline_ ? fold_set(use) : TrainingSet();
        const TrainingSet& set = fold_pipeline_ ? refitted : *set_;
        const ExportedFit fitted(fit(set, use, k, settings_.bart.seed + static_cast<unsigned>(f)),
                                 settings_.bart.threads);
        SpectraRows held_out;
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < n; ++i) {
            if (!use[i]) {
                held_out.push_back(set.rows[i]);
                which.push_back(i);
            }
        }
        const PredictionMatrix matrix = fitted.predict(held_out);
        cv.fold_sigma[static_cast<std::size_t>(f - 1)] = fitted.sigma();
        for (std::size_t j = 0; j < which.size(); ++j) {
            const std::size_t i = which[j];
            cv.draws[i] = draws_of_row(matrix, j);
            const RowPrediction row = predict_draws(cv.draws[i], fitted.sigma(), set_->ids[i],
                                                    settings_.input.log, set_->values[i]);
            cv.predicted[i] = row.mean;
            cv.pit[i] = row.pit;
            cv.residuals[i] = row.residual;
            cv.low[i] = row.band.low;
            cv.high[i] = row.band.high;
        }
        if (!stage_.empty()) {
            VELDRA_LOG(log_, Severity::info) << stage_ << ", fold " << f << " done";
        } else if (settings_.k_choices.size() > 1) {
            VELDRA_LOG(log_, Severity::info) << "k " << k << ", fold " << f << " done";
        } else {
            VELDRA_LOG(log_, Severity::info) << "fold " << f << " done";
        }
    }
    cv.accuracy = accuracy_of(cv.observed, cv.predicted, cv.low, cv.high);
    return cv;
}

std::vector<double> TrainingRun::linear_out_of_fold() const {
    const std::size_t n = set_->rows.size();
    std::vector<double> predicted(n, std::nan(""));
    for (int f = 1; f <= fold_count_; ++f) {
        std::vector<char> use(n);
        for (std::size_t i = 0; i < n; ++i) {
            use[i] = folds_[i] != f;
        }
        if (std::find(use.begin(), use.end(), 0) == use.end()) {
            continue;
        }
        const TrainingSet refitted = fold_pipeline_ ? fold_set(use) : TrainingSet();
        const TrainingSet& set = fold_pipeline_ ? refitted : *set_;
        const PlsModel pls = fit_linear(set, use, settings_);
        for (std::size_t i = 0; i < n; ++i) {
            if (!use[i]) {
                predicted[i] = pls.predict(set.rows[i]);
            }
        }
    }
    return predicted;
}

void TrainingRun::choose_k(TrainingReport& report, std::optional<CrossValidation> known,
                           double known_k) {
    std::vector<CrossValidation> cvs;
    std::vector<std::vector<double>> scores;
    std::optional<std::size_t> default_k;
    for (const double k : settings_.k_choices) {
        CrossValidation cv = k == known_k && known ? std::move(*known) : cross_validate(k);
        VELDRA_LOG(log_, Severity::info)
            << "k " << k << ": out-of-fold RMSE " << cv.accuracy.rmse << ", coverage "
            << cv.accuracy.coverage << ", interval score " << cv.accuracy.interval_score;
        report.k_choices.push_back({k, cv.accuracy, interval_scores(cv.observed, cv.low, cv.high)});
        scores.push_back(report.k_choices.back().scores);
        if (k == BartOptions().k) {
            default_k = cvs.size();
        }
        cvs.push_back(std::move(cv));
    }
    const CandidateChoice choice = choose_candidate(scores, default_k);
    report.cross_validation = std::move(cvs[choice.index]);
    report.k = settings_.k_choices[choice.index];
    report.k_rule = choice.rule;
    VELDRA_LOG(log_, Severity::info) << "k " << report.k << " chosen (" << choice.rule << ")";
}

TrainingSet TrainingRun::fold_set(const std::vector<char>& use) const {
    SpectralPipeline pipeline = *fold_pipeline_;
    std::vector<std::vector<double>> rows;
    for (std::size_t i = 0; i < use.size(); ++i) {
        if (use[i]) {
            rows.push_back(raw_->rows[i]);
        }
    }
    pipeline.fit(rows);
    return preprocessed(*raw_, pipeline);
}

} // namespace veldra
