"""What a fit's optical parameters mean, for its report and JSON: the
scans' kinds (open, closed S=..., divided), the on-axis nonlinear phase at
the focus dPhi0 = k n2 I0 L for each pulse energy (k = 2 pi / lambda, I0
the peak intensity at the focus, L the sample's thickness), the
third-order susceptibility from n2 and beta, and the two-photon
cross-section sigma_2PA = h nu beta / N0 when the sample has a ground-state
population.

Conventions (intensity-based coefficients, n = n0 + n2 I, dI/dz = -beta
I^2): Re chi(3) = 4 n0^2 eps0 c n2 / 3 and Im chi(3) = n0^2 eps0 c lambda
beta / (3 pi) in SI (m^2/V^2, n2 in m^2/W, beta in m/W); in esu chi(3)
(SI) = 4 pi / (3e4)^2 chi(3) (esu). n0 is the experiment's
refractive_index, 1 with a note when it gives none. 1 GM = 1e-50 cm^4 s.
Errors follow from the parameters' standard errors (each quantity is
proportional to one parameter). Relies on the inputs' plausibility
(peak intensity) and parameters, and texts.py.
"""
import dataclasses
import math
from typing import Any, Dict, List, Optional, Tuple

from .. import texts
from ..inputs.parameters import OPTICAL_NAMES
from ..inputs.plausibility import peak_intensity

__all__ = ["OpticsSummary", "optics_summary", "susceptibility", "two_photon_gm"]

EPS0 = 8.8541878128e-12    # F/m
C = 299792458.0            # m/s
PLANCK = 6.62607015e-34    # J s
ESU_PER_SI = (3e4) ** 2 / (4.0 * math.pi)   # chi(3): m^2/V^2 -> esu
GM = 1e-50                 # cm^4 s


def susceptibility(n2: float, beta: float, wavelength: float,
                   n0: float) -> Tuple[float, float]:
    """(Re chi(3), Im chi(3)) in SI, m^2/V^2, from n2 (cm^2/W), beta
    (cm/W), the wavelength (m) and the linear index n0."""
    real = 4.0 * n0 * n0 * EPS0 * C * (n2 * 1e-4) / 3.0
    imaginary = n0 * n0 * EPS0 * C * wavelength * (beta * 1e-2) / (3.0 * math.pi)
    return real, imaginary


def two_photon_gm(beta: float, wavelength: float, n_ground: float) -> float:
    """sigma_2PA = h nu beta / N0 in GM (beta cm/W, N0 cm^-3)."""
    return PLANCK * C / wavelength * beta / n_ground / GM


@dataclasses.dataclass(frozen=True)
class OpticsSummary:
    """The derived quantities of one fit (values with standard errors)."""

    kinds: Tuple[str, ...]
    phases: Tuple[Tuple[float, float, float], ...]   # (energy J, dPhi0, error)
    chi3_si: Optional[Tuple[float, float, float, float]]   # Re, err, Im, err
    n0: float
    n0_given: bool
    sigma_2pa_gm: Optional[Tuple[float, float]]

    def report_lines(self) -> List[str]:
        lines = [texts.OPTICS_HEAD, texts.OPTICS_KINDS.format(kinds=", ".join(self.kinds))]
        for energy, phase, error in self.phases:
            lines.append(texts.OPTICS_PHASE.format(energy=energy, phase=phase, error=error))
        if self.chi3_si is not None:
            re_si, re_err, im_si, im_err = self.chi3_si
            lines.append(texts.OPTICS_CHI3.format(
                re_si=re_si, re_err=re_err, im_si=im_si, im_err=im_err,
                re_esu=re_si * ESU_PER_SI, re_esu_err=re_err * ESU_PER_SI,
                im_esu=im_si * ESU_PER_SI, im_esu_err=im_err * ESU_PER_SI))
            lines.append(texts.OPTICS_N0.format(n0=self.n0) if self.n0_given
                         else texts.OPTICS_N0_ASSUMED)
        if self.sigma_2pa_gm is not None:
            lines.append(texts.OPTICS_2PA.format(value=self.sigma_2pa_gm[0],
                                                 error=self.sigma_2pa_gm[1]))
        lines.append(texts.OPTICS_CONVENTIONS)
        return lines

    def to_dict(self) -> Dict[str, Any]:
        out: Dict[str, Any] = {
            "scan_kinds": list(self.kinds),
            "phase_at_focus": [{"pulse_energy": e, "dphi0": p, "stderr": s}
                               for e, p, s in self.phases]}
        if self.chi3_si is not None:
            re_si, re_err, im_si, im_err = self.chi3_si
            out["chi3"] = {"re_si": re_si, "re_si_stderr": re_err, "im_si": im_si,
                           "im_si_stderr": im_err, "re_esu": re_si * ESU_PER_SI,
                           "re_esu_stderr": re_err * ESU_PER_SI,
                           "im_esu": im_si * ESU_PER_SI, "im_esu_stderr": im_err * ESU_PER_SI,
                           "n0": self.n0, "n0_given": self.n0_given}
        if self.sigma_2pa_gm is not None:
            out["sigma_2pa_gm"] = {"value": self.sigma_2pa_gm[0],
                                   "stderr": self.sigma_2pa_gm[1]}
        return out


def _value(result: Any, name: str) -> Tuple[float, float]:
    if name not in result.params:
        return 0.0, 0.0
    error = result.stderr.get(name, math.nan) if name in result.free else 0.0
    return float(result.params[name].value), float(error)


def optics_summary(result: Any) -> Optional[OpticsSummary]:
    """The summary of a fit with closed or divided scans or any optical
    parameter; None for an open-aperture fit without them."""
    closed = any(s.aperture is not None for s in result.scans)
    if not closed and not any(name in result.params for name in OPTICAL_NAMES):
        return None
    experiment = result.experiment
    n2, n2_err = _value(result, "n2")
    beta, beta_err = _value(result, "beta")
    thickness = experiment.sample_width
    k = 2.0 * math.pi / (experiment.wavelength * 100.0)   # 1/cm
    phases = []
    if n2 != 0.0:
        for energy in sorted({s.pulse_energy for s in result.scans}):
            i0 = peak_intensity(energy, experiment.w0, experiment.tau,
                                getattr(experiment, "pulse_shape", "gaussian"))
            scale = k * i0 * thickness
            phases.append((energy, scale * n2, scale * abs(n2_err)))
    n0_given = getattr(experiment, "refractive_index", None) is not None
    n0 = float(experiment.refractive_index) if n0_given else 1.0
    chi3 = None
    if n2 != 0.0 or beta != 0.0:
        re_si, im_si = susceptibility(n2, beta, experiment.wavelength, n0)
        re_err, im_err = susceptibility(abs(n2_err), abs(beta_err), experiment.wavelength, n0)
        chi3 = (re_si, re_err, im_si, im_err)
    two_photon = None
    n_ground = float(experiment.populations[0])
    if beta != 0.0 and n_ground > 0.0:
        two_photon = (two_photon_gm(beta, experiment.wavelength, n_ground),
                      two_photon_gm(abs(beta_err), experiment.wavelength, n_ground))
    return OpticsSummary(tuple(s.kind for s in result.scans), tuple(phases), chi3, n0,
                         n0_given, two_photon)
