#include "train/bart_sampler.h"

#include "input/gsl_errors.h"

#include "train/bart_chain.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_errno.h>

#include <Eigen/QR>

namespace veldra {

namespace bart_detail {

double uniform(std::mt19937_64& random) {
    // 53 random bits in (0, 1): never 0, so logarithms are finite.
    return (static_cast<double>(random() >> 11) + 0.5) * 0x1.0p-53;
}

double standard_normal(std::mt19937_64& random) {
    // Marsaglia's polar method; the second variate is dropped so that every call takes the
    // same path whatever was drawn before.
    for (;;) {
        const double u = 2.0 * uniform(random) - 1.0;
        const double v = 2.0 * uniform(random) - 1.0;
        const double s = u * u + v * v;
        if (s < 1.0 && s > 0.0) {
            return u * std::sqrt(-2.0 * std::log(s) / s);
        }
    }
}

double gamma_variate(std::mt19937_64& random, double shape) {
    if (shape < 1.0) {
        // Gamma(a) = Gamma(a + 1) U^(1/a).
        return gamma_variate(random, shape + 1.0) * std::pow(uniform(random), 1.0 / shape);
    }
    // Marsaglia and Tsang (2000).
    const double d = shape - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
        double x = 0.0;
        double v = 0.0;
        do {
            x = standard_normal(random);
            v = 1.0 + c * x;
        } while (v <= 0.0);
        v = v * v * v;
        const double u = uniform(random);
        if (std::log(u) < 0.5 * x * x + d - d * v + d * std::log(v)) {
            return d * v;
        }
    }
}

double leaf_log_likelihood(double count, double sum, double sigma2, double tau2) {
    const double spread = sigma2 + count * tau2;
    return -0.5 * std::log(spread / sigma2) + tau2 * sum * sum / (2.0 * sigma2 * spread);
}

double split_probability(double alpha, double beta, int depth) {
    return alpha * std::pow(1.0 + depth, -beta);
}

double grow_log_ratio(double alpha, double beta, int depth, int leaves, int prunable_after,
                      double grow_probability_before, double prune_probability_after) {
    const double split = split_probability(alpha, beta, depth);
    const double child = split_probability(alpha, beta, depth + 1);
    return std::log(split) + 2.0 * std::log1p(-child) - std::log1p(-split) +
           std::log(prune_probability_after) - std::log(prunable_after) -
           std::log(grow_probability_before) + std::log(leaves);
}

double rough_sigma(const std::vector<std::vector<double>>& rows, const std::vector<double>& y) {
    const std::size_t n = y.size();
    const std::size_t p = rows.empty() ? 0 : rows.front().size();
    const double mean = std::accumulate(y.begin(), y.end(), 0.0) / static_cast<double>(n);
    double spread = 0.0;
    for (const double v : y) {
        spread += (v - mean) * (v - mean);
    }
    const double response_sigma = std::sqrt(spread / static_cast<double>(n > 1 ? n - 1 : 1));
    if (n <= p + 2) {
        return response_sigma;
    }
    // The residual of the least-squares fit is the part of y outside the span of the intercept
    // and the covariates. A blocked Householder decomposition X = Q R (at matrix-product speed)
    // leaves the entries of Q'y beyond the first p + 1 outside that span; within it, what R
    // cannot reach when the covariates are collinear is found by a rank-revealing decomposition
    // of the small R.
    Eigen::MatrixXd x(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(p + 1));
    Eigen::VectorXd target(static_cast<Eigen::Index>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const auto row = static_cast<Eigen::Index>(i);
        x(row, 0) = 1.0;
        for (std::size_t j = 0; j < p; ++j) {
            x(row, static_cast<Eigen::Index>(j + 1)) = rows[i][j];
        }
        target(row) = y[i];
    }
    const auto columns = static_cast<Eigen::Index>(p + 1);
    Eigen::MatrixXd triangle;
    Eigen::VectorXd rotated;
    {
        const Eigen::HouseholderQR<Eigen::MatrixXd> qr(std::move(x));
        rotated = qr.householderQ().adjoint() * target;
        triangle = qr.matrixQR().topRows(columns).triangularView<Eigen::Upper>();
    }
    const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> small(std::move(triangle));
    const Eigen::VectorXd within = small.householderQ().adjoint() * rotated.head(columns);
    const double chi2 = rotated.tail(static_cast<Eigen::Index>(n) - columns).squaredNorm() +
                        within.tail(columns - small.rank()).squaredNorm();
    const double sigma = std::sqrt(chi2 / static_cast<double>(n - p - 1));
    return std::isfinite(sigma) && sigma > 0.0 ? sigma : response_sigma;
}

} // namespace bart_detail

namespace {

// The inputs `fit_bart` refuses: mismatched rows and responses, settings out of range, rows of
// different widths, responses without a spread.
void check_fit_inputs(const std::vector<std::vector<double>>& rows, const std::vector<double>& y,
                      const BartOptions& options) {
    if (rows.size() != y.size() || rows.empty()) {
        throw std::invalid_argument("BART needs one response per row and at least one row");
    }
    const std::vector<BartOptionProblem> problems = bart_option_problems(options);
    if (!problems.empty()) {
        throw std::invalid_argument("BART option " + problems.front().option + ": " +
                                    problems.front().message);
    }
    for (const std::vector<double>& row : rows) {
        if (row.size() != rows.front().size()) {
            throw std::invalid_argument("every row needs the same number of covariates");
        }
    }
}

} // namespace

