"""The '# name = value' lines of a data file.

A value is a list of numbers, or text where it is not numbers (and the
setting does not need numbers). Numbers are separated by blanks, tabs,
semicolons or commas; in a file whose data have decimal commas, a comma
between two digits is a decimal comma instead ('# w0 = 2,5e-5'). A value
may end in a standard uncertainty after '+-', '+/-' or '\u00b1', absolute
('# w0 = 2e-5 +- 1e-6') or relative in percent ('+- 5%', kept as the
fraction 0.05); it applies to each number of the value and is kept apart,
the value itself unchanged. Relies on experiment.py (the settings' names),
file_format.py (the numbers) and texts.py.
"""
import dataclasses
import math
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .. import texts
from .experiment import EXPERIMENT_SETTINGS
from .file_format import to_float

__all__ = ["FileSettings", "parse_settings"]

_NUMERIC = EXPERIMENT_SETTINGS + ("spec_pars", "pulse_energy")
_INTEGER = ("t_slices", "z_slices")
_UNCERTAINTY = re.compile(r"\u00b1|\+/-|\+-")
_SPLIT_POINT = re.compile(r"[,;\t ]+")
_SPLIT_COMMA = re.compile(r"[;\t ]+|(?<!\d),|,(?!\d)")


@dataclasses.dataclass
class FileSettings:
    """The settings (name -> list of floats, or text), their uncertainties
    (name -> (value, is_relative)) and the line of each setting."""

    values: Dict[str, Any]
    uncertainties: Dict[str, Tuple[float, bool]]
    lines: Dict[str, int]


def _numbers(text: str, decimal: str) -> Optional[List[float]]:
    split = _SPLIT_COMMA if decimal == "," else _SPLIT_POINT
    fields = [f for f in split.split(text.strip()) if f]
    values = [to_float(f, "," if "," in f else ".") for f in fields]
    if not fields or any(v is None for v in values):
        return None
    return values  # type: ignore[return-value]


def _uncertainty(text: str) -> Optional[Tuple[float, bool]]:
    text = text.strip()
    relative = text.endswith("%")
    if relative:
        text = text[:-1].strip()
    if not text or " " in text:
        return None
    value = to_float(text, "," if "," in text else ".", -2 if relative else 0)
    if value is None or not math.isfinite(value) or value < 0.0:
        return None
    return value, relative


def parse_settings(lines: Sequence[Tuple[int, str]], path: str, decimal: str) -> FileSettings:
    """The settings of the numbered comment lines ``lines``; ``decimal`` is
    the decimal separator of the file's data. ValueError naming the line for
    a setting that needs numbers and has none, or a bad uncertainty."""
    values: Dict[str, Any] = {}
    uncertainties: Dict[str, Tuple[float, bool]] = {}
    where: Dict[str, int] = {}
    for number, line in lines:
        body = line.lstrip().lstrip("#").strip()
        if "=" not in body:
            continue
        key, value = (part.strip() for part in body.split("=", 1))
        if not key or " " in key:
            continue
        parts = _UNCERTAINTY.split(value)
        numbers = _numbers(parts[0], decimal)
        uncertainty = _uncertainty(parts[1]) if len(parts) == 2 else None
        needs_numbers = key in _NUMERIC
        if len(parts) > 1 and (numbers is None or uncertainty is None):
            if needs_numbers and numbers is not None:
                raise ValueError(texts.BAD_UNCERTAINTY.format(
                    path=path, line=number, key=key, value=value))
            numbers = None
        if needs_numbers:
            if not numbers:
                raise ValueError(texts.BAD_SETTING.format(
                    path=path, line=number, key=key, what="numbers", value=value))
            if key in _INTEGER and (len(numbers) != 1 or not math.isfinite(numbers[0])
                                    or numbers[0] != int(numbers[0])):
                raise ValueError(texts.BAD_SETTING.format(
                    path=path, line=number, key=key, what="a whole number", value=value))
        values[key] = numbers if numbers else value
        uncertainties.pop(key, None)
        if numbers and uncertainty is not None:
            uncertainties[key] = uncertainty
        where[key] = number
    return FileSettings(values, uncertainties, where)
