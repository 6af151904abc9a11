"""The experiment: beam, pulse, sample and the model's resolution.

An Experiment holds the settings every model evaluation shares and checks
them once: finite, positive where physical, five non-negative populations,
and a UnitWarning for values that look like a unit slip. Relies on
convert.py for the conversions and texts.py for the messages.
"""
import dataclasses
import math
from typing import Any, List, Mapping, Sequence, Tuple

import numpy as np

from .. import texts
from .convert import float_scalar, float_vector, int_scalar
from .units import in_unit
from ..warning_types import UnitWarning, WarningRecord, issue

__all__ = ["Experiment", "EXPERIMENT_SETTINGS", "REQUIRED_SETTINGS", "UNCERTAIN_SETTINGS"]

#: Names of the settings, as in the '# name = value' lines of a data file.
EXPERIMENT_SETTINGS = ("wavelength", "w0", "M2", "tau", "sample_width",
                       "populations", "t_slices", "z_slices")
# The settings that may carry a standard uncertainty: pulse_energy is each
# scan's energy, pulse_energy_scale a calibration factor common to all.
UNCERTAIN_SETTINGS = ("w0", "M2", "tau", "sample_width", "populations", "pulse_energy",
                      "pulse_energy_scale", "wavelength")
# Those of them that are one number of the experiment's.
SCALAR_UNCERTAIN_SETTINGS = ("w0", "M2", "tau", "sample_width", "wavelength")
# The settings without a default, which every experiment needs.
REQUIRED_SETTINGS = EXPERIMENT_SETTINGS[:6]

# Above these the value is more likely a unit slip than a real setting.
_MAX_LENGTH_M = 1e-3        # wavelength and w0 are in metres
_MAX_TAU_S = 1e-6           # the pulse duration is in seconds
_MAX_SAMPLE_WIDTH_CM = 10.0  # the sample thickness is in centimetres


@dataclasses.dataclass(frozen=True)
class Experiment:
    """The beam, the pulse, the sample and the model's resolution.

    Parameters
    ----------
    wavelength : float or str
        Laser wavelength, m (e.g. 532e-9), or a string with its unit
        ("532 nm"; so for every setting: "25 um", "4 ns", "1 mm",
        "3e17 0 0 0 0 cm^-3").
    w0 : float or str
        Beam waist radius at the focus, m (e.g. 20e-6).
    M2 : float
        Beam quality factor (1 for a perfect Gaussian beam).
    tau : float
        Pulse duration, s: the full width at half maximum of the pulse's
        intensity (the whole-beam model); the on-axis model's pulse is
        exp(-(t/tau)**2), sampled from -tau/2 to +tau/2 (docs/models.md says
        what that means).
    sample_width : float
        Sample thickness, cm.
    populations : sequence of 5 floats
        Initial populations N0..N4 of the five levels, cm^-3, each >= 0.
    t_slices, z_slices : int, optional
        The on-axis model's time slices across the pulse and depth slabs
        through the sample (>= 2 each; default 10); the whole-beam model
        ignores them.
    uncertainties : mapping, optional
        Standard uncertainties of the settings, for the fit's error budget:
        name -> an absolute value in the setting's own unit (w0=1e-6 for
        +-1 um) or as a string with its unit ("1 um"), a relative one as a
        string ("5%"), or (value, is_relative).
        Names: wavelength, w0, M2, tau, sample_width, populations (all five
        scaled together, as a concentration: absolute in cm^-3 of their
        total), pulse_energy (each scan's energy on its own: absolute in J)
        and pulse_energy_scale (a calibration factor common to all scans,
        nominally 1: 0.05 and "5%" mean the same).

    Raises
    ------
    ValueError
        A setting that is not a finite number, not positive where it must
        be, or populations that are not five values >= 0; the message names
        the setting.

    Warns
    -----
    UnitWarning
        wavelength or w0 above 1 mm, tau above 1 us, sample_width above
        10 cm, or populations that are all zero.

    Examples
    --------
    >>> Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9,
    ...            sample_width=0.1, populations=[3e17, 0, 0, 0, 0])
    ... # doctest: +SKIP
    """

    wavelength: float
    w0: float
    M2: float
    tau: float
    sample_width: float
    populations: Tuple[float, float, float, float, float]
    t_slices: int = 10
    z_slices: int = 10
    uncertainties: Any = ()

    def __post_init__(self) -> None:
        fix = texts.FIX_EXPERIMENT
        for name in ("wavelength", "w0", "M2", "tau", "sample_width"):
            value = float_scalar(in_unit(name, getattr(self, name)), name, positive=True,
                                 fix=fix)
            object.__setattr__(self, name, value)
        populations = float_vector(in_unit("populations", self.populations), "populations",
                                   length=5, fix=texts.FIX_POPULATIONS)
        for value in populations:
            if not math.isfinite(value):
                raise ValueError(texts.NOT_FINITE.format(
                    name="populations", value=value, fix=texts.FIX_POPULATIONS))
            if value < 0.0:
                raise ValueError(texts.NEGATIVE.format(
                    name="populations", value=value, fix=texts.FIX_POPULATIONS))
        object.__setattr__(self, "populations", tuple(float(v) for v in populations))
        for name in ("t_slices", "z_slices"):
            value = int_scalar(getattr(self, name), name, minimum=2, fix=texts.FIX_SLICES)
            object.__setattr__(self, name, value)
        object.__setattr__(self, "uncertainties", _uncertainties(self.uncertainties))
        self._warn_unit_slips()

    def uncertainty(self, name: str, value: float = 1.0) -> float:
        """The absolute standard uncertainty of setting ``name`` whose value
        is ``value`` (each scan's pulse energy, the populations' total), 0
        when none is given."""
        for setting, amount, relative in self.uncertainties:
            if setting == name:
                return amount * abs(value) if relative else amount
        return 0.0

    @property
    def uncertain_settings(self) -> Tuple[str, ...]:
        """The names of the settings with an uncertainty, in the order of
        UNCERTAIN_SETTINGS."""
        given = {name for name, amount, _ in self.uncertainties if amount > 0.0}
        return tuple(name for name in UNCERTAIN_SETTINGS if name in given)

    def _warn_unit_slips(self) -> None:
        issue(self.warning_records(), stacklevel=4)

    def warning_records(self) -> List[WarningRecord]:
        """What the settings' checks warn about (likely unit slips), as
        data; an Experiment issues them when it is made."""
        found = []
        for name, example, wrong in (("wavelength", "532e-9", "532"),
                                     ("w0", "20e-6", "20")):
            value = getattr(self, name)
            if value > _MAX_LENGTH_M:
                found.append(WarningRecord.of(UnitWarning, texts.UNIT_LENGTH.format(
                    name=name, value=value, example=example, example_wrong=wrong)))
        if self.tau > _MAX_TAU_S:
            found.append(WarningRecord.of(UnitWarning, texts.UNIT_TAU.format(value=self.tau)))
        if self.sample_width > _MAX_SAMPLE_WIDTH_CM:
            found.append(WarningRecord.of(
                UnitWarning, texts.UNIT_SAMPLE_WIDTH.format(value=self.sample_width)))
        if not any(self.populations):
            found.append(WarningRecord.of(UnitWarning, texts.POPULATIONS_ZERO))
        return found

    @property
    def rayleigh_range_mm(self) -> float:
        """Rayleigh range of the beam, mm: pi w0^2 / (M2 wavelength)."""
        return rayleigh_range_mm(self)

    def populations_array(self) -> np.ndarray:
        """The populations as a new float64 array of five values."""
        return np.array(self.populations, dtype=np.float64)

    @classmethod
    def from_settings(cls, settings: Mapping[str, Any]) -> "Experiment":
        """An Experiment from a mapping of setting name to value.

        Values may be numbers or one-element sequences (as read from a data
        file's '# name = value' lines); ``t_slices`` and ``z_slices`` default
        to 10. Raises ValueError listing every missing setting.
        """
        missing = [name for name in REQUIRED_SETTINGS if name not in settings]
        if missing:
            raise ValueError(texts.MISSING_SETTINGS.format(names=", ".join(missing)))
        values = {}
        given = settings.get("uncertainties")
        if given is not None and not isinstance(given, Mapping):
            raise ValueError(texts.UNCERTAINTIES_NOT_MAPPING.format(kind=type(given).__name__))
        if given:
            values["uncertainties"] = given
        for name in EXPERIMENT_SETTINGS:
            if name not in settings:
                continue
            value = settings[name]
            if name != "populations" and isinstance(value, Sequence) and not isinstance(value, str):
                if len(value) != 1:
                    raise ValueError(texts.NOT_SCALAR.format(
                        name=name, kind=f"{len(value)} values", fix=texts.FIX_EXPERIMENT))
                value = value[0]
            values[name] = value
        return cls(**values)

    def as_settings(self) -> dict:
        """The settings as a plain dict (populations as a list, the
        uncertainties as name -> [value, is_relative])."""
        settings = dataclasses.asdict(self)
        settings["populations"] = list(self.populations)
        settings["uncertainties"] = {name: [amount, relative]
                                     for name, amount, relative in self.uncertainties}
        return settings


