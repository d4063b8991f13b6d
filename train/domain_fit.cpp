#include "train/domain_fit.h"

#include "input/gsl_errors.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <Eigen/Dense>
#include <Spectra/MatOp/DenseSymMatProd.h>
#include <Spectra/SymEigsSolver.h>
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_errno.h>

namespace veldra {

namespace {

using Matrix = Eigen::MatrixXd;

// Components of numerically zero spread carry no direction: eigenvalues of the Gram matrix
// below this share of the largest are rounding.
constexpr double zero_spread = 1e-12;

// The largest `wanted` eigenvalues of the symmetric `m` (its lower triangle is read), in
// descending order, with their unit eigenvectors as columns. Small matrices are decomposed
// whole; larger ones by implicitly restarted Lanczos, which needs only products with `m`.
std::pair<Eigen::VectorXd, Matrix> largest_eigenpairs(const Matrix& m, Eigen::Index wanted) {
    const Eigen::Index size = m.rows();
    wanted = std::min(wanted, size);
    if (size > 64 && 2 * wanted + 1 < size) {
        Spectra::DenseSymMatProd<double> product(m);
        const Eigen::Index basis = std::min(size, std::max<Eigen::Index>(2 * wanted + 1, 40));
        Spectra::SymEigsSolver<Spectra::DenseSymMatProd<double>> solver(product, wanted, basis);
        solver.init();
        solver.compute(Spectra::SortRule::LargestAlge, 10000, 1e-12);
        if (solver.info() == Spectra::CompInfo::Successful) {
            return {solver.eigenvalues(), solver.eigenvectors()};
        }
    }
    const Eigen::SelfAdjointEigenSolver<Matrix> whole(m); // ascending
    return {whole.eigenvalues().reverse().head(wanted),
            whole.eigenvectors().rowwise().reverse().leftCols(wanted)};
}

// Components fitted on a subset of the rows: the centre, the loadings and the variances of the
// first `count` components (fewer when the rows span fewer), the variances of the first
// `count` components that have a spread, and the total variance.
struct Fitted {
    CalibrationDomain domain;
    std::vector<double> variances;
    double total = 0.0;
};

// The rows, centred on their mean, and the one Gram matrix every subset's components come
// from: the rows' inner products (X X') when samples are no more than covariates, otherwise
// the covariates' (X'X). A subset's centred Gram matrix follows from it without another pass
// over the covariates (the rows' block, centred on both sides; or the whole less the rows left
// out), and its leading eigenvectors give the components, so that the folds cost little more
// than one fit.
class DomainRows {
public:
    explicit DomainRows(const std::vector<std::vector<double>>& rows)
        : n_(rows.size()), width_(rows.front().size()), mean_(width_, 0.0),
          x_(static_cast<Eigen::Index>(n_), static_cast<Eigen::Index>(width_)) {
        for (const std::vector<double>& row : rows) {
            for (std::size_t j = 0; j < width_; ++j) {
                mean_[j] += row[j];
            }
        }
        for (double& c : mean_) {
            c /= static_cast<double>(n_);
        }
        for (std::size_t i = 0; i < n_; ++i) {
            for (std::size_t j = 0; j < width_; ++j) {
                x_(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) =
                    rows[i][j] - mean_[j];
            }
        }
        by_rows_ = n_ <= width_;
        const Eigen::Index side = by_rows_ ? x_.rows() : x_.cols();
        gram_ = Matrix::Zero(side, side);
        if (by_rows_) {
            gram_.selfadjointView<Eigen::Lower>().rankUpdate(x_);
        } else {
            gram_.selfadjointView<Eigen::Lower>().rankUpdate(x_.transpose());
        }
    }

