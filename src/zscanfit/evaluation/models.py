"""The two models and the one way every part of the package evaluates them.

'whole-beam' (the default): what an open-aperture detector measures, the
pulse's energy transmittance over the whole beam, the pulse and the
sample's depth, to an absolute tolerance on the normalised transmittance
that the model meets and reports (an error estimate at every point).
'on-axis': fit_zscan's model, bit for bit, on its time slices and depth
slabs (the experiment's t_slices and z_slices), without an error estimate.

``scans_values`` evaluates several scans at once, each at its own
positions and normalised on its own wing positions (the mean of the first
and last five, as experimenters normalise data: a division for the
whole-beam model, fit_zscan's shift for the on-axis one) or, for the
whole-beam model, by the low-energy limit Te_lin. Relies on _native.py,
the inputs' conversions and texts.py.
"""
import dataclasses
import math
from typing import Any, List, Optional, Sequence

import numpy as np

from .. import texts
from .._native import scan_values, whole_beam_values
from ..inputs.convert import float_scalar
from ..warning_types import FitWarning, WarningRecord

__all__ = ["MODELS", "NORMALISATIONS", "ModelSpec", "ScanRequest", "ScanValues",
           "scans_values", "model_warnings", "tolerance_warning", "DEFAULT_TOLERANCE",
           "MIN_TOLERANCE", "MAX_TOLERANCE"]

MODELS = ("whole-beam", "on-axis")
NORMALISATIONS = ("wings", "linear")
DEFAULT_TOLERANCE = 1e-5
WING_POINTS = 5
# The division by the wing mean adds the mean's error to each value's
# (times the value): normalised on its wings a scan is computed to a third
# of the tolerance, so that what is returned meets it where the normalised
# values stay below 2.
WING_SHARE = 3.0
# The tolerances a user may ask for: the engine meets down to 1e-10 in
# double precision, and is asked for a third of the tolerance on a scan
# normalised on its wings; above 1e-2 a value is no longer a measurement's
# model.
MIN_TOLERANCE = 3e-10
MAX_TOLERANCE = 1e-2
PARAMETER_LIFETIMES = {3: "tau_10", 4: "tau_13", 5: "tau_21", 6: "tau_30", 7: "tau_43"}


@dataclasses.dataclass(frozen=True)
class ModelSpec:
    """Which model, and (whole-beam) to what tolerance."""

    name: str = "whole-beam"
    tolerance: float = DEFAULT_TOLERANCE

    @classmethod
    def checked(cls, name: Any = "whole-beam", tolerance: Any = DEFAULT_TOLERANCE) -> "ModelSpec":
        """A spec from user input; ValueError names a bad model or tolerance."""
        if name not in MODELS:
            raise ValueError(texts.BAD_MODEL.format(model=name))
        value = float_scalar(tolerance, "tolerance", positive=True, fix=texts.FIX_TOLERANCE)
        if not MIN_TOLERANCE <= value <= MAX_TOLERANCE:
            raise ValueError(texts.TOLERANCE_RANGE.format(value=value, least=MIN_TOLERANCE,
                                                          most=MAX_TOLERANCE))
        return cls(name, value)

    @property
    def whole_beam(self) -> bool:
        return self.name == "whole-beam"

    def describe(self, experiment: Any) -> str:
        """One line for a report: the model and its resolution."""
        if self.whole_beam:
            return texts.MODEL_WHOLE_BEAM.format(tolerance=self.tolerance)
        return texts.MODEL_ON_AXIS.format(t_slices=experiment.t_slices,
                                          z_slices=experiment.z_slices)

    def to_dict(self) -> dict:
        return {"name": self.name, "tolerance": self.tolerance}


@dataclasses.dataclass(frozen=True)
class ScanRequest:
    """One scan to evaluate: positions and wing positions from the focus
    (mm; wings None: normalise by Te_lin, whole-beam only), pulse energy."""

    positions: np.ndarray
    wings: Optional[np.ndarray]
    pulse_energy: float


@dataclasses.dataclass(frozen=True)
class ScanValues:
    """The model at the requested positions of every scan, with the
    whole-beam model's error estimates (None for the on-axis model)."""

    values: List[np.ndarray]
    errors: Optional[List[np.ndarray]]
    stats: Optional[dict] = None

    @property
    def largest_error(self) -> float:
        if self.errors is None or not self.errors:
            return math.nan
        return float(max(np.max(e) if e.size else 0.0 for e in self.errors))


# The decay rates out of each level, by the indices of spec_pars' lifetimes
# (tau_10, tau_13, tau_21, tau_30, tau_43 are entries 3 to 7).
_LEVEL_LIFETIMES = {1: (3, 4), 2: (5,), 3: (6,), 4: (7,)}


