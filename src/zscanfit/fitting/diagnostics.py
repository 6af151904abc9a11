"""What the data leave open about a fit, as warning records: parameters
they do not determine (relative error above 100 %, or a singular
Jacobian), strong correlations, values on a bound, a fit that did not
converge (with what to try), a focus the residuals say is off, a reduced
chi-square that per-point sigma cannot explain, and scans too narrow for
the model's normalisation.

The focus check is a score test: a focus off by d changes the model by
about d times its derivative in the focus position, an antisymmetric
pattern about the focus. The residuals' projection on that derivative,
once the directions of the free parameters are taken out, is a normal
variable of unit variance (in units of the noise) when the focus is
right; beyond FOCUS_SCORE it is reported with the offset it implies.
Relies on the fit's uncertainties (covariance.py), the fit problem, the
inputs, SciPy's chi-square distribution and texts.py.
"""
import math
from typing import Dict, List, Optional, Sequence, Tuple

import lmfit
import numpy as np

from .. import texts
from ..evaluation.problem import Change, FitProblem
from ..inputs.experiment import Experiment
from ..inputs.parameters import has_positive_bound, is_focus_name, parameter_bounds
from ..inputs.scans import Scan
from ..warning_types import FitWarning, UnitWarning, WarningRecord
from .covariance import Uncertainties

__all__ = ["focus_determined", "parameter_warnings", "narrow_scan_warnings", "convergence_warning",
           "focus_warning", "sigma_chisqr_warning", "FocusScore", "focus_score"]

UNDETERMINED_RELATIVE_ERROR = 1.0   # relative standard error above 100 %
STRONG_CORRELATION = 0.99
ON_BOUND_RELATIVE = 1e-6
# Score of the residuals along the focus derivative, in standard errors,
# beyond which the focus is reported: 4 leaves clean data quiet (a normal
# variable exceeds it once in 16,000 fits).
FOCUS_SCORE = 4.0
# Step of the central difference in the focus position, relative to the
# Rayleigh range (the scale on which the model changes with position).
FOCUS_STEP_RAYLEIGH = 1e-2
# Two-sided probability beyond which a reduced chi-square with per-point
# sigma is reported as far from 1.
CHISQR_PROBABILITY = 1e-3


def focus_determined(stderr: float, rayleigh_range_mm: float) -> bool:
    """The data determine a focus whose error is finite and within the
    Rayleigh range (the scale on which the model changes with it)."""
    return math.isfinite(stderr) and stderr <= rayleigh_range_mm


def parameter_warnings(given: lmfit.Parameters, free: Sequence[str], values: np.ndarray,
                       errors: Uncertainties, method: str,
                       rayleigh_range_mm: float = math.inf,
                       search_range: Optional[float] = None,
                       focus_scales: Optional[Dict[str, float]] = None) -> List[WarningRecord]:
    """The warnings about the fitted parameters, in a fixed order. A focus
    position is undetermined when its error exceeds the Rayleigh range
    (``focus_scales`` names each focus's, default ``rayleigh_range_mm``;
    its value may be 0); a value at the edge of the robust method's search
    range (``search_range`` times the value given) is reported as such."""
    found = []
    scales = focus_scales or {}
    for i, name in enumerate(free):
        value, stderr = float(values[i]), float(errors.stderr[i])
        rayleigh = scales.get(name, rayleigh_range_mm)
        if not math.isfinite(stderr):
            found.append(texts.UNDETERMINED_SINGULAR.format(name=name))
        elif is_focus_name(name):
            if not focus_determined(stderr, rayleigh):
                found.append(texts.UNDETERMINED_FOCUS.format(
                    name=name, value=value, stderr=stderr, rayleigh=rayleigh))
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
        low, high = parameter_bounds(given[name])
        scale = abs(given[name].value)
        if is_focus_name(name):
            rayleigh = scales.get(name, rayleigh_range_mm)
            if math.isfinite(low) and value - low <= ON_BOUND_RELATIVE * rayleigh:
                found.append(texts.ON_BOUND.format(name=name, value=value, side="lower",
                                                   bound=low))
            elif math.isfinite(high) and high - value <= ON_BOUND_RELATIVE * rayleigh:
                found.append(texts.ON_BOUND.format(name=name, value=value, side="upper",
                                                   bound=high))
            continue
        if method == "exact":
            if not low <= value <= high:
                found.append(texts.EXACT_BOUNDS.format(name=name, value=value, low=low, high=high))
            continue
        edges = ((scale / search_range, scale * search_range) if search_range is not None
                 and has_positive_bound(given, name) else (-math.inf, math.inf))
        if edges[0] > low and abs(value - edges[0]) <= ON_BOUND_RELATIVE * edges[0]:
            found.append(texts.SEARCH_EDGE.format(name=name, value=value, side="lower",
                                                  factor=search_range, start=scale))
        elif edges[1] < high and abs(edges[1] - value) <= ON_BOUND_RELATIVE * edges[1]:
            found.append(texts.SEARCH_EDGE.format(name=name, value=value, side="upper",
                                                  factor=search_range, start=scale))
        elif low == 0.0 and value < ON_BOUND_RELATIVE * scale:
            found.append(texts.TOWARD_ZERO.format(name=name, value=value))
        elif math.isfinite(low) and low != 0.0 and value - low <= ON_BOUND_RELATIVE * max(abs(low), scale):
            found.append(texts.ON_BOUND.format(name=name, value=value, side="lower", bound=low))
        elif math.isfinite(high) and high - value <= ON_BOUND_RELATIVE * max(abs(high), scale):
            found.append(texts.ON_BOUND.format(name=name, value=value, side="upper", bound=high))
    return [WarningRecord.of(FitWarning, text) for text in found]


