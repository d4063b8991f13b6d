"""A model folder predicts from Python exactly what veldra-predict writes for the same spectra."""

import csv
import os
import signal
import subprocess
import threading
import time

import numpy as np
import pandas as pd
import pytest

import veldra
from conftest import EXAMPLES, NRW, model_tree, program, run

SMALL = ["--trees", "20", "--draws", "100", "--burn-in", "50"]


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A SOC model calibrated by veldra-train on the first 100 NRW soils, cross-validated."""
    work = tmp_path_factory.mktemp("trained")
    models = model_tree(work / "models")
    lines = (NRW / "absorbance.csv").read_text().splitlines(keepends=True)
    (work / "train.csv").write_text("".join(lines[:101]))
    run(program("veldra-train"), "--spectra", work / "train.csv", "--targets",
        NRW / "targets.csv", "--target", "SOC_target", "--property", "SOC", "--models", models,
        "--cv", "5", "--quiet", *SMALL)
    return models


def read_rows(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def text(values):
    return ["NA" if np.isnan(v) else "%g" % v for v in values]


def test_draws_means_and_quantiles_are_the_output_files(tmp_path):
    out = tmp_path / "ph.csv"
    run(program("veldra-predict"), "--input", EXAMPLES / "spectra.csv", "--property", "pH",
        "--output", out, "--quiet")
    header, rows = read_rows(out)
    spectra = veldra.read_csv(EXAMPLES / "spectra.csv")
    model = veldra.Model(veldra.model_directory() + "/mir/pH")
    summary = model.summary(spectra)
    draws = model.draws
    assert summary["ids"] == [r[0] for r in rows]
    assert summary["draws"].shape == (len(rows), draws) and draws == len(header) - 10
    for i, row in enumerate(rows):
        assert text(summary["draws"][i]) == row[1:draws + 1]
        assert text([summary["mean"][i], summary["sd"][i]]) == row[draws + 1:draws + 3]
        assert text(summary["quantiles"][i]) == row[draws + 3:]
    assert np.array_equal(model.predict(spectra), summary["mean"])
    assert np.array_equal(model.predict_draws(spectra.X, sample_ids=spectra.ids), summary["draws"])


def test_intervals_and_domain_are_the_summary_table(trained, tmp_path):
    out = tmp_path / "soc.csv"
    run(program("veldra-predict"), "--input", NRW / "absorbance.csv", "--models", trained,
        "--property", "SOC", "--exp", "no", "--level", "0.9", "--output", out, "--quiet")
    header, rows = read_rows(tmp_path / "soc-summary.csv")
    column = {name: k for k, name in enumerate(header)}
    frame = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
    model = veldra.Model(trained / "mir" / "m3.SOC")
    assert model.calibrated and not model.card["log"]
    interval = model.predict_interval(frame, level=0.9)
    domain = model.domain(frame)
    for i, row in enumerate(rows):
        assert text(interval[i]) == [row[column["calibrated 5%"]], row[column["calibrated 95%"]]]
        assert domain.verdict[i] == row[column["domain"]]
        assert text([domain.t2[i], domain.q[i]]) == [row[column["T2"]], row[column["Q"]]]
    assert "outside" in domain.verdict[100:] or "inside" in domain.verdict[100:]
    assert all(r == "" for v, r in zip(domain.verdict, domain.reason) if v == "inside")
    # Without a calibration at that level: the programs' NA, here NaN.
    assert np.isnan(model.predict_interval(frame.iloc[:3], level=0.99)).all()


def test_spectra_on_another_grid_are_resampled_or_refused(trained):
    spectra = veldra.read_csv(NRW / "absorbance.csv")
    model = veldra.Model(trained / "mir" / "m3.SOC")
    same = model.predict(spectra.X[:5], wavenumbers=spectra.wavenumbers, sample_ids=spectra.ids[:5])
    assert np.array_equal(same, model.predict(spectra)[:5])
    # Every other point: the model's grid is resampled from it, close to the full spectra.
    every_other = np.r_[0:1686:2, 1685]
    coarse = model.predict(spectra.X[:5, every_other], wavenumbers=spectra.wavenumbers[every_other],
                           sample_ids=spectra.ids[:5])
    assert np.allclose(coarse, same, rtol=0.2) and not np.array_equal(coarse, same)
    with pytest.raises(veldra.VeldraError, match="cover the model's range"):
        model.predict(spectra.X[:5, 100:], wavenumbers=spectra.wavenumbers[100:])
    with pytest.raises(veldra.VeldraError, match="calibrated on 1686 covariates; the input has 1685"):
        model.predict(spectra.X[:5, 1:])


def test_bad_input_raises_the_programs_messages(trained, tmp_path):
    spectra = veldra.read_csv(NRW / "absorbance.csv")
    model = veldra.Model(trained / "mir" / "m3.SOC")
    with pytest.raises(ValueError, match="two-dimensional"):
        model.predict(spectra.X[0])
    bad = spectra.X[:3].copy()
    bad[1, 7] = np.nan
    with pytest.raises(ValueError, match='"2" holds a value that is not a finite number'):
        model.predict(bad)
    # A folder that is not a model: the message veldra-predict gives for it.
    models = model_tree(tmp_path / "models")
    (models / "mir" / "m3.Fake").mkdir(parents=True)
    with pytest.raises(veldra.VeldraError) as raised:
        veldra.Model(models / "mir" / "m3.Fake")
    done = subprocess.run(
        [program("veldra-predict"), "--input", str(EXAMPLES / "spectra.csv"), "--models",
         str(models), "--property", "Fake", "--output", str(tmp_path / "o.csv"), "--quiet"],
        capture_output=True, text=True)
    assert done.returncode == 1 and done.stderr == str(raised.value) + "\n"
    assert "rgy.txt" in str(raised.value)
    # OPUS files of another machine type than the model's, as a job refuses them.
    alpha = veldra.Model(veldra.model_directory() + "/alphakbr/pH")
    with pytest.raises(veldra.VeldraError, match="OPUS files are of machine type htsxt; the "
                                                 "alphakbr models take machine type alpha_kbr"):
        alpha.predict(veldra.read_opus(EXAMPLES / "opus"))
    with pytest.raises(veldra.VeldraError, match="no interval calibration"):
        veldra.Model(veldra.model_directory() + "/mir/pH").predict_interval(spectra.X[:2, :10])


def test_messages_say_what_to_do(trained):
    spectra = veldra.read_csv(NRW / "absorbance.csv")
    model = veldra.Model(trained / "mir" / "m3.SOC")
    with pytest.raises(veldra.VeldraError, match="^There is no model folder at '/nonexistent'"):
        veldra.Model("/nonexistent")
    frame = pd.DataFrame(spectra.X[:5], index=spectra.ids[:5], columns=spectra.names)
    # Columns in another order are only put back in the model's: the same numbers, to the bit.
    order = np.random.default_rng(3).permutation(len(spectra.names))
    assert np.array_equal(model.predict(frame.iloc[:, order]), model.predict(frame))
    with pytest.raises(ValueError, match="^X holds no spectra \\(0 rows\\)"):
        model.predict(frame.iloc[:0])
    # A level as text is read as --level reads it, a decimal comma told.
    assert np.array_equal(model.predict_interval(frame, level="90%"),
                          model.predict_interval(frame, level=0.9))
    with pytest.raises(veldra.VeldraError, match=r"Decimals take a point \(0.9, not 0,9\)\.$"):
        model.predict_interval(frame, level="0,9")
    with pytest.raises(ValueError, match="level takes a number"):
        model.predict_interval(frame, level=None)


def test_ctrl_c_stops_a_prediction(tmp_path):
    spectra = veldra.read_csv(NRW / "absorbance.csv")
    targets = pd.read_csv(NRW / "targets.csv", index_col=0)["SOC_target"]
    fitted = veldra.BARTRegressor(draws=3000, trees=100, burn_in=50).fit(
        spectra.X[:40], targets.iloc[:40].to_numpy(), wavenumbers=spectra.wavenumbers)
    model = veldra.Model(fitted.save(model_tree(tmp_path / "models"), "SOC"), threads=1)
    # Enough samples for the whole prediction to take over a second on this machine.
    copies, full = 5, 0.0
    while full < 1.0:
        copies *= 2
        many = np.tile(spectra.X, (copies, 1))
        started = time.monotonic()
        model.predict(many, wavenumbers=spectra.wavenumbers)
        full = time.monotonic() - started
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        model.predict(many, wavenumbers=spectra.wavenumbers)
    assert time.monotonic() - started < 0.8 * full