def model_warnings(experiment: Any, spec_pars: np.ndarray) -> List[WarningRecord]:
    """What the whole-beam model's assumptions do not hold for here: a
    sample thicker than the Rayleigh range (the model takes it as thin),
    and a populated excited level that decays (the model takes the initial
    populations as stationary in the dark)."""
    found = []
    thickness_mm = 10.0 * experiment.sample_width
    rayleigh = experiment.rayleigh_range_mm
    if thickness_mm > rayleigh:
        found.append(WarningRecord.of(FitWarning, texts.THICK_SAMPLE.format(
            thickness=thickness_mm, rayleigh=rayleigh)))
    for level, lifetimes in _LEVEL_LIFETIMES.items():
        finite = [PARAMETER_LIFETIMES[i] for i in lifetimes if math.isfinite(spec_pars[i])]
        if experiment.populations[level] > 0.0 and finite:
            found.append(WarningRecord.of(FitWarning, texts.EXCITED_NOT_STATIONARY.format(
                level=level, population=experiment.populations[level],
                lifetimes=", ".join(finite))))
    return found


def tolerance_warning(spec: ModelSpec, largest_error: float,
                      where: str) -> Optional[WarningRecord]:
    """A FitWarning when the whole-beam model's error estimates exceed the
    tolerance asked for (``where``: at what, for the text); None when it
    met it (or for the on-axis model, which has no estimate)."""
    if not spec.whole_beam or not largest_error > spec.tolerance:
        return None
    return WarningRecord.of(FitWarning, texts.TOLERANCE_MISSED.format(
        error=largest_error, tolerance=spec.tolerance, where=where))


def linear_transmittance(experiment: Any, spec_pars: np.ndarray) -> float:
    """Te_lin = exp(-(sigma_0 N0 + sigma_1 N1 + sigma_2 N3) L), the
    transmittance at low energy."""
    n = experiment.populations
    depth = ((spec_pars[0] * n[0] + spec_pars[1] * n[1]) + spec_pars[2] * n[3]) \
        * experiment.sample_width
    return math.exp(-depth)


def _check_physical(raw: np.ndarray, errors: np.ndarray, te_lin: float) -> None:
    """No transmittance above 1 leaves the model: without gain the sample
    cannot give out more energy than it receives."""
    absolute = raw * te_lin
    over = absolute - errors * te_lin > 1.0
    if np.any(over):
        k = int(np.argmax(np.where(over, absolute, -np.inf)))
        raise ValueError(texts.MODEL_UNPHYSICAL.format(value=float(absolute[k]),
                                                       error=float(errors[k] * te_lin)))


def _wing_mean(values: np.ndarray) -> float:
    """fit_zscan's wing mean: the last five, then the first five, times 0.1."""
    head, tail = values[:WING_POINTS], values[-WING_POINTS:]
    return float((np.sum(tail) + np.sum(head)) * 0.1)


def scans_values(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                 requests: Sequence[ScanRequest], reach_energy: float = 0.0) -> ScanValues:
    """The model of every requested scan (arrays float64, C-contiguous).

    The whole-beam model's table of the local transmittance covers the
    peak intensities up to that at the focus at the largest of the pulse
    energies and ``reach_energy`` (a point at the focus is evaluated for
    it): the table, and so every value, then depends on the positions of
    no point, and a curve on any grid evaluated with the fit's largest
    energy passes through the fitted values to the last bit.
    """
    if not spec.whole_beam:
        return ScanValues([scan_values(r.positions, r.wings, r.pulse_energy, spec_pars,
                                       experiment) for r in requests], None)
    focus = ScanRequest(np.zeros(1), None,
                        max([reach_energy] + [r.pulse_energy for r in requests]))
    values = _whole_beam(spec, experiment, spec_pars, list(requests) + [focus])
    return ScanValues(values.values[:-1], values.errors[:-1], values.stats)


def _whole_beam(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                requests: Sequence[ScanRequest]) -> ScanValues:
    """The whole-beam model of every request, in one call of the engine."""
    positions, counts, energies = [], [], []
    for r in requests:
        wings = r.wings if r.wings is not None else np.zeros(0)
        ends = (np.concatenate([wings[:WING_POINTS], wings[-WING_POINTS:]])
                if wings.size else wings)
        positions.append(np.concatenate([r.positions, ends]))
        counts.append(positions[-1].shape[0])
        energies.append(r.pulse_energy)
    tolerance = spec.tolerance
    if any(r.wings is not None for r in requests):
        tolerance = spec.tolerance / WING_SHARE
    raw, raw_errors, stats = whole_beam_values(np.concatenate(positions), counts, energies,
                                               spec_pars, experiment, tolerance)
    failed = int(np.count_nonzero(~np.isfinite(raw)))
    if failed:
        raise ValueError(texts.MODEL_FAILED.format(count=failed, total=raw.shape[0]))
    _check_physical(raw, raw_errors, linear_transmittance(experiment, spec_pars))
    values, errors, start = [], [], 0
    for r, count in zip(requests, counts):
        v, e = raw[start:start + count], raw_errors[start:start + count]
        start += count
        n = r.positions.shape[0]
        if r.wings is None:
            values.append(np.array(v[:n]))
            errors.append(np.array(e[:n]))
            continue
        mean, mean_error = _wing_mean(v[n:]), _wing_mean(e[n:])
        out = v[:n] / mean
        # A bound on the ratio's error from the errors of both its parts.
        bound = (e[:n] + np.abs(out) * mean_error) / (mean - mean_error) \
            if mean > mean_error else np.full(n, np.inf)
        values.append(out)
        errors.append(bound)
    return ScanValues(values, errors, dict(stats))
