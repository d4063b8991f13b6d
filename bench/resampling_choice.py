#!/usr/bin/env python3
"""Which curve keeps a model's predictions closest: a model calibrated on a library's own grid
predicts its own spectra from every second point, resampled back onto its grid by straight lines
(numpy's interp), by a monotone cubic (SciPy's PCHIP) and by Veldra itself (Steffen's monotone
cubic, the window rule); and from its own grid smoothed by the (1/8, 3/4, 1/8) kernel that the
earlier interval mean of straight lines applied to spectra on the model's own grid reversed or
shifted by a hundredth of a step. Each figure: the mean |change| of the predicted means as a
share of the cross-validated RMSE.

    PYTHONPATH=build/python /usr/bin/python3 bench/resampling_choice.py [--seed 1]
"""

import argparse
import pathlib
import tempfile

import numpy as np
import pandas as pd
from scipy.interpolate import PchipInterpolator

import veldra

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
SETS = [("limesoda-NRW.115", "SOC_target"), ("limesoda-NRW.115", "pH_target"),
        ("nirsoil-825", "Ciso"), ("nirsoil-825", "Nt")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    seed = parser.parse_args().seed
    print(f"mean |moved| / cross-validated RMSE, seed {seed}")
    print(f"{'set':18s} {'property':11s} {'lines':>7s} {'PCHIP':>7s} {'Veldra':>7s} {'kernel':>7s}")
    for folder, target in SETS:
        X = pd.read_csv(SHARED / folder / "spectra.csv", index_col=0)
        y = pd.read_csv(SHARED / folder / "targets.csv", index_col=0)[target]
        X, y = X[y.notna()], y[y.notna()]
        wn = np.asarray(veldra._core.wavenumbers_of(list(X.columns)))
        X.columns = [f"{w:.5f}" for w in wn]
        fitted = veldra.BARTRegressor(cv=5, seed=seed).fit(X, y)
        rmse = fitted.report_["cross_validation"]["rmse"]
        model = veldra.Model(fitted.save(tempfile.mkdtemp(), "P"))
        V = X.values
        base = model.predict(X)
        half = list(range(0, len(wn), 2)) + ([len(wn) - 1] if (len(wn) - 1) % 2 else [])
        rising = np.argsort(wn[half])
        xs, vs = wn[half][rising], V[:, half][:, rising]

        def moved(values, axis=wn):
            frame = pd.DataFrame(values, index=X.index, columns=[f"{w:.5f}" for w in axis])
            return np.abs(model.predict(frame) - base).mean() / rmse

        lines = np.array([np.interp(wn, xs, row) for row in vs])
        pchip = PchipInterpolator(xs, vs, axis=1)(wn)
        kernel = V.copy()
        kernel[:, 1:-1] = 0.75 * V[:, 1:-1] + 0.125 * (V[:, :-2] + V[:, 2:])
        cells = [moved(lines), moved(pchip), moved(V[:, half], wn[half]), moved(kernel)]
        print(f"{folder:18s} {target:11s} " + " ".join(f"{c:7.3f}" for c in cells))


if __name__ == "__main__":
    main()
