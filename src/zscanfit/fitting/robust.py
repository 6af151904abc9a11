"""The robust fit: lmfit's least_squares (scipy's trust-region reflective
method) with bounds, in the fit coordinates of coordinates.py, from
fit_zscan's spread of starts, the best start chosen.

The Jacobian is exact where the model gives derivatives (the whole-beam
model, computed beside its values: FitProblem.jacobian_at), chained into
the fit coordinates. Elsewhere (the on-axis model; sigma_0 free where an
absorbance scales the populations with it) it is forward differences. The
whole-beam model is integrated adaptively, so it is smooth in the
parameters only down to its integration noise; a forward difference with
relative step h errs by about noise/h from the noise plus h/2 times the
curvature, and MINPACK's 1.5e-8 step gives Jacobians wrong by tens of per
cent. The differences are therefore taken here, with the step h absolute
in the fit coordinates (a relative step of the value), not by scipy, whose
relative steps shrink with the coordinate's size; each such Jacobian costs
one evaluation per free parameter. fit_robust runs every start and hands
on the best as a MethodOutcome, with the Jacobian at its end (the standard
errors come from it). Relies on lmfit, the fit problem (evaluation),
coordinates.py, covariance.py (a central Jacobian where neither is at
hand) and the parameters (inputs).
"""
import dataclasses
import math
from typing import List, Mapping, Optional, Sequence, Tuple

import lmfit
import numpy as np

from .. import texts
from ..evaluation.models import ScanValues
from ..evaluation.problem import FitProblem
from ..inputs.parameters import PARAMETER_NAMES, start_factors
from .coordinates import Coordinates
from .covariance import central_jacobian
from .method_outcome import MethodOutcome
from .progress import FitProgress

__all__ = ["DIFF_STEP", "StartOutcome", "run_one", "run_starts", "best_start", "fit_robust",
           "screened_starts",
           "exact_jacobian"]

# Finite-difference step in the fit coordinates (relative for positive
# parameters) matched to the model's integration noise.
DIFF_STEP = 1e-4
# Tolerances of scipy's least_squares: relative change of the sum of
# squares, relative step in the fit coordinates, scaled gradient.
FTOL = 1e-8
XTOL = 1e-8
GTOL = 1e-8


@dataclasses.dataclass
class StartOutcome:
    """One start: its factor, the lmfit result and the model at its end."""

    factor: float
    result: Optional[lmfit.minimizer.MinimizerResult]
    values: np.ndarray          # fitted values of the free parameters
    chisqr: float               # NaN when the start failed
    scan_models: Optional[List[np.ndarray]]
    evaluations: int
    error: str = ""             # why a start failed, if it did
    model_errors: Optional[List[np.ndarray]] = None  # the whole-beam model's estimates


def _start_values(coords: Coordinates, factor: float,
                  given: Optional[Sequence[float]] = None) -> np.ndarray:
    values = []
    for k, (name, (low, high)) in enumerate(zip(coords.free, coords.search_bounds())):
        # The spread of starts is the spectroscopic parameters'; the beam's
        # start where they are.
        spread = factor if name in PARAMETER_NAMES else 1.0
        value = spread * coords.base[name] if given is None else float(given[k])
        values.append(min(max(value, low), high))
    return np.array(values, dtype=np.float64)


def exact_jacobian(problem: FitProblem, coords: Coordinates, u: Sequence[float],
                   slope_names: Sequence[str]) -> Tuple[ScanValues, np.ndarray]:
    """The evaluation at fit coordinates ``u`` and the weighted residuals'
    Jacobian there from the model's derivatives (slope_names from
    problem.slope_names(coords.free))."""
    evaluated, slopes = problem.jacobian_at(coords.point(coords.to_values(u)), coords.free,
                                            slope_names)
    dv_du = coords.derivatives(u)
    return evaluated, -(problem.root_weights[:, np.newaxis] * slopes) * dv_du[np.newaxis, :]


