#!/usr/bin/env python3
"""How much a model's predictions of its own calibration spectra move when the spectra come on
another axis: the same wavenumbers reversed, every wavenumber shifted by 1% of its step, and
every second point. Each figure is the mean |change| of the predicted means over the soils, as a
share of the model's cross-validated RMSE, for several seeds; "noise" is the change from adding
normal noise with 1% of the spread of neighbouring differences, for scale.

    PYTHONPATH=build/python /usr/bin/python3 bench/resampling_shift.py [--seeds 3] [--draws 1000]

Models: veldra-train's defaults (first derivative, 200 trees, 1000 draws) with 5-fold
cross-validation, on NRW.115 (MIR: SOC, pH, clay) and nirsoil-825 (NIR: carbon, nitrogen, CEC).
"""

import argparse
import pathlib
import tempfile

import numpy as np
import pandas as pd

import veldra

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared"
SETS = {
    "NRW.115": ("limesoda-NRW.115", ["SOC_target", "pH_target", "Clay_target"]),
    "nirsoil-825": ("nirsoil-825", ["Ciso", "Nt", "CEC"]),
}


def on_axis(values, index, axis):
    return pd.DataFrame(values, index=index, columns=[f"{w:.5f}" for w in axis])


def moves(folder, target, seed, draws):
    spectra = pd.read_csv(SHARED / folder / "spectra.csv", index_col=0)
    y = pd.read_csv(SHARED / folder / "targets.csv", index_col=0)[target]
    keep = y.notna()
    X, y = spectra[keep], y[keep]
    wavenumbers = np.asarray(veldra._core.wavenumbers_of(list(X.columns)))
    X.columns = [f"{w:.5f}" for w in wavenumbers]
    fitted = veldra.BARTRegressor(cv=5, seed=seed, draws=draws).fit(X, y)
    rmse = fitted.report_["cross_validation"]["rmse"]
    model = veldra.Model(fitted.save(tempfile.mkdtemp(), "P"))
    values = X.values
    base = model.predict(X)
    step = np.abs(np.diff(wavenumbers))
    step = np.append(step, step[-1])
    half = list(range(0, len(wavenumbers), 2))
    if half[-1] != len(wavenumbers) - 1:
        half.append(len(wavenumbers) - 1)
    spread = np.std(np.diff(values, axis=1))
    noise = np.random.default_rng(seed).normal(0.0, 0.01 * spread, values.shape)
    cases = {
        "reversed": on_axis(values[:, ::-1], X.index, wavenumbers[::-1]),
        "shift 1%": on_axis(values, X.index, wavenumbers + 0.01 * step),
        "every 2nd": on_axis(values[:, half], X.index, wavenumbers[half]),
        "noise": on_axis(values + noise, X.index, wavenumbers),
    }
    return {name: np.abs(model.predict(x) - base).mean() / rmse for name, x in cases.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--draws", type=int, default=1000)
    args = parser.parse_args()
    print("mean |moved| / cross-validated RMSE, lowest to highest over seeds 1..%d" % args.seeds)
    print(f"{'set':12s} {'property':12s} {'reversed':>10s} {'shift 1%':>14s} {'every 2nd':>14s} "
          f"{'noise':>14s}")
    for name, (folder, targets) in SETS.items():
        for target in targets:
            runs = [moves(folder, target, seed, args.draws) for seed in range(1, args.seeds + 1)]
            cells = []
            for case in ("reversed", "shift 1%", "every 2nd", "noise"):
                low = min(r[case] for r in runs)
                high = max(r[case] for r in runs)
                cells.append(f"{low:.3f}" if case == "reversed" else f"{low:.3f}-{high:.3f}")
            print(f"{name:12s} {target:12s} {cells[0]:>10s} {cells[1]:>14s} {cells[2]:>14s} "
                  f"{cells[3]:>14s}")


if __name__ == "__main__":
    main()
