"""scikit-learn's own estimator checks, those that apply to a regressor of spectra."""

import pytest
from sklearn.utils.estimator_checks import check_estimator

import veldra

# The checks left out, and why: none (a fitted estimator pickles as its model folder).
SKIPPED = {}


def _name(check):
    return getattr(check, "func", check).__name__


ESTIMATOR = veldra.BARTRegressor(trees=10, draws=40, burn_in=20, preprocess="none")


@pytest.mark.parametrize(
    "estimator, check",
    list(check_estimator(ESTIMATOR, generate_only=True)),
    ids=lambda x: _name(x) if callable(x) else "BARTRegressor",
)
def test_scikit_learn_check(estimator, check):
    if _name(check) in SKIPPED:
        pytest.skip(SKIPPED[_name(check)])
    check(estimator)
