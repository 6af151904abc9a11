"""What the experiment of a fit was, as the fit used it: for every data
file its pulse energies and settings, the Rayleigh range, the peak
fluence and intensity at the focus of every energy, and the sample's
linear absorption (alpha0 = sigma_0 N0, alpha0 L and Te_lin at the fitted
cross-sections). The report's [[Experiment]] section and the JSON's
"experiments" list are made from it, so that a wrong energy or unit shows
where a referee looks first; the figure shows a compact line of it
(energies, z0, peak fluence). The linear spectrum (concentration,
absorbance, extinction), when given, is listed with the sigma_0 it gives.
Where the experiment states a refractive index, n0 z0 (the Rayleigh range
inside the sample) is shown too. Relies on texts.py, _json.py and the
inputs' plausibility (the focus's fluence and intensity).
"""
import dataclasses
import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .. import texts
from .._json import number
from ..inputs.plausibility import peak_fluence, peak_intensity

__all__ = ["ExperimentSummary", "experiment_summaries"]


@dataclasses.dataclass(frozen=True)
class ExperimentSummary:
    """One data file's experiment as used: settings, energies and what
    follows from them."""

    label: Optional[str]
    pulse_energies: Tuple[float, ...]   # J, in the order of the scans
    points: int
    settings: Dict[str, Any]            # Experiment.as_settings()
    rayleigh_range_mm: float
    alpha0: float                       # sigma_0 N0, 1/cm
    linear_depth: float                 # -ln Te_lin
    model: str
    populations: Tuple[float, ...] = ()  # cm^-3 (also from a concentration)
    linear_sigma_0: Optional[float] = None  # cm^2, from absorbance or extinction

    @property
    def te_lin(self) -> float:
        """The transmittance at low energy, exp(-(sigma_0 N0 + sigma_1 N1 +
        sigma_2 N3) L)."""
        return math.exp(-self.linear_depth)

    def focus(self, energy: float) -> Tuple[float, float]:
        """Peak fluence (J/cm^2) and intensity (W/cm^2) at the focus."""
        w0, tau = self.settings["w0"], self.settings["tau"]
        return peak_fluence(energy, w0), peak_intensity(energy, w0, tau)

    @property
    def refractive_index(self) -> Optional[float]:
        """The sample's refractive index n0, when the experiment states one
        (a setting 'refractive_index'); None otherwise."""
        value = self.settings.get("refractive_index")
        return None if value is None else float(value)

    @property
    def rayleigh_in_sample_mm(self) -> Optional[float]:
        """n0 z0, the Rayleigh range inside the sample (mm), when n0 is known."""
        n0 = self.refractive_index
        return None if n0 is None else n0 * self.rayleigh_range_mm

    def compact_text(self) -> str:
        """One line for a figure: the energies, z0 (and n0 z0), the peak
        fluence at the focus of each energy."""
        focus = [self.focus(e)[0] for e in self.pulse_energies]
        inside = self.rayleigh_in_sample_mm
        return texts.FIGURE_EXPERIMENT.format(
            label=f"{self.label}: " if self.label else "",
            energies=", ".join(f"{e * 1e6:.3g}" for e in self.pulse_energies),
            z0=self.rayleigh_range_mm,
            inside="" if inside is None else texts.FIGURE_N0_Z0.format(value=inside),
            fluences=", ".join(f"{f:.3g}" for f in focus))

    def report_lines(self) -> List[str]:
        s = self.settings
        lines = []
        if self.label:
            lines.append(texts.EXPERIMENT_FILE.format(label=self.label))
        energies = sorted(set(self.pulse_energies))
        lines.append(texts.EXPERIMENT_ENERGIES.format(
            energies=", ".join(f"{e:g}" for e in self.pulse_energies),
            scans=len(self.pulse_energies), points=self.points))
        lines.append(texts.EXPERIMENT_BEAM.format(
            wavelength=s["wavelength"], w0=s["w0"], M2=s["M2"], z0=self.rayleigh_range_mm))
        if self.rayleigh_in_sample_mm is not None:
            lines.append(texts.EXPERIMENT_N0_Z0.format(n0=self.refractive_index,
                                                       value=self.rayleigh_in_sample_mm))
        lines.append(texts.EXPERIMENT_PULSE.format(tau=s["tau"], width=s["sample_width"]))
        lines.append(texts.EXPERIMENT_POPULATIONS.format(
            populations=", ".join(f"{v:g}" for v in self.populations)))
        if "concentration" in s:
            lines.append(texts.EXPERIMENT_CONCENTRATION.format(concentration=s["concentration"]))
        if self.linear_sigma_0 is not None:
            given = ("absorbance", s["absorbance"]) if "absorbance" in s else \
                ("extinction", s["extinction"])
            lines.append(texts.EXPERIMENT_LINEAR_DATA.format(
                name=given[0], value=given[1], sigma=self.linear_sigma_0))
        if self.model == "on-axis":
            lines.append(texts.EXPERIMENT_SLICES.format(t_slices=s["t_slices"],
                                                        z_slices=s["z_slices"]))
        for energy in energies:
            fluence, intensity = self.focus(energy)
            lines.append(texts.EXPERIMENT_FOCUS.format(energy=energy, fluence=fluence,
                                                       intensity=intensity))
        lines.append(texts.EXPERIMENT_LINEAR.format(
            alpha0=self.alpha0, depth=self.alpha0 * s["sample_width"], te_lin=self.te_lin))
        for name, (amount, relative) in sorted(s["uncertainties"].items()):
            shown = f"{100.0 * amount:g} %" if relative else f"{amount:g}"
            lines.append(texts.EXPERIMENT_UNCERTAINTY.format(name=name, amount=shown))
        return lines

    def to_dict(self) -> Dict[str, Any]:
        """JSON-ready plain data."""
        focus = [self.focus(e) for e in self.pulse_energies]
        return {"label": self.label,
                "pulse_energies": [number(e) for e in self.pulse_energies],
                "points": self.points,
                "settings": self.settings,
                "rayleigh_range_mm": number(self.rayleigh_range_mm),
                "peak_fluence_j_cm2": [number(f) for f, _ in focus],
                "peak_intensity_w_cm2": [number(i) for _, i in focus],
                "alpha0_per_cm": number(self.alpha0),
                "sigma_0_linear": _optional(self.linear_sigma_0),
                "n0_z0_mm": _optional(self.rayleigh_in_sample_mm),
                "alpha0_L": number(self.alpha0 * self.settings["sample_width"]),
                "te_lin": number(self.te_lin)}


