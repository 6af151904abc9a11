"""How smooth the model is in one parameter: its integration noise, and
the finite-difference step that matches it.

The models integrate adaptively, so a tiny change of a parameter can
change the integrator's steps (and the whole-beam model's table) and move
the transmittance by a small, erratic amount. estimate_model_noise evaluates the model at
many relative changes d of one parameter within +-span, fits a cubic in d
to every point's values and takes the scatter about the cubic as the
noise; slope and curvature come from central differences over 1 %. A forward
difference of relative step h then errs by about 2 noise/h + h |f''|/2,
smallest at h = 2 sqrt(noise/|f''|). Relies on problem.py (the fit's own
layout), the inputs and integrator_messages.py.
"""
import dataclasses
from typing import Any, Optional, Sequence, Union

import numpy as np

from ..inputs.experiment import Experiment
from ..inputs.parameters import PARAMETER_NAMES, free_names, read_params, spec_pars_of
from ..inputs.scans import Scan, as_scan_list
from .integrator_messages import collect_messages
from .models import DEFAULT_TOLERANCE, ModelSpec
from .problem import FitProblem

__all__ = ["NoiseEstimate", "estimate_model_noise"]


@dataclasses.dataclass(frozen=True)
class NoiseEstimate:
    """Integration noise of the model in one parameter.

    Attributes
    ----------
    name : str
        The parameter varied.
    noise : float
        Root mean square scatter of the transmittance about a smooth cubic.
    slope : float
        Root mean square of dT/d(ln v), the change per relative change.
    curvature : float
        Root mean square of d^2T/d(ln v)^2.
    forward_step : float
        The relative forward-difference step 2 sqrt(noise/curvature).
    derivative_error : float
        Relative error of a forward difference at that step:
        (2 noise/h + h curvature/2) / slope.
    lmdif_error : float
        The same at MINPACK's relative step 1.49e-8.
    """

    name: str
    noise: float
    slope: float
    curvature: float
    forward_step: float
    derivative_error: float
    lmdif_error: float


# Relative change for the slope and curvature: large enough that the noise
# does not matter (4 noise / c^2 is far below the curvature).
_CURVATURE_STEP = 1e-2


def _error(h: float, noise: float, curvature: float, slope: float) -> float:
    return (2.0 * noise / h + 0.5 * h * curvature) / slope


def estimate_model_noise(scans: Union[Scan, Sequence[Scan]], experiment: Experiment,
                         params: Any, name: Optional[str] = None, *, is_sa: bool = False,
                         span: float = 1e-4, samples: int = 41, model: str = "whole-beam",
                         tolerance: float = DEFAULT_TOLERANCE,
                         verbose: bool = False) -> NoiseEstimate:
    """Measure the model's integration noise in one parameter.

    Parameters
    ----------
    scans, experiment, params, is_sa
        As for fit; the model is evaluated as the fit would evaluate it.
    name : str, optional
        The parameter to vary (default: the first free one, else sigma_0).
    span : float
        Largest relative change for the noise (default 1e-4).
    samples : int
        Model evaluations for the noise (default 41; three more follow).
    model, tolerance
        The model as for fit (default: the whole-beam model at 1e-5).

    Returns
    -------
    NoiseEstimate
    """
    scan_list = as_scan_list(scans)
    given = read_params(params)
    if name is None:
        free = free_names(given)
        name = free[0] if free else PARAMETER_NAMES[0]
    index = PARAMETER_NAMES.index(name)
    problem = FitProblem(scan_list, experiment, is_sa, model=ModelSpec.checked(model, tolerance))
    base = spec_pars_of(given)

    def at(log_change: float) -> np.ndarray:
        spec_pars = base.copy()
        spec_pars[index] = base[index] * np.exp(log_change)
        return np.concatenate(problem.scan_models(spec_pars))

    changes = np.linspace(-span, span, samples)
    with collect_messages("estimate_model_noise", verbose):
        values = np.array([at(d) for d in changes])      # samples x points
        up, centre, down = at(_CURVATURE_STEP), at(0.0), at(-_CURVATURE_STEP)
    coefficients = np.polynomial.polynomial.polyfit(changes, values, 3)
    smooth = np.polynomial.polynomial.polyval(changes, coefficients).T
    noise = float(np.sqrt(np.mean((values - smooth) ** 2)))
    slope = float(np.sqrt(np.mean(((up - down) / (2.0 * _CURVATURE_STEP)) ** 2)))
    curvature = float(np.sqrt(np.mean(((up - 2.0 * centre + down) / _CURVATURE_STEP ** 2) ** 2)))
    if curvature > 0.0 and noise > 0.0:
        step = 2.0 * np.sqrt(noise / curvature)
    else:
        step = float("nan")
    return NoiseEstimate(name=name, noise=noise, slope=slope, curvature=curvature,
                         forward_step=float(step),
                         derivative_error=_error(step, noise, curvature, slope),
                         lmdif_error=_error(1.4901161193847656e-08, noise, curvature, slope))
