#pragma once

#include <optional>
#include <string>
#include <vector>

namespace veldra {

// Accuracy of out-of-sample predictions on the property's scale.
struct Accuracy {
    double r2 = 0.0;
    double rmse = 0.0;
    double bias = 0.0;     // mean of predicted minus observed
    double rpiq = 0.0;     // interquartile range of the observed values over the RMSE
    double coverage = 0.0; // share inside the 95% band of the draws plus the error spread
    // Mean interval score of the 95% bands (Gneiting and Raftery 2007): the width, plus 40
    // times the distance by which a value falls outside. Lower is better: it rewards narrow
    // bands and punishes misses, so neither over- nor under-wide bands score well.
    double interval_score = 0.0;
};

// `predicted[i]` against `observed[i]`; `low` and `high` bound the 95% bands (empty: coverage and
// interval score 0).
Accuracy accuracy_of(const std::vector<double>& observed, const std::vector<double>& predicted,
                     const std::vector<double>& low, const std::vector<double>& high);

double mean_of(const std::vector<double>& values);

// Each sample's interval score of its 95% band (`Accuracy::interval_score` is their mean).
std::vector<double> interval_scores(const std::vector<double>& observed,
                                    const std::vector<double>& low,
                                    const std::vector<double>& high);

// How two candidates scored on the same samples: the mean of `a[i] - b[i]` and its standard
// error (the differences' standard deviation over the square root of their count), the part of
// that mean chance alone could give. Zero for identical scores or fewer than two samples.
struct PairedDifference {
    double mean = 0.0;
    double standard_error = 0.0;
};
PairedDifference paired_difference(const std::vector<double>& a, const std::vector<double>& b);

// Which of several candidates a choice keeps, from each one's out-of-fold interval scores per
// sample (`scores`, the same samples in each): the default (candidate `fallback`) unless another
// one's scores are lower by more than one standard error of their paired difference from the
// default's; of those, the lowest mean. Without a default among them, the lowest mean. A choice
// among candidates that a hundred samples cannot tell apart costs more than it wins, so the
// default stays unless the data show better.
struct CandidateChoice {
    std::size_t index = 0;
    // How it was chosen, for the report: "the default" (none lower by more than one standard
    // error), "lower than the default by more than one standard error", or "the lowest" (no
    // default among the candidates).
    std::string rule;
};
CandidateChoice choose_candidate(const std::vector<std::vector<double>>& scores,
                                 std::optional<std::size_t> fallback);

} // namespace veldra