def _optional(value: Optional[float]) -> Optional[float]:
    return None if value is None else number(value)


def _summary(label: Optional[str], scans: Sequence[Any], experiment: Any,
             spec_pars: Sequence[float], model: str) -> ExperimentSummary:
    n = experiment.populations
    alpha0 = float(spec_pars[0]) * n[0]
    depth = ((float(spec_pars[0]) * n[0] + float(spec_pars[1]) * n[1])
             + float(spec_pars[2]) * n[3]) * experiment.sample_width
    return ExperimentSummary(label=label,
                             pulse_energies=tuple(float(s.pulse_energy) for s in scans),
                             points=int(sum(s.n_points for s in scans)),
                             settings=experiment.as_settings(),
                             rayleigh_range_mm=float(experiment.rayleigh_range_mm),
                             alpha0=alpha0, linear_depth=depth, model=model,
                             populations=tuple(float(v) for v in n),
                             linear_sigma_0=getattr(experiment, "linear_sigma_0", None))


def experiment_summaries(result: Any) -> List[ExperimentSummary]:
    """The experiment of every data file of ``result`` (one for a fit of one
    file), with the fitted beam where the fit freed it."""
    if result.data_sets:
        return [_summary(d.label, d.scans, d.experiment, result.spec_pars, result.model.name)
                for d in result.data_sets]
    return [_summary(result.source, result.scans, result.experiment, result.spec_pars,
                     result.model.name)]
