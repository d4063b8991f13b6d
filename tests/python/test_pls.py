"""Partial least squares as the trainer fits it, against scikit-learn's PLSRegression."""

import warnings

import numpy as np
import pytest
from sklearn.cross_decomposition import PLSRegression

from conftest import NRW
from veldra import _core


def nrw_first_derivative():
    absorbance = np.genfromtxt(NRW / "absorbance.csv", delimiter=",", skip_header=1)[:, 1:]
    x = np.diff(absorbance, axis=1)
    x = np.hstack([x, np.zeros((x.shape[0], 1))])  # the last covariate of a derivative is 0
    targets = np.genfromtxt(NRW / "targets.csv", delimiter=",", names=True)
    return x, targets["SOC_target"]


def sklearn_path(x, y, components):
    coefficients = []
    intercepts = []
    for a in range(1, components + 1):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = PLSRegression(n_components=a, scale=False).fit(x, y)
            coefficient = np.asarray(model.coef_).reshape(-1)
        coefficients.append(coefficient)
        intercepts.append(model.predict(np.zeros((1, x.shape[1]))).reshape(-1)[0])
    return np.array(intercepts), np.array(coefficients)


@pytest.mark.parametrize("components", [1, 5, 20])
def test_coefficients_and_predictions_equal_scikit_learn(components):
    x, y = nrw_first_derivative()
    ours_intercepts, ours = _core.pls_path(x, y, components)
    theirs_intercepts, theirs = sklearn_path(x, y, components)
    assert ours.shape == theirs.shape
    scale = np.abs(theirs).max()
    assert np.abs(ours - theirs).max() <= 1e-8 * max(scale, 1.0)
    assert np.allclose(ours_intercepts, theirs_intercepts, rtol=0, atol=1e-8)
    predicted = ours_intercepts[-1] + x @ ours[-1]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = PLSRegression(n_components=components, scale=False).fit(x, y).predict(x)
    assert np.abs(predicted - expected.reshape(-1)).max() <= 1e-8


def test_edge_cases():
    rng = np.random.default_rng(3)
    x = rng.normal(size=(8, 40))
    x[:, 7] = 2.5  # a constant column takes no weight
    y = x[:, 0] - 0.5 * x[:, 3] + rng.normal(scale=0.1, size=8)
    intercepts, coefficients = _core.pls_path(x, y, 30)
    # No more components than one fewer than the samples.
    assert coefficients.shape[0] <= 7
    assert np.all(coefficients[:, 7] == 0.0)
    # With as many components as the samples allow, the fit is exact.
    assert np.abs(intercepts[-1] + x @ coefficients[-1] - y).max() < 1e-8
    # A response without variance is its mean.
    intercepts, coefficients = _core.pls_path(x, np.full(8, 4.0), 5)
    assert intercepts.tolist() == [4.0] and not coefficients.any()
    with pytest.raises(ValueError):
        _core.pls_path(x[:1], y[:1], 3)
    # Components are chosen over five inner folds, which needs six samples.
    with pytest.raises(ValueError, match="6 samples or more; there are 5"):
        _core.fit_pls(x[:5], y[:5])


def test_components_are_chosen_by_the_lowest_inner_error():
    x, y = nrw_first_derivative()
    intercept, coefficients, components, inner = _core.fit_pls(x, y)
    assert len(inner) == 30
    assert components == int(np.argmin(inner)) + 1
    # Refitted on every sample with that many components.
    expected_intercepts, expected = _core.pls_path(x, y, components)
    assert np.array_equal(coefficients, expected[-1]) and intercept == expected_intercepts[-1]
    # The inner error is that of every fifth sample predicted from the others.
    fold = np.arange(len(y)) % 5
    squared = 0.0
    for f in range(5):
        i, c = _core.pls_path(x[fold != f], y[fold != f], 3)
        squared += np.sum((i[2] + x[fold == f] @ c[2] - y[fold == f]) ** 2)
    assert inner[2] == pytest.approx(np.sqrt(squared / len(y)), rel=1e-12)
