"""Settings written with their units: '3 uJ', '25 um', '5 ns', '0.1 cm',
'1e17 cm^-3', converted to the unit the model takes them in.

Every setting has a dimension and a unit of its own, the unit a bare number
is taken in: m (wavelength, w0), cm (sample_width), mm (the focus position
center_mm), s (tau and the lifetimes), J (pulse energies), cm^-3
(populations), cm^2 (cross-sections); M2 and the slice counts take none. A
value with a unit is converted to the setting's unit by a power of ten,
exactly (the decimal number is scaled before it is rounded to a float, as
the columns' units are). A unit of another dimension, or one not known, is
refused with a ValueError naming the setting and the units it takes.
Relies on file_format.py (the numbers) and texts.py.
"""
import dataclasses
import re
from typing import Any, Dict, List, Optional, Tuple, Union

from .. import texts
from .file_format import to_float

__all__ = ["Reading", "UnitError", "unit_of", "takes_units", "is_unit", "accepted_units",
           "read", "read_number", "in_unit"]

# Powers of ten of the prefixed units to their dimension's base unit (m, s,
# J); spellings compared lower-cased, with both micro signs and 'u'.
_LENGTHS = {"m": 0, "cm": -2, "mm": -3, "um": -6, "nm": -9}
_TIMES = {"s": 0, "ms": -3, "us": -6, "ns": -9, "ps": -12, "fs": -15}
_ENERGIES = {"j": 0, "mj": -3, "uj": -6, "nj": -9, "pj": -12}
_MICRO = ("\u00b5", "\u03bc")           # micro sign, Greek mu


def _spellings(table: Dict[str, int]) -> Dict[str, int]:
    found = dict(table)
    for unit, power in table.items():
        if unit.startswith("u"):
            found.update({sign + unit[1:]: power for sign in _MICRO})
    return found


def _areas() -> Dict[str, int]:
    """cm^2 and the other squared lengths, as powers of ten to cm^2."""
    found = {}
    for unit, power in _spellings(_LENGTHS).items():
        for square in ("^2", "2", "\u00b2"):
            found[unit + square] = 2 * (power + 2)
    return found


def _densities() -> Dict[str, int]:
    """cm^-3 and m^-3 in their usual spellings, as powers of ten to cm^-3."""
    found = {}
    for unit in ("cm", "m"):
        power = -3 * (_LENGTHS[unit] + 2)
        for spelling in (f"{unit}^-3", f"{unit}-3", f"{unit}\u207b\u00b3", f"/{unit}^3",
                         f"/{unit}3", f"/{unit}\u00b3"):
            found[spelling] = power
    return found


@dataclasses.dataclass(frozen=True)
class _Dimension:
    """A physical dimension: its name, its units (spelling -> power of ten
    to the reference unit: m, s, J, cm^2, cm^-3) and how they are listed in
    messages."""

    name: str
    units: Dict[str, int]
    shown: str


_LENGTH = _Dimension("length", _spellings(_LENGTHS), "m, cm, mm, um (\u00b5m), nm")
_TIME = _Dimension("time", _spellings(_TIMES), "s, ms, us (\u00b5s), ns, ps, fs")
_ENERGY = _Dimension("energy", _spellings(_ENERGIES), "J, mJ, uJ (\u00b5J), nJ, pJ")
_AREA = _Dimension("area", _areas(), "cm^2 (cm2), m^2, mm^2, um^2, nm^2")
_DENSITY = _Dimension("number density", _densities(), "cm^-3 (cm-3, /cm^3), m^-3")
_DIMENSIONS = (_LENGTH, _TIME, _ENERGY, _AREA, _DENSITY)


@dataclasses.dataclass(frozen=True)
class _Unit:
    """The unit a setting is taken in: its dimension, the power of ten by
    which a value in the dimension's reference unit is multiplied to be in
    it (2 for cm, a length whose reference is m), and its name."""

    dimension: _Dimension
    shift: int
    name: str


# The unit of every setting that has one; a setting not listed takes no unit.
_SETTINGS: Dict[str, _Unit] = {
    "wavelength": _Unit(_LENGTH, 0, "m"),
    "w0": _Unit(_LENGTH, 0, "m"),
    "sample_width": _Unit(_LENGTH, 2, "cm"),
    "center_mm": _Unit(_LENGTH, 3, "mm"),
    "tau": _Unit(_TIME, 0, "s"),
    "pulse_energy": _Unit(_ENERGY, 0, "J"),
    "populations": _Unit(_DENSITY, 0, "cm^-3"),
}
_SETTINGS.update({f"sigma_{k}": _Unit(_AREA, 0, "cm^2") for k in range(3)})
_SETTINGS.update({name: _Unit(_TIME, 0, "s")
                  for name in ("tau_10", "tau_13", "tau_21", "tau_30", "tau_43")})

_SPLIT_POINT = re.compile(r"[,;\t ]+")
_SPLIT_COMMA = re.compile(r"[;\t ]+|(?<!\d),|,(?!\d)")
_GLUED = re.compile(r"([+-]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eEdD][+-]?\d+)?)"
                    r"([^\d\s.,+-].*)\Z")
_UNIT_START = re.compile(r"[^\W\d_]|/|\u00b5|\u03bc")


class UnitError(ValueError):
    """A unit the setting does not take."""


@dataclasses.dataclass(frozen=True)
class Reading:
    """The numbers of a value, in the setting's unit, and the unit they were
    written in (None: bare numbers, taken in the setting's unit)."""

    values: List[float]
    unit: Optional[str]


