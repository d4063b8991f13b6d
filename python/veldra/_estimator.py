"""BART calibration as a scikit-learn estimator."""

import logging
import os
import tempfile
from numbers import Real

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils.validation import check_is_fitted, column_or_1d

from . import _core
from ._model import Model, interval_level
from ._spectra import table_of


class BARTRegressor(RegressorMixin, BaseEstimator):
    """Bayesian additive regression trees fitted as ``veldra-train`` fits them: the same sampler,
    preprocessing, cross-validation and calibration domain, in the same C++ code (the GIL is
    released while it samples; Ctrl-C stops it at the next iteration with KeyboardInterrupt).

    Parameters are ``veldra-train``'s options: `trees`, `draws`, `burn_in`, `thin`, `chains`,
    `alpha`, `beta`, `k` (a number, or a list of candidates chosen by cross-validation), `nu`,
    `q`, `cuts`, `sparse`, `seed` and `threads`; `preprocess` is "first_der", "none", a pipeline
    ("drop(2400-2250)+sg(21,2,1)"), several separated by ";" or "auto" (chosen by
    cross-validation); `log` fits log(y); `cv` cross-validates with that many random folds, which
    calibrates the intervals of :meth:`predict_interval`. `method` is "bart" (the forests),
    "pls" (partial least squares on the same covariates), "blend" (each draw a weighted sum of
    both, the weight chosen by cross-validation), several separated by ";" or "auto" (all three,
    chosen by cross-validation); ``report_["methods"]`` holds every one's out-of-fold figures.

    ``fit(X, y)`` takes X as an array (samples x wavenumbers) or a pandas DataFrame (its columns
    naming the wavenumbers, its index the samples); pipelines that cut ranges need the
    wavenumbers (`wavenumbers=` or the DataFrame's column names). :meth:`save` writes the model
    folder ``veldra-train`` writes with the same data, options and seed, byte for byte.
    """

    def __init__(
        self,
        trees=200,
        draws=1000,
        burn_in=200,
        thin=1,
        chains=2,
        alpha=0.95,
        beta=2.0,
        k=2.0,
        nu=3.0,
        q=0.9,
        cuts=100,
        sparse=False,
        preprocess="first_der",
        log=False,
        cv=0,
        seed=1,
        threads=0,
        method="bart",
    ):
        self.trees = trees
        self.draws = draws
        self.burn_in = burn_in
        self.thin = thin
        self.chains = chains
        self.alpha = alpha
        self.beta = beta
        self.k = k
        self.nu = nu
        self.q = q
        self.cuts = cuts
        self.sparse = sparse
        self.preprocess = preprocess
        self.log = log
        self.cv = cv
        self.seed = seed
        self.threads = threads
        self.method = method

    def _parameters(self):
        p = self.get_params()
        p["k"] = [float(p["k"])] if isinstance(p["k"], Real) else [float(k) for k in p["k"]]
        p["preprocess"] = (
            [p["preprocess"]] if isinstance(p["preprocess"], str) else list(p["preprocess"])
        )
        if not isinstance(p["method"], str):
            raise ValueError(f"method takes bart, pls, blend, auto or several of them, not "
                             f"{p['method']!r}.")
        p["method"] = [m.strip() for m in p["method"].split(";") if m.strip()]
        for name in ("trees", "draws", "burn_in", "thin", "chains", "cuts", "seed", "threads", "cv"):
            value = p[name]
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
                raise ValueError(f"{name} takes a whole number, not {value!r}.")
            p[name] = int(value)
        if p["seed"] < 0 or p["threads"] < 0:
            raise ValueError("seed and threads must not be negative.")
        return p

    def _table(self, X, wavenumbers, sample_ids, reset):
        ids, names, _ = table_of(X, wavenumbers, sample_ids) if _is_frame(X) else (None, [], None)
        X = self._validate_data(X, reset=reset, dtype=np.float64, ensure_min_samples=1)
        if ids is None:
            ids, names, X = table_of(X, wavenumbers, sample_ids)
        return ids, names, np.ascontiguousarray(X)

    def fit(self, X, y, wavenumbers=None, sample_ids=None):
        """Calibrates on spectra `X` and reference values `y` (see the class)."""
        parameters = self._parameters()
        target = getattr(y, "name", None)
        ids, names, X = self._table(X, wavenumbers, sample_ids, reset=True)
        if y is None:
            raise ValueError(
                f"{type(self).__name__} requires y to be passed, but the target y is None."
            )
        y = column_or_1d(np.asarray(y, dtype=np.float64), warn=True)
        if y.shape[0] != X.shape[0]:
            raise ValueError(f"X holds {X.shape[0]} spectra and y {y.shape[0]} values.")
        if not np.isfinite(y).all():
            raise ValueError("y holds a value that is not a finite number (NaN or inf).")
        if X.shape[0] < 2:
            raise ValueError(
                f"Only {X.shape[0]} samples have both a spectrum and a reference value; at least 2 "
                "are needed."
            )
        self.calibration_ = _core.Calibration(
            parameters, ids, names, X, list(y), str(target) if target is not None else "y"
        )
        self.target_ = str(target) if target is not None else None
        self.report_ = self.calibration_.report()
        return self

    def _predict(self, X, levels, sample_ids):
        check_is_fitted(self, "calibration_")
        ids, _, X = self._table(X, None, sample_ids, reset=False)
        return self.calibration_.predict(ids, X, list(levels), self.threads)

    def predict(self, X, sample_ids=None):
        """The posterior mean of every sample (what the saved model's "mean" is)."""
        return self._predict(X, (0.95,), sample_ids)["mean"]

    def predict_interval(self, X, level=0.9, sample_ids=None):
        """The interval of every sample at `level` (samples x 2), as :meth:`Model.predict_interval`
        gives it for the saved model: calibrated when fitted with `cv`, else only the 95%
        posterior-predictive band."""
        level = interval_level(level)
        calibrated = self.report_["calibrated"] if hasattr(self, "report_") else False
        if not calibrated and level != 0.95:
            raise _core.VeldraError(
                "This model has no interval calibration (fit it with cv=K): only its 95% "
                "posterior-predictive band is known (level=0.95)."
            )
        out = self._predict(X, (level,), sample_ids)
        if not calibrated:
            return np.column_stack([out["predictive_low"], out["predictive_high"]])
        return np.column_stack([out["calibrated_low"][0], out["calibrated_high"][0]])

    def save(self, models, property, spectrometer="mir", target=None, force=False):
        """Writes the model folder ``<models>/<spectrometer>/<property>`` as ``veldra-train
        --models MODELS --spectrometer SPECTROMETER --property PROPERTY`` would (the card names
        `target`, else y's name, else the property, as the reference column); refuses to
        replace a model unless `force`. Returns the folder."""
        check_is_fitted(self, "calibration_")
        models = os.fspath(models)
        os.makedirs(models, exist_ok=True)
        target = target or self.target_ or property
        return self.calibration_.save(models, property, spectrometer, force, target)

    def __getstate__(self):
        # A fitted estimator travels as the model folder it saves (the bytes of its files),
        # which the receiving process writes to a folder of its own and predicts from through
        # Model: the same numbers to the last bit, as for any saved model.
        state = dict(self.__dict__)
        calibration = state.pop("calibration_", None)
        if calibration is not None:
            state["_model_files"] = (
                calibration.files()
                if isinstance(calibration, _SavedCalibration)
                else _calibration_files(calibration)
            )
        return state

    def __setstate__(self, state):
        files = state.pop("_model_files", None)
        self.__dict__.update(state)
        if files is not None:
            self.calibration_ = _SavedCalibration(files)

    def _more_tags(self):
        return {"requires_y": True, "allow_nan": False}


