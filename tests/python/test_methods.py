"""A blend of the forests and partial least squares, held out on the NRW.115 soils' published
folds: its calibrated intervals cover what they say."""

import math

import numpy as np
import pandas as pd
import pytest

import veldra
from conftest import NRW

SMALL = dict(trees=20, draws=100, burn_in=50)


def held_out_coverage(frame, y, folds, levels, **options):
    inside = np.zeros(len(levels))
    for fold in range(1, 11):
        train = folds != fold
        estimator = veldra.BARTRegressor(cv=5, **options).fit(frame[train], y[train])
        for k, level in enumerate(levels):
            bounds = estimator.predict_interval(frame[~train], level)
            inside[k] += np.sum((y[~train] >= bounds[:, 0]) & (y[~train] <= bounds[:, 1]))
    return inside / len(y)


def test_calibrated_intervals_of_a_log_model_cover_lab_values():
    """A model of log(y) with 20 draws, which cannot reach a 98% interval's bounds: they come
    from the residuals, and must be on the scale of the lab's values."""
    frame = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
    y = pd.read_csv(NRW / "targets.csv", index_col="SSN").loc[frame.index, "SOC_target"]
    folds = pd.read_csv(NRW / "folds.csv", index_col="SSN").loc[frame.index, "fold"].to_numpy()
    levels = (0.9, 0.98)
    coverage = held_out_coverage(frame, y.to_numpy(), folds, levels, log=True, trees=20,
                                 draws=20, burn_in=50)
    for level, share in zip(levels, coverage):
        assert abs(share - level) <= 3 * math.sqrt(level * (1 - level) / len(y)), (level, share)


def test_calibrated_90_percent_intervals_of_a_blend_cover_held_out_soils():
    frame = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
    targets = pd.read_csv(NRW / "targets.csv", index_col="SSN").loc[frame.index]
    folds = pd.read_csv(NRW / "folds.csv", index_col="SSN").loc[frame.index, "fold"].to_numpy()
    n = len(folds)
    sd = math.sqrt(0.9 * 0.1 / n)
    pooled = []
    for target in ("SOC_target", "pH_target", "Clay_target"):
        y = targets[target].to_numpy()
        inside = 0
        for fold in range(1, 11):
            train = folds != fold
            estimator = veldra.BARTRegressor(method="blend", cv=5, **SMALL)
            estimator.fit(frame[train], y[train])
            assert estimator.report_["method"] == "blend"
            assert 0.0 <= estimator.report_["forest_weight"] <= 1.0
            bounds = estimator.predict_interval(frame[~train], 0.9)
            inside += int(np.sum((y[~train] >= bounds[:, 0]) & (y[~train] <= bounds[:, 1])))
        coverage = inside / n
        # Three binomial standard deviations of 115 soils either side of 0.9.
        assert abs(coverage - 0.9) <= 3 * sd, (target, coverage)
        pooled.append(coverage)
    # The three properties together, within two standard deviations of 345 soils.
    assert abs(np.mean(pooled) - 0.9) <= 2 * sd / math.sqrt(3), pooled


def test_methods_are_compared_and_refused_in_pythons_words(tmp_path):
    frame = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
    y = pd.read_csv(NRW / "targets.csv", index_col="SSN").loc[frame.index, "pH_target"]
    estimator = veldra.BARTRegressor(method="auto", cv=4, **SMALL).fit(frame, y)
    methods = {m["method"]: m for m in estimator.report_["methods"]}
    assert list(methods) == ["bart", "pls", "blend"]
    assert methods["bart"]["forest_weight"] == 1.0 and methods["pls"]["forest_weight"] == 0.0
    chosen = methods[estimator.report_["method"]]
    assert estimator.report_["cross_validation"]["interval_score"] == chosen["interval_score"]
    # pH of these soils is linear in the spectra: partial least squares improves on the trees.
    assert methods["blend"]["r2"] > methods["bart"]["r2"]
    with pytest.raises(veldra.VeldraError, match="chosen by cross-validation: give cv=K"):
        veldra.BARTRegressor(method="blend", **SMALL).fit(frame, y)
    with pytest.raises(veldra.VeldraError, match="Unknown method 'ridge'"):
        veldra.BARTRegressor(method="ridge", **SMALL).fit(frame, y)
    with pytest.raises(ValueError, match="method takes"):
        veldra.BARTRegressor(method=["pls"], **SMALL).fit(frame, y)
