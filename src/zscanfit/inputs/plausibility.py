"""Whether the pulse energies are plausible for the beam they are given
with: the peak fluence and intensity at the focus they imply, against what
a sample (and its cuvette) survives.

A Gaussian beam of waist w0 carrying the energy E has the peak fluence
F0 = 2E/(pi w0^2) at the focus; a Gaussian pulse of intensity FWHM tau,
the peak intensity I0 = F0/(tau sqrt(pi/(4 ln 2))). Transparent
dielectrics are damaged in one shot above about 2 J/cm^2 for pulses up to
about 10 ps (ablation by multiphoton and avalanche ionisation), and above a
fluence that grows as the square root of the pulse duration for longer
pulses (heat diffusing during the pulse): about 20 J/cm^2 at 1 ns, 40 J/cm^2
at 4 ns (fused silica; B. C. Stuart et al., "Nanosecond-to-femtosecond
laser-induced breakdown in dielectrics", Phys. Rev. B 53, 1749 (1996)).
Organic samples and their solvents give way lower still, so a fluence above
that threshold is no z-scan anybody measured: the energy is almost surely
in the wrong unit (mJ or uJ given as J), or the waist too small. Relies on
texts.py and the warning records.
"""
import math
from typing import Any, List, Optional, Sequence

from .. import texts
from ..warning_types import UnitWarning, WarningRecord

__all__ = ["peak_fluence", "peak_intensity", "damage_fluence", "energy_warnings"]

# sqrt(pi / (4 ln 2)): the time integral of a Gaussian pulse of unit peak
# and unit intensity FWHM.
_PULSE_INTEGRAL = 1.0644670194312262
# One-shot damage fluence of fused silica, J/cm^2, for pulses up to
# _ABLATION_TAU, and its growth as sqrt(tau) beyond.
_SHORT_PULSE_DAMAGE = 2.0
_ABLATION_TAU = 10e-12
# The unit slips a pulse energy may have suffered, largest first.
_SLIPS = ((1e-3, "mJ"), (1e-6, "uJ"), (1e-9, "nJ"))


def peak_fluence(pulse_energy: float, w0: float) -> float:
    """F0 = 2E/(pi w0^2), J/cm^2, at the focus (w0 in m)."""
    return 2.0 * pulse_energy / (math.pi * (w0 * 100.0) ** 2)


def peak_intensity(pulse_energy: float, w0: float, tau: float) -> float:
    """I0 = F0/(tau sqrt(pi/(4 ln 2))), W/cm^2, at the focus (tau the
    intensity FWHM, s)."""
    return peak_fluence(pulse_energy, w0) / (tau * _PULSE_INTEGRAL)


def damage_fluence(tau: float) -> float:
    """The fluence, J/cm^2, above which a pulse of intensity FWHM tau
    damages even fused silica in one shot."""
    return _SHORT_PULSE_DAMAGE * math.sqrt(max(1.0, tau / _ABLATION_TAU))


def energy_warnings(scans: Sequence[Any], experiment: Any) -> List[WarningRecord]:
    """A UnitWarning for each pulse energy whose fluence at the focus lies
    above the damage threshold, naming the unit slip that brings it below."""
    found = []
    threshold = damage_fluence(experiment.tau)
    for energy in sorted({float(scan.pulse_energy) for scan in scans}):
        fluence = peak_fluence(energy, experiment.w0)
        if not fluence > threshold:
            continue
        slip = _likely_slip(energy, experiment.w0, threshold)
        found.append(WarningRecord.of(UnitWarning, texts.ENERGY_IMPLAUSIBLE.format(
            energy=energy, fluence=fluence,
            intensity=peak_intensity(energy, experiment.w0, experiment.tau),
            w0=experiment.w0 * 1e6, tau=experiment.tau, threshold=threshold,
            slip=slip or texts.ENERGY_SLIP_UNKNOWN)))
    return found


def _likely_slip(energy: float, w0: float, threshold: float) -> Optional[str]:
    """What the energy would be in the first unit that brings its fluence
    below the threshold, as text for the warning."""
    for factor, unit in _SLIPS:
        if peak_fluence(energy * factor, w0) <= threshold:
            return texts.ENERGY_SLIP.format(value=energy, unit=unit, joules=energy * factor,
                                            fluence=peak_fluence(energy * factor, w0))
    return None
