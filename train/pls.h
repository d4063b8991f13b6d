#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace veldra {

// Partial least squares regression of one response on many covariates (PLS1, the NIPALS
// algorithm): covariates and response centred, not scaled, so that the coefficients are those
// of scikit-learn's PLSRegression(scale=False).

// The model with every number of components from 1 to `components()`: prediction with `a`
// components is the intercept plus the dot product of the row with the coefficients.
class PlsPath {
public:
    // Fits up to `components` components on `rows` (as many values each) and `y`; fewer when the
    // data allow fewer (a sample fewer than the rows, the covariates, or a residual left
    // without variance). Raises std::invalid_argument for fewer than two rows or rows of
    // unequal width.
    PlsPath(const std::vector<std::vector<double>>& rows, const std::vector<double>& y,
            std::size_t components);

    std::size_t components() const { return coefficients_.size(); }
    const std::vector<double>& coefficients(std::size_t a) const { return coefficients_.at(a - 1); }
    double intercept(std::size_t a) const { return intercepts_.at(a - 1); }
    double predict(const std::vector<double>& row, std::size_t a) const;

private:
    std::vector<std::vector<double>> coefficients_;
    std::vector<double> intercepts_;
};

// A linear model chosen by cross-validation: the number of components whose predictions over
// `folds` inner folds of the calibration samples (every `folds`-th sample in the set's order)
// have the lowest root mean squared error, among 1 to `largest` (fewer when the folds'
// calibration samples allow fewer), fitted again on every sample.
struct PlsModel {
    double intercept = 0.0;
    std::vector<double> coefficients;
    std::size_t components = 0;
    std::vector<double> inner_rmse; // per number of components, 1 first
    double predict(const std::vector<double>& row) const;
};

constexpr std::size_t pls_largest_components = 30;
constexpr int pls_inner_folds = 5;

// The rule `fit_pls` chooses the components by, as a card says it.
std::string pls_component_rule();

// Raises std::invalid_argument for fewer than `folds + 1` samples.
PlsModel fit_pls(const std::vector<std::vector<double>>& rows, const std::vector<double>& y,
                 std::size_t largest = pls_largest_components, int folds = pls_inner_folds);

} // namespace veldra