def run_one(problem: FitProblem, coords: Coordinates, factor: float,
            diff_step: float, max_nfev: Optional[int],
            start_values: Optional[Sequence[float]] = None) -> StartOutcome:
    """Fit from the start ``factor`` times the given values, or from
    ``start_values`` of the free parameters (clipped into bounds)."""
    last = {}
    bounds = coords.internal_bounds()
    slope_names = problem.slope_names(coords.free, coords.base)

    def remember(key: Tuple[float, ...], evaluated: ScanValues) -> np.ndarray:
        last["u"], last["models"], last["errors"] = key, evaluated.values, evaluated.errors
        last["residuals"] = problem.weighted_residuals(evaluated.values)
        return last["residuals"]

    def residuals_at(u: Sequence[float]) -> np.ndarray:
        key = tuple(float(x) for x in u)
        if last.get("u") == key:
            return last["residuals"]
        return remember(key, problem.evaluate_at(coords.point(coords.to_values(key))))

    def objective(internal: lmfit.Parameters) -> np.ndarray:
        return residuals_at([internal[name].value for name in coords.free])

    def derivatives(internal: lmfit.Parameters) -> np.ndarray:
        # The values come again with the derivatives, the same bits.
        key = tuple(float(internal[name].value) for name in coords.free)
        evaluated, jacobian = exact_jacobian(problem, coords, key, slope_names)
        remember(key, evaluated)
        return jacobian

    def differences(internal: lmfit.Parameters) -> np.ndarray:
        # Forward differences with the absolute step diff_step in every
        # coordinate (backward where a bound is that close); the residuals
        # at u are those of the evaluation scipy just made.
        u = np.array([internal[name].value for name in coords.free], dtype=np.float64)
        base = residuals_at(u).copy()
        columns = []
        for j in range(u.shape[0]):
            step = diff_step if u[j] + diff_step <= bounds[j][1] else -diff_step
            moved = u.copy()
            moved[j] += step
            columns.append((residuals_at(moved) - base) / (moved[j] - u[j]))
        return np.column_stack(columns)

    before = problem.n_evaluations
    start = _start_values(coords, factor, start_values)
    minimizer = lmfit.Minimizer(objective, coords.lmfit_params(start), nan_policy="propagate")
    try:
        result = minimizer.minimize(method="least_squares",
                                    jac=differences if slope_names is None else derivatives,
                                    ftol=FTOL, xtol=XTOL, gtol=GTOL, max_nfev=max_nfev)
    except ValueError as exc:  # scipy: residuals not finite at the start
        return StartOutcome(factor, None, start, math.nan, None,
                            problem.n_evaluations - before, str(exc))
    # The result keeps the call's options; the Jacobian function is local to
    # this call and would stop the result from pickling.
    if isinstance(getattr(result, "call_kws", None), dict) and "jac" in result.call_kws:
        result.call_kws = dict(result.call_kws, jac=(
            "forward differences, step diff_step in u" if slope_names is None
            else "the model's derivatives"))
    u = tuple(float(result.params[name].value) for name in coords.free)
    residuals = residuals_at(u)
    chisqr = float(np.sum(residuals * residuals))
    return StartOutcome(factor, result, coords.to_values(u), chisqr, last["models"],
                        problem.n_evaluations - before, model_errors=last["errors"])


def run_starts(problem: FitProblem, coords: Coordinates, n_starts: int,
               diff_step: float = DIFF_STEP, max_nfev: Optional[int] = None,
               progress: Optional[FitProgress] = None) -> List[StartOutcome]:
    """One robust fit per start factor of fit_zscan's spread, in order."""
    outcomes = []
    for index, factor in enumerate(start_factors(n_starts, method="robust")):
        if progress is not None:
            progress.start(index)
        outcomes.append(run_one(problem, coords, factor, diff_step, max_nfev))
    return outcomes


