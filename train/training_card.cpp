#include "train/training.h"

#include "train/model_writer.h"
#include "version.h"

#include <ctime>
#include <string>

namespace veldra {

namespace {

// The rule a card says chose its pipeline or k, and how it applied.
std::string choice_rule_text(const std::string& applied, const std::string& fallback) {
    return "the default (" + fallback +
           ") unless another's out-of-fold interval scores of the 95% predictive bands are lower "
           "by more than one standard error of their paired difference, then the lowest of "
           "those, on the folds of cross_validation; this time " +
           applied;
}

CardFigures card_figures_of(const Accuracy& a) {
    return CardFigures{a.r2, a.rmse, a.bias, a.rpiq, a.coverage, a.interval_score};
}

} // namespace

ModelCard training_card(const TrainingSettings& settings, const TrainingReport& report) {
    const std::time_t now = source_date_epoch().value_or(std::time(nullptr));
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    const BartOptions& options = settings.bart;
    ModelCard card;
    card.property = settings.property;
    card.model_folder = model_property_name(settings.property);
    card.spectrometer_type = settings.spectrometer_type;
    if (report.preprocessing.empty()) {
        card.transformation = settings.input.transformation;
    } else {
        card.preprocessing = report.preprocessing;
        card.preprocessing_references = report.preprocessing_references;
        for (const PipelineChoice& choice : report.pipeline_choices) {
            card.preprocessing_candidates.push_back(
                {choice.pipeline, card_figures_of(choice.accuracy)});
        }
        if (!card.preprocessing_candidates.empty()) {
            card.preprocessing_rule = choice_rule_text(report.pipeline_rule, "first_der");
        }
    }
    card.log = settings.input.log;
    card.target = report.target;
    card.samples = report.samples;
    card.samples_skipped = report.skipped;
    card.covariates = report.covariates;
    if (report.covariate_names.size() == report.covariates) {
        card.covariate_names = report.covariate_names;
    }
    card.sampler = CardSampler{options.trees, options.burn_in,  options.thin,   options.chains,
                               options.alpha, options.beta,     report.k,       options.nu,
                               options.q,     options.max_cuts, options.sparse, options.seed};
    card.draws = static_cast<std::size_t>(options.draws);
    card.program = std::string("veldra-train ") + veldra_version;
    card.date = date;
    card.domain = report.domain;
    if (report.input_domain) {
        card.input_domain = true;
    }
    card.training_fit = card_figures_of(report.fit);
    if (report.cross_validation) {
        const CrossValidation& cv = *report.cross_validation;
        card.cross_validation =
            CardCrossValidation{cv.method, cv.folds, card_figures_of(cv.accuracy)};
        if (!cv.pit.empty()) {
            card.calibration = interval_calibration(cv.pit, cv.residuals);
        }
    }
    if (!report.k_choices.empty()) {
        card.k_rule = choice_rule_text(report.k_rule, "2");
        for (const KChoice& choice : report.k_choices) {
            card.k_candidates.push_back({choice.k, card_figures_of(choice.accuracy)});
        }
    }
    if (!report.method.empty()) {
        card.method = report.method;
        card.forest_weight = report.forest_weight;
        if (report.method != "bart") {
            card.error_spread_factor = report.spread_factor;
            card.pls_components = report.pls_components;
        }
        if (report.method_choices.size() > 1) {
            card.method_rule = choice_rule_text(report.method_rule, "blend");
            for (const MethodChoice& choice : report.method_choices) {
                card.method_candidates.push_back(
                    {choice.method, choice.forest_weight, card_figures_of(choice.accuracy)});
            }
        }
    }
    return card;
}

} // namespace veldra
