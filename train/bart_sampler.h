#pragma once

#include "train/bart_options.h"

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace veldra {

// Fitting BART (Chipman, George and McCulloch 2010) to a response on covariate rows: Bayesian
// backfitting with grow, prune and change proposals, leaf values integrated out in the
// Metropolis-Hastings ratios, an inverse chi-square prior on the error variance and, optionally,
// a Dirichlet prior on the splitting proportions (Linero's DART, 2018).

// The candidate cuts of every covariate, ascending: a test sends x left when x <= cut. Cuts are
// observed values (never -1.0, which a model document reserves for "no rule"), thinned to an
// evenly spaced selection when there are more than the maximum.
struct CutGrid {
    std::vector<std::vector<double>> cuts;
};

CutGrid make_cut_grid(const std::vector<std::vector<double>>& rows, int max_cuts);

struct BartTree {
    struct Node {
        std::int32_t variable = -1; // 0-based; -1 for a leaf
        std::int32_t cut = -1;      // index into the variable's cuts
        std::int32_t left = -1;
        std::int32_t right = -1;
        std::int32_t parent = -1;
        double value = 0.0; // a leaf's output (scaled response units)
    };
    std::vector<Node> nodes; // nodes[0] is the root; while a chain runs, a pruned node's slot is
                             // taken by the next node grown (the chain marks live slots)

    bool is_leaf(std::int32_t i) const { return nodes[static_cast<std::size_t>(i)].left < 0; }
};

// A copy of `tree` without the slots of pruned nodes, children after their parents.
BartTree compacted(const BartTree& tree);

// A fitted model: the trees of every kept draw on the response scaled to [-0.5, 0.5] through
// its minimum and maximum, and the error standard deviation of each draw in those units.
struct BartFit {
    CutGrid grid;
    double y_min = 0.0;
    double y_max = 0.0;
    std::vector<std::vector<BartTree>> forests;
    std::vector<double> sigma;
    std::vector<double> variable_counts; // splits per covariate over the kept draws
};

BartFit fit_bart(const std::vector<std::vector<double>>& rows, const std::vector<double>& y,
                 const BartOptions& options);

namespace bart_detail {

// Exposed for tests: the Metropolis-Hastings pieces on one tree.

// Log of the marginal likelihood of a leaf holding `count` residuals that sum to `sum`, with
// the leaf value integrated out (terms common to every tree dropped).
double leaf_log_likelihood(double count, double sum, double sigma2, double tau2);

// Prior probability that a node at `depth` (root 0) splits.
double split_probability(double alpha, double beta, int depth);

// Log acceptance ratio of growing a leaf at `depth` into two leaves, before the likelihood:
// the tree prior ratio times the proposal ratio, where the rule's prior and proposal
// probabilities cancel. `leaves` is the tree's leaf count before, `prunable_after` the count
// of internal nodes with two leaf children after, `grow_probability_before` and
// `prune_probability_after` the move probabilities in the two trees.
double grow_log_ratio(double alpha, double beta, int depth, int leaves, int prunable_after,
                      double grow_probability_before, double prune_probability_after);

// Standard normal and gamma variates from the raw 64-bit generator, the same on every platform.
double standard_normal(std::mt19937_64& random);
double gamma_variate(std::mt19937_64& random, double shape);
double uniform(std::mt19937_64& random);

// The data-based estimate of the error standard deviation: the residual spread of a linear
// fit with an intercept when there are more samples than covariates plus two, otherwise (or
// when that spread is not positive) the response's spread.
double rough_sigma(const std::vector<std::vector<double>>& rows, const std::vector<double>& y);

} // namespace bart_detail

} // namespace veldra