def narrow_scan_warnings(scans: Sequence[Scan], experiment: Experiment) -> List[WarningRecord]:
    """Scans narrower than two Rayleigh ranges (positions in metres?)."""
    rayleigh = experiment.rayleigh_range_mm
    return [WarningRecord.of(UnitWarning, texts.UNIT_POSITIONS_M.format(
                energy=scan.pulse_energy, span=scan.span_mm, rayleigh=rayleigh))
            for scan in scans if scan.span_mm < 2.0 * rayleigh]


def convergence_warning(success: Optional[bool], message: str, nfev: int,
                        n_starts: int) -> Optional[WarningRecord]:
    """A fit whose minimiser did not converge, with what to try."""
    if success is not False:
        return None
    return WarningRecord.of(FitWarning, texts.NOT_CONVERGED.format(
        message=message, nfev=nfev, starts=max(n_starts, 3) + 2))


class FocusScore:
    """The residuals along the focus derivative.

    ``score`` in standard errors (NaN when it cannot be formed),
    ``offset_mm`` the change of focus the residuals suggest.
    """

    def __init__(self, score: float, offset_mm: float) -> None:
        self.score = score
        self.offset_mm = offset_mm


def focus_score(problem: FitProblem, point: Tuple[np.ndarray, Dict[str, float]],
                jacobian: np.ndarray, weighted_residuals: np.ndarray,
                noise: float, fixed: Optional[Sequence[int]] = None) -> FocusScore:
    """The score test of the focus position at the optimum.

    ``point`` is the fit's (its eight spectroscopic values and the beam's
    parameters it holds), ``jacobian`` d(weighted residuals)/du of the free
    parameters at the optimum, ``weighted_residuals`` the residual vector there and
    ``noise`` the standard deviation of a measured value (ignored with
    per-point sigma, whose weighted residuals have unit variance);
    ``fixed`` the data sets whose focus is tested (default: all), each
    moved by the same step. Costs two model evaluations.
    """
    spec_pars, beam = point
    step = FOCUS_STEP_RAYLEIGH * problem.experiment.rayleigh_range_mm
    centres = problem.centres_at(beam)
    moving = range(len(centres)) if fixed is None else list(fixed)

    def at(shift: float) -> np.ndarray:
        moved = tuple(c + shift if k in moving else c for k, c in enumerate(centres))
        return problem.valid_values(problem.evaluate_at(point, counted=False,
                                                        change=Change(centres=moved)).values)

    up, down = at(step), at(-step)
    # d(model)/d(centre), weighted like the residuals.
    g = problem.root_weights * (up - down) / (2.0 * step)
    jac = np.asarray(jacobian, dtype=np.float64)
    if jac.size and np.all(np.isfinite(jac)):
        coefficients, *_ = np.linalg.lstsq(jac, g, rcond=None)
        g = g - jac @ coefficients
    # Standard deviation of each weighted residual.
    sd = np.ones_like(g) if problem.uses_sigma else noise * problem.root_weights
    size = float(np.dot(g, g))
    variance = float(np.dot(g * g, sd * sd))
    if not (size > 0.0 and variance > 0.0 and math.isfinite(variance)):
        return FocusScore(math.nan, math.nan)
    projection = float(np.dot(g, weighted_residuals))
    return FocusScore(projection / math.sqrt(variance), projection / size)


def focus_warning(score: FocusScore, centre_mm: float, given: bool) -> Optional[WarningRecord]:
    """A FitWarning when the focus score is beyond FOCUS_SCORE."""
    if not (math.isfinite(score.score) and abs(score.score) > FOCUS_SCORE):
        return None
    source = texts.FOCUS_GIVEN if given else texts.FOCUS_FROM_DATA
    return WarningRecord.of(FitWarning, texts.FOCUS_OFF.format(
        centre=centre_mm, offset=score.offset_mm, score=abs(score.score), source=source))


def sigma_chisqr_warning(redchi: float, degrees: int) -> Optional[WarningRecord]:
    """With per-point sigma, a reduced chi-square outside the central
    1 - CHISQR_PROBABILITY of its distribution."""
    if degrees < 1 or not math.isfinite(redchi):
        return None
    from scipy.stats import chi2

    low = float(chi2.ppf(0.5 * CHISQR_PROBABILITY, degrees)) / degrees
    high = float(chi2.isf(0.5 * CHISQR_PROBABILITY, degrees)) / degrees
    if low <= redchi <= high:
        return None
    return WarningRecord.of(FitWarning, texts.SIGMA_CHISQR.format(
        redchi=redchi, low=low, high=high, degrees=degrees))
