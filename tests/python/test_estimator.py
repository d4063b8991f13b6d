"""BARTRegressor calibrates as veldra-train does, predicts as its saved model does, and behaves
as a scikit-learn estimator."""

import os
import signal
import threading
import time

import numpy as np
import pytest
from sklearn.base import clone
from sklearn.model_selection import GridSearchCV, KFold

import veldra
from conftest import NRW, model_tree, program, run

SMALL = dict(trees=20, draws=100, burn_in=50)


@pytest.fixture(scope="module")
def nrw():
    frame = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
    targets = __import__("pandas").read_csv(NRW / "targets.csv", index_col="SSN")
    return frame, targets.loc[frame.index]


def folder_bytes(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


@pytest.mark.parametrize("options", [
    dict(cv=5),
    dict(log=True, preprocess="snv+sg(11,2,1);first_der", k=[1, 2], cv=3, seed=4),
    dict(log=True, method="auto", cv=5, seed=2),
    dict(method="pls", cv=0),
])
def test_saved_model_is_veldra_trains_and_predicts_as_it(nrw, tmp_path, fixed_date, options):
    frame, targets = nrw
    train = frame.iloc[:80]
    estimator = veldra.BARTRegressor(**SMALL, **options).fit(train, targets["SOC_target"].iloc[:80])
    saved = estimator.save(model_tree(tmp_path / "py"), property="SOC")

    (tmp_path / "train.csv").write_text(
        "".join((NRW / "absorbance.csv").read_text().splitlines(keepends=True)[:81]))
    command = [program("veldra-train"), "--spectra", tmp_path / "train.csv", "--targets",
               NRW / "targets.csv", "--target", "SOC_target", "--property", "SOC", "--models",
               model_tree(tmp_path / "cli"), "--quiet", "--trees", "20", "--draws", "100",
               "--burn-in", "50", "--cv", str(options["cv"]), "--seed", str(options.get("seed", 1))]
    if options.get("log"):
        command += ["--log"]
    if "k" in options:
        command += ["--k", ",".join(str(k) for k in options["k"])]
    for name in ("preprocess", "method"):
        if name in options:
            command += ["--" + name, options[name]]
    run(*command, env=fixed_date)
    assert folder_bytes(tmp_path / "py" / "mir" / "m3.SOC") == \
        folder_bytes(tmp_path / "cli" / "mir" / "m3.SOC")

    model = veldra.Model(saved)
    held_out = frame.iloc[80:]
    assert np.array_equal(estimator.predict(held_out), model.predict(held_out))
    for level in (0.9, 0.95) if options["cv"] else (0.95,):
        assert np.array_equal(estimator.predict_interval(held_out, level),
                              model.predict_interval(held_out, level), equal_nan=True)
    assert estimator.report_["calibrated"] == (options["cv"] > 0)
    assert estimator.report_["samples"] == 80
    if "method" in options:
        assert estimator.report_["method"] == veldra.Model(saved).card["method"]["name"]
        assert len(estimator.report_["methods"]) == (3 if options["method"] == "auto" else 0)


def test_scikit_learn_tools_work(nrw):
    frame, targets = nrw
    X = frame.to_numpy()[:60]
    y = targets["pH_target"].to_numpy()[:60]
    search = GridSearchCV(veldra.BARTRegressor(trees=10, draws=40, burn_in=20),
                          {"k": [1.0, 3.0]}, cv=KFold(3), scoring="neg_mean_squared_error")
    search.fit(X, y)
    scores = dict(zip((p["k"] for p in search.cv_results_["params"]),
                      search.cv_results_["mean_test_score"]))
    assert search.best_params_["k"] == max(scores, key=scores.get)
    copy = clone(search.best_estimator_)
    assert copy.get_params()["k"] == search.best_params_["k"] and not hasattr(copy, "calibration_")
    # Refitted on every sample with the k chosen: the estimator fitted directly, to the bit.
    direct = veldra.BARTRegressor(trees=10, draws=40, burn_in=20, k=search.best_params_["k"])
    assert np.array_equal(search.predict(X[:4]), direct.fit(X, y).predict(X[:4]))


def test_bad_input_is_refused_with_a_message(nrw, tmp_path):
    frame, targets = nrw
    X = frame.to_numpy()[:30]
    y = targets["SOC_target"].to_numpy()[:30]
    with pytest.raises(ValueError, match="NaN"):
        bad = X.copy()
        bad[3, 3] = np.nan
        veldra.BARTRegressor(**SMALL).fit(bad, y)
    with pytest.raises(ValueError, match="trees .*10000"):
        veldra.BARTRegressor(trees=0).fit(X, y)
    with pytest.raises(ValueError, match="needs cross-validation"):
        veldra.BARTRegressor(**SMALL, k=[1, 2]).fit(X, y)
    with pytest.raises(ValueError, match="a model of log\\(y\\) needs values above 0"):
        veldra.BARTRegressor(**SMALL, log=True).fit(X, y - 10)
    estimator = veldra.BARTRegressor(**SMALL).fit(X, y)
    with pytest.raises(ValueError, match="1686 features"):
        estimator.predict(X[:, 1:])
    with pytest.raises(veldra.VeldraError, match="no interval calibration"):
        estimator.predict_interval(X, 0.9)
    assert estimator.predict_interval(X[:2], 0.95).shape == (2, 2)
    models = model_tree(tmp_path / "m")
    estimator.save(models, property="SOC")
    with pytest.raises(veldra.VeldraError, match="A model exists in .*use force=True to replace it"):
        estimator.save(models, property="SOC")
    estimator.save(models, property="SOC", force=True)
    with pytest.raises(veldra.VeldraError, match="not a plain name"):
        estimator.save(models, property="S/OC")


def test_other_python_threads_run_while_it_samples(nrw):
    frame, targets = nrw
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    counter = threading.Thread(target=count, daemon=True)
    counter.start()
    # Fits until half a second of their middles has passed, whatever this machine's speed.
    middles = []
    try:
        for _ in range(20):
            started = time.monotonic()
            veldra.BARTRegressor(trees=50, draws=2000, burn_in=100, threads=1).fit(
                frame.iloc[:60], targets["SOC_target"].iloc[:60])
            ended = time.monotonic()
            if ended - started > 0.3:
                middles.append((started + 0.1, ended - 0.1))
            if sum(end - start for start, end in middles) >= 0.5:
                break
    finally:
        done.set()
        counter.join()
    length = sum(end - start for start, end in middles)
    assert length >= 0.5
    # Ticks throughout each fit, not only at its 50 ms checkpoints: the GIL is free meanwhile.
    during = [t for t in ticks if any(start < t < end for start, end in middles)]
    assert len(during) > 10 * length / 0.05


def test_ctrl_c_stops_the_fit_and_writes_nothing(nrw, tmp_path):
    frame, targets = nrw
    estimator = veldra.BARTRegressor(draws=100000, trees=50)
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        estimator.fit(frame.iloc[:40], targets["SOC_target"].iloc[:40])
    assert time.monotonic() - started < 30
    assert not hasattr(estimator, "calibration_")
    assert not any(tmp_path.iterdir())
