"""Whether a sample is thin enough for the whole-beam model: the size of
that model's error at given values, from the beam-propagation model.

The whole-beam model takes the beam's width as constant across the
sample. A thick sample sees the beam narrow and widen inside it, and the
thin model is then closest to the thick one when it places the sample at
its optical centre z + L/(2 n0) (the beam-propagation model places the
front face at z). The check compares the two there: the thin model at
PROBES Rayleigh ranges about the focus, the beam-propagation model at the
same optical centres, both normalised by the linear transmittance, every
aperture of the scans at their largest pulse energy: first to loose
tolerances (LOOSE), each of which decides where the difference stays clear
of the tolerance by more than the two error estimates, else to a quarter
of the tolerance. It warns (a FitWarning naming the beam-propagation model)
where the largest difference exceeds the tolerance. The last checks are
kept by their inputs, so that curves at the same values compare once. A
model call, the fast path, is given the closed form below for the values
it computed instead (with the largest ratio measured).

The beam-propagation model is dear, so it is evaluated only where the
thin model's error may matter: that error is close to
C (L/(n0 z0))^2 |T - 1|max, on open absorbers with C from 0.018 (reverse
saturable) to 0.034 (saturable) in the converged figures of tests/data,
with refraction, two-photon absorption or an aperture up to 3 (a Kerr
phase of pi behind an aperture; the closed-aperture cases of tests/data
measured with the engine); below GATE (or GATE_OPTICS) times that bound
the tolerance cannot be missed and nothing more is evaluated. Where the
beam-propagation model cannot be evaluated, the closed form with the
largest C stands in, and the warning says so. Relies on models.py and
texts.py.
"""
import functools
from typing import Any, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .. import texts
from ..warning_types import FitWarning, WarningRecord
from .models import (ModelSpec, ScanRequest, ScanValues, nonlinear_optics, refractive_index,
                     scans_values)

__all__ = ["thin_sample_warning", "distinct_apertures", "optical_centre_shift", "PROBES",
           "CLOSED_FORM", "CLOSED_FORM_OPTICS", "GATE", "GATE_OPTICS"]

# Where the two models are compared: the sample's optical centre at these
# multiples of the Rayleigh range from the focus (the difference is
# largest within a Rayleigh range of it).
PROBES = (-1.0, -0.5, 0.0, 0.5, 1.0)
# The largest ratio of the thin model's error to (L/(n0 z0))^2 |T - 1|max
# measured on open absorbers (the saturable absorber's) and with optical
# parameters or an aperture (a large Kerr phase), and the ratios below
# which the comparison is skipped: three times them.
CLOSED_FORM = 0.034
CLOSED_FORM_OPTICS = 3.0
GATE = 0.1
GATE_OPTICS = 10.0
# The tolerances the probes are evaluated to, loosest first, down to a
# share of the tolerance: each decides where the difference stays clear of
# the tolerance by more than the two error estimates (a loose evaluation
# of the beam-propagation model costs several times less than a tight one).
LOOSE = (1e-3, 1e-4)
PROBE_SHARE = 4.0


def _thickness(experiment: Any) -> Tuple[float, float]:
    """The sample's thickness L (mm) and L / (n0 z0)."""
    thickness = 10.0 * float(experiment.sample_width)
    return thickness, thickness / (refractive_index(experiment)
                                   * float(experiment.rayleigh_range_mm))


def optical_centre_shift(experiment: Any) -> float:
    """How far (mm) the sample's optical centre, where the thin model places
    it, lies behind its front face, where the beam-propagation model does:
    L / (2 n0)."""
    return _thickness(experiment)[0] / (2.0 * refractive_index(experiment))


def thin_sample_warning(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                        optics: Mapping[str, float],
                        apertures: Sequence[Tuple[Optional[float], bool]],
                        pulse_energy: float, at_fit: bool,
                        swing: Optional[float] = None) -> Optional[WarningRecord]:
    """A FitWarning when the whole-beam model (``spec``) is off by more
    than its tolerance at ``spec_pars`` and ``optics`` for this sample,
    the scans' ``apertures`` (share, divided) at ``pulse_energy``; None
    when it is not, or for another model. With ``swing``, the largest
    |T - 1| of values already computed, the error is the closed form's
    for those values and no model is evaluated: model calls stay the fast
    path (a fit compares the two models at its end)."""
    if not spec.whole_beam:
        return None
    if swing is not None:
        found = _closed_form_error(spec, experiment, optics, apertures, float(swing))
    else:
        key = (spec, experiment, tuple(float(v) for v in spec_pars),
               tuple(sorted((k, float(v)) for k, v in optics.items())), tuple(apertures),
               float(pulse_energy))
        try:
            found = _cached_thin_error(*key)
        except TypeError:   # settings that cannot be hashed: not kept
            found = _thin_error(*key)
    if found is None:
        return None
    error, how = found
    thickness, ratio = _thickness(experiment)
    return WarningRecord.of(FitWarning, texts.THIN_SAMPLE.format(
        thickness=thickness, ratio=ratio,
        where=texts.THIN_SAMPLE_WHERE if at_fit else "", error=error, how=how,
        tolerance=spec.tolerance))


