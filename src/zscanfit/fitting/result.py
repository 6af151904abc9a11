"""The result of a fit and its text report.

FitResult keeps lmfit's MinimizerResult of the chosen start and adds what
a z-scan fit needs: the parameters in physical units with standard errors
and correlations, chi-square, the evaluation count, convergence, the
focus position, residuals and model values per scan, the integrator's
message summary and the warnings about parameters the data do not
determine. It is plain data, so it pickles. The text report and the
figure are made by report.py and plot.py, to which a result hands itself.
Relies on lmfit, NumPy, the inputs and the integrator messages' summary.
"""
import dataclasses
import json
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import lmfit
import numpy as np

from .._files import atomic_output
from ..evaluation.curve import fitted_curve
from ..evaluation.integrator_messages import MessageSummary, collect_messages
from ..evaluation.problem import DataSet, FitProblem
from ..evaluation.models import ModelSpec
from ..inputs.experiment import Experiment
from ..inputs.parameters import (OPTICAL_NAMES, PARAMETER_NAMES, add_parameter, names_of,
                                 parameter_bounds)
from ..inputs.scans import Scan
from ..warning_types import WarningRecord
from .coordinates import Coordinates
from .notebook import result_dataframe, result_html
from .plot import plot_fit
from .profile import profile_intervals
from .report import fit_report
from .result_json import result_from_dict, result_to_dict

__all__ = ["FitResult"]


