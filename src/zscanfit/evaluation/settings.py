"""An experiment's settings with some of them changed, for one evaluation:
a fitted beam waist or M2, or a setting moved by its uncertainty to see
what that does to the fit. Unlike an Experiment it is not checked and
never warns: it is made by the package from a checked Experiment many
times per fit. Relies on the inputs' experiment module for the fields and
the Rayleigh range.
"""
import dataclasses
from typing import Any, Optional, Tuple

from ..inputs.experiment import rayleigh_range_mm

__all__ = ["Settings", "settings_of"]


@dataclasses.dataclass(frozen=True)
class Settings:
    """The settings the models read (see Experiment for each)."""

    wavelength: float
    w0: float
    M2: float
    tau: float
    sample_width: float
    populations: Tuple[float, float, float, float, float]
    t_slices: int = 10
    z_slices: int = 10
    absorbance: Optional[float] = None   # the linear data that give sigma_0
    extinction: Optional[float] = None

    @property
    def rayleigh_range_mm(self) -> float:
        """Rayleigh range of the beam, mm: pi w0^2 / (M2 wavelength)."""
        return rayleigh_range_mm(self)


def settings_of(experiment: Any, **changes: Any) -> Any:
    """``experiment`` itself when nothing changes, else its settings with
    ``changes`` (names of its fields; ``populations_scale`` multiplies the
    five populations)."""
    if not changes:
        return experiment
    fields = {f.name: getattr(experiment, f.name) for f in dataclasses.fields(Settings)}
    scale = changes.pop("populations_scale", None)
    fields.update(changes)
    if scale is not None:
        fields["populations"] = tuple(float(v) * scale for v in fields["populations"])
    return Settings(**fields)
