"""The experiment: beam, pulse, sample and the model's resolution.

An Experiment holds the settings every model evaluation shares and checks
them once: finite, positive where physical, five non-negative populations,
and a UnitWarning for values that look like a unit slip. Relies on
convert.py for the conversions, linear_absorption.py for the linear
spectrum (concentration, absorbance, extinction) and texts.py for the
messages.
"""
import dataclasses
import math
import warnings
from typing import Any, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .. import texts
from .convert import float_scalar, float_vector, int_scalar
from .linear_absorption import concentration_of, ground_population, linear_sigma_0
from .units import in_unit
from ..warning_types import UnitWarning, WarningRecord, ZScanWarning, issue

__all__ = ["Experiment", "EXPERIMENT_SETTINGS", "REQUIRED_SETTINGS", "UNCERTAIN_SETTINGS",
           "LINEAR_SETTINGS", "missing_settings", "PULSE_SHAPES", "pulse_shape_of"]

#: The linear spectrum: the concentration (mol/L, instead of the
#: populations), and the decadic absorbance of the cell or the molar
#: extinction coefficient (L mol^-1 cm^-1), either of which gives sigma_0.
LINEAR_SETTINGS = ("concentration", "absorbance", "extinction")
#: The optional settings of a closed-aperture experiment: the aperture's
#: distance from the focus (m; None: the far field) and the sample's
#: linear refractive index (for chi(3), and the beam-propagation model's
#: n0; None: 1).
OPTICAL_SETTINGS = ("aperture_distance", "refractive_index")
#: The pulse's shapes in time the whole-beam model knows.
PULSE_SHAPES = ("gaussian", "sech2")
#: Names of the settings, as in the '# name = value' lines of a data file.
EXPERIMENT_SETTINGS = ("wavelength", "w0", "M2", "tau", "sample_width",
                       "populations", "t_slices", "z_slices") + LINEAR_SETTINGS \
    + OPTICAL_SETTINGS
# The settings that may carry a standard uncertainty: pulse_energy is each
# scan's energy, pulse_energy_scale a calibration factor common to all;
# the refractive index moves the beam-propagation model's values only.
UNCERTAIN_SETTINGS = ("w0", "M2", "tau", "sample_width", "populations", "pulse_energy",
                      "pulse_energy_scale", "wavelength") + LINEAR_SETTINGS \
    + ("refractive_index",)
# Those of them that are one number of the experiment's and drawn as such
# (the concentration scales the populations, as the populations' own does).
SCALAR_UNCERTAIN_SETTINGS = ("w0", "M2", "tau", "sample_width", "wavelength", "absorbance",
                             "extinction", "refractive_index")
