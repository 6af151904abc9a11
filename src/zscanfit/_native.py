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

__all__ = ["core", "scan_values", "whole_beam_values", "message_capture", "fit_zscan",
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


def scan_values(positions: np.ndarray, wing_positions: np.ndarray, pulse_energy: float,
                spec_pars: np.ndarray, experiment: Any) -> np.ndarray:
    """The on-axis model's transmittance at ``positions`` (mm from the centre).

    ``wing_positions`` (mm from the centre) are the measured scan's
    positions, whose first and last five points set the normalisation;
    with wing_positions equal to positions the values are fit_zscan's
    model values bit for bit. Arrays must be float64 and C-contiguous.
    """
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

    s = _Settings.of(experiment)
    energies = np.array(pulse_energies, dtype=np.float64)
    return kesp_wrapper.fit_zscan(
        np.ascontiguousarray(x_data, dtype=np.float64),
        np.ascontiguousarray(y_data, dtype=np.float64), s.populations, s.t_slices,
        s.z_slices, s.sample_width, s.tau, s.wavelength, s.w0, s.M2, energies,
        np.array(spec_pars, dtype=np.float64), np.array(fit_indices, dtype=np.int32),
        num_x_pts, energies.shape[0], is_sa=is_sa, n_starts=n_starts)