class _SavedCalibration:
    """A fitted calibration as its saved model folder: predicts through Model, saves by copying
    the folder under the property asked for."""

    def __init__(self, files):
        self._files = files
        self._scratch = tempfile.TemporaryDirectory(prefix="veldra-model-")
        folder = os.path.join(self._scratch.name, "mir", "m3.model")
        os.makedirs(folder)
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as out:
                out.write(data)
        self._model = Model(folder)

    def files(self):
        return self._files

    def predict(self, ids, X, levels, threads):
        # As the estimator predicted before it travelled: without telling the domain's verdicts.
        logger = logging.getLogger("veldra")
        disabled, logger.disabled = logger.disabled, True
        try:
            return self._model._handle.predict(ids, [], X, "", list(levels), threads)
        finally:
            logger.disabled = disabled

    def save(self, models, property, spectrometer, force, target):
        return _core.copy_model(self._model.folder, models, property, spectrometer, force, target)


def _calibration_files(calibration):
    with tempfile.TemporaryDirectory(prefix="veldra-model-") as scratch:
        folder = calibration.save(scratch, "model", "mir", False, "model")
        return {
            name: open(os.path.join(folder, name), "rb").read()
            for name in sorted(os.listdir(folder))
            if not name.startswith("compiled-forests")
        }


def _is_frame(X):
    return hasattr(X, "columns") and hasattr(X, "index")
