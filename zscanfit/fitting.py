"""fit: the spectroscopic parameters from measured scans, by the robust
method (robust.py) or by fit_zscan itself (exact.py), with standard
errors (covariance.py) and warnings about what the data leave open.

Every model evaluation runs inside one collection of the integrator's
messages, summarised in one IntegratorWarning. Relies on every module of
the package except plot.py and cli.py.
"""
import math
import warnings
from typing import Any, List, Optional, Sequence, Tuple, Union

import lmfit
import numpy as np

from . import texts
from .bootstrap import bootstrap_fit, check_samples
from .convert import float_scalar, int_scalar
from .coordinates import Coordinates
from .covariance import Uncertainties, central_jacobian, uncertainties
from .exact import check_exact, run_fit_zscan
from .experiment import Experiment
from .message_summary import collect_messages
from .parameters import PARAMETER_NAMES, free_names, read_params, spec_pars_of
from .problem import FitProblem
from .result import FitResult, physical_params
from .robust import DIFF_STEP, best_start, run_starts
from .scans import Scan, as_scan_list
from .warning_types import FitWarning, UnitWarning

__all__ = ["fit"]

METHODS = ("robust", "exact")
UNDETERMINED_RELATIVE_ERROR = 1.0   # relative standard error above 100 %
STRONG_CORRELATION = 0.99
ON_BOUND_RELATIVE = 1e-6


def fit(scans: Union[Scan, Sequence[Scan]], experiment: Experiment, params: Any,
        is_sa: bool = False, n_starts: int = 3, method: str = "robust",
        verbose: bool = False, *, center_mm: Optional[float] = None,
        diff_step: float = DIFF_STEP, max_nfev: Optional[int] = None,
        bootstrap: Optional[int] = None, seed: Optional[int] = None,
        client: Any = None) -> FitResult:
    """Fit the free spectroscopic parameters to one or more z-scans.

    Parameters
    ----------
    scans : Scan or sequence of Scan
        The measured scans, one per pulse energy; all are fitted at once.
    experiment : Experiment
        Beam, pulse, sample and the model's resolution.
    params : lmfit.Parameters (see make_params), mapping or 8 values
        Start values of all eight parameters; ``vary`` marks the free ones,
        ``min``/``max`` their bounds (method='robust').
    is_sa : bool
        Saturable absorber: the focus is the maximum of the data (else the
        minimum, for a reverse saturable absorber).
    n_starts : int
        Starts, fit_zscan's spread: the free start values times
        10**(1.04 i/max(n-1, 1) - 0.52), from 0.302 to 3.311 (1.0 in the
        middle for odd counts). The start with the smallest chi-square wins.
    method : {'robust', 'exact'}
        'robust': scipy's trust-region least squares through lmfit, with
        bounds, in log coordinates, with a finite-difference step of
        ``diff_step`` matched to the model's integration noise; points
        weighted as fit_zscan weights them, or by 1/sigma^2 when every scan
        has per-point sigma; scans may differ in length and have masked
        points. 'exact': kesp_wrapper.fit_zscan itself (fitted values bit
        for bit its own; equal-length scans without masked points or
        sigma; no bounds), then errors at its optimum.
    verbose : bool
        Print the integrator's messages instead of one warning.
    center_mm : float, optional
        Focus position, mm, in the scans' frame (method='robust'). Default:
        fit_zscan's rule, the position of the smallest (largest with
        ``is_sa``) measured value of all scans, the first on ties. With
        noisy data on coarse steps that point can lie a step beside the
        true focus and shift the fit; give the focus when it is known.
    diff_step : float
        Relative finite-difference step of the robust method.
    max_nfev : int, optional
        Evaluation budget per start of the robust method (default:
        lmfit's 2000 * (free + 1)).
    bootstrap : int, optional
        Resampled data sets B (>= 2) of a residual bootstrap: each is the
        fitted model plus residuals drawn from the same scan, refitted like
        this fit (from its fitted values) through ``fit_many``; percentile
        intervals in ``result.bootstrap`` and the report.
    seed : int, optional
        Seed of the bootstrap's draws (same seed, same intervals bit for bit).
    client : dask.distributed.Client or str, optional
        Where the bootstrap's refits run (see ``fit_many``); default: local
        threads. The fit itself runs here.

    Returns
    -------
    FitResult
        Values, standard errors, correlations, chi-square, evaluations,
        convergence, residuals; ``report()`` and ``plot()``.

    Raises
    ------
    ValueError
        Wrong input, named with its fix; no free parameter; more free
        parameters than points; method='exact' with scans it cannot fit.

    Warns
    -----
    FitWarning
        A parameter the data do not determine (relative error above 100 %,
        or singular), a correlation above 0.99 in size, a value on a bound.
    IntegratorWarning
        One summary of the integrator's messages, if there were any.
    UnitWarning
        A scan narrower than two Rayleigh ranges (positions in metres?).

    Examples
    --------
    >>> data = load_scans("examples/demo_rsa.csv")             # doctest: +SKIP
    >>> params = make_params(data.spec_pars, free=["sigma_0", "sigma_1"])
    >>> result = fit(data.scans, data.experiment, params)      # doctest: +SKIP
    >>> print(result.report())                                 # doctest: +SKIP
    """
    scan_list = as_scan_list(scans)
    if not isinstance(experiment, Experiment):
        raise ValueError(texts.NOT_AN_EXPERIMENT.format(kind=type(experiment).__name__))
    given = read_params(params)
    free = free_names(given)
    if not free:
        raise ValueError(texts.NOTHING_FREE)
    if method not in METHODS:
        raise ValueError(texts.BAD_METHOD.format(method=method))
    n_starts = int_scalar(n_starts, "n_starts", minimum=1, fix="give the number of starts")
    diff_step = float_scalar(diff_step, "diff_step", positive=True,
                             fix="give a relative step such as 1e-4")
    if max_nfev is not None:
        max_nfev = int_scalar(max_nfev, "max_nfev", minimum=1, fix="give an evaluation budget")
    if center_mm is not None:
        center_mm = float_scalar(center_mm, "center_mm", fix=texts.FIX_POSITIONS)
    if bootstrap is not None:
        bootstrap = check_samples(bootstrap)
    problem = FitProblem(scan_list, experiment, bool(is_sa), center_mm)
    if problem.n_points < len(free):
        raise ValueError(texts.TOO_MANY_FREE.format(free=len(free), points=problem.n_points))
    _warn_narrow_scans(scan_list, experiment)
    if method == "exact":
        check_exact(problem)
        if center_mm is not None:
            raise ValueError(texts.EXACT_CENTER)

    with collect_messages(f"fit(method={method!r})", verbose) as collected:
        if method == "robust":
            outcome = _robust(problem, given, free, n_starts, diff_step, max_nfev)
        else:
            outcome = _exact(problem, given, free, n_starts)
    values, models, errors, fit_info = outcome
    result = _result(problem, given, free, values, models, errors, fit_info,
                     collected.summary, method, n_starts)
    if bootstrap is not None:
        result.bootstrap = bootstrap_fit(result, bootstrap, seed=seed, client=client,
                                         center_mm=center_mm, diff_step=diff_step,
                                         max_nfev=max_nfev, verbose=verbose)
    return result


