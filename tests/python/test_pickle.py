"""Fitted estimators and opened models travel to other processes: by their model folder's bytes,
or by path with a check that the other side has the same model."""

import concurrent.futures
import os
import pickle
import shutil

import joblib
import numpy as np
import pandas as pd
import pytest
from sklearn.model_selection import KFold, cross_val_score

import veldra
from conftest import NRW

SMALL = dict(trees=20, draws=100, burn_in=50)


@pytest.fixture(scope="module")
def nrw():
    frame = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
    y = pd.read_csv(NRW / "targets.csv", index_col="SSN").loc[frame.index, "SOC_target"]
    return frame, y


def folder_bytes(folder):
    return {
        name: open(os.path.join(folder, name), "rb").read()
        for name in sorted(os.listdir(folder))
        if not name.startswith("compiled-forests")
    }


def test_a_fitted_estimator_travels_as_its_model(nrw, tmp_path, fixed_date):
    frame, y = nrw
    estimator = veldra.BARTRegressor(method="blend", cv=4, **SMALL).fit(frame[:80], y[:80])
    copy = pickle.loads(pickle.dumps(estimator))
    again = pickle.loads(pickle.dumps(copy))  # and on from there
    held_out = frame[80:]
    for other in (copy, again):
        assert np.array_equal(other.predict(held_out), estimator.predict(held_out))
        assert np.array_equal(other.predict_interval(held_out, 0.9),
                              estimator.predict_interval(held_out, 0.9))
        assert other.report_ == estimator.report_
    # Saved after travelling, it is the folder saved before, file for file.
    before = estimator.save(tmp_path / "before", property="SOC", target="SOC_target")
    after = again.save(tmp_path / "after", property="SOC", target="SOC_target")
    assert folder_bytes(before) == folder_bytes(after)
    with pytest.raises(veldra.VeldraError, match="force=True"):
        again.save(tmp_path / "after", property="SOC")
    # An estimator not yet fitted pickles as its parameters.
    assert pickle.loads(pickle.dumps(veldra.BARTRegressor(k=3))).get_params()["k"] == 3


def test_a_model_travels_by_path_and_is_checked_there(nrw, tmp_path):
    frame, y = nrw
    folder = veldra.BARTRegressor(**SMALL).fit(frame, y).save(tmp_path / "m", property="SOC")
    model = veldra.Model(folder, threads=1)
    data = pickle.dumps(model)
    assert len(data) < 2000  # its path and identity, not its draws
    copy = pickle.loads(data)
    assert copy.threads == 1
    assert np.array_equal(copy.predict_draws(frame[:5]), model.predict_draws(frame[:5]))
    # Another model under that path is refused, naming it.
    with open(os.path.join(folder, "rgy.txt"), "a") as out:
        out.write("\n")
    with pytest.raises(veldra.VeldraError, match="is not the one that was pickled"):
        pickle.loads(data)
    shutil.rmtree(folder)
    with pytest.raises(veldra.VeldraError, match="There is no model folder"):
        pickle.loads(data)


def _predict_in_worker(estimator, X):
    return estimator.predict(X)


def test_process_pools_carry_estimators_and_models(nrw, tmp_path):
    frame, y = nrw
    estimator = veldra.BARTRegressor(**SMALL).fit(frame[:90], y[:90])
    expected = estimator.predict(frame[90:])
    blocks = [frame[90:100], frame[100:]]
    joined = np.concatenate(joblib.Parallel(n_jobs=2, backend="loky")(
        joblib.delayed(_predict_in_worker)(estimator, block) for block in blocks))
    assert np.array_equal(joined, expected)
    model = veldra.Model(estimator.save(tmp_path, property="SOC"))
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        parts = list(pool.map(_predict_in_worker, [model, model], blocks))
    assert np.array_equal(np.concatenate(parts), model.predict(frame[90:]))
    # scikit-learn's parallel cross-validation fits and scores in worker processes.
    folds = KFold(3, shuffle=True, random_state=0)
    parallel = cross_val_score(veldra.BARTRegressor(**SMALL), frame, y, cv=folds, n_jobs=2)
    serial = cross_val_score(veldra.BARTRegressor(**SMALL), frame, y, cv=folds, n_jobs=1)
    assert np.array_equal(parallel, serial)