def rayleigh_range_mm(settings: Any) -> float:
    """Rayleigh range, mm, of any settings with w0, M2 and wavelength (m)."""
    return (settings.w0 * settings.w0 * math.pi) / (settings.M2 * settings.wavelength) * 1e3


def _uncertainties(given: Any) -> Tuple[Tuple[str, float, bool], ...]:
    """(name, value, is_relative) of every uncertainty, sorted by name;
    ValueError for an unknown name or a value that is not >= 0."""
    if isinstance(given, Mapping):
        items = list(given.items())
    else:
        items = [(entry[0], (entry[1], entry[2])) for entry in given]
    result = []
    for name, value in items:
        if name not in UNCERTAIN_SETTINGS:
            raise ValueError(texts.UNKNOWN_UNCERTAINTY.format(
                name=name, names=", ".join(UNCERTAIN_SETTINGS)))
        relative = name == "pulse_energy_scale"
        if isinstance(value, str) and not value.strip().endswith("%"):
            amount = float_scalar(in_unit(name, value), f"uncertainties[{name!r}]",
                                  fix=texts.FIX_UNCERTAINTY)  # '1 um'
        elif isinstance(value, str):
            text = value.strip()
            value, relative = text[:-1], True
            try:
                amount = float(value) / 100.0
            except ValueError:
                raise ValueError(texts.BAD_UNCERTAINTY_VALUE.format(name=name,
                                                                    value=text)) from None
        elif isinstance(value, (tuple, list)):
            amount, relative = float(value[0]), bool(value[1]) or relative
        else:
            amount = float_scalar(value, f"uncertainties[{name!r}]", fix=texts.FIX_UNCERTAINTY)
        if not (math.isfinite(amount) and amount >= 0.0):
            raise ValueError(texts.BAD_UNCERTAINTY_VALUE.format(name=name, value=value))
        result.append((name, float(amount), relative))
    return tuple(sorted(result))
