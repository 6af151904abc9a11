"""zscanfit: fitting a five-level rate-equation model to open-aperture
z-scan data, for researchers.

The model is the one kesp_wrapper.fit_zscan fits, evaluated by the
compiled entry zscanfit._core. This package adds parameters by name with
bounds (lmfit), robust fits with honest standard errors, masked points,
per-point uncertainties, unit checks, a report, a plot and a command line
(``zscanfit`` or ``python -m zscanfit``).

The package is layered; each layer imports only the layers below it
(checked by a test): the base modules (texts, warning_types, _stop,
_native: the only door to the compiled code), then inputs/ (experiment,
scans, parameters, files), evaluation/ (the model on a scan, the fit
problem, weights, noise, integrator messages), fitting/ (one fit: methods,
errors, result, report, plot), many/ (many jobs: executor, bootstrap),
api.py (fit, fit_many, bootstrap_fit) and cli/ on top.

Examples
--------
>>> import zscanfit
>>> data = zscanfit.load_scans("examples/demo_rsa.csv")            # doctest: +SKIP
>>> params = zscanfit.make_params(data.spec_pars, free=["sigma_0", "sigma_1"])
>>> result = zscanfit.fit(data.scans, data.experiment, params)     # doctest: +SKIP
>>> print(result.report())                                         # doctest: +SKIP
>>> result.plot("fit.png")                                         # doctest: +SKIP
>>> jobs = [zscanfit.FitJob(f.scans, f.experiment, params) for f in files]  # doctest: +SKIP
>>> results = zscanfit.fit_many(jobs)          # local threads, or client=<Dask>  # doctest: +SKIP
"""
import importlib
from typing import TYPE_CHECKING, Any, List

from ._version import __version__

# Where each public name lives. They are imported on first use (PEP 562), so
# that ``import zscanfit`` and the command line start at once: the command
# line can then answer Ctrl-C during its own start with one line.
_PUBLIC = {
    "bootstrap_fit": "api", "fit": "api", "fit_global": "api", "fit_many": "api",
    "model": "evaluation.curve",
    "MessageSummary": "evaluation.integrator_messages",
    "estimate_model_noise": "evaluation.noise",
    "FitResult": "fitting.result",
    "EXPERIMENT_SETTINGS": "inputs.experiment", "Experiment": "inputs.experiment",
    "ScanFile": "inputs.loading", "load_scans": "inputs.loading",
    "PARAMETER_NAMES": "inputs.parameters", "PARAMETER_UNITS": "inputs.parameters",
    "make_params": "inputs.parameters", "start_factors": "inputs.parameters",
    "Scan": "inputs.scans",
    "BootstrapResult": "many.bootstrap",
    "FitFailure": "many.executor", "FitJob": "many.executor",
    "DataWarning": "warning_types", "FitWarning": "warning_types",
    "IntegratorWarning": "warning_types", "UnitWarning": "warning_types",
    "ZScanWarning": "warning_types",
}

if TYPE_CHECKING:  # what type checkers see: the same names, imported at once
    from .api import bootstrap_fit, fit, fit_global, fit_many
    from .evaluation.curve import model
    from .evaluation.integrator_messages import MessageSummary
    from .evaluation.noise import estimate_model_noise
    from .fitting.result import FitResult
    from .inputs.experiment import EXPERIMENT_SETTINGS, Experiment
    from .inputs.loading import ScanFile, load_scans
    from .inputs.parameters import PARAMETER_NAMES, PARAMETER_UNITS, make_params, start_factors
    from .inputs.scans import Scan
    from .many.bootstrap import BootstrapResult
    from .many.executor import FitFailure, FitJob
    from .warning_types import (DataWarning, FitWarning, IntegratorWarning, UnitWarning,
                                ZScanWarning)


def __getattr__(name: str) -> Any:
    where = _PUBLIC.get(name)
    if where is None:
        raise AttributeError(f"module 'zscanfit' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{where}", __name__), name)
    globals()[name] = value  # once found, an ordinary attribute
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_PUBLIC))


__all__ = [
    "__version__",
    "Experiment", "EXPERIMENT_SETTINGS", "Scan", "ScanFile", "load_scans",
    "PARAMETER_NAMES", "PARAMETER_UNITS", "make_params", "start_factors",
    "fit", "FitResult", "model", "estimate_model_noise", "MessageSummary",
    "ZScanWarning", "UnitWarning", "DataWarning", "FitWarning", "IntegratorWarning",
    "fit_many", "FitJob", "FitFailure", "BootstrapResult", "bootstrap_fit", "fit_global",
]
