"""The door to the compiled code: zscanfit._core and kesp_wrapper.

Nothing else in the package imports either. The experiment's settings are
read here once into the arguments both entries take (``_Settings``), so a
change of the compiled signatures touches this file alone. Relies on the
compiled modules, NumPy and texts.py; experiments are duck-typed (any
object with the settings of zscanfit.Experiment).
"""
import dataclasses
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

from . import texts

__all__ = ["core", "scan_values", "whole_beam_values", "closed_aperture_values",
           "beam_propagation_values", "message_capture", "fit_zscan", "CLOSED_DERIVATIVE_PARAMETERS",
           "DERIVATIVE_PARAMETERS", "PULSE_SHAPES"]

# What whole_beam_values takes derivatives with respect to, in the order of
# their positions, and the pulse shapes it knows.
DERIVATIVE_PARAMETERS = ("sigma_0", "sigma_1", "sigma_2", "tau_10", "tau_13", "tau_21",
                         "tau_30", "tau_43", "center_mm", "w0", "M2")
PULSE_SHAPES = ("gaussian", "sech2")


def core() -> Any:
    """The compiled entry zscanfit._core; ImportError with the fix if missing."""
    try:
        from . import _core
    except ImportError as exc:
        raise ImportError(texts.CORE_MISSING.format(reason=exc)) from exc
    return _core


@dataclasses.dataclass(frozen=True)
class _Settings:
    """The experiment's settings as the compiled entries take them."""

    populations: np.ndarray
    wavelength: float
    w0: float
    M2: float
    tau: float
    sample_width: float
    t_slices: int
    z_slices: int

    @classmethod
    def of(cls, experiment: Any) -> "_Settings":
        return cls(np.array(experiment.populations, dtype=np.float64),
                   float(experiment.wavelength), float(experiment.w0), float(experiment.M2),
                   float(experiment.tau), float(experiment.sample_width),
                   int(experiment.t_slices), int(experiment.z_slices))


def _gaussian_only(experiment: Any) -> None:
    """The on-axis model samples its own Gaussian pulse: ValueError for an
    experiment of another pulse shape."""
    shape = getattr(experiment, "pulse_shape", "gaussian")
    if shape != "gaussian":
        raise ValueError(texts.PULSE_SHAPE_ON_AXIS.format(shape=shape))


def scan_values(positions: np.ndarray, wing_positions: np.ndarray, pulse_energy: float,
                spec_pars: np.ndarray, experiment: Any) -> np.ndarray:
    """The on-axis model's transmittance at ``positions`` (mm from the centre).

    ``wing_positions`` (mm from the centre) are the measured scan's
    positions, whose first and last five points set the normalisation;
    with wing_positions equal to positions the values are fit_zscan's
    model values bit for bit. Arrays must be float64 and C-contiguous.
    """
    _gaussian_only(experiment)
    s = _Settings.of(experiment)
    return core().scan_transmittance(
        positions, wing_positions, pulse_energy, spec_pars, s.populations, s.wavelength,
        s.w0, s.M2, s.tau, s.sample_width, s.t_slices, s.z_slices)


