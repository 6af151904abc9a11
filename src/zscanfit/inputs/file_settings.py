"""The settings of a data file: its '# name = value' lines, and the lines
before the data that labs write without '#' ('Energy: 3 uJ', 'Wavelength =
532 nm', 'Pulse width (FWHM): 5 ns').

A value is a list of numbers, or text where it is not numbers (and the
setting does not need numbers). Numbers are separated by blanks, tabs,
semicolons or commas; in a file whose data have decimal commas, a comma
between two digits is a decimal comma instead ('# w0 = 2,5e-5'). A
setting's numbers may carry their unit ('3 uJ', '25um', '0.4 1 uJ' for
all), converted exactly to the setting's own (units.py); bare numbers are
in the setting's own unit, or in the unit a line's name gives in brackets
('Energy (uJ): 3'). A value may end in a standard uncertainty after '+-',
'+/-' or '\u00b1', absolute ('# w0 = 2e-5 +- 1e-6', '25 um +- 1 um', '25
+- 1 um' for both) or relative in percent ('+- 5%', kept as the fraction
0.05); it applies to each number of the value and is kept apart, the value
itself unchanged. A setting given twice with different values is refused.

The '#' lines name the settings as the model does (wavelength, w0, M2,
tau, sample_width, populations, t_slices, z_slices, pulse_energy,
spec_pars); other '#' lines are kept as they read. The lines without '#'
also take the spellings of LAB_NAMES ('Energy', 'Pulse duration', 'Beam
waist', 'Thickness', ...) and ':' for '='; ``setting_line`` tells them
from other text. Relies on experiment.py (the settings' names),
file_format.py (the numbers), units.py and texts.py.
"""
import dataclasses
import math
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .. import texts
from .experiment import EXPERIMENT_SETTINGS
from .file_format import to_float
from .units import UnitError, accepted_units, is_unit, read, takes_units

__all__ = ["FileSettings", "SettingLine", "LAB_NAMES", "parse_settings", "setting_line",
           "comment_setting", "is_known"]

# aperture: every scan's aperture S (closed-aperture data); divided: 1 when
# the scans are closed divided by open.
_NUMERIC = EXPERIMENT_SETTINGS + ("spec_pars", "pulse_energy", "aperture", "divided")
_INTEGER = ("t_slices", "z_slices")
# How labs name the settings in the lines before the data, compared after
# lower-casing with blanks, '-' and '.' read as '_' ('Pulse width' is
# pulse_width). Only names that mean one setting: 'spot size' (radius or
# diameter?) and 'concentration' (mol/L?) are not among them.
LAB_NAMES: Dict[str, Tuple[str, ...]] = {
    "pulse_energy": ("pulse_energy", "pulse_energies", "energy", "energies", "energy_per_pulse",
                     "laser_energy"),
    "wavelength": ("wavelength", "lambda", "\u03bb", "laser_wavelength",
                   "excitation_wavelength"),
    "tau": ("tau", "pulse_width", "pulse_duration", "pulse_length"),
    "w0": ("w0", "w_0", "beam_waist", "waist", "beam_waist_radius", "waist_radius"),
    "M2": ("m2", "m^2", "m\u00b2", "beam_quality", "beam_quality_factor"),
    "sample_width": ("sample_width", "thickness", "sample_thickness", "path_length",
                     "pathlength", "optical_path_length"),
    "populations": ("populations",),
    "t_slices": ("t_slices",),
    "z_slices": ("z_slices",),
    "spec_pars": ("spec_pars",),
}
_LAB_KEYS = {spelling: name for name, spellings in LAB_NAMES.items() for spelling in spellings}
_UNCERTAINTY = re.compile(r"\u00b1|\+/-|\+-")
_SPLIT_POINT = re.compile(r"[,;\t ]+")
_SPLIT_COMMA = re.compile(r"[;\t ]+|(?<!\d),|,(?!\d)")
_JOIN = re.compile(r"[\s.\-]+")
# 'key: value' or 'key = value' before the data: a key of a few words that
# starts with a letter, a unit in brackets allowed ('Energy (uJ): 3').
_LAB_LINE = re.compile(r"\s*(?P<key>[^\W\d_][^:=]{0,48}?)\s*[:=]\s*(?P<value>.*?)\s*\Z")
_KEY_UNIT = re.compile(r"(?P<base>.*?)\s*[(\[](?P<unit>[^()\[\]]*)[)\]]\s*\Z")