# The settings without a default, which every experiment needs; the
# populations may instead come from a concentration.
REQUIRED_SETTINGS = EXPERIMENT_SETTINGS[:6]
# A concentration of more solute than any solution holds is more likely in mmol/L.
_MAX_CONCENTRATION = 10.0

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
        intensity (the whole-beam model, for either pulse shape); the
        on-axis model's pulse is exp(-(t/tau)**2), sampled from -tau/2 to
        +tau/2 (docs/models.md says what that means).
    sample_width : float
        Sample thickness, cm.
    populations : sequence of 5 floats, optional
        Initial populations N0..N4 of the five levels, cm^-3, each >= 0.
        Give them or ``concentration``, not both.
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
        nominally 1: 0.05 and "5%" mean the same); concentration (mol/L),
        absorbance and extinction (in their units) when the experiment
        gives them.
    concentration : float, optional
        Concentration of the absorber, mol/L: the populations are then
        (c N_A / 1000, 0, 0, 0, 0) cm^-3, all in the ground state.
    absorbance : float, optional
        Decadic absorbance A of the cell at the wavelength, over the
        sample's path (sample_width): sigma_0 = ln 10 A / (N0 L).
    extinction : float, optional
        Molar extinction coefficient eps at the wavelength, L mol^-1 cm^-1:
        sigma_0 = 1000 ln 10 eps / N_A. Give absorbance or extinction, not
        both. With either, a fit takes sigma_0 from them when it is fixed,
        and ties them to it when it is free (see ``zscanfit.fit``).
    pulse_shape : {"gaussian", "sech2"}, optional
        The pulse's intensity in time (the whole-beam model): Gaussian
        (default) or sech^2(1.7627 t / tau), as femtosecond oscillators and
        amplifiers give; tau is the intensity FWHM either way and the pulse
        carries exactly its energy. The on-axis model (fit_zscan's) knows
        only its own Gaussian slices and refuses sech2.
    aperture_distance : float, optional
        Distance of a closed aperture from the focus, m (the closed-aperture
        model); None (default): the far field.
    refractive_index : float, optional
        The sample's linear refractive index n0: for the chi(3) a report
        derives from n2 and beta, and the beam-propagation model's index
        (the beam inside the sample, refracted at its entrance face); None
        (default): taken as 1 (with a note in a closed-aperture report).

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
        10 cm. (Populations that are all zero warn when a model or fit
        uses them without a nonzero optical parameter: see
        ``zscanfit.model``.)

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
    populations: Optional[Tuple[float, float, float, float, float]] = None
    t_slices: int = 10
    z_slices: int = 10
    uncertainties: Any = ()
    concentration: Optional[float] = None
    absorbance: Optional[float] = None
    extinction: Optional[float] = None
    pulse_shape: str = "gaussian"
    aperture_distance: Optional[float] = None
    refractive_index: Optional[float] = None

    def __post_init__(self) -> None:
        fix = texts.FIX_EXPERIMENT
        for name in ("wavelength", "w0", "M2", "tau", "sample_width"):
            value = float_scalar(in_unit(name, getattr(self, name)), name, positive=True,
                                 fix=fix)
            object.__setattr__(self, name, value)
        populations = self._populations()
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
        self._check_linear()
        for name in OPTICAL_SETTINGS:
            if getattr(self, name) is not None:
                object.__setattr__(self, name, float_scalar(
                    in_unit(name, getattr(self, name)) if name == "aperture_distance"
                    else getattr(self, name), name, positive=True, fix=fix))
        object.__setattr__(self, "pulse_shape", pulse_shape_of(self.pulse_shape))
        object.__setattr__(self, "uncertainties", _uncertainties(self.uncertainties, self))
        self._warn_unit_slips()

    def _populations(self) -> np.ndarray:
        """The populations as given, or from the concentration (refused
        beside populations that are not its own)."""
        if self.concentration is None:
            if self.populations is None:
                raise ValueError(texts.NO_POPULATIONS)
            return float_vector(in_unit("populations", self.populations), "populations",
                                length=5, fix=texts.FIX_POPULATIONS)
        concentration = float_scalar(self.concentration, "concentration", positive=True,
                                     fix=texts.FIX_CONCENTRATION)
        object.__setattr__(self, "concentration", concentration)
        derived = np.array([ground_population(concentration), 0.0, 0.0, 0.0, 0.0])
        if self.populations is not None:
            given = float_vector(in_unit("populations", self.populations), "populations",
                                 length=5, fix=texts.FIX_POPULATIONS)
            if not np.array_equal(given, derived):  # dataclasses.replace passes both
                raise ValueError(texts.POPULATIONS_AND_CONCENTRATION)
        return derived

    def _check_linear(self) -> None:
        """absorbance or extinction, positive; an absorbance needs N0 > 0."""
        if self.absorbance is not None and self.extinction is not None:
            raise ValueError(texts.ABSORBANCE_AND_EXTINCTION)
        for name in ("absorbance", "extinction"):
            if getattr(self, name) is not None:
                object.__setattr__(self, name, float_scalar(
                    getattr(self, name), name, positive=True, fix=texts.FIX_LINEAR))
        if self.absorbance is not None and not self.populations[0] > 0.0:
            raise ValueError(texts.ABSORBANCE_WITHOUT_N0)

    @property
    def linear_sigma_0(self) -> Optional[float]:
        """sigma_0 (cm^2) from the absorbance or the extinction coefficient,
        None without either."""
        return linear_sigma_0(self)

    @property
    def ground_concentration(self) -> float:
        """The ground state's population as a concentration, mol/L (the
        concentration itself when given)."""
        if self.concentration is not None:
            return self.concentration
        return concentration_of(self.populations[0])

    def with_populations_scaled(self, factor: float) -> "Experiment":
        """The experiment with every population (and the concentration)
        times ``factor``; its own warnings not issued again."""
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ZScanWarning)
            if self.concentration is not None:
                return dataclasses.replace(self, populations=None,
                                           concentration=self.concentration * factor)
            return dataclasses.replace(self, populations=[v * factor for v in self.populations])

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
        if self.concentration is not None and self.concentration > _MAX_CONCENTRATION:
            found.append(WarningRecord.of(UnitWarning, texts.UNIT_CONCENTRATION.format(
                value=self.concentration)))
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
        to 10; the populations may come from ``concentration``. Raises
        ValueError listing every missing setting.
        """
        missing = missing_settings(settings)
        if missing:
            raise ValueError(texts.MISSING_SETTINGS.format(names=", ".join(missing)))
        values = {}
        given = settings.get("uncertainties")
        if given is not None and not isinstance(given, Mapping):
            raise ValueError(texts.UNCERTAINTIES_NOT_MAPPING.format(kind=type(given).__name__))
        if given:
            values["uncertainties"] = given
        if "pulse_shape" in settings:
            shape = settings["pulse_shape"]
            values["pulse_shape"] = shape[0] if isinstance(shape, (list, tuple)) and \
                len(shape) == 1 else shape
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
        uncertainties as name -> [value, is_relative]); the concentration
        instead of the populations it gave, the linear data when given."""
        settings = dataclasses.asdict(self)
        settings["populations"] = list(self.populations)
        settings["uncertainties"] = {name: [amount, relative]
                                     for name, amount, relative in self.uncertainties}
        if self.concentration is not None:
            del settings["populations"]
        for name in LINEAR_SETTINGS + OPTICAL_SETTINGS:
            if settings[name] is None:
                del settings[name]
        if self.pulse_shape == "gaussian":
            del settings["pulse_shape"]
        return settings


