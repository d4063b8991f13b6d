"""A spectral library predicted on a Dask cluster, partition by partition.

:func:`predict` maps :meth:`veldra.Model.summary` over the partitions of a Dask DataFrame (its
index names the samples, its columns the wavenumbers) or the row blocks of a Dask array. The
model travels to the workers by its path (see :class:`veldra.Model`): every worker must see the
same model folder. The result is a Dask DataFrame of the summary's columns, one row per
sample; the numbers are those of one process predicting the whole table, to the last bit,
because a sample's predictive band depends on its name alone.
"""

import numpy as np
import pandas as pd

from ._model import QUANTILE_LEVELS, Model, interval_level


def _level_name(level):
    return f"{round(level * 100, 6):g}%"


def summary_columns(levels=(0.95,)):
    """The columns :func:`predict` returns, in order."""
    columns = ["mean", "sd"]
    columns += [f"quantile {_level_name(q)}" for q in QUANTILE_LEVELS]
    columns += ["predictive 2.5%", "predictive 97.5%"]
    for level in levels:
        tail = (1 - level) / 2
        columns += [f"calibrated {_level_name(tail)}", f"calibrated {_level_name(1 - tail)}"]
    columns += ["domain", "T2", "Q", "domain reason"]
    return columns


def summary_frame(model, block, levels=(0.95,), wavenumbers=None, sample_ids=None):
    """The summary of one block of spectra (a pandas DataFrame whose index names the samples,
    or an array, as :meth:`veldra.Model.summary` takes them) as a pandas DataFrame of
    :func:`summary_columns`."""
    out = model.summary(block, levels=levels, wavenumbers=wavenumbers, sample_ids=sample_ids)
    n = len(out["ids"])
    data = {"mean": out["mean"], "sd": out["sd"]}
    for k, q in enumerate(QUANTILE_LEVELS):
        data[f"quantile {_level_name(q)}"] = out["quantiles"][:, k]
    data["predictive 2.5%"] = out["predictive_low"]
    data["predictive 97.5%"] = out["predictive_high"]
    for k, level in enumerate(levels):
        tail = (1 - level) / 2
        calibrated = len(out["calibrated_low"]) > k
        data[f"calibrated {_level_name(tail)}"] = (
            out["calibrated_low"][k] if calibrated else np.full(n, np.nan))
        data[f"calibrated {_level_name(1 - tail)}"] = (
            out["calibrated_high"][k] if calibrated else np.full(n, np.nan))
    data["domain"] = out["verdict"]
    data["T2"] = out["t2"]
    data["Q"] = out["q"]
    data["domain reason"] = out["reason"]
    return pd.DataFrame(data, index=pd.Index(out["ids"], name="sample"))


def predict(model, spectra, levels=(0.95,), wavenumbers=None):
    """Predicts every spectrum of `spectra` with `model` (a :class:`veldra.Model` or a model
    folder's path) on the Dask scheduler in use: a Dask DataFrame of :func:`summary_columns`,
    indexed by sample. `spectra` is a Dask DataFrame (columns named by wavenumber, index by
    sample) or a two-dimensional Dask array, whose samples are then named 1, 2, ... in row
    order, as :class:`veldra.Model` names an array's rows (`wavenumbers` names its columns;
    without them it must be on the model's grid). `levels` are the calibrated intervals'."""
    import dask.array as da
    import dask.dataframe as dd

    if not isinstance(model, Model):
        model = Model(model)
    levels = tuple(interval_level(level) for level in levels)
    from_array = isinstance(spectra, da.Array)
    if from_array:
        if spectra.ndim != 2:
            raise ValueError(f"spectra must have two dimensions, not {spectra.ndim}.")
        spectra = dd.from_dask_array(spectra.rechunk({1: -1}))
    elif not isinstance(spectra, dd.DataFrame):
        raise TypeError("spectra must be a Dask DataFrame or a Dask array; for data in memory "
                        "use Model.summary.")
    meta = pd.DataFrame({c: pd.Series(dtype=object if c in ("domain", "domain reason") else float)
                         for c in summary_columns(levels)})
    meta.index = pd.Index([], dtype=object, name="sample")

    def block_summary(block):
        if from_array:
            ids = [str(i + 1) for i in block.index]
            return summary_frame(model, block.to_numpy(), levels, wavenumbers, ids)
        return summary_frame(model, block, levels)

    return spectra.map_partitions(block_summary, meta=meta)