def unit_of(name: str) -> Optional[str]:
    """The unit a bare number of setting ``name`` is taken in ('m', 'cm',
    's', ...); None for a setting without a unit."""
    unit = _SETTINGS.get(name)
    return unit.name if unit is not None else None


def takes_units(name: str) -> bool:
    """Whether setting ``name`` may be written with a unit."""
    return name in _SETTINGS


def is_unit(text: str) -> bool:
    """Whether ``text`` is a unit of any dimension a setting has."""
    key = text.strip().lower().replace(" ", "")
    return any(key in dimension.units for dimension in _DIMENSIONS)


def accepted_units(name: str) -> str:
    """The units ``name`` takes, for messages."""
    unit = _SETTINGS.get(name)
    if unit is None:
        return texts.UNITS_NONE.format(name=name)
    return texts.UNITS_ACCEPTED.format(name=name, units=unit.dimension.shown, unit=unit.name)


def _power(name: str, written: str) -> int:
    """The power of ten from ``written`` to the unit of ``name``; UnitError
    naming the setting and its units when it takes no such unit."""
    key = written.strip().lower().replace(" ", "")
    unit = _SETTINGS.get(name)
    if unit is not None and key in unit.dimension.units:
        return unit.dimension.units[key] + unit.shift
    other = next((d for d in _DIMENSIONS if key in d.units), None)
    if unit is None:
        raise UnitError(texts.UNIT_NOT_TAKEN.format(name=name, unit=written.strip()))
    if other is not None:
        raise UnitError(texts.UNIT_WRONG_DIMENSION.format(
            name=name, unit=written.strip(), other=other.name, dimension=unit.dimension.name,
            accepted=accepted_units(name)))
    raise UnitError(texts.UNIT_UNKNOWN.format(name=name, unit=written.strip(),
                                              dimension=unit.dimension.name,
                                              accepted=accepted_units(name)))


def _tokens(text: str, decimal: str) -> Optional[List[Tuple[str, Optional[str]]]]:
    """(number, unit or None) of every number of ``text``; None when the
    text is not numbers with units (a unit before any number, a word)."""
    split = _SPLIT_COMMA if decimal == "," else _SPLIT_POINT
    found: List[Tuple[str, Optional[str]]] = []
    for field in (f for f in split.split(text.strip()) if f):
        glued = _GLUED.match(field)
        if to_float(field, "," if "," in field else ".") is not None:
            found.append((field, None))
        elif glued and _UNIT_START.match(glued.group(2)):
            found.append((glued.group(1), glued.group(2)))
        elif _UNIT_START.match(field) and found and found[-1][1] is None:
            found[-1] = (found[-1][0], field)
        else:
            return None
    return found or None


def read(name: str, text: str, decimal: str = ".", unit: Optional[str] = None
         ) -> Optional[Reading]:
    """The numbers of ``text`` in the unit of setting ``name``.

    Each number may carry its unit ('25um', '25 um'); a unit after the last
    of several numbers only ('0.4 1 uJ', '3e17 0 0 0 0 cm^-3') applies to
    all of them; bare numbers are in ``unit`` when given (a unit the name
    of a line states, 'Energy (uJ): 3'), else in the setting's own. None
    when ``text`` is not numbers; UnitError for a unit the setting does not
    take, or units on some numbers only.
    """
    tokens = _tokens(text, decimal)
    if tokens is None:
        return None
    units = [u for _, u in tokens]
    if len(tokens) > 1 and units[-1] is not None and not any(units[:-1]):
        units = [units[-1]] * len(tokens)
    elif any(units) and not all(units):
        raise UnitError(texts.UNITS_ON_SOME.format(name=name, text=text.strip()))
    values = []
    for (number, _), written in zip(tokens, units):
        written = written or unit
        power = _power(name, written) if written is not None else 0
        value = to_float(number, "," if "," in number else ".", power)
        if value is None:
            return None
        values.append(value)
    return Reading(values, units[-1] or unit)


def read_number(name: str, text: str, what: str = "") -> float:
    """One number of setting ``name`` written with or without its unit;
    ValueError naming ``what`` (default: the setting) otherwise."""
    reading = read(name, text)
    if reading is None or len(reading.values) != 1:
        raise ValueError(texts.UNIT_NOT_ONE_NUMBER.format(name=what or name, text=text,
                                                          accepted=accepted_units(name)))
    return reading.values[0]


def in_unit(name: str, value: Any) -> Union[Any, float, List[Any]]:
    """``value`` with every string in it read in the unit of setting
    ``name`` ('25 um' -> 2.5e-05 for w0; '0.4 1 uJ' -> [4e-07, 1e-06]);
    numbers, arrays and anything else are returned as given. A string must
    give its unit (a bare number is a number, not a string): ValueError
    otherwise, naming the setting and its units; a setting without a unit
    gets its strings back, for its own check to refuse."""
    unit = _SETTINGS.get(name)
    if isinstance(value, str) and unit is not None:
        reading = read(name, value)
        if reading is None or reading.unit is None:
            raise ValueError(texts.UNIT_MISSING.format(name=name, unit=unit.name,
                                                       units=unit.dimension.shown, text=value))
        return reading.values[0] if len(reading.values) == 1 else reading.values
    if isinstance(value, (list, tuple)) and any(isinstance(v, str) for v in value):
        converted: List[Any] = []
        for item in value:
            item = in_unit(name, item)
            converted.extend(item if isinstance(item, list) else [item])
        return converted
    return value