@dataclasses.dataclass(frozen=True)
class SettingLine:
    """One line that gives a setting: its number, the setting's name (the
    model's for a known one, else as written), the name as the line writes
    it, the unit in brackets after it (or None) and the value's text."""

    number: int
    name: str
    written: str
    key_unit: Optional[str]
    value: str


@dataclasses.dataclass
class FileSettings:
    """The settings (name -> list of floats, or text), their uncertainties
    (name -> (value, is_relative)), the line of each setting and how that
    line names it ('# pulse_energy', 'Energy')."""

    values: Dict[str, Any]
    uncertainties: Dict[str, Tuple[float, bool]]
    lines: Dict[str, int]
    written: Dict[str, str] = dataclasses.field(default_factory=dict)

    def source(self, name: str) -> str:
        """Where setting ``name`` comes from, for messages."""
        written = self.written.get(name, "# " + name)
        if written.startswith("#"):
            return texts.SOURCE_SETTING.format(line=self.lines[name])
        return texts.SOURCE_LAB_SETTING.format(key=written, line=self.lines[name])


def comment_setting(number: int, line: str) -> Optional[SettingLine]:
    """The setting a '# name = value' line gives (a name without blanks),
    or None."""
    body = line.lstrip().lstrip("#").strip()
    if "=" not in body:
        return None
    key, value = (part.strip() for part in body.split("=", 1))
    if not key or " " in key:
        return None
    return SettingLine(number, key, "# " + key, None, value)


def setting_line(number: int, line: str) -> Optional[SettingLine]:
    """The setting a line before the data gives as 'key: value' or 'key =
    value': its name is the model's when the key is one of LAB_NAMES (a unit
    in brackets kept apart), else the key as written; None for a line of
    another form."""
    match = _LAB_LINE.match(line)
    if match is None:
        return None
    key, unit = match.group("key").strip(), None
    bracket = _KEY_UNIT.match(key)
    if bracket and bracket.group("base"):
        key, unit = bracket.group("base"), bracket.group("unit").strip()
    name = _LAB_KEYS.get(_JOIN.sub("_", key.lower()).strip("_"), key)
    return SettingLine(number, name, match.group("key").strip(), unit, match.group("value"))


def is_known(setting: SettingLine) -> bool:
    """Whether the line gives one of the settings the model reads."""
    return setting.name in _NUMERIC


def _numbers(text: str, decimal: str) -> Optional[List[float]]:
    split = _SPLIT_COMMA if decimal == "," else _SPLIT_POINT
    fields = [f for f in split.split(text.strip()) if f]
    values = [to_float(f, "," if "," in f else ".") for f in fields]
    if not fields or any(v is None for v in values):
        return None
    return values  # type: ignore[return-value]


def _key_unit(setting: SettingLine, where: str) -> Optional[str]:
    """The unit the line's name states for bare numbers: a unit of the
    setting in brackets. Brackets holding no unit ('(FWHM)') say nothing;
    a unit the setting does not take is refused."""
    if setting.key_unit is None or not takes_units(setting.name):
        return None
    try:
        read(setting.name, "1", unit=setting.key_unit)
    except UnitError as exc:
        first = re.split(r"[\s/*]", setting.key_unit.strip(), maxsplit=1)[0]
        if is_unit(first):  # 'uJ/pulse': a unit all the same, which is refused
            raise ValueError(f"{where}: {exc}") from None
        return None
    return setting.key_unit


def _uncertainty(setting: SettingLine, text: str, decimal: str,
                 unit: Optional[str]) -> Optional[Tuple[float, bool, Optional[str]]]:
    """(value, is_relative, unit written) of an uncertainty, None if it is
    not one number >= 0 (with the setting's unit, or in percent)."""
    text = text.strip()
    if text.endswith("%"):
        text = text[:-1].strip()
        if not text or " " in text:
            return None
        value = to_float(text, "," if "," in text else ".", -2)
        return (value, True, None) if value is not None and value >= 0.0 else None
    reading = read(setting.name, text, decimal, unit) if takes_units(setting.name) else None
    if reading is None:
        value = to_float(text, "," if "," in text else ".") if " " not in text else None
        reading_unit = None
    else:
        value = reading.values[0] if len(reading.values) == 1 else None
        reading_unit = reading.unit
    if value is None or not math.isfinite(value) or value < 0.0:
        return None
    return value, False, reading_unit


