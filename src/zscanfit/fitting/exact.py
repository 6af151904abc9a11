"""The exact fit: kesp_wrapper.fit_zscan itself, with its fitted values
bit for bit, called with the arrays it requires (equal-length scans laid
end to end), then the Jacobian at its optimum for the errors.

fit_zscan has no bounds, no masking and its own point weights, so scans
with missing points or per-point sigma are refused with a ValueError.
Relies on _native.py (fit_zscan), the fit problem (evaluation),
coordinates.py, covariance.py and the parameters (inputs).
"""
import lmfit
import numpy as np

from .. import texts
from .._native import fit_zscan
from ..evaluation.problem import FitProblem
from ..inputs.parameters import PARAMETER_NAMES
from .coordinates import Coordinates
from .covariance import central_jacobian
from .method_outcome import MethodOutcome

__all__ = ["check_exact", "fit_exact"]


def check_exact(problem: FitProblem) -> None:
    """Raise ValueError when fit_zscan cannot fit these scans as given."""
    lengths = [s.n_points for s in problem.scans]
    if len(set(lengths)) != 1:
        raise ValueError(texts.EXACT_LENGTHS.format(lengths=lengths))
    masked = sum(s.n_points - int(np.count_nonzero(s.valid)) for s in problem.scans)
    if masked:
        raise ValueError(texts.EXACT_MASKED.format(count=masked))
    if problem.uses_sigma:
        raise ValueError(texts.EXACT_SIGMA)


def fit_exact(problem: FitProblem, given: lmfit.Parameters, free: tuple,
              n_starts: int) -> MethodOutcome:
    """fit_zscan's fit of the problem's scans, and the central-difference
    Jacobian at its optimum in linear coordinates scaled by the fitted
    values (fit_zscan's values may be of any sign)."""
    spec_pars = np.array([given[name].value for name in PARAMETER_NAMES], dtype=np.float64)
    y_all = np.concatenate([s.transmittance for s in problem.scans])
    residuals_all, _error, fitted = fit_zscan(
        np.concatenate([s.x_mm for s in problem.scans]), y_all, [s.pulse_energy for s in problem.scans], spec_pars,
        [PARAMETER_NAMES.index(name) for name in free], problem.scans[0].n_points,
        problem.experiment, problem.is_sa, n_starts)
    index = [PARAMETER_NAMES.index(name) for name in free]
    values = np.array(fitted[index], dtype=np.float64)
    at_fit = lmfit.Parameters()
    for name in PARAMETER_NAMES:
        value = float(fitted[PARAMETER_NAMES.index(name)])
        if name in free and value == 0.0:
            value = given[name].value
        at_fit.add(name, value=value, vary=name in free)
    coords = Coordinates(at_fit, free, logarithmic=False)
    coords.set_spectroscopic(np.array(fitted, dtype=np.float64)[:len(PARAMETER_NAMES)])
    u = coords.to_internal(values)
    jacobian = central_jacobian(
        lambda x: problem.residuals_at(coords.point(coords.to_values(x))), u)
    models, start = [], 0
    model_all = y_all - residuals_all
    for scan in problem.scans:
        models.append(model_all[start:start + scan.n_points])
        start += scan.n_points
    minimizer_result = lmfit.minimizer.MinimizerResult(
        method="fit_zscan", params=None, var_names=list(free), nvarys=len(free),
        residual=problem.weighted_residuals(models), success=None,
        message=texts.EXACT_MESSAGE, errorbars=False)
    return MethodOutcome(values=values, models=models, jacobian=jacobian,
                         dv_du=coords.derivatives(u), success=None,
                         message=texts.EXACT_MESSAGE, best_start=-1, start_chisqr=(),
                         minimizer_result=minimizer_result)