    // Components fitted on the rows `use` selects.
    Fitted fit(const std::vector<char>& use, std::size_t count) const {
        std::vector<Eigen::Index> chosen;
        for (std::size_t i = 0; i < n_; ++i) {
            if (use[i]) {
                chosen.push_back(static_cast<Eigen::Index>(i));
            }
        }
        const auto m = static_cast<Eigen::Index>(chosen.size());
        Eigen::VectorXd shift = Eigen::VectorXd::Zero(x_.cols()); // the subset's own mean
        for (const Eigen::Index i : chosen) {
            shift += x_.row(i).transpose();
        }
        shift /= static_cast<double>(m);
        const Matrix centred = subset_gram(chosen, shift);
        Fitted fitted;
        fitted.domain.center.resize(width_);
        for (std::size_t j = 0; j < width_; ++j) {
            fitted.domain.center[j] = mean_[j] + shift(static_cast<Eigen::Index>(j));
        }
        fitted.total = centred.diagonal().sum() / static_cast<double>(m - 1);
        const auto [values, vectors] =
            largest_eigenpairs(centred, static_cast<Eigen::Index>(count));
        for (Eigen::Index c = 0; c < values.size(); ++c) {
            if (!(values(c) > zero_spread * values(0))) {
                break;
            }
            fitted.variances.push_back(values(c) / static_cast<double>(m - 1));
            Eigen::VectorXd loading;
            if (by_rows_) {
                // The loading X' u / s of the subset's centred rows.
                loading = -shift * vectors.col(c).sum();
                for (Eigen::Index r = 0; r < m; ++r) {
                    loading +=
                        vectors(r, c) * x_.row(chosen[static_cast<std::size_t>(r)]).transpose();
                }
                loading.normalize();
            } else {
                loading = vectors.col(c);
            }
            fitted.domain.components.emplace_back(loading.data(), loading.data() + loading.size());
            fitted.domain.variances.push_back(fitted.variances.back());
        }
        return fitted;
    }

private:
    // The Gram matrix of the chosen rows centred on their mean (`shift` from the whole's).
    Matrix subset_gram(const std::vector<Eigen::Index>& chosen,
                       const Eigen::VectorXd& shift) const {
        const auto m = static_cast<Eigen::Index>(chosen.size());
        if (by_rows_) {
            Matrix block(m, m);
            for (Eigen::Index a = 0; a < m; ++a) {
                for (Eigen::Index b = 0; b <= a; ++b) {
                    const Eigen::Index i = chosen[static_cast<std::size_t>(a)];
                    const Eigen::Index k = chosen[static_cast<std::size_t>(b)];
                    block(a, b) = i >= k ? gram_(i, k) : gram_(k, i);
                    block(b, a) = block(a, b);
                }
            }
            const Eigen::VectorXd row_means = block.rowwise().mean();
            const double grand = row_means.mean();
            for (Eigen::Index a = 0; a < m; ++a) {
                for (Eigen::Index b = 0; b < m; ++b) {
                    block(a, b) += grand - row_means(a) - row_means(b);
                }
            }
            return block;
        }
        Matrix inner = gram_;
        std::vector<char> kept(n_, 0);
        for (const Eigen::Index i : chosen) {
            kept[static_cast<std::size_t>(i)] = 1;
        }
        for (std::size_t i = 0; i < n_; ++i) {
            if (!kept[i]) {
                inner.selfadjointView<Eigen::Lower>().rankUpdate(
                    x_.row(static_cast<Eigen::Index>(i)).transpose(), -1.0);
            }
        }
        inner.selfadjointView<Eigen::Lower>().rankUpdate(shift, -static_cast<double>(m));
        return inner;
    }

    std::size_t n_;
    std::size_t width_;
    std::vector<double> mean_;
    Matrix x_;
    bool by_rows_ = true;
    Matrix gram_; // lower triangle
};

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
    const GslErrorsReturned returned;
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
    const DomainRows centred(rows);
    const std::size_t most = std::min(domain_most_components, n - 2);
    Fitted all = centred.fit(std::vector<char>(n, 1), most);
    std::size_t count = 0;
    double explained = 0.0;
    while (count < all.variances.size() && explained < domain_explained_share * all.total) {
        explained += all.variances[count];
        ++count;
    }
    count = std::max<std::size_t>(count, 1);
    CalibrationDomain domain = std::move(all.domain);
    domain.components.resize(std::min(count, domain.components.size()));
    domain.variances.resize(domain.components.size());

    const std::size_t folds = std::min(domain_folds, n);
    std::vector<double> t2(n);
    std::vector<double> q(n);
    for (std::size_t f = 0; f < folds; ++f) {
        std::vector<char> use(n);
        for (std::size_t i = 0; i < n; ++i) {
            use[i] = i % folds != f;
        }
        CalibrationDomain part = centred.fit(use, count).domain;
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
