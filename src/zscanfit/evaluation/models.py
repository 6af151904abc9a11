"""The three models and the one way every part of the package evaluates them.

'whole-beam' (the default): what an open-aperture detector measures, the
pulse's energy transmittance over the whole beam, the pulse and the
sample's depth, to an absolute tolerance on the normalised transmittance
that the model meets and reports (an error estimate at every point); the
sample is thin (the beam's width constant across it).
'on-axis': fit_zscan's model, bit for bit, on its time slices and depth
slabs (the experiment's t_slices and z_slices), without an error estimate.
'beam-propagation': a thick sample, the beam propagated through its depth
(front face at the position, linear index n0 from the experiment's
refractive_index, None: 1), open and closed apertures alike, to the
tolerance and with the error estimate of the whole-beam model; far dearer.

``scans_values`` evaluates several scans at once, each at its own
positions and normalised on its own wing positions (the mean of the first
and last five, as experimenters normalise data: a division for the
whole-beam model, fit_zscan's shift for the on-axis one) or, for the
whole-beam model, by the low-energy limit Te_lin. The whole-beam model gives, on request,
the values' exact derivatives with respect to parameters by name
(_native.DERIVATIVE_PARAMETERS), carried through the wing normalisation
by the quotient rule.

Scans through a closed aperture (S < 1) and, when the sample has any
nonzero optical parameter (beta, n2, sigma_r1, sigma_r3), every scan of
the call go to the closed-aperture model instead (one call of the engine;
an open scan there is the whole-beam model with beta), normalised alike
on their wings; a divided scan is the closed model over the open one at
the same positions, each normalised on its own wings. Only open scans
are held to Te <= 1: a closed aperture may pass more than its linear
share. The closed-aperture model's derivatives (CLOSED_DERIVATIVE_PARAMETERS)
are the engine's differences; the beam-propagation model's are its
entry's differences too. Relies on _native.py,
the inputs' conversions and texts.py.
"""
import dataclasses
import math
from typing import Any, List, Mapping, Optional, Sequence

import numpy as np

from .. import texts
from .._native import (CLOSED_DERIVATIVE_PARAMETERS, DERIVATIVE_PARAMETERS,
                       beam_propagation_values, closed_aperture_values, scan_values,
                       whole_beam_values)
from ..inputs.convert import float_scalar
from ..warning_types import FitWarning, UnitWarning, WarningRecord

__all__ = ["MODELS", "NORMALISATIONS", "ModelSpec", "ScanRequest", "ScanValues",
           "scans_values", "model_warnings", "tolerance_warning", "DEFAULT_TOLERANCE",
           "MIN_TOLERANCE", "MAX_TOLERANCE", "DERIVATIVE_PARAMETERS",
           "CLOSED_DERIVATIVE_PARAMETERS", "OPTICAL_PARAMETERS", "is_closed", "nonlinear_optics",
           "population_warnings", "refractive_index"]

MODELS = ("whole-beam", "on-axis", "beam-propagation")
NORMALISATIONS = ("wings", "linear")
DEFAULT_TOLERANCE = 1e-5
WING_POINTS = 5
# The division by the wing mean adds the mean's error to each value's
# (times the value): normalised on its wings a scan is computed to a third
# of the tolerance, so that what is returned meets it where the normalised
# values stay below 2.
WING_SHARE = 3.0
# Where the normalised values' bounds still exceed the tolerance, the
# engine's tolerance is divided by this times the excess for a second call.
WING_RETRY_MARGIN = 1.25
# The tolerances a user may ask for: the engine meets down to 1e-10 in
# double precision, and is asked for a third of the tolerance on a scan
# normalised on its wings; above 1e-2 a value is no longer a measurement's
# model.
MIN_TOLERANCE = 3e-10
MAX_TOLERANCE = 1e-2
PARAMETER_LIFETIMES = {3: "tau_10", 4: "tau_13", 5: "tau_21", 6: "tau_30", 7: "tau_43"}
# The optical parameters the closed-aperture model takes beside spec_pars.
OPTICAL_PARAMETERS = ("beta", "n2", "sigma_r1", "sigma_r3")


