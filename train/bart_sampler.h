#pragma once

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

struct BartOptions {
    int trees = 200;
    double alpha = 0.95; // tree prior: a node at depth d splits with alpha (1 + d)^-beta
    double beta = 2.0;
    double k = 2.0;  // leaf prior N(0, sigma_mu^2), sigma_mu = 0.5 / (k sqrt(trees))
    double nu = 3.0; // error variance prior: nu lambda / chi^2_nu, P(sigma < sigma_hat) = q
    double q = 0.90;
    int burn_in = 200;
    int draws = 1000; // kept draws, over all chains
    int thin = 1;
    int max_cuts = 100;    // cut points per covariate, from its observed values
    int chains = 2;        // independent chains, each burned in, whose draws are joined in order
    unsigned threads = 0;  // 0: every core; never changes the result
    bool sparse = false;   // DART: splitting proportions with a Dirichlet prior
    double sparse_a = 0.5; // DART's Beta(a, b) prior on theta / (theta + rho)
    double sparse_b = 1.0;
    double sparse_rho = 0.0; // 0: the number of covariates
    std::uint64_t seed = 1;
    // For checks: after every iteration, each chain replaces the response by a draw from the
    // model given its current trees and error spread. The draws then follow the joint prior
    // (trees, leaf values, error variance), which tests every conditional and ratio at once.
    bool simulate_response = false;
    double fixed_sigma = 0.0; // > 0: the error standard deviation, in scaled units, is held
                              // at this value instead of drawn (for checks)
    // Called after every iteration of every chain with the iterations done and due over all
    // chains (serialised; from the chains' threads). May throw to stop the fit.
    std::function<void(long done, long total)> progress;
};

// A setting outside its valid range: the option's name as the command line spells it ("k",
// "burn-in"), and a message that says the range and why.
struct BartOptionProblem {
    std::string option;
    std::string message;
};

// The valid range of one sampler setting, as the command line names it: the one table that the
// sampler's checks, `veldra-train --help` and the calibration window's fields read.
struct BartOptionRange {
    const char* option;
    double low;
    double high;
    bool low_open = false;  // the bound itself is excluded
    bool high_open = false; //
    bool whole = true;      // a whole number
    const char* why = "";   // said after the range, " (each draw is one file of the model)"
    double (*value)(const BartOptions&) = nullptr;
};

// The ranges in the order of the command line's help: trees, draws, burn-in, thin, chains,
// alpha, beta, k, nu, q, cuts, threads.
const std::vector<BartOptionRange>& bart_option_ranges();

// The range of `option` ("k", "burn-in"); raises std::out_of_range for a name not in the table.
const BartOptionRange& bart_option_range(const std::string& option);

// The range in words: "from 1 to 10000", "between 0 and 1 (both excluded)", "above 0, at most
// 1000".
std::string bart_option_range_text(const BartOptionRange& range);

// Every setting of `options` that `fit_bart` refuses, in the order of the command line's help.
// The bounds keep a fit finite in time and memory: at most 10,000 trees per draw, 100,000
// draws, 10 million trees in all, 64 chains, 1,000,000 burn-in iterations per chain and a
// thinning of 1,000.
std::vector<BartOptionProblem> bart_option_problems(const BartOptions& options);

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

} // namespace bart_detail

} // namespace veldra
