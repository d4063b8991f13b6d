"""Spectra in: OPUS folders and CSV tables, read as the programs read them."""

import os
import pathlib
from typing import List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _core


class Spectra(NamedTuple):
    """The spectra of one input, one row per sample in input order.

    ``wavenumbers`` is None when the covariates' names hold none; ``defective`` lists the OPUS
    files that gave no spectrum, as (path, reason).
    """

    ids: List[str]
    wavenumbers: Optional[np.ndarray]
    X: np.ndarray
    names: List[str]
    machine_type: str
    defective: List[Tuple[str, str]]


def model_directory(models: Optional[str] = None) -> str:
    """The model directory: `models` when given, else $VELDRA_MODELS, else the programs' own,
    found as they find it: those of the build tree the package lies in, else those installed
    with the Python running, else those of the build `make python` installed the package from."""
    beside = pathlib.Path(__file__).resolve().parents[2] / "bin" / "veldra-predict"
    found = (
        models
        or os.environ.get("VELDRA_MODELS")
        or _core.installed_model_directory(str(beside) if beside.is_file() else "")
    )
    if not found:
        try:
            from ._installed import MODEL_DIRECTORY as found
        except ImportError:
            found = ""
    if not found:
        raise _core.VeldraError(
            "No model directory found: give models=..., or set VELDRA_MODELS to the folder that "
            "holds opus.conf and the spectrometer folders."
        )
    return str(found)


def _spectra(raw, as_frame: bool):
    ids, names, X, machine_type, defective = raw
    wavenumbers = _core.wavenumbers_of(names) if names else None
    spectra = Spectra(
        list(ids),
        None if wavenumbers is None else np.asarray(wavenumbers, dtype=np.float64),
        X,
        list(names),
        machine_type,
        [tuple(d) for d in defective],
    )
    if not as_frame:
        return spectra
    import pandas as pd

    return pd.DataFrame(X, index=pd.Index(spectra.ids, name="SSN"), columns=spectra.names)


def read_opus(
    folder,
    spectrometer: str = "mir",
    sample_id: Optional[str] = None,
    models: Optional[str] = None,
    as_frame: bool = False,
):
    """The spectra of an OPUS folder: replicate scans of a sample averaged, on the grid of the
    spectrometer's section of the model directory's ``opus.conf`` (a lab's own spectrometer name
    reads the files on their own axes). `sample_id` is a regular expression whose first group
    names a file's sample. Returns a :class:`Spectra`, or a pandas DataFrame (index: the
    samples, columns: the covariates' names) with ``as_frame=True``."""
    configuration = _core.opus_configuration(model_directory(models))
    raw = _core.read_spectra(os.fspath(folder), "", configuration, spectrometer, sample_id or "")
    return _spectra(raw, as_frame)


def read_csv(path, as_frame: bool = False):
    """The spectra of a CSV table (an "SSN" column, then one column per wavenumber), read as the
    programs read it. Returns a :class:`Spectra`, or a pandas DataFrame with ``as_frame=True``."""
    raw = _core.read_spectra("", os.fspath(path), "", "", "")
    return _spectra(raw, as_frame)


def table_of(X, wavenumbers=None, sample_ids: Optional[Sequence[str]] = None):
    """Identifiers, covariate names and a C-ordered float64 array from what a caller passes: a
    DataFrame gives its index and column names, a :class:`Spectra` its own; `wavenumbers` and
    `sample_ids` name them otherwise (the samples are numbered from 1 without names)."""
    names: List[str] = []
    ids = None
    if isinstance(X, Spectra):
        ids, names, X = X.ids, X.names, X.X
    elif hasattr(X, "columns") and hasattr(X, "index"):
        names = [str(c) for c in X.columns]
        ids = [str(i) for i in X.index]
        X = X.to_numpy()
    X = np.ascontiguousarray(np.asarray(X, dtype=np.float64))
    if X.ndim != 2:
        raise ValueError(
            f"X must be a two-dimensional array (samples x wavenumbers), not {X.ndim}-dimensional."
        )
    if X.shape[0] == 0:
        raise ValueError("X holds no spectra (0 rows): give at least one spectrum.")
    if wavenumbers is not None:
        wavenumbers = np.asarray(wavenumbers, dtype=np.float64).ravel()
        if wavenumbers.size != X.shape[1]:
            raise ValueError(
                f"wavenumbers has {wavenumbers.size} values; X has {X.shape[1]} columns."
            )
        names = [_core.shortest_text(float(w)) for w in wavenumbers]
    if sample_ids is not None:
        ids = [str(i) for i in sample_ids]
    if ids is None:
        ids = [str(i + 1) for i in range(X.shape[0])]
    if len(ids) != X.shape[0]:
        raise ValueError(f"sample_ids has {len(ids)} names; X has {X.shape[0]} rows.")
    if not np.isfinite(X).all():
        bad = np.argwhere(~np.isfinite(X))[0]
        raise ValueError(
            f"The spectrum of \"{ids[bad[0]]}\" holds a value that is not a finite number (NaN or "
            f"inf) at column {bad[1] + 1}."
        )
    return ids, names, X