@dataclasses.dataclass(frozen=True)
class ModelSpec:
    """Which model, and (whole-beam, beam-propagation) to what tolerance."""

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
        """The thin whole-beam model (the default)."""
        return self.name == "whole-beam"

    @property
    def beam_propagation(self) -> bool:
        """The thick-sample model."""
        return self.name == "beam-propagation"

    @property
    def on_axis(self) -> bool:
        return self.name == "on-axis"

    @property
    def has_tolerance(self) -> bool:
        """A model held to the tolerance, with an error estimate at every
        point (every model but the on-axis one)."""
        return not self.on_axis

    def describe(self, experiment: Any) -> str:
        """One line for a report: the model and its resolution."""
        if self.whole_beam:
            return texts.MODEL_WHOLE_BEAM.format(tolerance=self.tolerance)
        if self.beam_propagation:
            return texts.MODEL_BEAM_PROPAGATION.format(tolerance=self.tolerance,
                                                       n0=refractive_index(experiment))
        return texts.MODEL_ON_AXIS.format(t_slices=experiment.t_slices,
                                          z_slices=experiment.z_slices)

    def to_dict(self) -> dict:
        return {"name": self.name, "tolerance": self.tolerance}


@dataclasses.dataclass(frozen=True)
class ScanRequest:
    """One scan to evaluate: positions and wing positions from the focus
    (mm; wings None: normalise by Te_lin, whole-beam only), pulse energy,
    the aperture's linear share S (None or 1: open) and whether the scan
    is the closed one divided by the open one."""

    positions: np.ndarray
    wings: Optional[np.ndarray]
    pulse_energy: float
    aperture: Optional[float] = None
    divided: bool = False

    @property
    def closed(self) -> bool:
        """Through an aperture that passes less than the whole beam."""
        return self.aperture is not None and self.aperture < 1.0


def is_closed(requests: Sequence[ScanRequest]) -> bool:
    """Whether any request needs the closed-aperture model by its aperture."""
    return any(r.closed or r.divided for r in requests)


def nonlinear_optics(optics: Optional[Mapping[str, float]]) -> bool:
    """Whether any optical parameter is nonzero."""
    return bool(optics) and any(float(optics.get(name, 0.0)) != 0.0
                                for name in OPTICAL_PARAMETERS)


@dataclasses.dataclass(frozen=True)
class ScanValues:
    """The model at the requested positions of every scan, with the
    whole-beam model's error estimates (None for the on-axis model) and,
    where asked for, every scan's derivatives (one row per parameter, one
    column per position)."""

    values: List[np.ndarray]
    errors: Optional[List[np.ndarray]]
    stats: Optional[dict] = None
    slopes: Optional[List[np.ndarray]] = None

    @property
    def largest_error(self) -> float:
        if self.errors is None or not self.errors:
            return math.nan
        return float(max(np.max(e) if e.size else 0.0 for e in self.errors))


# The decay rates out of each level, by the indices of spec_pars' lifetimes
# (tau_10, tau_13, tau_21, tau_30, tau_43 are entries 3 to 7).
_LEVEL_LIFETIMES = {1: (3, 4), 2: (5,), 3: (6,), 4: (7,)}


def refractive_index(experiment: Any) -> float:
    """The sample's linear index n0: the experiment's refractive_index, 1
    where it gives none."""
    n0 = getattr(experiment, "refractive_index", None)
    return 1.0 if n0 is None else float(n0)


def model_warnings(experiment: Any, spec_pars: np.ndarray) -> List[WarningRecord]:
    """What the rate equations' assumptions do not hold for here: a
    populated excited level that decays (the models take the initial
    populations as stationary in the dark). Whether the sample is thin
    enough for the whole-beam model is thin_sample.py's."""
    found = []
    for level, lifetimes in _LEVEL_LIFETIMES.items():
        finite = [PARAMETER_LIFETIMES[i] for i in lifetimes if math.isfinite(spec_pars[i])]
        if experiment.populations[level] > 0.0 and finite:
            found.append(WarningRecord.of(FitWarning, texts.EXCITED_NOT_STATIONARY.format(
                level=level, population=experiment.populations[level],
                lifetimes=", ".join(finite))))
    return found


def population_warnings(experiment: Any,
                        optics: Optional[Mapping[str, float]]) -> List[WarningRecord]:
    """A UnitWarning when every population is zero and no optical
    parameter is nonzero: nothing in the sample is nonlinear then."""
    if any(experiment.populations) or nonlinear_optics(optics):
        return []
    return [WarningRecord.of(UnitWarning, texts.POPULATIONS_ZERO)]


