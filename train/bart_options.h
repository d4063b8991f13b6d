#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veldra {

// The settings of a BART fit and their valid ranges: the one table the sampler's checks, the
// command line's help and the calibration window's fields read.

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

} // namespace veldra
