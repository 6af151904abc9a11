"""The model transmittance on any grid: the public ``model``, and the curve
a fit compares with (``fitted_curve``).

The whole-beam model (the default) gives Te / Te_lin, the pulse's energy
transmittance normalised by its low-energy limit, or, normalised on a
measured scan's wings, Te divided by the mean at the scan's first and last
five positions, as experimenters normalise data; with an error estimate at
every point. The beam-propagation model gives the same for a thick sample
(its front face at the position). The on-axis model (fit_zscan's) shifts its values so that the
mean at the wings is 1. Either way a curve normalised on a scan passes
through the model values at the scan's points, whatever the grid. With an
aperture S < 1, or any of the optical parameters beta, n2, sigma_r1,
sigma_r3 nonzero, the values are the closed-aperture model's. The thin
whole-beam model warns where the sample is too thick for it
(thin_sample.py). Relies on models.py, thin_sample.py, the inputs (experiment, scans, parameters, conversions) and
integrator_messages.py.
"""
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

from .. import texts
from ..inputs.convert import float_scalar, float_vector
from ..inputs.experiment import Experiment
from ..inputs.parameters import OPTICAL_NAMES, PARAMETER_NAMES, read_params, spec_pars_of
from ..inputs.scans import MIN_POINTS, Scan, aperture_of, scan_centre
from ..warning_types import issue
from .integrator_messages import collect_messages
from .models import DEFAULT_TOLERANCE, NORMALISATIONS, ModelSpec, ScanRequest, model_warnings
from .models import population_warnings
from .models import scans_values, tolerance_warning
from .thin_sample import thin_sample_warning

__all__ = ["model", "fitted_curve"]


def model(experiment: Experiment, params: Any, x_mm: Any, pulse_energy: Any,
          normalise_to: Union[Scan, Any, None] = None, *, model: str = "whole-beam",
          normalise: Optional[str] = None, center_mm: Optional[float] = None,
          tolerance: float = DEFAULT_TOLERANCE, is_sa: bool = False, with_error: bool = False,
          verbose: bool = False, aperture: Optional[float] = None,
          divided: bool = False) -> Union[np.ndarray, Tuple[np.ndarray, np.ndarray]]:
    """Model transmittance at the positions ``x_mm``.

    Parameters
    ----------
    experiment : Experiment
        Beam, pulse, sample (and the on-axis model's resolution).
    params : lmfit.Parameters, mapping or 8 values
        The spectroscopic parameters (values only are used), and the
        optical ones beta (cm/W), n2 (cm^2/W), sigma_r1, sigma_r3 (cm^2)
        where given (absent: 0).
    x_mm : array_like, shape (n,)
        Positions, mm, in the scan's frame (not centred).
    pulse_energy : float or sequence of float
        Pulse energy, J; several give one row of values per energy, all
        from one evaluation of the model (one table serves every energy).
    normalise_to : Scan or array_like of positions (mm), optional
        A measured scan (or its positions) whose first and last five
        positions set the normalisation, as experimenters normalise data:
        the whole-beam model divides by its mean there, the on-axis model
        shifts its values to make that mean 1.
    model : {'whole-beam', 'on-axis', 'beam-propagation'}
        'whole-beam' (default): what an open-aperture detector measures,
        to ``tolerance``, for a thin sample. 'on-axis': fit_zscan's model,
        bit for bit. 'beam-propagation': a thick sample, the beam
        propagated through it (``x_mm`` places its front face; the
        experiment's refractive_index n0, default 1), to ``tolerance``;
        milliseconds per position, far more than the whole-beam model.
    normalise : {'linear', 'wings'}, optional
        'linear': by the low-energy limit Te_lin (not the on-axis model; the
        default when no ``normalise_to`` is given). 'wings': on the wings
        of ``normalise_to``, or of ``x_mm`` itself when none is given (the
        default otherwise, and always for the on-axis model).
    center_mm : float, optional
        Focus position, mm. Default: the extremum of ``normalise_to`` when
        it is a Scan (minimum, or maximum with ``is_sa``), else 0.
    tolerance : float
        The absolute tolerance on the normalised transmittance of the
        whole-beam and beam-propagation models (default 1e-5); they meet it
        and report their error.
    is_sa : bool
        Saturable absorber: the focus is the maximum of the scan.
    with_error : bool
        Also return the model's estimate of its error at every position
        (NaN for the on-axis model, which has none).
    verbose : bool
        Print the integrator's messages instead of one warning.
    aperture : float, optional
        The far-field aperture's linear share S in (0, 1] (the
        closed-aperture model; the experiment's aperture_distance places
        it); None or 1 (default): open. A closed aperture's T = P / P_lin
        may exceed 1.
    divided : bool
        The closed values divided by the open ones at the same positions
        (each normalised alike); needs S < 1.

    Returns
    -------
    numpy.ndarray, or (values, errors) with ``with_error``
        float64, one value per position (shape (n,)); with a sequence of
        pulse energies one row per energy (shape (energies, n)).

    Raises
    ------
    ValueError
        Bad input (named with its fix), a tolerance outside 3e-10 to 1e-2,
        or values that would leave physics (an absolute transmittance above
        1).

    Warns
    -----
    FitWarning
        A populated excited level that decays, or error estimates above the
        tolerance (the model could not meet it); (whole-beam) a sample so
        thick that the thin model is off by more than the tolerance (the
        size estimated from the beam-propagation model, which it names).

    Examples
    --------
    >>> values, errors = model(experiment, params, x, 1.5e-6, with_error=True)  # doctest: +SKIP
    >>> grid = np.linspace(scan.x_mm[0], scan.x_mm[-1], 400)   # doctest: +SKIP
    >>> curve = model(experiment, result.params, grid, scan.pulse_energy,
    ...               normalise_to=scan, center_mm=result.center_mm)  # doctest: +SKIP
    """
    spec = ModelSpec.checked(model, tolerance)
    several = np.ndim(pulse_energy) > 0
    energies = (float_vector(pulse_energy, "pulse_energy") if several
                else np.array([pulse_energy], dtype=object))
    if several and energies.shape[0] == 0:
        raise ValueError(texts.NO_ENERGIES)
    with collect_messages("model", verbose=verbose):
        values, errors = _values(spec, experiment, params, x_mm, list(energies), normalise_to,
                                 normalise, center_mm, is_sa, announce=True,
                                 aperture=aperture, divided=divided)
    if spec.has_tolerance and errors.size:
        issue([r for r in [tolerance_warning(spec, float(np.max(errors)), "")]
               if r is not None], stacklevel=2)
    if not several:
        values, errors = values[0], errors[0]
    return (values, errors) if with_error else values


