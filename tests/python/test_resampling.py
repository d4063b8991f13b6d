"""A model's own calibration spectra on another axis, on real libraries: the same wavenumbers in
another order predict to the bit, a shift of a hundredth of a step moves the predictions far less
than the smoothing the earlier resampling applied, and every second point stays within the
README's figures."""

import pathlib

import numpy as np
import pandas as pd
import pytest

import veldra
from conftest import SOURCE, model_tree

SHARED = SOURCE.parent / "shared"


@pytest.mark.parametrize("folder,target", [("limesoda-NRW.115", "SOC_target"),
                                           ("nirsoil-825", "Ciso")])
def test_a_models_own_spectra_on_another_axis(folder, target, tmp_path):
    if not (SHARED / folder).is_dir():
        pytest.skip(f"{SHARED / folder} is absent")
    X = pd.read_csv(SHARED / folder / "spectra.csv", index_col=0)
    y = pd.read_csv(SHARED / folder / "targets.csv", index_col=0)[target]
    X, y = X[y.notna()], y[y.notna()]
    wn = np.asarray(veldra._core.wavenumbers_of(list(X.columns)))
    fitted = veldra.BARTRegressor(cv=5, seed=1).fit(X, y)
    rmse = fitted.report_["cross_validation"]["rmse"]
    model = veldra.Model(fitted.save(model_tree(tmp_path / "models"), "P"))
    V = X.values
    base = model.predict(X)

    def moved(values, axis):
        frame = pd.DataFrame(values, index=X.index, columns=[f"{w:.5f}" for w in axis])
        return model.predict(frame)

    assert np.array_equal(moved(V[:, ::-1], wn[::-1]), base)
    step = np.abs(np.gradient(wn))
    shifted = np.abs(moved(V, wn + 0.01 * step) - base).mean() / rmse
    kernel = V.copy()
    kernel[:, 1:-1] = 0.75 * V[:, 1:-1] + 0.125 * (V[:, :-2] + V[:, 2:])
    smoothed = np.abs(moved(kernel, wn) - base).mean() / rmse
    assert shifted < 0.08 and shifted < 0.7 * smoothed, (shifted, smoothed)
    half = list(range(0, len(wn), 2)) + ([len(wn) - 1] if (len(wn) - 1) % 2 else [])
    assert np.abs(moved(V[:, half], wn[half]) - base).mean() / rmse < 0.6
