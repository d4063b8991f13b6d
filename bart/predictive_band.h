#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace veldra {

// The one definition of a sample's 95% posterior-predictive band, used alike by prediction (the
// summary's "predictive 2.5%" and "predictive 97.5%") and by training (cross-validated coverage,
// interval score, the choice of k): the draws y_d = f_d + sigma_d z_d, with z_d fixed by the
// sample's identifier and the draw index, back-transformed with exp for a model of log(y); the
// bounds are the elements at the truncated indices 0.025 D and 0.975 D of the sorted draws (the
// output file's quantile rule), NaN sorting last.
struct PredictiveBand {
    double low = 0.0;
    double high = 0.0;
};

// A standard normal number fixed by a sample identifier and a draw index: the same for the same
// pair of them, whatever the thread, the order of work or the other samples of the job.
double sample_draw_normal(const std::string& id, std::size_t draw);

// The band of one sample from its draws `fitted` (f_d on the fitted scale, d = 0 to D - 1 in the
// order the draws were sampled) and the draws' error spreads `sigma` (the same scale and order).
// `scratch` is working room, reused to save allocations.
PredictiveBand predictive_band(const std::vector<double>& fitted, const std::vector<double>& sigma,
                               const std::string& id, bool exponential,
                               std::vector<double>& scratch);

// The draws y_d of the band above, sorted into `sorted` (NaN last), on the property's scale.
void predictive_draws(const std::vector<double>& fitted, const std::vector<double>& sigma,
                      const std::string& id, bool exponential, std::vector<double>& sorted);

// The band between the draws' levels `low` and `high` (0 to 1) of `sorted` draws: the lowest
// draw with at least low D draws below it, and the highest with at most high D draws below it,
// so that a value whose probability-integral transform (`predictive_pit`) lies in [low, high]
// lies in the band. A side the draws cannot bound is open (-infinity for a `low` of 0, +infinity
// for a `high` of 1: a value below or above every draw has that transform).
PredictiveBand band_between(const std::vector<double>& sorted, double low, double high);

// The same band read from draws of which only some places are in order: `band_ranks` gives the
// places (none for an open side), `select_order_statistics` puts them in order, `band_at` reads
// the band there. Every sample of a job shares the places, so each is selected, not sorted.
struct BandRanks {
    std::optional<std::size_t> lower;
    std::optional<std::size_t> upper;
};
BandRanks band_ranks(std::size_t draws, double low, double high);
PredictiveBand band_at(const std::vector<double>& ordered, const BandRanks& ranks);

// The band's draws of `predictive_draws` in draw order, unsorted, into `values`.
void predictive_values(const std::vector<double>& fitted, const std::vector<double>& sigma,
                       const std::string& id, bool exponential, std::vector<double>& values);

// The places of the 95% band (`predictive_band`) among `draws` draws.
BandRanks predictive_band_ranks(std::size_t draws);

// The mean and standard deviation of a sample's predictive draws y_d on the fitted scale (before
// any back-transform).
struct PredictiveSpread {
    double mean = 0.0;
    double sd = 0.0;
};
PredictiveSpread predictive_spread(const std::vector<double>& fitted,
                                   const std::vector<double>& sigma, const std::string& id);

// How many of those standard deviations `observed` (on the fitted scale) lies from their mean:
// |observed - mean| / sd, what calibrates a bound the draws cannot give.
double standardized_residual(const std::vector<double>& fitted, const std::vector<double>& sigma,
                             const std::string& id, double observed);

// The probability-integral transform of `observed` (on the fitted scale, log(y) for a model of
// log(y)) under a sample's predictive draws: the share of the draws y_d below it.
double predictive_pit(const std::vector<double>& fitted, const std::vector<double>& sigma,
                      const std::string& id, double observed);

} // namespace veldra
