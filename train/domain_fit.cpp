#include "train/domain_fit.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_errno.h>

namespace veldra {

namespace {

using Matrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Components fitted on the rows `use` selects: the centre, the loadings and the variances of the
// first `count` components (fewer when the rows span fewer), and every component's variance.
struct Fitted {
    CalibrationDomain domain;
    std::vector<double> all_variances;
};

Fitted fit_components(const std::vector<std::vector<double>>& rows, const std::vector<char>& use,
                      std::size_t count) {
    const std::size_t width = rows.front().size();
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (use[i]) {
            chosen.push_back(i);
        }
    }
    const auto n = static_cast<Eigen::Index>(chosen.size());
    Matrix x(n, static_cast<Eigen::Index>(width));
    Fitted fitted;
    fitted.domain.center.assign(width, 0.0);
    for (const std::size_t i : chosen) {
        for (std::size_t j = 0; j < width; ++j) {
            fitted.domain.center[j] += rows[i][j];
        }
    }
    for (double& c : fitted.domain.center) {
        c /= static_cast<double>(chosen.size());
    }
    for (Eigen::Index r = 0; r < n; ++r) {
        const std::vector<double>& row = rows[chosen[static_cast<std::size_t>(r)]];
        for (std::size_t j = 0; j < width; ++j) {
            x(r, static_cast<Eigen::Index>(j)) = row[j] - fitted.domain.center[j];
        }
    }
    const Eigen::BDCSVD<Eigen::MatrixXd> svd(x, Eigen::ComputeThinV);
    const Eigen::VectorXd& singular = svd.singularValues();
    const double scale = singular.size() > 0 ? singular(0) : 0.0;
    for (Eigen::Index c = 0; c < singular.size(); ++c) {
        // Components of numerically zero spread carry no direction.
        if (singular(c) > 1e-10 * scale) {
            fitted.all_variances.push_back(singular(c) * singular(c) /
                                           static_cast<double>(chosen.size() - 1));
        }
    }
    const std::size_t kept = std::min(count, fitted.all_variances.size());
    for (std::size_t c = 0; c < kept; ++c) {
        const auto column = svd.matrixV().col(static_cast<Eigen::Index>(c));
        fitted.domain.components.emplace_back(column.data(), column.data() + column.size());
        fitted.domain.variances.push_back(fitted.all_variances[c]);
    }
    return fitted;
}

} // namespace

double scaled_chi_square_limit(const std::vector<double>& values) {
    const double n = static_cast<double>(values.size());
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / n;
    double variance = 0.0;
    for (const double v : values) {
        variance += (v - mean) * (v - mean);
    }
    variance /= std::max(1.0, n - 1.0);
    if (!(mean > 0.0) || !(variance > 0.0)) {
        const double largest = *std::max_element(values.begin(), values.end());
        return largest > 0.0 ? largest : 1e-300;
    }
    const double g = variance / (2.0 * mean);
    const double h = 2.0 * mean * mean / variance;
    gsl_set_error_handler_off();
    const double limit = g * gsl_cdf_chisq_Pinv(domain_level, h);
    return std::isfinite(limit) && limit > 0.0 ? limit
                                               : *std::max_element(values.begin(), values.end());
}

std::optional<CalibrationDomain>
fit_calibration_domain(const std::vector<std::vector<double>>& rows) {
    const std::size_t n = rows.size();
    if (n < 5 || rows.front().empty()) {
        return std::nullopt;
    }
    Fitted all = fit_components(rows, std::vector<char>(n, 1), n);
    const double total = std::accumulate(all.all_variances.begin(), all.all_variances.end(), 0.0);
    std::size_t count = 0;
    double explained = 0.0;
    const std::size_t most = std::min({domain_most_components, n - 2, all.all_variances.size()});
    while (count < most && explained < domain_explained_share * total) {
        explained += all.all_variances[count];
        ++count;
    }
    count = std::max<std::size_t>(count, 1);
    CalibrationDomain domain = fit_components(rows, std::vector<char>(n, 1), count).domain;

    const std::size_t folds = std::min(domain_folds, n);
    std::vector<double> t2(n);
    std::vector<double> q(n);
    for (std::size_t f = 0; f < folds; ++f) {
        std::vector<char> use(n);
        for (std::size_t i = 0; i < n; ++i) {
            use[i] = i % folds != f;
        }
        CalibrationDomain part = fit_components(rows, use, count).domain;
        part.t2_limit = 1.0;
        part.q_limit = 1.0;
        for (std::size_t i = f; i < n; i += folds) {
            const DomainScore score = score_in_domain(part, rows[i].data());
            t2[i] = score.t2;
            q[i] = score.q;
        }
    }
    domain.t2_limit = scaled_chi_square_limit(t2);
    domain.q_limit = scaled_chi_square_limit(q);
    return domain;
}

} // namespace veldra