def _value(path: str, setting: SettingLine, decimal: str
           ) -> Tuple[Optional[List[float]], Optional[Tuple[float, bool]]]:
    """The numbers of a known setting's value (None if it is not numbers)
    and its uncertainty; ValueError naming the line for a unit the setting
    does not take or a bad uncertainty."""
    where = texts.SETTING_WHERE.format(path=path, line=setting.number)
    parts = _UNCERTAINTY.split(setting.value)
    try:
        unit = _key_unit(setting, where)
        reading = read(setting.name, parts[0], decimal, unit)
        if len(parts) == 1 or reading is None:
            return (reading.values if reading else None), None
        given = _uncertainty(setting, parts[1], decimal, unit) if len(parts) == 2 else None
        if given is not None and given[2] is not None and reading.unit is None and unit is None:
            # '25 +- 1 um': the unit after the uncertainty is the value's too
            reading = read(setting.name, parts[0], decimal, given[2])
        elif given is not None and not given[1] and given[2] is None and reading.unit is not None:
            raise ValueError(texts.UNCERTAINTY_WITHOUT_UNIT.format(
                where=where, key=setting.written, unit=reading.unit, value=setting.value))
    except UnitError as exc:
        raise ValueError(f"{where}: {exc}") from None
    if given is None:
        raise ValueError(texts.BAD_UNCERTAINTY.format(path=path, line=setting.number,
                                                      key=setting.name, value=setting.value))
    return (reading.values if reading else None), (given[0], given[1])


def parse_settings(lines: Sequence[Tuple[int, str]], path: str, decimal: str,
                   before_data: Sequence[SettingLine] = ()) -> FileSettings:
    """The settings of the numbered comment lines ``lines`` and of the
    lines before the data ``before_data`` (known settings only); ``decimal``
    is the decimal separator of the file's data. ValueError naming the line
    for a setting that needs numbers and has none, a unit it does not take,
    a bad uncertainty, or a setting given twice with different values."""
    found = FileSettings({}, {}, {}, {})
    given = [s for s in (comment_setting(n, text) for n, text in lines) if s is not None]
    for setting in sorted(given + list(before_data), key=lambda s: s.number):
        _add(found, path, setting, decimal)
    return found


def _add(found: FileSettings, path: str, setting: SettingLine, decimal: str) -> None:
    key, value = setting.name, setting.value
    if key in _NUMERIC:
        numbers, uncertainty = _value(path, setting, decimal)
        if not numbers:
            raise ValueError(texts.BAD_SETTING.format(
                path=path, line=setting.number, key=setting.written.lstrip("# "),
                what=_numbers_wanted(key), value=value))
        if key in _INTEGER and (len(numbers) != 1 or not math.isfinite(numbers[0])
                                or numbers[0] != int(numbers[0])):
            raise ValueError(texts.BAD_SETTING.format(
                path=path, line=setting.number, key=key, what="a whole number", value=value))
        if key in found.values and found.values[key] != numbers:
            raise ValueError(texts.SETTING_TWICE.format(
                path=path, line=setting.number, key=key, value=value,
                first=found.source(key), first_value=found.values[key]))
    else:
        parts = _UNCERTAINTY.split(value)
        numbers = _numbers(parts[0], decimal)
        uncertainty = None
        if len(parts) == 2 and numbers is not None:
            plain = _uncertainty(dataclasses.replace(setting, name=""), parts[1], decimal, None)
            uncertainty = plain[:2] if plain is not None else None
        if len(parts) > 1 and uncertainty is None:
            numbers = None
    found.values[key] = numbers if numbers else value
    found.uncertainties.pop(key, None)
    if numbers and uncertainty is not None:
        found.uncertainties[key] = uncertainty  # type: ignore[assignment]
    found.lines[key] = setting.number
    found.written[key] = setting.written


def _numbers_wanted(name: str) -> str:
    """What a setting's value must be, for messages."""
    if takes_units(name):
        return texts.SETTING_NUMBERS_UNITS.format(accepted=accepted_units(name))
    return "numbers"