def best_start(outcomes: List[StartOutcome]) -> int:
    """Index of the start with the smallest finite chi-square (earliest on
    ties); 0 when none is finite."""
    best, best_chisqr = 0, math.inf
    for index, outcome in enumerate(outcomes):
        if math.isfinite(outcome.chisqr) and outcome.chisqr < best_chisqr:
            best, best_chisqr = index, outcome.chisqr
    return best


def screened_starts(problem: FitProblem, screen: FitProblem, coords: Coordinates,
                    n_starts: int, shifts: Mapping[str, float], diff_step: float = DIFF_STEP,
                    max_nfev: Optional[int] = None,
                    progress: Optional[FitProgress] = None) -> Tuple[List[StartOutcome], int]:
    """The starts run with the cheap ``screen`` problem (the thin model of
    the same data), the best one's optimum refined with ``problem`` (a
    dear model), its focus values moved by ``shifts`` (by name: where the
    two models place the sample differently). Returns the outcomes — the
    screen's, the best replaced by the refinement — and the best's index;
    the ordinary starts with ``problem`` where no screened start ends."""
    screened = run_starts(screen, coords, n_starts, diff_step, max_nfev, progress)
    index = best_start(screened)
    best = screened[index]
    if best.result is None or not math.isfinite(best.chisqr):
        outcomes = run_starts(problem, coords, n_starts, diff_step, max_nfev, progress)
        return outcomes, best_start(outcomes)
    start = [value + shifts.get(name, 0.0) for name, value in zip(coords.free, best.values)]
    outcomes = list(screened)
    outcomes[index] = run_one(problem, coords, best.factor, diff_step, max_nfev, start)
    return outcomes, index


def fit_robust(problem: FitProblem, coords: Coordinates, n_starts: int,
               diff_step: float = DIFF_STEP, max_nfev: Optional[int] = None,
               progress: Optional[FitProgress] = None, screen: Optional[FitProblem] = None,
               shifts: Optional[Mapping[str, float]] = None) -> MethodOutcome:
    """Every start, and the best one's end with its Jacobian; with
    ``screen``, the starts screened with it (screened_starts).

    The Jacobian is scipy's last one at the optimum (the model's
    derivatives or our forward differences), or, where a start failed
    before scipy made one, the model's derivatives or central differences.
    """
    if screen is not None and n_starts > 1:
        outcomes, index = screened_starts(problem, screen, coords, n_starts, shifts or {},
                                          diff_step, max_nfev, progress)
    else:
        outcomes = run_starts(problem, coords, n_starts, diff_step, max_nfev, progress)
        index = best_start(outcomes)
    best = outcomes[index]
    chisqrs = tuple(o.chisqr for o in outcomes)
    values = best.values
    if best.scan_models is not None:
        models, model_errors = best.scan_models, best.model_errors
    else:
        evaluated = problem.evaluate_at(coords.point(values))
        models, model_errors = evaluated.values, evaluated.errors
    u = coords.to_internal(values)
    jacobian = getattr(best.result, "jac", None) if best.result is not None else None
    if jacobian is None or np.shape(jacobian) != (problem.n_points, len(coords.free)):
        slope_names = problem.slope_names(coords.free, coords.base)
        if slope_names is not None:
            jacobian = exact_jacobian(problem, coords, u, slope_names)[1]
        else:
            jacobian = central_jacobian(
                lambda x: problem.residuals_at(coords.point(coords.to_values(x))), u)
    if best.result is None:
        success, message = False, best.error or texts.ALL_STARTS_FAILED
    else:
        success = bool(best.result.success) and math.isfinite(best.chisqr)
        message = str(best.result.message)
    if not any(math.isfinite(c) for c in chisqrs):
        success, message = False, texts.ALL_STARTS_FAILED
    return MethodOutcome(values=values, models=models, jacobian=jacobian,
                         dv_du=coords.derivatives(u), success=success, message=message,
                         best_start=index, start_chisqr=chisqrs,
                         minimizer_result=best.result, model_errors=model_errors)
