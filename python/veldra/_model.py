"""A model folder, predicting as veldra-predict does."""

import json
import os
from numbers import Real
from typing import List, NamedTuple, Optional, Sequence

import numpy as np

from . import _core
from ._spectra import Spectra, table_of

# The quantiles of every sample's draws, as the output files name them.
QUANTILE_LEVELS = (0.025, 0.05, 0.1, 0.5, 0.9, 0.95, 0.975)


def interval_level(level) -> float:
    """A level as a number above 0 and below 1; a text ("0.9", "90%") is read as the programs
    read --level, and refused with their message (a decimal comma included)."""
    if isinstance(level, str):
        return _core.parse_level(level)
    if isinstance(level, bool) or not isinstance(level, Real):
        raise ValueError(f"level takes a number above 0 and below 1 (0.9), not {level!r}.")
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie between 0 and 1, not {level}.")
    return float(level)


class DomainVerdicts(NamedTuple):
    """Each sample against the model's calibration domain: "inside", "outside" or "unknown"
    (a model without a domain), Hotelling's T², the Q residual and, for a sample outside, why."""

    verdict: List[str]
    t2: np.ndarray
    q: np.ndarray
    reason: List[str]


_VERDICTS = {"i": "inside", "o": "outside", "u": "unknown"}