def whole_beam_values(positions: np.ndarray, counts: Sequence[int],
                      pulse_energies: Sequence[float], spec_pars: np.ndarray, experiment: Any,
                      tolerance: float, derivatives: Optional[Sequence[Union[str, int]]] = None,
                      pulse_shape: Optional[str] = None) -> Tuple[Any, ...]:
    """The whole-beam model's Te / Te_lin at ``positions`` (mm from the
    focus, scan after scan, ``counts`` per scan) with its error estimates
    and the evaluation's counts (table nodes, failed nodes, the optical
    depth, ...): ``(values, errors, stats)``. With ``derivatives`` (names
    from DERIVATIVE_PARAMETERS, or their positions) ``(values, errors,
    slopes, stats)``, ``slopes[k]`` the derivative of every value with
    respect to ``derivatives[k]`` per unit of it (cm^2, s, mm, m); the
    values are the same bits with and without. ``pulse_shape`` 'gaussian'
    or 'sech2' (default: the experiment's ``pulse_shape`` if it has one,
    else 'gaussian'). ValueError for a refused input, a sample too thick
    to resolve, initial populations that cannot be kept stationary, or a
    model that left physics (the message says which)."""
    s = _Settings.of(experiment)
    shape = pulse_shape if pulse_shape is not None else getattr(experiment, "pulse_shape",
                                                                "gaussian")
    wanted = None if derivatives is None else list(derivatives)
    return core().whole_beam_transmittance(
        np.ascontiguousarray(positions, dtype=np.float64), np.array(counts, dtype=np.int32),
        np.array(pulse_energies, dtype=np.float64), np.ascontiguousarray(spec_pars,
                                                                          dtype=np.float64),
        s.populations, s.wavelength, s.w0, s.M2, s.tau, s.sample_width, float(tolerance),
        derivatives=wanted, pulse_shape=str(shape))


def closed_aperture_values(positions: np.ndarray, counts: Sequence[int],
                           pulse_energies: Sequence[float],
                           apertures: Sequence[Optional[float]], spec_pars: np.ndarray,
                           experiment: Any, tolerance: float, beta: float = 0.0,
                           n2: float = 0.0, sigma_r1: float = 0.0, sigma_r3: float = 0.0,
                           aperture_distance: Optional[float] = None,
                           pulse_shape: Optional[str] = None,
                           derivatives: Optional[Sequence[str]] = None) -> Tuple[Any, ...]:
    """The closed-aperture model's T = P / P_lin at ``positions`` (mm from
    the focus, scan after scan, ``counts`` per scan), each scan with its
    pulse energy (J) and aperture S (the linear beam's share the aperture
    passes, in (0, 1]; None or 1: open, the whole-beam model's value with
    beta): ``(values, errors, stats)``, errors the model's estimate of
    |value - exact| at every point. ``beta`` cm/W, ``n2`` cm^2/W,
    ``sigma_r1`` and ``sigma_r3`` cm^2 (default 0); ``aperture_distance``
    in m from the focus (None: the far field); ``pulse_shape`` as in
    whole_beam_values. With ``derivatives`` (names from
    CLOSED_DERIVATIVE_PARAMETERS) ``(values, errors, slopes, stats)``,
    ``slopes[k]`` the derivative of every value per unit of
    ``derivatives[k]`` (cm^2, s, cm/W, cm^2/W, mm, m), by differences of
    evaluations at a tolerance a hundred times tighter (central, or
    one-sided of second order where the parameter sits at a bound of its
    range), two evaluations per parameter; the values are those of the
    evaluation at ``tolerance``. ValueError for a refused input (the
    message says which)."""
    return _values(_closed_aperture_once, "closed_aperture_values",
                   (positions, counts, pulse_energies, apertures, spec_pars, experiment),
                   tolerance, dict(beta=beta, n2=n2, sigma_r1=sigma_r1, sigma_r3=sigma_r3),
                   aperture_distance, pulse_shape, derivatives)


def _values(once, function, args, tolerance, optics, aperture_distance, pulse_shape,
            derivatives):
    """(values, errors, stats) of ``once`` (_closed_aperture_once or
    _beam_propagation_once), with the slopes by differences when
    ``derivatives`` names parameters."""
    out = once(*args, tolerance, optics, aperture_distance, pulse_shape)
    if derivatives is None:
        return out
    slopes = np.array([_slope(once, function, args, tolerance, optics, aperture_distance,
                              pulse_shape, str(name))
                       for name in derivatives]).reshape(len(derivatives), -1)
    return out[0], out[1], slopes, out[2]


