#include "train/pls.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace veldra {

namespace {

// Below this, a residual has nothing left to explain (scikit-learn's test, the machine epsilon).
constexpr double exhausted = std::numeric_limits<double>::epsilon();

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += a[i] * b[i];
    }
    return sum;
}

} // namespace

PlsPath::PlsPath(const std::vector<std::vector<double>>& rows, const std::vector<double>& y,
                 std::size_t components) {
    const Eigen::Index n = static_cast<Eigen::Index>(rows.size());
    if (n < 2 || rows.size() != y.size()) {
        throw std::invalid_argument("Partial least squares needs two samples or more, each with "
                                    "a value.");
    }
    const Eigen::Index p = static_cast<Eigen::Index>(rows.front().size());
    Eigen::MatrixXd x(n, p);
    Eigen::VectorXd response(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        if (static_cast<Eigen::Index>(rows[static_cast<std::size_t>(i)].size()) != p) {
            throw std::invalid_argument("Partial least squares needs rows of equal width.");
        }
        x.row(i) =
            Eigen::Map<const Eigen::RowVectorXd>(rows[static_cast<std::size_t>(i)].data(), p);
        response(i) = y[static_cast<std::size_t>(i)];
    }
    const Eigen::RowVectorXd x_mean = x.colwise().mean();
    const double y_mean = response.mean();
    x.rowwise() -= x_mean;
    response.array() -= y_mean;

    const Eigen::Index most =
        std::min<Eigen::Index>({static_cast<Eigen::Index>(components), n - 1, p});
    Eigen::MatrixXd weights(p, most);
    Eigen::MatrixXd loadings(p, most);
    Eigen::VectorXd y_loadings(most);
    Eigen::Index fitted = 0;
    for (; fitted < most; ++fitted) {
        if (response.cwiseAbs().maxCoeff() < exhausted) {
            break; // the response is explained
        }
        Eigen::VectorXd w = x.transpose() * response;
        const double norm = w.norm();
        if (!(norm > exhausted)) {
            break; // the covariates have nothing left that the response varies with
        }
        w /= norm;
        const Eigen::VectorXd t = x * w;
        const double tt = t.squaredNorm();
        if (!(tt > exhausted)) {
            break;
        }
        const Eigen::VectorXd load = x.transpose() * t / tt;
        const double q = t.dot(response) / tt;
        x.noalias() -= t * load.transpose();
        response -= q * t;
        weights.col(fitted) = w;
        loadings.col(fitted) = load;
        y_loadings(fitted) = q;
    }
    // P'W is upper triangular with a unit diagonal: the coefficients of a components are
    // W_a (P_a' W_a)^-1 q_a, by back substitution.
    const Eigen::MatrixXd pw = loadings.leftCols(fitted).transpose() * weights.leftCols(fitted);
    for (Eigen::Index a = 1; a <= fitted; ++a) {
        const Eigen::VectorXd c =
            pw.topLeftCorner(a, a).triangularView<Eigen::Upper>().solve(y_loadings.head(a));
        const Eigen::VectorXd b = weights.leftCols(a) * c;
        coefficients_.emplace_back(b.data(), b.data() + b.size());
        intercepts_.push_back(y_mean - x_mean.dot(b));
    }
    if (fitted == 0) {
        // Nothing to regress on: the mean predicts.
        coefficients_.emplace_back(static_cast<std::size_t>(p), 0.0);
        intercepts_.push_back(y_mean);
    }
}

double PlsPath::predict(const std::vector<double>& row, std::size_t a) const {
    return intercept(a) + dot(row, coefficients(a));
}

double PlsModel::predict(const std::vector<double>& row) const {
    return intercept + dot(row, coefficients);
}

std::string pls_component_rule() {
    return "the number of components, 1 to " + std::to_string(pls_largest_components) +
           ", with the lowest root mean squared error over " + std::to_string(pls_inner_folds) +
           " inner folds of the calibration samples (every " + std::to_string(pls_inner_folds) +
           "th sample in their order)";
}

PlsModel fit_pls(const std::vector<std::vector<double>>& rows, const std::vector<double>& y,
                 std::size_t largest, int folds) {
    const std::size_t n = rows.size();
    if (folds < 2 || n < static_cast<std::size_t>(folds) + 1) {
        throw std::invalid_argument("Partial least squares chooses its components over " +
                                    std::to_string(folds) + " inner folds, which needs " +
                                    std::to_string(folds + 1) + " samples or more; there are " +
                                    std::to_string(n) + ".");
    }
    std::vector<double> squared(largest, 0.0);
    std::size_t reachable = largest;
    for (int f = 0; f < folds; ++f) {
        std::vector<std::vector<double>> train_rows;
        std::vector<double> train_y;
        for (std::size_t i = 0; i < n; ++i) {
            if (static_cast<int>(i % static_cast<std::size_t>(folds)) != f) {
                train_rows.push_back(rows[i]);
                train_y.push_back(y[i]);
            }
        }
        const PlsPath path(train_rows, train_y, largest);
        reachable = std::min(reachable, path.components());
        for (std::size_t i = static_cast<std::size_t>(f); i < n;
             i += static_cast<std::size_t>(folds)) {
            for (std::size_t a = 1; a <= largest; ++a) {
                const double error = path.predict(rows[i], std::min(a, path.components())) - y[i];
                squared[a - 1] += error * error;
            }
        }
    }
    PlsModel model;
    for (std::size_t a = 1; a <= reachable; ++a) {
        model.inner_rmse.push_back(std::sqrt(squared[a - 1] / static_cast<double>(n)));
    }
    const std::size_t best = static_cast<std::size_t>(
        std::min_element(model.inner_rmse.begin(), model.inner_rmse.end()) -
        model.inner_rmse.begin());
    const PlsPath path(rows, y, best + 1);
    model.components = path.components();
    model.coefficients = path.coefficients(model.components);
    model.intercept = path.intercept(model.components);
    return model;
}

} // namespace veldra