# ---------------------------------------------------------------- methods
def _robust(problem: FitProblem, given: lmfit.Parameters, free: Tuple[str, ...],
            n_starts: int, diff_step: float, max_nfev: Optional[int]):
    coords = Coordinates(given, free)
    outcomes = run_starts(problem, coords, n_starts, diff_step, max_nfev)
    index = best_start(outcomes)
    best = outcomes[index]
    chisqrs = tuple(o.chisqr for o in outcomes)
    values = best.values
    spec_pars = coords.spec_pars(values)
    models = best.scan_models if best.scan_models is not None else problem.scan_models(spec_pars)
    u = coords.to_internal(values)
    jacobian = getattr(best.result, "jac", None) if best.result is not None else None
    if jacobian is None or np.shape(jacobian) != (problem.n_points, len(free)):
        jacobian = central_jacobian(
            lambda x: problem.residuals(coords.spec_pars(coords.to_values(x))), u)
    residuals = _valid_residuals(problem, models)
    errors = uncertainties(jacobian, coords.derivatives(u), problem.root_weights,
                           residuals, problem.uses_sigma)
    if best.result is None:
        success, message = False, best.error or texts.ALL_STARTS_FAILED
    else:
        success = bool(best.result.success) and math.isfinite(best.chisqr)
        message = str(best.result.message)
    if not any(math.isfinite(c) for c in chisqrs):
        success, message = False, texts.ALL_STARTS_FAILED
    info = dict(success=success, message=message, best_start=index, start_chisqr=chisqrs,
                minimizer_result=best.result)
    return values, models, errors, info


def _exact(problem: FitProblem, given: lmfit.Parameters, free: Tuple[str, ...],
           n_starts: int):
    residuals_all, _error, fitted = run_fit_zscan(problem, spec_pars_of(given), free, n_starts)
    index = [PARAMETER_NAMES.index(name) for name in free]
    values = np.array(fitted[index], dtype=np.float64)
    # Errors in linear coordinates scaled by the fitted values: fit_zscan's
    # values may be of any sign.
    at_fit = lmfit.Parameters()
    for name in PARAMETER_NAMES:
        value = float(fitted[PARAMETER_NAMES.index(name)])
        if name in free and value == 0.0:
            value = given[name].value
        at_fit.add(name, value=value, vary=name in free)
    coords = Coordinates(at_fit, free, logarithmic=False)
    coords.base = np.array(fitted, dtype=np.float64)[:len(PARAMETER_NAMES)]
    u = coords.to_internal(values)
    jacobian = central_jacobian(
        lambda x: problem.residuals(coords.spec_pars(coords.to_values(x))), u)
    models, start = [], 0
    y_all = np.concatenate([s.transmittance for s in problem.scans])
    model_all = y_all - residuals_all
    for scan in problem.scans:
        models.append(model_all[start:start + scan.n_points])
        start += scan.n_points
    residuals = _valid_residuals(problem, models)
    errors = uncertainties(jacobian, coords.derivatives(u), problem.root_weights,
                           residuals, problem.uses_sigma)
    weighted = problem.root_weights * residuals
    minimizer_result = lmfit.minimizer.MinimizerResult(
        method="fit_zscan", params=None, var_names=list(free), nvarys=len(free),
        residual=weighted, success=None, message=texts.EXACT_MESSAGE, errorbars=False)
    info = dict(success=None, message=texts.EXACT_MESSAGE, best_start=-1,
                start_chisqr=(), minimizer_result=minimizer_result)
    return values, models, errors, info