def beam_propagation_values(positions: np.ndarray, counts: Sequence[int],
                            pulse_energies: Sequence[float],
                            apertures: Sequence[Optional[float]], spec_pars: np.ndarray,
                            experiment: Any, tolerance: float, beta: float = 0.0,
                            n2: float = 0.0, sigma_r1: float = 0.0, sigma_r3: float = 0.0,
                            aperture_distance: Optional[float] = None,
                            pulse_shape: Optional[str] = None,
                            derivatives: Optional[Sequence[str]] = None) -> Tuple[Any, ...]:
    """The beam-propagation model for thick samples: T = P / P_lin at
    ``positions`` (mm from the focus to the sample's front face, scan after
    scan, ``counts`` per scan), the beam diffracting inside the sample of
    thickness ``experiment.sample_width`` (cm) and linear refractive index
    ``experiment.refractive_index`` (None or missing: 1) while the rate
    equations run. Arguments, units, return shapes, derivatives (by
    differences, names from CLOSED_DERIVATIVE_PARAMETERS) and errors as
    closed_aperture_values: ``(values, errors, stats)`` or ``(values,
    errors, slopes, stats)``."""
    return _values(_beam_propagation_once, "beam_propagation_values",
                   (positions, counts, pulse_energies, apertures, spec_pars, experiment),
                   tolerance, dict(beta=beta, n2=n2, sigma_r1=sigma_r1, sigma_r3=sigma_r3),
                   aperture_distance, pulse_shape, derivatives)


# What closed_aperture_values takes derivatives with respect to.
CLOSED_DERIVATIVE_PARAMETERS = DERIVATIVE_PARAMETERS[:8] + (
    "beta", "n2", "sigma_r1", "sigma_r3") + DERIVATIVE_PARAMETERS[8:]
_UNKNOWN_DERIVATIVE = ("{function}: no derivative with respect to {name!r}; give names from "
                       "{names}")
_INFINITE_LIFETIME = ("{function}: {name} is infinite (no decay), a fixed setting without a "
                      "derivative; ask for the derivatives of finite lifetimes only")
# The relative step of the differences, and how much tighter their
# evaluations are than the tolerance.
_STEP = 1e-3
_TIGHTER = 1e-2


def _aperture_once(entry, index, positions, counts, pulse_energies, apertures, spec_pars,
                   experiment, tolerance, optics, aperture_distance, pulse_shape):
    """One call of the compiled aperture entry ``entry`` (the refractive
    index, when not None, before the optics)."""
    s = _Settings.of(experiment)
    shape = pulse_shape if pulse_shape is not None else getattr(experiment, "pulse_shape",
                                                                "gaussian")
    shares = np.array([1.0 if a is None else float(a) for a in apertures], dtype=np.float64)
    sample = (s.sample_width,) if index is None else (s.sample_width, float(index))
    return entry(
        np.ascontiguousarray(positions, dtype=np.float64), np.array(counts, dtype=np.int32),
        np.array(pulse_energies, dtype=np.float64), shares,
        np.ascontiguousarray(spec_pars, dtype=np.float64), s.populations, s.wavelength, s.w0,
        s.M2, s.tau, *sample, *(float(optics[k]) for k in ("beta", "n2", "sigma_r1", "sigma_r3")),
        float(tolerance),
        aperture_distance=None if aperture_distance is None else float(aperture_distance),
        pulse_shape=str(shape))


def _closed_aperture_once(*args):
    return _aperture_once(core().closed_aperture_transmittance, None, *args)


def _beam_propagation_once(*args):
    """As _closed_aperture_once, with the experiment's refractive index (None
    or missing: 1)."""
    index = getattr(args[5], "refractive_index", None)
    return _aperture_once(core().beam_propagation_transmittance,
                          1.0 if index is None else index, *args)


class _Shifted:
    """An experiment with one beam setting changed."""

    def __init__(self, experiment, name, value):
        self._experiment, self._name, self._value = experiment, name, value

    def __getattr__(self, name):
        return self._value if name == self._name else getattr(self._experiment, name)


