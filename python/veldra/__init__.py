"""Soil properties from infrared spectra with BART models.

The same libraries as the programs ``veldra-predict`` and ``veldra-train``, from Python:

- :func:`read_opus` and :func:`read_csv` read spectra as the programs do;
- :class:`Model` opens a model folder and predicts means, draws, intervals and the calibration
  domain's verdicts, the numbers ``veldra-predict`` writes;
- :class:`BARTRegressor` calibrates a model as a scikit-learn estimator and saves the folder
  ``veldra-train`` would write.

Errors of the libraries are raised as :class:`VeldraError` (a ``ValueError``) with the programs'
messages; log records go to the ``logging`` logger ``"veldra"``.
"""

from ._core import VeldraError, __version__
from ._estimator import BARTRegressor
from ._model import DomainVerdicts, Model
from ._spectra import Spectra, model_directory, read_csv, read_opus

__all__ = [
    "BARTRegressor",
    "DomainVerdicts",
    "Model",
    "Spectra",
    "VeldraError",
    "__version__",
    "model_directory",
    "read_csv",
    "read_opus",
]