def pulse_shape_of(shape: Any) -> str:
    """A pulse shape as given ('gaussian' or 'sech2', in any case);
    ValueError naming the shapes for anything else."""
    name = shape.strip().strip("'\"").lower() if isinstance(shape, str) else shape
    if name not in PULSE_SHAPES:
        raise ValueError(texts.BAD_PULSE_SHAPE.format(
            shape=shape, shapes=", ".join(repr(s) for s in PULSE_SHAPES)))
    return name


def missing_settings(settings: Mapping[str, Any]) -> Tuple[str, ...]:
    """The settings without a default that ``settings`` lacks (the
    populations are there when a concentration is)."""
    return tuple(name for name in REQUIRED_SETTINGS if name not in settings
                 and not (name == "populations" and "concentration" in settings))


def rayleigh_range_mm(settings: Any) -> float:
    """Rayleigh range, mm, of any settings with w0, M2 and wavelength (m)."""
    return (settings.w0 * settings.w0 * math.pi) / (settings.M2 * settings.wavelength) * 1e3


def _uncertainties(given: Any, experiment: Any) -> Tuple[Tuple[str, float, bool], ...]:
    """(name, value, is_relative) of every uncertainty, sorted by name;
    ValueError for an unknown name, a value that is not >= 0, a linear
    setting the experiment does not give, or the concentration's beside the
    populations' (the same quantity)."""
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
        if (name in LINEAR_SETTINGS or name == "refractive_index") \
                and getattr(experiment, name) is None:
            raise ValueError(texts.UNCERTAINTY_WITHOUT_SETTING.format(name=name))
        result.append((name, float(amount), relative))
    names = {name for name, _, _ in result}
    if {"populations", "concentration"} <= names:
        raise ValueError(texts.UNCERTAINTY_POPULATIONS_TWICE)
    return tuple(sorted(result))