def _slope(once, function, args, tolerance, optics, aperture_distance, pulse_shape, name):
    """The derivative of every value with respect to ``name`` by differences
    of ``once`` (_closed_aperture_once or _beam_propagation_once), whose
    public name ``function`` the messages give."""
    if name not in CLOSED_DERIVATIVE_PARAMETERS:
        raise ValueError(_UNKNOWN_DERIVATIVE.format(
            function=function, name=name, names=", ".join(CLOSED_DERIVATIVE_PARAMETERS)))
    positions, counts, energies, apertures, spec_pars, experiment = args
    spec = np.array(spec_pars, dtype=np.float64)
    optics = dict(optics)
    s = _Settings.of(experiment)
    # The step's scale where the parameter is zero: a change of a
    # thousandth in the optical depth or phase it drives at the focus.
    shape = pulse_shape or getattr(experiment, "pulse_shape", "gaussian")
    peak = 1e-4 * max(energies) / ((np.pi * s.w0 ** 2 / 2.0) * s.tau
                                   * (1.0645 if shape == "gaussian" else 1.1346))
    total = float(np.sum(s.populations)) or 1.0
    scale = {"beta": 1.0 / (peak * s.sample_width), "sigma_r1": 1.0 / (total * s.sample_width),
             "n2": s.wavelength * 1e2 / (2.0 * np.pi * peak * s.sample_width),
             "center_mm": np.pi * s.w0 ** 2 / (s.M2 * s.wavelength) * 1e3}
    scale["sigma_r3"] = scale["sigma_r1"]
    index = CLOSED_DERIVATIVE_PARAMETERS.index(name)
    if index < 8:
        value = spec[index]
        if not np.isfinite(value):
            raise ValueError(_INFINITE_LIFETIME.format(function=function, name=name))
        scale[name] = 1.0 / (total * s.sample_width)
    elif name in optics:
        value = optics[name]
    elif name == "center_mm":
        value = 0.0
    else:
        value = getattr(s, name)
    h = _STEP * (abs(value) if value != 0.0 else scale[name])
    # Cross-sections and beta may not go negative.
    one_sided = (index < 3 or name == "beta") and value - h < 0.0

    def at(shift):
        pars, opt, exp, pos = spec.copy(), dict(optics), experiment, positions
        if index < 8:
            pars[index] = value + shift
        elif name in opt:
            opt[name] = value + shift
        elif name == "center_mm":
            pos = np.asarray(positions, dtype=np.float64) - shift
        else:
            exp = _Shifted(experiment, name, value + shift)
        return once(pos, counts, energies, apertures, pars, exp, _TIGHTER * tolerance, opt,
                    aperture_distance, pulse_shape)[0]

    if one_sided:
        return (-3.0 * at(0.0) + 4.0 * at(h) - at(2.0 * h)) / (2.0 * h)
    return (at(h) - at(-h)) / (2.0 * h)


def message_capture(keep: int) -> Any:
    """A new MessageCapture of the compiled entry keeping ``keep`` messages."""
    return core().MessageCapture(keep=keep)


def fit_zscan(x_data: np.ndarray, y_data: np.ndarray, pulse_energies: Sequence[float],
              spec_pars: np.ndarray, fit_indices: Sequence[int], num_x_pts: int,
              experiment: Any, is_sa: bool, n_starts: int
              ) -> Tuple[np.ndarray, float, np.ndarray]:
    """kesp_wrapper.fit_zscan's (residuals, error, spec_pars) for scans of
    ``num_x_pts`` points laid end to end; ``fit_indices`` 0-based."""
    import kesp_wrapper

    _gaussian_only(experiment)
    s = _Settings.of(experiment)
    energies = np.array(pulse_energies, dtype=np.float64)
    return kesp_wrapper.fit_zscan(
        np.ascontiguousarray(x_data, dtype=np.float64),
        np.ascontiguousarray(y_data, dtype=np.float64), s.populations, s.t_slices,
        s.z_slices, s.sample_width, s.tau, s.wavelength, s.w0, s.M2, energies,
        np.array(spec_pars, dtype=np.float64), np.array(fit_indices, dtype=np.int32),
        num_x_pts, energies.shape[0], is_sa=is_sa, n_starts=n_starts)