def tolerance_warning(spec: ModelSpec, largest_error: float,
                      where: str) -> Optional[WarningRecord]:
    """A FitWarning when the model's error estimates exceed the tolerance
    asked for (``where``: at what, for the text); None when it met it (or
    for the on-axis model, which has no estimate)."""
    if not spec.has_tolerance or not largest_error > spec.tolerance:
        return None
    return WarningRecord.of(FitWarning, texts.TOLERANCE_MISSED.format(
        model=spec.name, error=largest_error, tolerance=spec.tolerance, where=where))


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
                 requests: Sequence[ScanRequest], reach_energy: float = 0.0,
                 derivatives: Optional[Sequence[str]] = None,
                 optics: Optional[Mapping[str, float]] = None) -> ScanValues:
    """The model of every requested scan (arrays float64, C-contiguous);
    with ``derivatives`` (names of DERIVATIVE_PARAMETERS, or of
    CLOSED_DERIVATIVE_PARAMETERS for the closed-aperture and the
    beam-propagation model; not the on-axis model) their slopes beside the
    same values. ``optics``: the optical parameters by name (absent ones 0).

    The whole-beam model's table of the local transmittance covers the
    peak intensities up to that at the focus at the largest of the pulse
    energies and ``reach_energy`` (a point at the focus is evaluated for
    it): the table, and so every value, then depends on the positions of
    no point, and a curve on any grid evaluated with the fit's largest
    energy passes through the fitted values to the last bit.
    """
    closed = is_closed(requests) or nonlinear_optics(optics) or any(
        name in OPTICAL_PARAMETERS for name in (derivatives or ()))
    if spec.on_axis:
        if closed:
            raise ValueError(texts.CLOSED_ON_AXIS)
        if derivatives is not None:
            raise ValueError(texts.NO_DERIVATIVES_ON_AXIS)
        return ScanValues([scan_values(r.positions, r.wings, r.pulse_energy, spec_pars,
                                       experiment) for r in requests], None)
    focus = ScanRequest(np.zeros(1), None,
                        max([reach_energy] + [r.pulse_energy for r in requests]))
    if spec.beam_propagation:
        values = _closed_aperture(spec, experiment, spec_pars, list(requests) + [focus],
                                  dict(optics or {}), derivatives,
                                  engine=beam_propagation_values)
    elif closed:
        values = _closed_aperture(spec, experiment, spec_pars, list(requests) + [focus],
                                  dict(optics or {}), derivatives)
    else:
        values = _whole_beam(spec, experiment, spec_pars, list(requests) + [focus],
                             derivatives)
    return ScanValues(values.values[:-1], values.errors[:-1], values.stats,
                      None if values.slopes is None else values.slopes[:-1])


def _whole_beam(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                requests: Sequence[ScanRequest],
                derivatives: Optional[Sequence[str]] = None) -> ScanValues:
    """The whole-beam model of every request, in one call of the engine.
    A wing mean well below 1 (wings still far from linear) enlarges the
    share of its error in the normalised values beyond what a third of the
    tolerance allows for: where the normalised values' bounds exceed the
    tolerance the engine is asked again, once, for a tolerance tightened by
    that excess."""
    positions, counts = _engine_rows(requests)
    energies = [r.pulse_energy for r in requests]
    tolerance = _engine_tolerance(spec, requests)
    for attempt in range(2):
        outcome = whole_beam_values(np.concatenate(positions), counts, energies, spec_pars,
                                    experiment, tolerance, derivatives=derivatives)
        raw, raw_errors, raw_slopes, stats = _unpacked(outcome, derivatives)
        _check_physical(raw, raw_errors, linear_transmittance(experiment, spec_pars))
        values = _normalised(requests, counts, raw, raw_errors, raw_slopes, stats)
        excess = max(float(np.max(e, initial=0.0)) for e in values.errors) / spec.tolerance
        if attempt == 1 or not 1.0 < excess < np.inf:
            return values
        tolerance = max(tolerance / (WING_RETRY_MARGIN * excess), MIN_TOLERANCE / WING_SHARE)
    return values


def _engine_rows(requests: Sequence[ScanRequest]):
    """Each request's positions followed by its wing positions (the first
    and last five), as the engines take them: (positions, counts)."""
    positions, counts = [], []
    for r in requests:
        wings = r.wings if r.wings is not None else np.zeros(0)
        ends = (np.concatenate([wings[:WING_POINTS], wings[-WING_POINTS:]])
                if wings.size else wings)
        positions.append(np.concatenate([r.positions, ends]))
        counts.append(positions[-1].shape[0])
    return positions, counts


def _engine_tolerance(spec: ModelSpec, requests: Sequence[ScanRequest]) -> float:
    """The tolerance asked of the engine: a third of the tolerance when any
    request is normalised on its wings (WING_SHARE)."""
    if any(r.wings is not None for r in requests):
        return spec.tolerance / WING_SHARE
    return spec.tolerance


