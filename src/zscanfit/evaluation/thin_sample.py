"""Whether a sample is thin enough for the whole-beam model: the size of
that model's error at given values, from the beam-propagation model.

The whole-beam model takes the beam's width as constant across the
sample. A thick sample sees the beam narrow and widen inside it, and the
thin model is then closest to the thick one when it places the sample at
its optical centre z + L/(2 n0) (the beam-propagation model places the
front face at z). The check compares the two there: the thin model at
PROBES Rayleigh ranges about the focus, the beam-propagation model at the
same optical centres, both normalised by the linear transmittance, every
aperture of the scans at their largest pulse energy, each to a quarter of
the tolerance. It warns (a FitWarning naming the beam-propagation model)
where the largest difference exceeds the tolerance.

The beam-propagation model is dear, so it is evaluated only where the
thin model's error may matter: on open absorbers that error is close to
C (L/(n0 z0))^2 |T - 1|max, C from 0.018 (reverse saturable) to 0.034
(saturable) in the converged figures of tests/data; below GATE times that
bound the tolerance cannot be missed and nothing more is evaluated. Where
the beam-propagation model cannot be evaluated, the closed form with the
largest C stands in, and the warning says so. Relies on models.py and
settings.py.
"""
from typing import Any, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .. import texts
from ..warning_types import FitWarning, WarningRecord
from .models import ModelSpec, ScanRequest, refractive_index, scans_values

__all__ = ["thin_sample_warning", "distinct_apertures", "PROBES", "CLOSED_FORM", "GATE"]

# Where the two models are compared: the sample's optical centre at these
# multiples of the Rayleigh range from the focus (the difference is
# largest within a Rayleigh range of it).
PROBES = (-2.0, -1.0, -0.5, -0.25, 0.0, 0.25, 0.5, 1.0, 2.0)
# The largest ratio of the thin model's error to (L/(n0 z0))^2 |T - 1|max
# in the converged figures (the saturable absorber's), and the ratio below
# which the comparison is skipped: three times it.
CLOSED_FORM = 0.034
GATE = 0.1
# The probes are evaluated to this share of the tolerance.
PROBE_SHARE = 4.0


def thin_sample_warning(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                        optics: Mapping[str, float],
                        apertures: Sequence[Tuple[Optional[float], bool]],
                        pulse_energy: float, at_fit: bool) -> Optional[WarningRecord]:
    """A FitWarning when the whole-beam model (``spec``) is off by more
    than its tolerance at ``spec_pars`` and ``optics`` for this sample,
    the scans' ``apertures`` (share, divided) at ``pulse_energy``; None
    when it is not, or for another model."""
    if not spec.whole_beam:
        return None
    n0 = refractive_index(experiment)
    thickness = 10.0 * float(experiment.sample_width)
    rayleigh = float(experiment.rayleigh_range_mm)
    ratio = thickness / (n0 * rayleigh)
    probe = ModelSpec(spec.name, spec.tolerance / PROBE_SHARE)
    centres = np.array(PROBES) * rayleigh
    thin = _probe_values(probe, experiment, spec_pars, optics, apertures, pulse_energy,
                         centres)
    swing = max(float(np.max(np.abs(v - 1.0))) for v in thin)
    if GATE * ratio * ratio * swing <= spec.tolerance:
        return None
    thick = ModelSpec("beam-propagation", probe.tolerance)
    try:
        fronts = centres - thickness / (2.0 * n0)
        values = _probe_values(thick, experiment, spec_pars, optics, apertures,
                               pulse_energy, fronts)
        error = max(float(np.max(np.abs(a - b))) for a, b in zip(values, thin))
        how = texts.THIN_SAMPLE_ENGINE.format(count=len(PROBES))
    except (AttributeError, ValueError) as exc:   # no such engine, or it refused
        error = CLOSED_FORM * ratio * ratio * swing
        how = texts.THIN_SAMPLE_CLOSED_FORM.format(factor=CLOSED_FORM, reason=exc)
    if not error > spec.tolerance:
        return None
    return WarningRecord.of(FitWarning, texts.THIN_SAMPLE.format(
        thickness=thickness, ratio=ratio, where=texts.THIN_SAMPLE_WHERE if at_fit else "",
        error=error, how=how, tolerance=spec.tolerance))


def _probe_values(spec: ModelSpec, experiment: Any, spec_pars: np.ndarray,
                  optics: Mapping[str, float],
                  apertures: Sequence[Tuple[Optional[float], bool]], pulse_energy: float,
                  positions: np.ndarray) -> List[np.ndarray]:
    """The model at ``positions`` (mm from the focus) through every aperture,
    normalised by the linear transmittance."""
    requests = [ScanRequest(np.ascontiguousarray(positions), None, pulse_energy, share, divided)
                for share, divided in apertures]
    return scans_values(spec, experiment, np.asarray(spec_pars, dtype=np.float64), requests,
                        optics=optics).values


def distinct_apertures(scans: Sequence[Any]) -> List[Tuple[Optional[float], bool]]:
    """The (aperture, divided) pairs of ``scans`` (objects with both), each once."""
    return list(dict.fromkeys((s.aperture, bool(s.divided)) for s in scans))

