"""Standard errors and correlations of the fitted parameters.

The Jacobian J of the weighted residuals r_p = sqrt(W_p)(y_p - m_p) with
respect to the fit coordinates u (coordinates.py) gives the model
Jacobian A = -J / sqrt(W). With per-point uncertainties (W = 1/sigma^2)
the covariance is (A'WA)^-1. With fit_zscan's position weights, which are
not 1/variance, the noise is taken as equal for every point, its variance
estimated from the plain residuals as s^2 = sum (y - m)^2 / (N - n), and
the covariance is the weighted-least-squares sandwich
s^2 (A'WA)^-1 A'W^2A (A'WA)^-1. Parameters the model does not depend on
get NaN errors. The central-difference Jacobian used where the minimiser's
own is not at hand also lives here. Relies on NumPy.
"""
import dataclasses
from typing import Callable, Sequence

import numpy as np

__all__ = ["Uncertainties", "uncertainties", "central_jacobian", "UNCERTAINTY_STEP"]

# Relative step of the central differences: the model's integration noise
# (about 1e-10 in transmittance) against its third derivative makes the
# error of a central difference smallest near 1e-3 (see docs/fitting.md).
UNCERTAINTY_STEP = 1e-3


@dataclasses.dataclass(frozen=True)
class Uncertainties:
    """Covariance (physical units), standard errors, correlations, noise."""

    covariance: np.ndarray
    stderr: np.ndarray
    correlation: np.ndarray
    noise: float  # estimated noise standard deviation, or NaN with sigma given


def uncertainties(jacobian_u: np.ndarray, dv_du: np.ndarray, root_weights: np.ndarray,
                  residuals: np.ndarray, uses_sigma: bool) -> Uncertainties:
    """Covariance of the free parameters at the optimum.

    ``jacobian_u`` is d(weighted residuals)/du (points x free), ``dv_du``
    the derivative of each value by its coordinate, ``residuals`` the plain
    residuals y - m of the valid points.
    """
    jac = np.asarray(jacobian_u, dtype=np.float64)
    n_points, n_free = jac.shape
    covariance = np.full((n_free, n_free), np.nan)
    model_jac = -jac / root_weights[:, None]
    weights = root_weights * root_weights
    degrees = n_points - n_free
    noise = float(np.sqrt(np.sum(residuals * residuals) / degrees)) if degrees > 0 else np.nan
    active = np.array([np.any(col != 0.0) and np.all(np.isfinite(col)) for col in jac.T], dtype=bool)
    if np.any(active) and (uses_sigma or np.isfinite(noise)):
        a = model_jac[:, active]
        information = a.T @ (weights[:, None] * a)
        try:
            inverse = np.linalg.inv(information)
        except np.linalg.LinAlgError:
            inverse = None
        if inverse is not None and np.all(np.isfinite(inverse)):
            if uses_sigma:
                cov_u = inverse
            else:
                middle = a.T @ ((weights * weights)[:, None] * a)
                cov_u = noise * noise * (inverse @ middle @ inverse)
            cov_u = 0.5 * (cov_u + cov_u.T)
            scale = np.asarray(dv_du, dtype=np.float64)[active]
            covariance[np.ix_(active, active)] = cov_u * np.outer(scale, scale)
    diagonal = np.diag(covariance)
    stderr = np.sqrt(np.where(diagonal >= 0.0, diagonal, np.nan))
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = covariance / np.outer(stderr, stderr)
    np.fill_diagonal(correlation, np.where(np.isfinite(stderr), 1.0, np.nan))
    return Uncertainties(covariance=covariance, stderr=stderr, correlation=correlation,
                         noise=np.nan if uses_sigma else noise)


def central_jacobian(residual_function: Callable[[np.ndarray], np.ndarray],
                     u: Sequence[float], step: float = UNCERTAINTY_STEP) -> np.ndarray:
    """d(residuals)/du by central differences, step ``step`` in each u_j.

    In the fit coordinates a step in u is a relative step of the value
    (logarithmic) or a step relative to the parameter's scale (linear).
    Costs two residual evaluations per coordinate.
    """
    u = np.asarray(u, dtype=np.float64)
    columns = []
    for j in range(u.shape[0]):
        up, down = u.copy(), u.copy()
        up[j] += step
        down[j] -= step
        columns.append((residual_function(up) - residual_function(down)) / (up[j] - down[j]))
    return np.column_stack(columns)