def _values(spec: ModelSpec, experiment: Experiment, params: Any, x_mm: Any,
            pulse_energies: Sequence[Any], normalise_to: Union[Scan, Any, None],
            normalise: Optional[str], center_mm: Optional[float], is_sa: bool, announce: bool,
            reach_energy: float = 0.0, aperture: Optional[float] = None,
            divided: bool = False) -> Tuple[np.ndarray, np.ndarray]:
    """The checks and the evaluation of ``model``: values and errors, one
    row per pulse energy."""
    if not isinstance(experiment, Experiment):
        raise ValueError(texts.NOT_AN_EXPERIMENT.format(kind=type(experiment).__name__))
    checked = read_params(params)
    spec_pars = spec_pars_of(checked)
    optics = {name: float(checked[name].value) for name in OPTICAL_NAMES if name in checked}
    share = aperture_of(aperture)
    if divided and share is None:
        raise ValueError(texts.DIVIDED_OPEN.format(value=aperture))
    x = float_vector(x_mm, "x_mm")
    energies = [float_scalar(e, "pulse_energy", positive=True, fix=texts.FIX_ENERGY)
                for e in pulse_energies]
    if normalise is None:
        normalise = "wings" if normalise_to is not None or spec.on_axis else "linear"
    if normalise not in NORMALISATIONS:
        raise ValueError(texts.BAD_NORMALISE.format(normalise=normalise))
    if normalise == "linear" and spec.on_axis:
        raise ValueError(texts.ON_AXIS_LINEAR)
    if normalise_to is None:
        wings = x
    elif isinstance(normalise_to, Scan):
        wings = float_vector(normalise_to.x_mm, "normalise_to")
        if center_mm is None:
            center_mm = scan_centre([normalise_to], bool(is_sa))
    else:
        wings = float_vector(normalise_to, "normalise_to")
    if normalise == "wings" and wings.shape[0] < MIN_POINTS:
        name = "x_mm" if normalise_to is None else "normalise_to"
        raise ValueError(texts.TOO_FEW_POINTS.format(name=name, got=wings.shape[0]))
    for name, positions in (("x_mm", x), ("normalise_to", wings)):
        if not np.all(np.isfinite(positions)):
            raise ValueError(texts.NOT_FINITE.format(
                name=name, value=positions[~np.isfinite(positions)][0], fix=texts.FIX_POSITIONS))
    centre = 0.0 if center_mm is None else float_scalar(center_mm, "center_mm")
    if announce:
        issue(population_warnings(experiment, optics), stacklevel=3)
    if announce and spec.has_tolerance:
        issue(model_warnings(experiment, spec_pars), stacklevel=3)
    if x.shape[0] == 0:
        return np.zeros((len(energies), 0)), np.zeros((len(energies), 0))
    requests = [ScanRequest(np.ascontiguousarray(x - centre),
                            np.ascontiguousarray(wings - centre) if normalise == "wings"
                            else None, energy, share, bool(divided)) for energy in energies]
    evaluated = scans_values(spec, experiment, spec_pars, requests, reach_energy,
                             optics=optics)
    values = np.array(evaluated.values, dtype=np.float64).reshape(len(energies), x.shape[0])
    if announce:
        swing = float(np.max(np.abs(values - 1.0), initial=0.0, where=np.isfinite(values)))
        issue([r for r in [thin_sample_warning(spec, experiment, spec_pars, optics,
                                               [(share, bool(divided))], max(energies),
                                               at_fit=False, swing=swing)] if r is not None],
              stacklevel=3)
    errors = (np.array(evaluated.errors, dtype=np.float64).reshape(values.shape)
              if evaluated.errors is not None else np.full(values.shape, np.nan))
    return values, errors


def fitted_curve(spec: ModelSpec, experiment: Experiment, spec_pars: Any, scan: Scan,
                 center_mm: float, x_mm: Any, reach_energy: float,
                 optics: Optional[dict] = None) -> np.ndarray:
    """The model a fit of ``scan`` compares with, at positions ``x_mm``:
    centred on ``center_mm`` and normalised on the scan's wings, so that it
    passes through the fitted values at the scan's points (``reach_energy``
    the fit's largest pulse energy; ``optics`` the fitted optical
    parameters by name). The integrator's messages and the
    model's warnings are those the fit reported already: they are collected
    and dropped."""
    with collect_messages("curve", announce=False):
        params = dict(zip(PARAMETER_NAMES, np.asarray(spec_pars, dtype=np.float64).tolist()))
        params.update(optics or {})
        return _values(spec, experiment, params, x_mm, [scan.pulse_energy], scan, "wings",
                       center_mm, False, announce=False, reach_energy=reach_energy,
                       aperture=scan.aperture, divided=scan.divided)[0][0]
