"""A library predicted on a Dask cluster of two worker processes gives the numbers of one
process predicting it whole."""

import numpy as np
import pandas as pd
import pytest

import veldra
from conftest import NRW

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import veldra.dask  # noqa: E402

# The cluster library of Debian 12 warns of its own use of tornado.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local, \
            distributed.Client(local) as client:
        yield client


def test_partitions_on_two_workers_equal_one_process(cluster, tmp_path):
    frame = veldra.read_csv(NRW / "absorbance.csv", as_frame=True)
    y = pd.read_csv(NRW / "targets.csv", index_col="SSN").loc[frame.index, "SOC_target"]
    folder = veldra.BARTRegressor(trees=20, draws=100, burn_in=50, cv=4).fit(frame, y).save(
        tmp_path, property="SOC")
    model = veldra.Model(folder)
    whole = veldra.dask.summary_frame(model, frame, levels=(0.9,))
    assert list(whole.columns) == veldra.dask.summary_columns((0.9,))
    assert whole["calibrated 5%"].notna().all()

    lazy = veldra.dask.predict(model, dd.from_pandas(frame, npartitions=4), levels=(0.9,))
    result = lazy.compute()
    pd.testing.assert_frame_equal(result, whole, check_exact=True)
    # The workers did the work: both of them.
    assert len(cluster.scheduler_info()["workers"]) == 2

    # An array's rows are named 1, 2, ... in order, whatever its blocks.
    array = da.from_array(frame.to_numpy(), chunks=(30, 500))
    by_rows = veldra.dask.predict(folder, array, wavenumbers=model.wavenumbers).compute()
    alone = model.summary(frame.to_numpy(), wavenumbers=model.wavenumbers)
    assert list(by_rows.index) == [str(i + 1) for i in range(len(frame))]
    assert np.array_equal(by_rows["mean"].to_numpy(), alone["mean"])
    assert np.array_equal(by_rows["predictive 97.5%"].to_numpy(), alone["predictive_high"])
    with pytest.raises(TypeError, match="Dask DataFrame or a Dask array"):
        veldra.dask.predict(model, frame)
