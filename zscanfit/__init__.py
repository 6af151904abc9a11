"""zscanfit: fitting a five-level rate-equation model to open-aperture
z-scan data, for researchers.

The model is the one kesp_wrapper.fit_zscan fits, evaluated by the
compiled entry zscanfit._core. This package adds parameters by name with
bounds (lmfit), robust fits with honest standard errors, masked points,
per-point uncertainties, unit checks, a report, a plot and a command line
(``python -m zscanfit``).

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
from .batch import FitFailure, FitJob, fit_many
from .bootstrap import BootstrapResult
from .experiment import EXPERIMENT_SETTINGS, Experiment
from .fitting import fit
from .loading import ScanFile, load_scans
from .message_summary import MessageSummary
from .model import model
from .noise import estimate_model_noise
from .parameters import PARAMETER_NAMES, PARAMETER_UNITS, make_params, start_factors
from .result import FitResult
from .scans import Scan
from .warning_types import (DataWarning, FitWarning, IntegratorWarning, UnitWarning,
                            ZScanWarning)

__all__ = [
    "Experiment", "EXPERIMENT_SETTINGS", "Scan", "ScanFile", "load_scans",
    "PARAMETER_NAMES", "PARAMETER_UNITS", "make_params", "start_factors",
    "fit", "FitResult", "model", "estimate_model_noise", "MessageSummary",
    "ZScanWarning", "UnitWarning", "DataWarning", "FitWarning", "IntegratorWarning",
    "fit_many", "FitJob", "FitFailure", "BootstrapResult",
]
