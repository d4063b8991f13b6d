#include "train/training.h"

#include "bart/predictive_band.h"
#include "input/spectral_pipeline.h"
#include "models/model_folder.h"
#include "models/model_layout.h"
#include "models/model_open.h"
#include "text/first_derivative.h"
#include "text/number_text.h"
#include "text/platform.h"
#include "train/domain_fit.h"
#include "train/fit_export.h"
#include "train/method_choice.h"
#include "train/model_writer.h"
#include "train/training_error.h"
#include "train/training_run.h"

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

// The method the model predicts by: chosen among those asked on the cross-validation when there
// is one, with the linear part fitted on every sample when it has one.
std::optional<PlsModel> settle_method(const TrainingSettings& settings, const TrainingSet& set,
                                      const TrainingRun& run, TrainingReport& report,
                                      LoggerSet& log) {
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
    return pls;
}

// The fit's posterior means and 95% predictive bands of the calibration samples, as the model
// predicts them (blended with `pls` when given), and their accuracy, in `report`.
void report_fit(const BartFit& fit, const PlsModel* pls, const TrainingSet& set,
                const TrainingSettings& settings, TrainingReport& report) {
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

    const std::optional<PlsModel> pls = settle_method(settings, set, run, report, log);

    BartFit fit = run.fit(std::vector<char>(set.rows.size(), 1), report.k, settings.bart.seed);
    for (double& s : fit.sigma) {
        s *= report.spread_factor; // what the blend's bands take their width from
    }
    report_fit(fit, pls ? &*pls : nullptr, set, settings, report);
    std::optional<CalibrationDomain> domain = logged_domain(set, log);
    report.domain = domain.has_value();
    std::optional<LinearPart> linear;
    if (pls) {
        linear = linear_part_of(*pls, report, transformation_text(settings.input.transformation));
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

fs::path copy_trained_model(const fs::path& source, const TrainingSettings& settings,
                            const std::string& target, LoggerSet& log) {
    check_destination(settings);
    const fs::path folder =
        model_folder(settings.models, settings.spectrometer_type, settings.property);
    check_folder(settings, folder);
    const OpenedModel opened = open_model(source);
    if (!opened.card) {
        fail("The model in " + quoted(source.string()) + " has no card to copy.");
    }
    ModelCard card = *opened.card;
    card.property = settings.property;
    card.model_folder = model_property_name(settings.property);
    card.spectrometer_type = settings.spectrometer_type;
    card.target = target;
    ModelContents contents;
    contents.draws = opened.draw_files.size();
    contents.forest_document = [&source](std::size_t d) {
        return read_at_most((source / draw_file_name(d)).string(), std::size_t{1} << 34);
    };
    contents.range_low = opened.range.numbers[0];
    contents.range_high = opened.range.numbers[1];
    std::istringstream spreads(read_at_most(sigma_file(source).string(), std::size_t{1} << 30));
    for (double s = 0.0; spreads >> s;) {
        contents.sigma.push_back(s);
    }
    contents.card = card;
    contents.domain = opened.domain;
    contents.input_domain = opened.input_domain;
    contents.linear = opened.linear;
    write_model_folder(folder, contents, [&log] { log.progress(1, 1); });
    return folder;
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