@dataclasses.dataclass
class FitResult:
    """What a fit found, how well, and how sure.

    Attributes
    ----------
    params : lmfit.Parameters
        All eight parameters at the fitted values; free ones carry
        ``stderr`` and ``correl`` (lmfit's fields), ``init_value`` the value
        given.
    free : tuple of str
        Names of the fitted parameters, in the order of the covariance.
    covariance, correlation : ndarray, shape (n_free, n_free)
        Covariance (physical units) and correlation matrix; NaN where the
        data do not determine a parameter.
    chisqr, redchi : float
        Weighted sum of squares at the optimum and its value per degree of
        freedom (ndata - nvarys).
    ndata, nvarys : int
        Valid data points and free parameters.
    nfev : int
        Model evaluations made by zscanfit (every start, plus those for the
        errors; method='exact' adds fit_zscan's own, which it does not count).
    success : bool or None
        The minimiser's convergence flag for the chosen start (None for
        method='exact': fit_zscan does not report it).
    message : str
        The minimiser's convergence message.
    method : str
        'robust' or 'exact'.
    n_starts, best_start : int
        Starts tried and the index of the chosen one.
    start_chisqr : tuple of float
        Chi-square at the end of every start (NaN for a failed start).
    center_mm : float
        Focus position shared by the scans, mm.
    noise : float
        Noise standard deviation estimated from the residuals (NaN when
        per-point sigma was given).
    uses_sigma : bool
        Points were weighted by 1/sigma^2 (else fit_zscan's weights).
    residuals, models : list of ndarray
        Per scan, at every position: measured minus model (NaN at masked
        points) and the model values.
    messages : MessageSummary
        The integrator's messages during the fit.
    warning_records : tuple of WarningRecord
        Every warning of the fit, as (category, text): the experiment's and
        the scans' (unit slips, masked points), the fit's (parameters not
        determined by the data, strong correlations, values on a bound,
        no convergence, a suspected focus problem, a reduced chi-square
        that per-point sigma cannot explain) and the integrator's summary.
        ``warnings`` holds their texts.
    minimizer_result : lmfit.minimizer.MinimizerResult or None
        lmfit's result of the chosen start, in the fit coordinates
        (``u = 1 + ln(v/s)`` for positive parameters, see coordinates.py);
        None for a result read back from JSON.
    weighting : str
        'equal', 'sigma' (1/sigma^2) or 'fit_zscan' (the exact method's).
    focus_score : float
        The residuals along the focus derivative, in standard errors
        (beyond 4 a FitWarning says the focus looks off).
    center_given : bool
        The focus was given (center_mm), not taken from the data.
    model : ModelSpec
        The model fitted ('whole-beam', 'on-axis' or 'beam-propagation')
        and its tolerance.
    model_error : float
        The model's largest estimate of its own error at the
        fitted values (NaN for the on-axis model).
    source : str or None
        The data file the scans came from, when known.
    given_experiment : Experiment or None
        The experiment as given, when the fit changed its beam (w0 or M2
        among the parameters); ``experiment`` then holds the fit's.
    error_budget : ErrorBudget or None
        With uncertainties of the experiment's settings: each setting's
        contribution to every free parameter's uncertainty, and the
        combined standard uncertainty (``combined``).
    profile : ProfileIntervals or None
        The profile-likelihood intervals, once conf_interval() computed them.
    data_sets : list of DataSet or None
        A global fit's data sets (files), each with its scans, experiment
        and focus; None for a fit of one data set.
    scans : list of Scan
    experiment : Experiment
    is_sa : bool
    bootstrap : BootstrapResult or None
        Percentile intervals of a residual bootstrap (fit(bootstrap=B)).
    """

    params: lmfit.Parameters
    free: Tuple[str, ...]
    covariance: np.ndarray
    correlation: np.ndarray
    chisqr: float
    redchi: float
    ndata: int
    nvarys: int
    nfev: int
    success: Optional[bool]
    message: str
    method: str
    n_starts: int
    best_start: int
    start_chisqr: Tuple[float, ...]
    center_mm: float
    noise: float
    uses_sigma: bool
    residuals: List[np.ndarray]
    models: List[np.ndarray]
    messages: MessageSummary
    warning_records: Tuple[WarningRecord, ...]
    minimizer_result: Any
    scans: List[Scan]
    experiment: Experiment
    is_sa: bool
    weighting: str = "equal"
    focus_score: float = float("nan")
    center_given: bool = False
    bootstrap: Optional[Any] = None
    source: Optional[str] = None
    model: ModelSpec = ModelSpec()
    model_error: float = float("nan")
    given_experiment: Optional[Experiment] = None
    error_budget: Optional[Any] = None
    profile: Optional[Any] = None
    data_sets: Optional[List[Any]] = None

    # ------------------------------------------------------------ access
    @property
    def values(self) -> Dict[str, float]:
        """Every parameter value by name: the eight spectroscopic ones and
        the beam's the fit held (center_mm, w0, M2)."""
        return {name: float(self.params[name].value) for name in names_of(self.params)}

    @property
    def stderr(self) -> Dict[str, float]:
        """Standard error of every free parameter by name (NaN: undetermined)."""
        return {name: float(self.params[name].stderr) for name in self.free}

    @property
    def spec_pars(self) -> np.ndarray:
        """The eight values in fit_zscan's order."""
        return np.array([self.params[name].value for name in PARAMETER_NAMES])

    @property
    def nfree(self) -> int:
        """Degrees of freedom: ndata - nvarys."""
        return self.ndata - self.nvarys

    @property
    def warnings(self) -> Tuple[str, ...]:
        """The texts of every warning of the fit (see warning_records)."""
        return tuple(record.message for record in self.warning_records)

    def curve(self, scan_index: int, x_mm: Any) -> np.ndarray:
        """The fitted model of scan ``scan_index`` at positions ``x_mm`` (mm,
        in the scans' frame), centred and normalised like the fit, so that
        it passes through the fitted values at the scan's points."""
        scan = self.scans[scan_index]
        optics = {name: float(self.params[name].value) for name in OPTICAL_NAMES
                  if name in self.params}
        if not self.data_sets:
            return fitted_curve(self.model, self.experiment, self.spec_pars, scan,
                                self.center_mm, x_mm, max(s.pulse_energy for s in self.scans),
                                optics)
        owner = [d for d in self.data_sets for _ in d.scans][scan_index]
        # The scans evaluated with it: those of the data sets of its experiment.
        together = [s for d in self.data_sets if d.experiment == owner.experiment
                    for s in d.scans]
        return fitted_curve(self.model, owner.experiment, self.spec_pars, scan,
                            owner.center_mm, x_mm, max(s.pulse_energy for s in together), optics)

    # ------------------------------------------------------------ output
    def report(self, min_correl: float = 0.1) -> str:
        """A text report in the manner of lmfit's fit_report.

        Fit statistics, convergence, the parameters with errors (relative
        errors in per cent) and start values, correlations above
        ``min_correl``, warnings and the integrator's messages.
        """
        return fit_report(self, min_correl)

    def plot(self, path: Optional[str] = None, **options: Any) -> Any:
        """Plot data, smooth fitted curves, residuals; see zscanfit.fitting.plot.plot_fit."""
        return plot_fit(self, path, **options)

    def to_dataframe(self) -> Any:
        """The parameters as a pandas DataFrame, one row each (index: name):
        value, stderr, relative_error (NaN for focus positions),
        combined_uncertainty (the error budget's, else the standard error),
        min, max, free, unit. Needs pandas: ``pip install
        kesp_wrapper[pandas]`` (ImportError naming it otherwise)."""
        return result_dataframe(self)

    def _repr_html_(self) -> str:
        """A notebook's view: the values with their errors, the error
        budget, the warnings and the figure as an embedded PNG."""
        return result_html(self)

    def problem(self) -> FitProblem:
        """The fit's problem again: its data, experiment(s), focus, weights
        and model, for computations after the fit."""
        data_sets = self.data_sets or [DataSet(tuple(self.scans), self.given_experiment or
                                               self.experiment,
                                               None if "center_mm" in self.free else self.center_mm)]
        problem = FitProblem(self.scans, data_sets[0].experiment, self.is_sa,
                             fit_zscan_weights=self.weighting == "fit_zscan", model=self.model,
                             data_sets=data_sets)
        problem.sigma_0_free = "sigma_0" in self.free
        return problem

    def conf_interval(self, sigmas: Sequence[float] = (1, 2),
                      names: Optional[Sequence[str]] = None) -> Any:
        """Profile-likelihood intervals of the free parameters (see
        zscanfit.fitting.profile): ``intervals[name][sigma]`` is (lower,
        upper); kept in ``profile`` and shown by the report. Refits the data
        a few dozen times per parameter."""
        with collect_messages("conf_interval", announce=False):
            coords = Coordinates(self.params, self.free,
                                 logarithmic=self.method != "exact",
                                 scales={"center_mm": self.experiment.rayleigh_range_mm})
            self.profile = profile_intervals(self.problem(), coords, self.values, self.stderr,
                                             self.chisqr, sigmas, names)
        return self.profile

    def to_dict(self, curve_points: int = 200) -> Dict[str, Any]:
        """The result as JSON-ready plain data (NaN as None): the package
        version, the inputs (data file, experiment, start values, bounds,
        starts, method, focus), the data, the fitted values with errors and
        correlations, residuals, fitted curves (at the data and on a grid
        of ``curve_points`` per scan), warnings and messages. Read back
        with ``FitResult.from_json``."""
        return result_to_dict(self, curve_points)

    def to_json(self, path: Optional[Union[str, "os.PathLike[str]"]] = None) -> str:
        """The result as JSON text (to_dict), also written to ``path`` if given."""
        text = json.dumps(self.to_dict(), indent=2) + "\n"
        if path is not None:
            with atomic_output(path) as stream:
                stream.write(text)
        return text

    @classmethod
    def from_json(cls, source: Union[str, "os.PathLike[str]"]) -> "FitResult":
        """A result read back from JSON text or a JSON file written by
        to_json: everything a report and a plot need (the minimiser's own
        result is not kept)."""
        text = os.fspath(source)
        if not text.lstrip().startswith("{"):
            with open(text) as stream:
                text = stream.read()
        return result_from_dict(cls, json.loads(text))

    def __repr__(self) -> str:
        parts = ", ".join(f"{name}={self.params[name].value:.4g}+/-{self.params[name].stderr:.2g}"
                          for name in self.free)
        return (f"<FitResult {self.method}, {self.model.name}: {parts}; chi-square {self.chisqr:.4g}, "
                f"{self.nfev} evaluations, success={self.success}>")


def physical_params(given: lmfit.Parameters, free: Sequence[str], values: Sequence[float],
                    stderr: np.ndarray, correlation: np.ndarray) -> lmfit.Parameters:
    """Copy of ``given`` with the free values, errors and correlations set."""
    params = lmfit.Parameters()
    for name in names_of(given):
        source = given[name]
        low, high = parameter_bounds(source)
        add_parameter(params, name, source.value, source.vary, low, high)
        params[name].init_value = source.value
    for i, name in enumerate(free):
        value = float(values[i])
        low, high = parameter_bounds(params[name])
        if not low <= value <= high:
            # method='exact' has no bounds; keep its value, drop the bounds.
            params[name].set(min=-np.inf, max=np.inf)
            params[name].user_data = None
        params[name].value = value
        params[name].stderr = float(stderr[i])
        params[name].correl = {other: float(correlation[i, j])
                               for j, other in enumerate(free) if j != i}
    return params