def _plain(optics: Mapping[str, float],
           apertures: Sequence[Tuple[Optional[float], bool]]) -> bool:
    """An open absorber: no optical parameter, every scan open and undivided."""
    return not nonlinear_optics(optics) and all(
        (share is None or share >= 1.0) and not divided for share, divided in apertures)


def _closed_form_error(spec: ModelSpec, experiment: Any, optics: Mapping[str, float],
                       apertures: Sequence[Tuple[Optional[float], bool]],
                       swing: float) -> Optional[Tuple[float, str]]:
    """The closed form's error with the largest measured ratio, where it
    exceeds the tolerance; None where it does not."""
    factor = CLOSED_FORM if _plain(dict(optics), apertures) else CLOSED_FORM_OPTICS
    return _closed_form(spec, factor, _thickness(experiment)[1], swing,
                        texts.THIN_SAMPLE_ESTIMATE.format(factor=factor))


def _closed_form(spec: ModelSpec, factor: float, ratio: float, swing: float,
                 how: str) -> Optional[Tuple[float, str]]:
    """factor (L/(n0 z0))^2 |T - 1|max and ``how``, where it exceeds the
    tolerance; None where it does not."""
    error = factor * ratio * ratio * swing
    if not error > spec.tolerance:
        return None
    return error, how


def _thin_error(spec: ModelSpec, experiment: Any, spec_pars: Tuple[float, ...],
                optics: Tuple[Tuple[str, float], ...],
                apertures: Tuple[Tuple[Optional[float], bool], ...],
                pulse_energy: float) -> Optional[Tuple[float, str]]:
    """The whole-beam model's error and how it was found, where it exceeds
    the tolerance; None where it does not."""
    ratio = _thickness(experiment)[1]
    centres = np.array(PROBES) * float(experiment.rayleigh_range_mm)
    fronts = centres - optical_centre_shift(experiment)
    pars, named = np.array(spec_pars, dtype=np.float64), dict(optics)
    plain = _plain(named, apertures)
    gate, factor = (GATE, CLOSED_FORM) if plain else (GATE_OPTICS, CLOSED_FORM_OPTICS)
    finest = spec.tolerance / PROBE_SHARE
    shares = sorted({t for t in LOOSE if t > finest} | {finest}, reverse=True)
    for k, share in enumerate(shares):
        try:
            thin = _probe_values(ModelSpec(spec.name, share), experiment, pars, named,
                                 apertures, pulse_energy, centres)
        except ValueError:   # the model itself refused these values: nothing to compare
            return None
        swing = max(float(np.max(np.abs(v - 1.0))) for v in thin.values)
        if gate * ratio * ratio * swing <= spec.tolerance:
            return None
        try:
            thick = _probe_values(ModelSpec("beam-propagation", share), experiment, pars,
                                  named, apertures, pulse_energy, fronts)
        except ValueError as exc:   # the engine refused (a sample too thick to resolve)
            return _closed_form(spec, factor, ratio, swing,
                                texts.THIN_SAMPLE_CLOSED_FORM.format(factor=factor, reason=exc))
        gaps = [np.abs(a - b) for a, b in zip(thick.values, thin.values)]
        margins = [ea + eb for ea, eb in zip(thick.errors, thin.errors)]
        error = max(float(np.max(g)) for g in gaps)
        below = max(float(np.max(g + m)) for g, m in zip(gaps, margins)) <= spec.tolerance
        above = max(float(np.max(g - m)) for g, m in zip(gaps, margins)) > spec.tolerance
        if below or above or k == len(shares) - 1:
            if not error > spec.tolerance:
                return None
            return error, texts.THIN_SAMPLE_ENGINE.format(count=len(PROBES), tolerance=share)
    return None


# The last checks, by their inputs: a loop of model calls at the same
# values (curves on other grids, other positions) compares once. Thread-safe.
_cached_thin_error = functools.lru_cache(maxsize=32)(_thin_error)


def _probe_values(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                  optics: Mapping[str, float],
                  apertures: Sequence[Tuple[Optional[float], bool]], pulse_energy: float,
                  positions: np.ndarray) -> ScanValues:
    """The model at ``positions`` (mm from the focus) through every aperture,
    normalised by the linear transmittance, with its error estimates."""
    requests = [ScanRequest(np.ascontiguousarray(positions), None, pulse_energy, share, divided)
                for share, divided in apertures]
    return scans_values(spec, experiment, spec_pars, requests, optics=optics)


def distinct_apertures(scans: Sequence[Any]) -> List[Tuple[Optional[float], bool]]:
    """The (aperture, divided) pairs of ``scans`` (objects with both), each once."""
    return list(dict.fromkeys((s.aperture, bool(s.divided)) for s in scans))

