#pragma once

#include "train/bart_sampler.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veldra {

// The Markov chains of a fit: backfitting over the trees of each chain, on the covariates as
// cut-point bins. Used by `fit_bart` only.

// The covariates as cut-point bins, one column per covariate: a row goes left at cut k of
// covariate v when bins[v * n + i] <= k (the number of cuts the value exceeds; NaN exceeds none
// and always goes left, as in prediction).
struct BinnedData {
    std::size_t n = 0;
    std::size_t p = 0;
    std::vector<std::uint16_t> bins;
    std::vector<std::int32_t> cut_counts;
    std::uint16_t bin(std::size_t v, std::size_t i) const { return bins[v * n + i]; }
};

BinnedData bin_rows(const std::vector<std::vector<double>>& rows, const CutGrid& grid);

// Runs every chain on the threads the options allow, each from its own seed, and keeps its draws
// in its place of `fit` (chains in order; `fit.forests` and `fit.sigma` sized by the caller), then
// adds up the chains' split counts. Responses are `scaled` to [-0.5, 0.5]; `lambda` and
// `sigma_hat` set the error variance prior. The first error of a chain stops the others and is
// raised.
void run_chains(const BinnedData& data, const std::vector<double>& scaled,
                const BartOptions& options, double lambda, double sigma_hat, BartFit& fit);

} // namespace veldra
