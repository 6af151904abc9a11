"""The model transmittance on any grid: the public ``model``.

It centres and normalises a curve on a measured scan, so that it passes
through the model values at the data points, with the same grids, beam and
model code as fit_zscan (through _native.py). Relies on _native.py, the
inputs (experiment, scans, parameters, conversions) and
integrator_messages.py.
"""
from typing import Any, Optional, Union

import numpy as np

from .. import texts
from .._native import scan_values
from ..inputs.convert import float_scalar, float_vector
from ..inputs.experiment import Experiment
from ..inputs.parameters import read_params, spec_pars_of
from ..inputs.scans import MIN_POINTS, Scan, scan_centre
from .integrator_messages import collect_messages

__all__ = ["model", "fitted_curve"]


def model(experiment: Experiment, params: Any, x_mm: Any, pulse_energy: Any,
          normalise_to: Union[Scan, Any, None] = None, *,
          center_mm: Optional[float] = None, is_sa: bool = False,
          verbose: bool = False) -> np.ndarray:
    """Model transmittance at the positions ``x_mm``.

    The model shifts its values so that the mean of the first and last five
    points of a scan is 1 (its normalisation), and it needs the focus
    position. For a curve that belongs to a measured scan, both come from
    that scan: the wings from its positions, the focus from its extremum
    (or ``center_mm``). Each value depends only on its own position and on
    the wing positions, so the curve passes exactly through the model
    values at the scan's points, whatever the grid.

    Parameters
    ----------
    experiment : Experiment
        Beam, pulse, sample and resolution.
    params : lmfit.Parameters, mapping or 8 values
        The spectroscopic parameters (values only are used).
    x_mm : array_like, shape (n,)
        Positions, mm, in the scan's frame (not centred).
    pulse_energy : float
        Pulse energy, J.
    normalise_to : Scan or array_like of positions (mm), optional
        The measured scan (or its positions) whose first and last five
        positions set the normalisation. Default: ``x_mm`` itself, which
        must then have at least 5 points.
    center_mm : float, optional
        Focus position, mm. Default: the extremum of ``normalise_to`` when
        it is a Scan (minimum, or maximum with ``is_sa``), else 0.
    is_sa : bool
        Saturable absorber: the focus is the maximum of the scan.
    verbose : bool
        Print the integrator's messages instead of one warning.

    Returns
    -------
    numpy.ndarray
        float64 transmittance, one value per position.

    Examples
    --------
    >>> grid = np.linspace(scan.x_mm[0], scan.x_mm[-1], 400)   # doctest: +SKIP
    >>> curve = model(experiment, result.params, grid, scan.pulse_energy,
    ...               normalise_to=scan, center_mm=result.center_mm)  # doctest: +SKIP
    """
    with collect_messages("model", verbose=verbose):
        return _values(experiment, params, x_mm, pulse_energy, normalise_to, center_mm, is_sa)


def _values(experiment: Experiment, params: Any, x_mm: Any, pulse_energy: Any,
            normalise_to: Union[Scan, Any, None], center_mm: Optional[float],
            is_sa: bool) -> np.ndarray:
    """The checks and the evaluation of ``model``."""
    if not isinstance(experiment, Experiment):
        raise ValueError(texts.NOT_AN_EXPERIMENT.format(kind=type(experiment).__name__))
    spec_pars = spec_pars_of(read_params(params))
    x = float_vector(x_mm, "x_mm")
    energy = float_scalar(pulse_energy, "pulse_energy", positive=True, fix=texts.FIX_ENERGY)
    if normalise_to is None:
        wings = x
    elif isinstance(normalise_to, Scan):
        wings = float_vector(normalise_to.x_mm, "normalise_to")
        if center_mm is None:
            center_mm = scan_centre([normalise_to], bool(is_sa))
    else:
        wings = float_vector(normalise_to, "normalise_to")
    if wings.shape[0] < MIN_POINTS:
        name = "x_mm" if normalise_to is None else "normalise_to"
        raise ValueError(texts.TOO_FEW_POINTS.format(name=name, got=wings.shape[0]))
    for name, positions in (("x_mm", x), ("normalise_to", wings)):
        if not np.all(np.isfinite(positions)):
            raise ValueError(texts.NOT_FINITE.format(
                name=name, value=positions[~np.isfinite(positions)][0], fix=texts.FIX_POSITIONS))
    centre = 0.0 if center_mm is None else float_scalar(center_mm, "center_mm")
    if x.shape[0] == 0:
        return np.zeros(0)
    return scan_values(x - centre, wings - centre, energy, spec_pars, experiment)


def fitted_curve(experiment: Experiment, spec_pars: Any, scan: Scan, center_mm: float,
                 x_mm: Any) -> np.ndarray:
    """The model a fit of ``scan`` compares with, at positions ``x_mm``:
    centred on ``center_mm`` and normalised on the scan's wings, so that it
    passes through the fitted values at the scan's points. The integrator's
    messages are those the fit reported already: they are collected and
    dropped."""
    with collect_messages("curve", announce=False):
        return _values(experiment, spec_pars, x_mm, scan.pulse_energy, scan, center_mm, False)
