#include "train/training.h"

#include "bart/predictive_band.h"
#include "input/spectral_pipeline.h"
#include "models/model_folder.h"
#include "models/model_layout.h"
#include "text/first_derivative.h"
#include "text/number_text.h"
#include "text/platform.h"
#include "train/domain_fit.h"
#include "train/fit_export.h"
#include "train/method_choice.h"
#include "train/model_writer.h"
#include "train/training_error.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

namespace {

using training_error::fail;
using training_error::quoted;

// Row `j` of a matrix the exported fit predicted: its draws on the fitted scale.
std::vector<double> draws_of_row(const PredictionMatrix& matrix, std::size_t j) {
    std::vector<double> fitted(matrix.size());
    for (std::size_t d = 0; d < matrix.size(); ++d) {
        fitted[d] = matrix[d][j];
    }
    return fitted;
}

// Fits BART on the rows of `set` picked by `use`, with the response on the fitting scale.
BartFit fit_on(const TrainingSet& set, const std::vector<char>& use,
               const TrainingSettings& settings, const BartOptions& options) {
    std::vector<std::vector<double>> rows;
    std::vector<double> y;
    for (std::size_t i = 0; i < set.rows.size(); ++i) {
        if (use[i]) {
            rows.push_back(set.rows[i]);
            y.push_back(settings.input.log ? std::log(set.values[i]) : set.values[i]);
        }
    }
    return fit_bart(rows, y, options);
}

// Partial least squares on the rows of `set` picked by `use`, on the fitting scale.
PlsModel fit_linear(const TrainingSet& set, const std::vector<char>& use,
                    const TrainingSettings& settings) {
    std::vector<std::vector<double>> rows;
    std::vector<double> y;
    for (std::size_t i = 0; i < set.rows.size(); ++i) {
        if (use[i]) {
            rows.push_back(set.rows[i]);
            y.push_back(settings.input.log ? std::log(set.values[i]) : set.values[i]);
        }
    }
    try {
        return fit_pls(rows, y);
    } catch (const std::invalid_argument& e) {
        fail(e.what());
    }
}

// The pipelines asked for, "auto" standing for the documented set, each once.
std::vector<std::string> pipeline_texts(const std::vector<std::string>& asked) {
    std::vector<std::string> texts;
    for (const std::string& text : asked) {
        const std::vector<std::string> expanded =
            text == "auto" ? automatic_pipelines() : std::vector<std::string>{text};
        for (const std::string& one : expanded) {
            const std::string written = SpectralPipeline(one).text();
            if (std::find(texts.begin(), texts.end(), written) == texts.end()) {
                texts.push_back(written);
            }
        }
    }
    return texts;
}

// Where the model goes: a known type, a plain property name, an existing model directory.
void check_destination(const TrainingSettings& settings) {
    if (!is_plain_spectrometer_name(settings.spectrometer_type)) {
        fail("Unknown spectrometer type '" + settings.spectrometer_type + "'.");
    }
    if (!is_plain_property_name(settings.property)) {
        fail("The property '" + settings.property +
             "' is not a plain name (letters, digits and ._-+, at most 64).");
    }
    if (!fs::is_directory(settings.models)) {
        fail("The model directory " + quoted(settings.models.string()) + " does not exist.");
    }
}

// Choices the calibration can make: k candidates the sampler takes, several candidates only with
// cross-validation.
void check_choices(const TrainingSettings& settings) {
    if (settings.k_choices.size() > 1 && settings.cv_folds == 0 && settings.folds.empty()) {
        fail("Choosing k among several values needs cross-validation: give --cv K or --folds.");
    }
    const std::vector<std::string> methods = method_names(settings.methods);
    if ((methods.size() > 1 || methods.front() == "blend") && settings.cv_folds == 0 &&
        settings.folds.empty()) {
        fail(methods.size() > 1
                 ? "Choosing the method among several needs cross-validation: give --cv K or "
                   "--folds."
                 : "The blend's weight is chosen by cross-validation: give --cv K or --folds.");
    }
    if (pipeline_texts(settings.preprocess).size() > 1 && settings.cv_folds == 0 &&
        settings.folds.empty()) {
        fail("Choosing the preprocessing among several pipelines needs cross-validation: give "
             "--cv K or --folds.");
    }
    for (const double k : settings.k_choices) {
        BartOptions options = settings.bart;
        options.k = k;
        for (const BartOptionProblem& problem : bart_option_problems(options)) {
            if (problem.option == "k") {
                fail("--k " + problem.message);
            }
        }
    }
}

// No model replaced unasked, none held open where the new one goes.
void check_folder(const TrainingSettings& settings, const fs::path& folder) {
    if (fs::exists(folder)) {
        for (fs::directory_iterator it(folder), end; it != end; ++it) {
            if (!settings.force && is_model_file(it->path())) {
                fail("A model exists in " + quoted(folder.string()) +
                     "; use --force to replace it.");
            }
            // The new model takes the folder's place, which a file held open in it prevents
            // (Windows): said now rather than after the training.
            if (file_held_open_elsewhere(it->path().string())) {
                fail("The file " + quoted(it->path().string()) +
                     " is open in another program, so the model folder cannot be replaced: close "
                     "it there, then train again.");
            }
        }
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

// The fits of one training run: the folds, and every fit's iterations reported against the
// whole run's.
class TrainingRun {
public:
    TrainingRun(const TrainingSettings& settings, const TrainingSet& set, std::size_t pipelines,
                LoggerSet& log)
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

    // The set the next fits use: the same samples, preprocessed another way. When `pipeline`
    // fits references to the calibration spectra (MSC), each fold of a cross-validation refits
    // them to its own calibration rows of `raw`, so that no held-out spectrum shapes them.
    void use(const TrainingSet& set, const TrainingSet* raw = nullptr,
             const SpectralPipeline* pipeline = nullptr) {
        set_ = &set;
        fold_pipeline_.reset();
        raw_ = nullptr;
        if (raw && pipeline && pipeline->needs_references()) {
            fold_pipeline_ = *pipeline;
            raw_ = raw;
        }
    }

    bool cross_validated() const { return fold_count_ > 0; }

    // The sampler iterations of every fit of the run: the total its progress reports count to.
    long total_steps() const { return per_fit_ * fits_; }

    // BART fitted with `k` on the rows `use` picks, seeded with `seed`.
    BartFit fit(const std::vector<char>& use, double k, std::uint64_t seed) {
        return fit(*set_, use, k, seed);
    }
    BartFit fit(const TrainingSet& set, const std::vector<char>& use, double k,
                std::uint64_t seed) {
        BartOptions options = settings_.bart;
        options.seed = seed;
        options.k = k;
        options.progress = [this](long done, long) {
            log_.progress(offset_ + done, per_fit_ * fits_);
        };
        BartFit fitted = fit_on(set, use, settings_, options);
        offset_ += per_fit_;
        return fitted;
    }

    // Out-of-fold predictions and bands with the leaf prior's `k`.
    CrossValidation cross_validate(double k) {
        const std::size_t n = set_->rows.size();
        CrossValidation cv;
        cv.method = settings_.folds.empty()
                        ? "random " + std::to_string(settings_.cv_folds) + " folds"
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
            const ExportedFit fitted(
                fit(set, use, k, settings_.bart.seed + static_cast<unsigned>(f)),
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

    // Out-of-fold predictions of partial least squares on the fitted scale, on the folds of the
    // cross-validations (NaN for a sample no fold left out).
    std::vector<double> linear_out_of_fold() const {
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

    // Names the cross-validations that follow in the log ("" for the usual words).
    void set_stage(const std::string& stage) { stage_ = stage; }

    // Every candidate k cross-validated on the same folds, seeds and error draws; the one with
    // the lowest interval score is kept in `report`. `known` is the cross-validation at
    // `known_k` when it was made already.
    void choose_k(TrainingReport& report, std::optional<CrossValidation> known = std::nullopt,
                  double known_k = 0.0) {
        std::vector<CrossValidation> cvs;
        std::vector<std::vector<double>> scores;
        std::optional<std::size_t> default_k;
        for (const double k : settings_.k_choices) {
            CrossValidation cv = k == known_k && known ? std::move(*known) : cross_validate(k);
            VELDRA_LOG(log_, Severity::info)
                << "k " << k << ": out-of-fold RMSE " << cv.accuracy.rmse << ", coverage "
                << cv.accuracy.coverage << ", interval score " << cv.accuracy.interval_score;
            report.k_choices.push_back(
                {k, cv.accuracy, interval_scores(cv.observed, cv.low, cv.high)});
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

private:
    // The spectra as read, preprocessed with references fitted to the rows `use` keeps.
    TrainingSet fold_set(const std::vector<char>& use) const {
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

// The k at which pipelines are compared: the sampler's default 2 when it is a candidate (the
// bands of a small k are wide for every pipeline alike), else the first candidate; the model's
// k without candidates.
double comparison_k(const TrainingSettings& settings, double model_k) {
    const std::vector<double>& ks = settings.k_choices;
    if (ks.size() <= 1) {
        return model_k;
    }
    return std::find(ks.begin(), ks.end(), BartOptions().k) != ks.end() ? BartOptions().k
                                                                        : ks.front();
}

// Each pipeline fitted on the calibration spectra and, when there are several, cross-validated
// on the same folds, seeds and error draws at `comparison_k`; the one with the lowest out-of-fold
// interval score is kept in `report`, its cross-validation in `compared`, the pipeline fitted to
// every calibration spectrum in `chosen`. Returns the set it gives.
TrainingSet choose_pipeline(const TrainingSettings& settings, const std::vector<std::string>& texts,
                            const TrainingSet& raw, TrainingRun& run, TrainingReport& report,
                            std::optional<CrossValidation>& compared, SpectralPipeline& chosen,
                            LoggerSet& log) {
    const std::vector<double> wavenumbers =
        wavenumbers_of(raw.names).value_or(std::vector<double>());
    const double k = comparison_k(settings, report.k);
    const auto prepared = [&](const std::string& text) {
        SpectralPipeline pipeline(text);
        pipeline.prepare(wavenumbers, raw.rows.front().size());
        pipeline.fit(raw.rows);
        return pipeline;
    };
    std::vector<CrossValidation> cvs;
    std::vector<std::vector<double>> scores;
    std::optional<std::size_t> default_pipeline;
    for (std::size_t c = 0; texts.size() > 1 && c < texts.size(); ++c) {
        SpectralPipeline pipeline = prepared(texts[c]);
        const TrainingSet candidate = preprocessed(raw, pipeline);
        run.use(candidate, &raw, &pipeline);
        run.set_stage("preprocessing " + texts[c]);
        CrossValidation cv = run.cross_validate(k);
        VELDRA_LOG(log, Severity::info) << "preprocessing " << texts[c] << ": out-of-fold RMSE "
                                        << cv.accuracy.rmse << ", coverage " << cv.accuracy.coverage
                                        << ", interval score " << cv.accuracy.interval_score;
        report.pipeline_choices.push_back(
            {texts[c], cv.accuracy, interval_scores(cv.observed, cv.low, cv.high)});
        scores.push_back(report.pipeline_choices.back().scores);
        if (pipeline.text() == "first_der") {
            default_pipeline = c;
        }
        cvs.push_back(std::move(cv));
    }
    std::size_t index = 0;
    if (texts.size() > 1) {
        const CandidateChoice choice = choose_candidate(scores, default_pipeline);
        index = choice.index;
        compared = std::move(cvs[index]);
        report.pipeline_rule = choice.rule;
    }
    chosen = prepared(texts[index]);
    TrainingSet best = preprocessed(raw, chosen);
    report.preprocessing = chosen.text();
    report.preprocessing_references = chosen.references();
    run.set_stage("");
    VELDRA_LOG(log, Severity::info)
        << "Preprocessing " << report.preprocessing
        << (texts.size() > 1 ? " chosen (" + report.pipeline_rule + ")" : std::string()) << ": "
        << best.rows.front().size() << " covariates after it";
    return best;
}

// The domain of the spectra as read, on their first derivative, for a model with a pipeline:
// SNV, MSC and smoothing divide out scale and noise, so the domain after them cannot see those
// distortions; this one still does.
std::optional<CalibrationDomain> domain_before_pipeline(const TrainingSet& raw, LoggerSet& log) {
    std::vector<std::vector<double>> rows = raw.rows;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        first_derivative(raw.rows[i].data(), raw.rows[i].size(), rows[i].data());
    }
    std::optional<CalibrationDomain> domain = fit_calibration_domain(rows);
    if (domain) {
        VELDRA_LOG(log, Severity::info)
            << "Calibration domain before the preprocessing (first derivative): "
            << domain->components.size() << " principal components";
    }
    return domain;
}

// The calibration domain of the training spectra, told in the log; none for too few samples.
std::optional<CalibrationDomain> logged_domain(const TrainingSet& set, LoggerSet& log) {
    std::optional<CalibrationDomain> domain = fit_calibration_domain(set.rows);
    if (domain) {
        VELDRA_LOG(log, Severity::info) << "Calibration domain: " << domain->components.size()
                                        << " principal components; 99% limits T2 "
                                        << domain->t2_limit << ", Q " << domain->q_limit;
    } else {
        VELDRA_LOG(log, Severity::warning)
            << "Warning: fewer than 5 samples, no calibration domain: predictions will say "
               "\"unknown\" for it.";
    }
    return domain;
}

} // namespace

std::vector<std::string> method_names(const std::vector<std::string>& asked) {
    const std::vector<std::string> known{"bart", "pls", "blend"};
    std::vector<bool> wanted(known.size(), false);
    for (const std::string& method : asked) {
        const auto found = std::find(known.begin(), known.end(), method);
        if (method == "auto") {
            wanted.assign(known.size(), true);
        } else if (found == known.end()) {
            fail("Unknown method '" + method + "': choose bart, pls, blend or auto.");
        } else {
            wanted[static_cast<std::size_t>(found - known.begin())] = true;
        }
    }
    std::vector<std::string> names;
    for (std::size_t m = 0; m < known.size(); ++m) {
        if (wanted[m]) {
            names.push_back(known[m]);
        }
    }
    return names.empty() ? std::vector<std::string>{"bart"} : names;
}

TrainedModel calibrate_model(const TrainingSettings& settings, TrainingSet set, LoggerSet& log) {
    check_choices(settings);
    TrainingReport report;
    report.samples = set.rows.size();
    report.target = set.target;
    report.unmatched = set.unmatched;
    report.skipped = set.skipped;
    report.covariates = set.rows.front().size();
    report.covariate_names = set.names;
    report.observed = set.values;
    VELDRA_LOG(log, Severity::info)
        << report.samples << " samples with a reference value, " << set.skipped << " without; "
        << report.covariates << " covariates";

    const std::vector<std::string> pipelines = pipeline_texts(settings.preprocess);
    TrainingRun run(settings, set, pipelines.size(), log);
    report.k = settings.k_choices.size() == 1 ? settings.k_choices.front() : settings.bart.k;
    std::optional<CrossValidation> compared;
    std::optional<CalibrationDomain> input_domain;
    std::optional<SpectralPipeline> applied;
    TrainingSet raw; // the spectra as read, when the pipeline fits references to them
    if (!pipelines.empty()) {
        input_domain = domain_before_pipeline(set, log);
        report.input_domain = input_domain.has_value();
        SpectralPipeline chosen;
        TrainingSet preprocessed_set =
            choose_pipeline(settings, pipelines, set, run, report, compared, chosen, log);
        if (chosen.needs_references()) {
            raw = std::move(set); // kept for the folds' own references
        }
        set = std::move(preprocessed_set);
        run.use(set, &raw, &chosen);
        applied = chosen;
    }
    if (settings.k_choices.size() > 1) {
        run.choose_k(report, std::move(compared), comparison_k(settings, report.k));
    } else if (compared) {
        report.cross_validation = std::move(compared);
    } else if (run.cross_validated()) {
        report.cross_validation = run.cross_validate(report.k);
    }

    const std::vector<std::string> methods = method_names(settings.methods);
    std::optional<PlsModel> pls;
    if (methods != std::vector<std::string>{"bart"}) {
        if (report.cross_validation) {
            choose_method(methods, run.linear_out_of_fold(), settings.input.log, report, log);
        } else {
            report.method = methods.front();
            report.forest_weight = report.method == "pls" ? 0.0 : 1.0;
        }
        if (report.method != "bart") {
            pls = fit_linear(set, std::vector<char>(set.rows.size(), 1), settings);
            report.pls_components = pls->components;
            VELDRA_LOG(log, Severity::info)
                << "Partial least squares: " << pls->components
                << (pls->components == 1 ? " component" : " components");
        }
    }

    BartFit fit = run.fit(std::vector<char>(set.rows.size(), 1), report.k, settings.bart.seed);
    for (double& s : fit.sigma) {
        s *= report.spread_factor; // what the blend's bands take their width from
    }
    const ExportedFit exported(fit, settings.bart.threads);
    const PredictionMatrix matrix = exported.predict(set.rows);
    for (std::size_t i = 0; i < set.rows.size(); ++i) {
        std::vector<double> fitted = draws_of_row(matrix, i);
        if (pls) {
            const double linear = pls->predict(set.rows[i]);
            for (double& draw : fitted) {
                draw = report.forest_weight == 0.0
                           ? linear
                           : report.forest_weight * draw + (1.0 - report.forest_weight) * linear;
            }
        }
        const RowPrediction row =
            predict_draws(fitted, exported.sigma(), set.ids[i], settings.input.log);
        report.fitted.push_back(row.mean);
        report.fitted_low.push_back(row.band.low);
        report.fitted_high.push_back(row.band.high);
    }
    report.fit = accuracy_of(set.values, report.fitted, report.fitted_low, report.fitted_high);
    std::optional<CalibrationDomain> domain = logged_domain(set, log);
    report.domain = domain.has_value();
    std::optional<LinearPart> linear;
    if (pls) {
        linear = linear_part_of(*pls, report);
        if (linear->covariates.size() != linear->coefficients.size()) {
            linear->covariates.clear();
            for (std::size_t j = 0; j < linear->coefficients.size(); ++j) {
                linear->covariates.push_back("x" + std::to_string(j + 1));
            }
        }
        if (linear->preprocessing.empty()) {
            linear->preprocessing = transformation_text(settings.input.transformation);
        }
    }
    return TrainedModel{std::move(report),       std::move(fit),     std::move(domain),
                        std::move(input_domain), std::move(applied), std::move(linear),
                        run.total_steps()};
}

void write_trained_model(const TrainingSettings& settings, TrainedModel& model, LoggerSet& log) {
    check_destination(settings);
    model.report.folder =
        model_folder(settings.models, settings.spectrometer_type, settings.property);
    check_folder(settings, model.report.folder);
    // Writing is reported at the run's end: an observer may still stop it, leaving the old model.
    const long total = model.steps;
    write_model(
        model.report.folder, model.fit, training_card(settings, model.report),
        [&log, total] { log.progress(total, total); }, model.domain, model.input_domain,
        model.linear);
}

TrainingReport train_model(const TrainingSettings& settings, LoggerSet& log) {
    check_destination(settings);
    check_choices(settings);
    check_folder(settings,
                 model_folder(settings.models, settings.spectrometer_type, settings.property));
    TrainingInput input = settings.input;
    if (!settings.preprocess.empty()) {
        input.transformation = Transformation::none; // the pipeline does what it asks
    }
    TrainedModel model = calibrate_model(settings, load_training_set(input, log), log);
    write_trained_model(settings, model, log);
    return std::move(model.report);
}

} // namespace veldra