class Model:
    """A model folder (``<models>/<spectrometer>/<property>``) as ``veldra-predict`` opens it:
    its card, range, draws, error spreads, pipeline and domains read and checked once, here.

    Every prediction runs the programs' prediction of one (spectrometer, property) pair on the
    spectra given, without writing a file: the same numbers as ``veldra-predict`` on the same
    spectra, to the last bit. X is an array (samples x wavenumbers), a pandas DataFrame (its
    index names the samples, its columns the wavenumbers) or :class:`Spectra`. Spectra on other
    wavenumbers than the model's are resampled onto them when their wavenumbers are known
    (`wavenumbers`, or the DataFrame's column names), and refused when they do not cover them.
    Samples are named by `sample_ids`, else as X names them, else 1, 2, ...: the name fixes the
    normal draws of a sample's predictive band, so the same name gives the same band.

    `exponential` and `transformation` matter only for a model without a card (whose card
    otherwise says them): the programs' defaults are the exponential back-transformation and
    the first derivative.
    """

    def __init__(
        self,
        path,
        exponential: Optional[bool] = None,
        transformation: Optional[str] = None,
        threads: int = 0,
    ):
        self._handle = _core.ModelHandle(os.fspath(path), exponential, transformation)
        self._options = (exponential, transformation)
        self.threads = threads
        # The card as the programs read and checked it (None for a model without one).
        card = self._handle.card_text
        self.card = json.loads(card) if card else None

    @property
    def folder(self) -> str:
        return self._handle.folder

    @property
    def spectrometer(self) -> str:
        return self._handle.spectrometer

    @property
    def draws(self) -> int:
        return self._handle.draws

    @property
    def calibrated(self) -> bool:
        """Whether the card holds an interval calibration (the model was cross-validated)."""
        return self._handle.calibrated

    @property
    def wavenumbers(self) -> Optional[np.ndarray]:
        found = _core.wavenumbers_of(self._handle.covariate_names)
        return None if found is None else np.asarray(found)

    def __repr__(self) -> str:
        return f"veldra.Model({self.folder!r})"

    def __reduce__(self):
        # A model travels by its path, with the identity of what it found there: a worker
        # process opens the same folder (on a shared disk, or a copy) and refuses another model
        # under that path. Its bytes (often hundreds of megabytes of draws) are not sent.
        return (_reopen, (self.folder, self._options, self.threads, self._handle.identity))

    def _run(self, X, wavenumbers, sample_ids, levels=(0.95,)):
        # OPUS spectra carry their machine type, which must be the model's, as in a job.
        machine_type = X.machine_type if isinstance(X, Spectra) else ""
        ids, names, X = table_of(X, wavenumbers, sample_ids)
        return ids, self._handle.predict(ids, names, X, machine_type, list(levels), self.threads)

    def predict(self, X, wavenumbers=None, sample_ids: Optional[Sequence[str]] = None):
        """The posterior mean of every sample (the output file's "mean")."""
        return self._run(X, wavenumbers, sample_ids)[1]["mean"]

    def predict_draws(self, X, wavenumbers=None, sample_ids: Optional[Sequence[str]] = None):
        """Every posterior draw of every sample (samples x draws), on the property's scale."""
        return self._run(X, wavenumbers, sample_ids)[1]["draws"]

    def predict_quantiles(self, X, wavenumbers=None, sample_ids: Optional[Sequence[str]] = None):
        """The seven quantiles of the output file (`QUANTILE_LEVELS`, samples x 7)."""
        return self._run(X, wavenumbers, sample_ids)[1]["quantiles"].T

    def predict_interval(
        self, X, level: float = 0.9, wavenumbers=None, sample_ids: Optional[Sequence[str]] = None
    ):
        """The interval of every sample at `level` (samples x 2: low, high): calibrated when the
        card holds a calibration (a bound no draw reaches is the residuals' bound, or infinite
        for a card without them; NaN where the calibration set is too small for the level);
        without one, only the 95% posterior-predictive band (level 0.95)."""
        level = interval_level(level)
        if not self.calibrated:
            if level != 0.95:
                raise _core.VeldraError(
                    f"The model in '{self.folder}' has no interval calibration (it was not "
                    "cross-validated): only its 95% posterior-predictive band is known "
                    "(level=0.95)."
                )
            if not self._handle.has_error_spreads:
                raise _core.VeldraError(
                    f"The model in '{self.folder}' has no error spreads (sigma.txt): it gives "
                    "no predictive band."
                )
            out = self._run(X, wavenumbers, sample_ids)[1]
            return np.column_stack([out["predictive_low"], out["predictive_high"]])
        out = self._run(X, wavenumbers, sample_ids, (level,))[1]
        return np.column_stack([out["calibrated_low"][0], out["calibrated_high"][0]])

    def summary(self, X, levels=(0.95,), wavenumbers=None, sample_ids=None):
        """Everything a prediction gives, as a dict of arrays: "ids", "mean", "sd", "draws",
        "quantiles" (samples x 7), "predictive_low"/"predictive_high" (the 95% band),
        "calibrated_low"/"calibrated_high" (levels x samples, empty without a calibration) and
        the domain's "verdict", "t2", "q" and "reason"."""
        ids, out = self._run(X, wavenumbers, sample_ids, levels)
        out = dict(out)
        out["ids"] = ids
        out["quantiles"] = out["quantiles"].T
        verdicts = self._verdicts(out, len(ids))
        out.pop("domain")
        out.pop("reasons")
        out.update(verdicts._asdict())
        return out

    def domain(self, X, wavenumbers=None, sample_ids: Optional[Sequence[str]] = None):
        """Every sample against the calibration domain (:class:`DomainVerdicts`)."""
        ids, out = self._run(X, wavenumbers, sample_ids)
        return self._verdicts(out, len(ids))

    @staticmethod
    def _verdicts(out, n):
        verdict = [_VERDICTS[c] for c in out["domain"]] or ["unknown"] * n
        t2 = out["t2"] if out["t2"].size else np.full(n, np.nan)
        q = out["q"] if out["q"].size else np.full(n, np.nan)
        reason = list(out["reasons"]) or [""] * n
        return DomainVerdicts(verdict, t2, q, reason)


def _reopen(folder, options, threads, identity):
    """A pickled :class:`Model` opened again, checked to be the model that was pickled."""
    model = Model(folder, *options, threads=threads)
    if model._handle.identity != identity:
        raise _core.VeldraError(
            f"The model in '{folder}' is not the one that was pickled: its card or files differ "
            "(draws, rgy.txt, sigma.txt, domains or linear part). Give every process the same "
            "model folder."
        )
    return model