def _unpacked(outcome: Any, derivatives: Optional[Sequence[str]]):
    """An engine's (values, errors, slopes or None, stats), every value
    finite (else ValueError)."""
    if derivatives is None:
        raw, raw_errors, stats = outcome
        raw_slopes = None
    else:
        raw, raw_errors, raw_slopes, stats = outcome
    failed = int(np.count_nonzero(~np.isfinite(raw)))
    if failed:
        raise ValueError(texts.MODEL_FAILED.format(count=failed, total=raw.shape[0]))
    return raw, raw_errors, raw_slopes, stats


def _normalised(requests: Sequence[ScanRequest], counts: Sequence[int], raw: np.ndarray,
                raw_errors: np.ndarray, raw_slopes: Optional[np.ndarray],
                stats: Any) -> ScanValues:
    """The engine's values cut into scans, each normalised on its wings
    (when it has them) with its errors and slopes."""
    values, errors, slopes, start = [], [], [], 0
    for r, count in zip(requests, counts):
        v, e = raw[start:start + count], raw_errors[start:start + count]
        d = None if raw_slopes is None else raw_slopes[:, start:start + count]
        start += count
        n = r.positions.shape[0]
        if r.wings is None:
            values.append(np.array(v[:n]))
            errors.append(np.array(e[:n]))
            if d is not None:
                slopes.append(np.array(d[:, :n]))
            continue
        mean, mean_error = _wing_mean(v[n:]), _wing_mean(e[n:])
        out = v[:n] / mean
        # A bound on the ratio's error from the errors of both its parts.
        bound = (e[:n] + np.abs(out) * mean_error) / (mean - mean_error) \
            if mean > mean_error else np.full(n, np.inf)
        values.append(out)
        errors.append(bound)
        if d is not None:
            # The quotient rule: (v / m)' = (v' - (v / m) m') / m.
            mean_slopes = np.array([_wing_mean(row) for row in d[:, n:]])
            slopes.append((d[:, :n] - out[np.newaxis, :] * mean_slopes[:, np.newaxis]) / mean)
    return ScanValues(values, errors, dict(stats), None if raw_slopes is None else slopes)


def _closed_aperture(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                     requests: Sequence[ScanRequest], optics: Mapping[str, float],
                     derivatives: Optional[Sequence[str]] = None,
                     engine: Any = closed_aperture_values) -> ScanValues:
    """The closed-aperture model of every request, in one call of the
    engine (``engine``: closed_aperture_values, or beam_propagation_values
    of the same signature for a thick sample): a divided request as two
    rows (through its aperture and open) whose normalised values are
    divided (their errors added relatively, their slopes by the quotient
    rule)."""
    rows: List[ScanRequest] = []
    for r in requests:
        rows.append(r)
        if r.divided:
            rows.append(dataclasses.replace(r, aperture=None, divided=False))
    positions, counts = _engine_rows(rows)
    tolerance = _engine_tolerance(spec, rows)
    if any(r.divided for r in requests):
        tolerance = tolerance / 2.0   # a quotient adds the errors of both
    outcome = engine(
        np.concatenate(positions), counts, [r.pulse_energy for r in rows],
        [r.aperture for r in rows], spec_pars, experiment, tolerance,
        aperture_distance=getattr(experiment, "aperture_distance", None),
        derivatives=derivatives, **{name: float(optics.get(name, 0.0))
                                    for name in OPTICAL_PARAMETERS})
    raw, raw_errors, raw_slopes, stats = _unpacked(outcome, derivatives)
    open_rows = np.concatenate([np.full(c, not r.closed) for r, c in zip(rows, counts)])
    if np.any(open_rows):
        _check_physical(raw[open_rows], raw_errors[open_rows],
                        linear_transmittance(experiment, spec_pars))
    parts = _normalised(rows, counts, raw, raw_errors, raw_slopes, stats)
    values, errors, slopes, j = [], [], [], 0
    for r in requests:
        v, e = parts.values[j], parts.errors[j]
        d = None if parts.slopes is None else parts.slopes[j]
        j += 1
        if r.divided:
            vo, eo = parts.values[j], parts.errors[j]
            do = None if parts.slopes is None else parts.slopes[j]
            j += 1
            out = v / vo
            e = np.abs(out) * (e / np.abs(v) + eo / np.abs(vo))
            if d is not None:
                d = (d - out[np.newaxis, :] * do) / vo[np.newaxis, :]
            v = out
        values.append(v)
        errors.append(e)
        slopes.append(d)
    return ScanValues(values, errors, parts.stats, None if raw_slopes is None else slopes)
