#!/usr/bin/env python3
"""Veldra from Python: read OPUS files and predict with a shipped model, then calibrate BART on
the NRW.115 soils fold by fold and print held-out figures.

    python3 examples/python/nrw_holdout.py [--target SOC_target] [--folds 1,2,...] [--models DIR]

Each of the published folds is held out in turn: a model is calibrated on the other soils with
veldra-train's defaults (first derivative, 200 trees, 1000 draws, seed 1) and predicts the fold.
The pooled held-out R2 is the one scripts/limesoda-holdout prints for the same target.
"""

import argparse
import pathlib
import time

import numpy as np
import pandas as pd

import veldra

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = HERE.parent if (HERE.parent / "opus").is_dir() else pathlib.Path("/usr/share/veldra/examples")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", default="SOC_target")
    parser.add_argument("--folds", default="1,2,3,4,5,6,7,8,9,10")
    parser.add_argument("--models", help="model directory (default: the installed one)")
    arguments = parser.parse_args()

    # 1. OPUS files in, predictions with the 95% predictive band out.
    opus = veldra.read_opus(EXAMPLES / "opus", spectrometer="mir", models=arguments.models)
    model = veldra.Model(pathlib.Path(veldra.model_directory(arguments.models)) / "mir" / "pH")
    interval = model.predict_interval(opus, level=0.95)
    print(f"{len(opus.ids)} samples read from {len(list((EXAMPLES / 'opus').iterdir()))} OPUS files "
          f"({opus.X.shape[1]} points); demonstration pH model:")
    for sample, mean, (low, high) in list(zip(opus.ids, model.predict(opus), interval))[:3]:
        print(f"  {sample}: {mean:.2f} ({low:.2f} to {high:.2f})")

    # 2. Calibration on NRW.115, held out fold by fold.
    nrw = EXAMPLES / "limesoda-NRW.115"
    X = veldra.read_csv(nrw / "absorbance.csv", as_frame=True)
    y = pd.read_csv(nrw / "targets.csv", index_col="SSN").loc[X.index, arguments.target]
    fold = pd.read_csv(nrw / "folds.csv", index_col="SSN").loc[X.index, "fold"]
    observed, predicted, seconds, soils = [], [], [], []
    for k in (int(f) for f in arguments.folds.split(",")):
        train, test = fold != k, fold == k
        started = time.monotonic()
        estimator = veldra.BARTRegressor().fit(X[train], y[train])
        seconds.append(time.monotonic() - started)
        soils.append(int(train.sum()))
        observed.append(y[test].to_numpy())
        predicted.append(estimator.predict(X[test]))
    observed, predicted = np.concatenate(observed), np.concatenate(predicted)
    residual = observed - predicted
    r2 = 1 - np.sum(residual**2) / np.sum((observed - observed.mean()) ** 2)
    print(f"{arguments.target}, {len(observed)} held-out soils of folds {arguments.folds}: "
          f"R2 {r2:.3f}, RMSE {np.sqrt(np.mean(residual**2)):.3g}; "
          f"fit {np.mean(seconds):.1f} s per fold ({np.mean(soils):.0f} soils x "
          f"{X.shape[1]} wavenumbers)")


if __name__ == "__main__":
    main()