# ---------------------------------------------------------------- result
def _valid_residuals(problem: FitProblem, models: List[np.ndarray]) -> np.ndarray:
    return problem.y - np.concatenate([m[mask] for m, mask in zip(models, problem.masks)])


def _result(problem: FitProblem, given: lmfit.Parameters, free: Tuple[str, ...],
            values: np.ndarray, models: List[np.ndarray], errors: Uncertainties,
            info: dict, summary, method: str, n_starts: int) -> FitResult:
    residuals = _valid_residuals(problem, models)
    weighted = problem.root_weights * residuals
    chisqr = float(np.sum(weighted * weighted))
    ndata, nvarys = problem.n_points, len(free)
    redchi = chisqr / (ndata - nvarys) if ndata > nvarys else math.nan
    params = physical_params(given, free, values, errors.stderr, errors.correlation)
    texts_out = _problems(given, free, values, errors, method)
    for text in texts_out:
        warnings.warn(text, FitWarning, stacklevel=3)
    scan_residuals = []
    for scan, model_values in zip(problem.scans, models):
        r = scan.transmittance - model_values
        r[~scan.valid] = np.nan
        scan_residuals.append(r)
    minimizer_result = info["minimizer_result"]
    if minimizer_result is not None and minimizer_result.params is None:
        minimizer_result.params = params
    start_chisqr = info["start_chisqr"] if method == "robust" else (chisqr,)
    return FitResult(
        params=params, free=free, covariance=errors.covariance,
        correlation=errors.correlation, chisqr=chisqr, redchi=redchi, ndata=ndata,
        nvarys=nvarys, nfev=problem.n_evaluations, success=info["success"],
        message=info["message"], method=method, n_starts=n_starts,
        best_start=info["best_start"], start_chisqr=tuple(start_chisqr),
        center_mm=problem.center_mm, noise=errors.noise, uses_sigma=problem.uses_sigma,
        residuals=scan_residuals, models=[np.array(m) for m in models], messages=summary,
        warnings=tuple(texts_out), minimizer_result=minimizer_result,
        scans=problem.scans, experiment=problem.experiment, is_sa=problem.is_sa)


def _problems(given: lmfit.Parameters, free: Sequence[str], values: np.ndarray,
              errors: Uncertainties, method: str) -> List[str]:
    """The warnings about the fitted parameters, in a fixed order."""
    found = []
    for i, name in enumerate(free):
        value, stderr = float(values[i]), float(errors.stderr[i])
        if not math.isfinite(stderr):
            found.append(texts.UNDETERMINED_SINGULAR.format(name=name))
        elif value == 0.0 or stderr > UNDETERMINED_RELATIVE_ERROR * abs(value):
            percent = math.inf if value == 0.0 else 100.0 * stderr / abs(value)
            found.append(texts.UNDETERMINED.format(name=name, value=value, stderr=stderr,
                                                   percent=percent))
    for i in range(len(free)):
        for j in range(i + 1, len(free)):
            r = float(errors.correlation[i, j])
            if math.isfinite(r) and abs(r) > STRONG_CORRELATION:
                found.append(texts.CORRELATED.format(first=free[i], second=free[j], r=r))
    for i, name in enumerate(free):
        value = float(values[i])
        low, high = float(given[name].min), float(given[name].max)
        scale = abs(given[name].value)
        if method == "exact":
            if not low <= value <= high:
                found.append(texts.EXACT_BOUNDS.format(name=name, value=value, low=low, high=high))
            continue
        if low == 0.0 and value < ON_BOUND_RELATIVE * scale:
            found.append(texts.TOWARD_ZERO.format(name=name, value=value))
        elif math.isfinite(low) and low != 0.0 and value - low <= ON_BOUND_RELATIVE * max(abs(low), scale):
            found.append(texts.ON_BOUND.format(name=name, value=value, side="lower", bound=low))
        elif math.isfinite(high) and high - value <= ON_BOUND_RELATIVE * max(abs(high), scale):
            found.append(texts.ON_BOUND.format(name=name, value=value, side="upper", bound=high))
    return found


def _warn_narrow_scans(scans: Sequence[Scan], experiment: Experiment) -> None:
    rayleigh = experiment.rayleigh_range_mm
    for scan in scans:
        if scan.span_mm < 2.0 * rayleigh:
            warnings.warn(texts.UNIT_POSITIONS_M.format(
                energy=scan.pulse_energy, span=scan.span_mm, rayleigh=rayleigh),
                UnitWarning, stacklevel=4)