BartTree compacted(const BartTree& tree) {
    BartTree copy;
    std::vector<std::pair<std::int32_t, std::int32_t>> pending{{0, -1}}; // (old, new parent)
    while (!pending.empty()) {
        const auto [old_index, parent] = pending.back();
        pending.pop_back();
        BartTree::Node node = tree.nodes[static_cast<std::size_t>(old_index)];
        const auto index = static_cast<std::int32_t>(copy.nodes.size());
        node.parent = parent;
        if (parent >= 0) {
            BartTree::Node& up = copy.nodes[static_cast<std::size_t>(parent)];
            (up.left == -2 ? up.left : up.right) = index;
        }
        const std::int32_t left = node.left;
        const std::int32_t right = node.right;
        if (left >= 0) {
            node.left = -2; // filled when the child is placed
            node.right = -2;
        }
        copy.nodes.push_back(node);
        if (left >= 0) {
            pending.push_back({right, index});
            pending.push_back({left, index});
        }
    }
    return copy;
}

CutGrid make_cut_grid(const std::vector<std::vector<double>>& rows, int max_cuts) {
    CutGrid grid;
    if (rows.empty()) {
        return grid;
    }
    const std::size_t p = rows.front().size();
    grid.cuts.resize(p);
    std::vector<double> values;
    for (std::size_t v = 0; v < p; ++v) {
        values.clear();
        for (const std::vector<double>& row : rows) {
            if (!std::isnan(row[v])) {
                values.push_back(row[v]);
            }
        }
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
        if (!values.empty()) {
            values.pop_back(); // every value is at most the largest: no split
        }
        values.erase(std::remove(values.begin(), values.end(), -1.0), values.end());
        std::vector<double>& cuts = grid.cuts[v];
        const std::size_t limit = static_cast<std::size_t>(std::max(max_cuts, 1));
        if (values.size() <= limit) {
            cuts = values;
        } else {
            for (std::size_t j = 0; j < limit; ++j) {
                cuts.push_back(values[(j * (values.size() - 1)) / (limit - 1 > 0 ? limit - 1 : 1)]);
            }
            cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        }
    }
    return grid;
}

BinnedData bin_rows(const std::vector<std::vector<double>>& rows, const CutGrid& grid) {
    BinnedData data;
    data.n = rows.size();
    data.p = grid.cuts.size();
    data.bins.resize(data.n * data.p);
    data.cut_counts.resize(data.p);
    for (std::size_t v = 0; v < data.p; ++v) {
        const std::vector<double>& cuts = grid.cuts[v];
        data.cut_counts[v] = static_cast<std::int32_t>(cuts.size());
        for (std::size_t i = 0; i < data.n; ++i) {
            const double x = rows[i][v];
            std::size_t exceeded = 0;
            if (!std::isnan(x)) {
                exceeded = static_cast<std::size_t>(std::lower_bound(cuts.begin(), cuts.end(), x) -
                                                    cuts.begin());
            }
            data.bins[v * data.n + i] = static_cast<std::uint16_t>(exceeded);
        }
    }
    return data;
}

BartFit fit_bart(const std::vector<std::vector<double>>& rows, const std::vector<double>& y,
                 const BartOptions& options) {
    check_fit_inputs(rows, y, options);
    const GslErrorsReturned returned; // a failing GSL routine returns its status, never aborts
    BartFit fit;
    fit.y_min = *std::min_element(y.begin(), y.end());
    fit.y_max = *std::max_element(y.begin(), y.end());
    if (!(fit.y_max > fit.y_min) || !std::isfinite(fit.y_max - fit.y_min)) {
        throw std::invalid_argument(
            "The reference values are all the same (or not finite): there is nothing to fit.");
    }
    std::vector<double> scaled(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        scaled[i] = (y[i] - fit.y_min) / (fit.y_max - fit.y_min) - 0.5;
    }
    fit.grid = make_cut_grid(rows, options.max_cuts);
    const BinnedData data = bin_rows(rows, fit.grid);
    const double sigma_hat = bart_detail::rough_sigma(rows, scaled);
    const double lambda =
        sigma_hat * sigma_hat * gsl_cdf_chisq_Pinv(1.0 - options.q, options.nu) / options.nu;
    if (!std::isfinite(lambda) || !(lambda > 0.0)) {
        throw std::invalid_argument(
            "The error variance prior cannot be set from these responses and the options nu and "
            "q (its scale is not a positive number).");
    }
    fit.forests.resize(static_cast<std::size_t>(options.draws));
    fit.sigma.resize(static_cast<std::size_t>(options.draws));
    run_chains(data, scaled, options, lambda, sigma_hat, fit);
    return fit;
}

} // namespace veldra
