#include "train/method_choice.h"

#include "train/accuracy.h"

#include <cmath>
#include <utility>

namespace veldra {

RowPrediction predict_draws(const std::vector<double>& fitted, const std::vector<double>& sigma,
                            const std::string& id, bool log_model, std::optional<double> observed) {
    std::vector<double> values(fitted.size());
    for (std::size_t d = 0; d < fitted.size(); ++d) {
        values[d] = log_model ? std::exp(fitted[d]) : fitted[d];
    }
    std::vector<double> scratch;
    RowPrediction prediction{mean_of(values),
                             predictive_band(fitted, sigma, id, log_model, scratch)};
    if (observed) {
        const double on_fitted_scale = log_model ? std::log(*observed) : *observed;
        prediction.pit = predictive_pit(fitted, sigma, id, on_fitted_scale);
        prediction.residual = standardized_residual(fitted, sigma, id, on_fitted_scale);
    }
    return prediction;
}

CrossValidation blended_cross_validation(const CrossValidation& forests,
                                         const std::vector<double>& linear, double forest_weight,
                                         bool log_model, double spread_factor) {
    CrossValidation cv = forests;
    for (std::vector<double>& sigma : cv.fold_sigma) {
        for (double& s : sigma) {
            s *= spread_factor;
        }
    }
    std::vector<double> fitted;
    for (std::size_t i = 0; i < cv.ids.size(); ++i) {
        if (cv.draws[i].empty()) {
            continue; // no fold left it out
        }
        fitted = forests.draws[i];
        for (double& draw : fitted) {
            draw = forest_weight == 0.0 ? linear[i]
                                        : forest_weight * draw + (1.0 - forest_weight) * linear[i];
        }
        const RowPrediction row =
            predict_draws(fitted, cv.fold_sigma[static_cast<std::size_t>(cv.fold[i] - 1)],
                          cv.ids[i], log_model, cv.observed[i]);
        cv.draws[i] = fitted;
        cv.predicted[i] = row.mean;
        cv.low[i] = row.band.low;
        cv.high[i] = row.band.high;
        cv.pit[i] = row.pit;
        cv.residuals[i] = row.residual;
    }
    cv.accuracy = accuracy_of(cv.observed, cv.predicted, cv.low, cv.high);
    return cv;
}

double blend_weight(const CrossValidation& forests, const std::vector<double>& linear,
                    bool log_model) {
    double best_weight = 1.0;
    double best_error = INFINITY;
    for (int step = 10; step >= 0; --step) {
        const double w = step / 10.0;
        double error = 0.0;
        for (std::size_t i = 0; i < forests.ids.size(); ++i) {
            if (forests.draws[i].empty()) {
                continue;
            }
            const double mean = mean_of(forests.draws[i]);
            const double y = log_model ? std::log(forests.observed[i]) : forests.observed[i];
            const double e = w * mean + (1.0 - w) * linear[i] - y;
            error += e * e;
        }
        if (error < best_error) {
            best_error = error;
            best_weight = w;
        }
    }
    return best_weight;
}

namespace {

// The mean interval score of the blend's 95% predictive bands with the forests' error spreads
// times `factor` (the bands alone: what the spread factor is chosen by).
double blended_interval_score(const CrossValidation& forests, const std::vector<double>& linear,
                              double forest_weight, bool log_model, double factor) {
    std::vector<double> fitted;
    std::vector<double> sigma;
    std::vector<double> scratch;
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < forests.ids.size(); ++i) {
        if (forests.draws[i].empty()) {
            continue;
        }
        fitted = forests.draws[i];
        for (double& draw : fitted) {
            draw = forest_weight == 0.0 ? linear[i]
                                        : forest_weight * draw + (1.0 - forest_weight) * linear[i];
        }
        sigma = forests.fold_sigma[static_cast<std::size_t>(forests.fold[i] - 1)];
        for (double& s : sigma) {
            s *= factor;
        }
        const PredictiveBand band =
            predictive_band(fitted, sigma, forests.ids[i], log_model, scratch);
        sum += interval_scores({forests.observed[i]}, {band.low}, {band.high}).front();
        ++count;
    }
    return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

} // namespace

double spread_factor(const CrossValidation& forests, const std::vector<double>& linear,
                     double forest_weight, bool log_model) {
    // Every second step of the grid, then the steps beside the best of those.
    const auto score = [&](int step) {
        return blended_interval_score(forests, linear, forest_weight, log_model,
                                      std::pow(1.1, step));
    };
    int best = 0;
    double best_score = INFINITY;
    const auto consider = [&](int step) {
        const double s = score(step);
        if (s < best_score) {
            best_score = s;
            best = step;
        }
    };
    for (int step = -5; step <= 15; step += 2) {
        consider(step);
    }
    const int coarse = best;
    for (const int step : {coarse - 1, coarse + 1}) {
        if (step >= -5 && step <= 15) {
            consider(step);
        }
    }
    return std::pow(1.1, best);
}

void choose_method(const std::vector<std::string>& methods, const std::vector<double>& linear,
                   bool log_model, TrainingReport& report, LoggerSet& log) {
    const CrossValidation forests = std::move(*report.cross_validation);
    std::vector<CrossValidation> cvs;
    std::vector<double> weights;
    std::vector<double> factors;
    std::vector<std::vector<double>> scores;
    std::optional<std::size_t> default_method;
    for (const std::string& method : methods) {
        const double w = method == "bart"  ? 1.0
                         : method == "pls" ? 0.0
                                           : blend_weight(forests, linear, log_model);
        const double factor = method == "bart" ? 1.0 : spread_factor(forests, linear, w, log_model);
        CrossValidation cv = method == "bart"
                                 ? forests
                                 : blended_cross_validation(forests, linear, w, log_model, factor);
        VELDRA_LOG(log, Severity::info)
            << "method " << method << " (forests' weight " << std::to_string(w).substr(0, 3)
            << ", error spreads x" << factor << "): out-of-fold R2 " << cv.accuracy.r2 << ", RMSE "
            << cv.accuracy.rmse << ", coverage " << cv.accuracy.coverage << ", interval score "
            << cv.accuracy.interval_score;
        if (method == "blend") {
            default_method = cvs.size();
        }
        scores.push_back(interval_scores(cv.observed, cv.low, cv.high));
        report.method_choices.push_back({method, w, cv.accuracy, scores.back()});
        weights.push_back(w);
        factors.push_back(factor);
        cvs.push_back(std::move(cv));
    }
    std::size_t index = 0;
    if (methods.size() > 1) {
        const CandidateChoice choice = choose_candidate(scores, default_method);
        index = choice.index;
        report.method_rule = choice.rule;
    }
    report.method = methods[index];
    report.forest_weight = weights[index];
    report.spread_factor = factors[index];
    report.cross_validation = std::move(cvs[index]);
    VELDRA_LOG(log, Severity::info)
        << "Method " << report.method
        << (methods.size() > 1 ? " chosen (" + report.method_rule + ")" : std::string());
}

LinearPart linear_part_of(const PlsModel& pls, const TrainingReport& report,
                          const std::string& transformation) {
    LinearPart part;
    part.method = report.method;
    part.forest_weight = report.forest_weight;
    part.intercept = pls.intercept;
    part.coefficients = pls.coefficients;
    part.covariates = report.covariate_names;
    if (part.covariates.size() != part.coefficients.size()) {
        part.covariates.clear(); // the spectra did not name them all: their places do
        for (std::size_t j = 0; j < part.coefficients.size(); ++j) {
            part.covariates.push_back("x" + std::to_string(j + 1));
        }
    }
    part.components = pls.components;
    part.component_rule = pls_component_rule();
    part.preprocessing = report.preprocessing.empty() ? transformation : report.preprocessing;
    part.spread_factor = report.spread_factor;
    return part;
}

} // namespace veldra
