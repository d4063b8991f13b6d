#pragma once

#include "bart/predictive_band.h"
#include "logging/logger_set.h"
#include "models/linear_part.h"
#include "train/pls.h"
#include "train/training.h"

#include <optional>
#include <string>
#include <vector>

namespace veldra {

// One sample's posterior mean on the property's scale and its 95% predictive band, from its
// draws on the fitted scale and their error spreads (exp for a model of log(y)): the band the
// summary of a prediction gives the same sample. With `observed` (on the property's scale), its
// probability-integral transform and standardized residual.
struct RowPrediction {
    double mean = 0.0;
    PredictiveBand band;
    double pit = 0.0;
    double residual = 0.0;
};
RowPrediction predict_draws(const std::vector<double>& fitted, const std::vector<double>& sigma,
                            const std::string& id, bool log_model,
                            std::optional<double> observed = std::nullopt);

// The cross-validation of a blend: each sample's out-of-fold draws `forest_weight` x the forests'
// (`forests.draws`) + (1 - `forest_weight`) x `linear` (its out-of-fold linear prediction on the
// fitted scale), with the error spreads `spread_factor` times the forests'; predictions, bands,
// PIT and residuals as the model would give them.
CrossValidation blended_cross_validation(const CrossValidation& forests,
                                         const std::vector<double>& linear, double forest_weight,
                                         bool log_model, double spread_factor = 1.0);

// The factor of the forests' error spreads for a blend (or the linear part alone): of 1.1^-5 to
// 1.1^15, the one whose out-of-fold 95% predictive bands have the lowest interval score (every
// second power first, then the two beside the best of those). The
// forests' spread is that of their own residuals, in the calibration samples: a blend's draws
// spread less (by the forests' weight) and the linear part's errors are its own, so its bands
// take their width from the errors it makes out of fold.
double spread_factor(const CrossValidation& forests, const std::vector<double>& linear,
                     double forest_weight, bool log_model);

// The forests' weight of a blend: of 0, 0.1, ..., 1, the one whose out-of-fold posterior means
// have the lowest squared error on the fitted scale (the larger of equals). One number chosen
// among eleven: it cannot fit the noise of a few dozen samples the way a free weight could.
double blend_weight(const CrossValidation& forests, const std::vector<double>& linear,
                    bool log_model);

// Chooses among `methods` (as `method_names` gives them) from the forests' cross-validation
// and the linear part's out-of-fold predictions: each candidate's cross-validation, the chosen
// one's in `report.cross_validation`, the method, weight, candidates and rule in `report`.
void choose_method(const std::vector<std::string>& methods, const std::vector<double>& linear,
                   bool log_model, TrainingReport& report, LoggerSet& log);

// The linear part of the model `report` describes; `transformation` names what its covariates
// went through when the model has no pipeline.
LinearPart linear_part_of(const PlsModel& pls, const TrainingReport& report,
                          const std::string& transformation);

} // namespace veldra
