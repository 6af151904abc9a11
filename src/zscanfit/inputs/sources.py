"""Where a setting came from, named in the errors it causes.

A setting reaches a fit from a line of a data file, an option of the
command line ('--set w0=25um'), a manifest's column or an argument; when
the experiment or the parameters refuse it, the message should say where
the user wrote it. ``name_source`` puts the source first on an error
about a setting, and ``check_uncertainties`` refuses an uncertainty as
large as its setting, which the error budget could not take (it moves the
setting by its uncertainty either way, to zero or below: 'w0 +- 5' with w0
in metres, where '5%' was meant). Relies on units.py and texts.py.
"""
import re
from typing import Any, Mapping, Optional, Sequence

from .. import texts
from .units import unit_of

__all__ = ["name_source", "check_uncertainties", "UNCERTAINTY"]

# The key of a setting's uncertainty in a mapping of sources.
UNCERTAINTY = "uncertainty:{name}"


def _subject(message: str, name: str) -> bool:
    """Whether ``message`` is about ``name``: it starts with the name (as
    the experiment's, the scans' and the parameters' messages do), or with
    the name's uncertainty."""
    return bool(re.match(rf"(?:uncertainties(?:\[|: )')?{re.escape(name)}(?:'?\]|'| |:|\Z)",
                         message))


def name_source(error: Exception, sources: Mapping[str, str]) -> Exception:
    """``error`` (a ValueError) with the source of the setting it is about
    first ('--set w0=-1: w0 must be positive ...'); ``sources`` maps
    setting names, and UNCERTAINTY.format(name=...) for uncertainties, to
    where they were written. The error itself when it names none of them
    at its start, or none once anywhere."""
    message = str(error)
    names = sorted(sources, key=len, reverse=True)  # tau_10 before tau
    found = [key for key in names if _subject(message, key.split(":")[-1])
             and (key.startswith("uncertainty:") == message.startswith("uncertainties"))]
    if not found:
        found = [key for key in names if ":" not in key
                 and re.search(rf"\b{re.escape(key)}\b", message)]
        if len(found) != 1:
            return error
    return type(error)(texts.GIVEN_AS.format(source=sources[found[0]], message=message))


def _reference(experiment: Any, scans: Sequence[Any], name: str) -> float:
    """The value an uncertainty of ``name`` is a part of."""
    if name == "populations":
        return float(sum(experiment.populations))
    if name == "pulse_energy":
        return min(float(scan.pulse_energy) for scan in scans) if scans else float("inf")
    if name == "pulse_energy_scale":
        return 1.0
    return float(getattr(experiment, name))


def check_uncertainties(experiment: Any, scans: Sequence[Any], sources: Mapping[str, str],
                        typed: Optional[Mapping[str, str]] = None) -> None:
    """ValueError, naming where it was written, for an uncertainty at least
    as large as its setting (relative: 100 % or more); ``typed`` holds the
    command line's values as typed, which the message suggests as a
    percentage."""
    for name, amount, relative in experiment.uncertainties:
        value = _reference(experiment, scans, name)
        part = amount if relative else amount / value if value > 0.0 else float("inf")
        if part < 1.0:
            continue
        unit = unit_of(name)
        given = f"{amount * 100.0:g} %" if relative else f"{amount:g}{' ' + unit if unit else ''}"
        text = (typed or {}).get(name)
        hint = (texts.UNCERTAINTY_PERCENT_HINT.format(name=name, text=text)
                if text is not None and not relative and _unit_free(text) else "")
        where = sources.get(UNCERTAINTY.format(name=name))
        message = texts.UNCERTAINTY_AS_LARGE.format(
            name=name, given=given, value=f"{value:g}{' ' + unit if unit else ''}", hint=hint)
        raise ValueError(texts.GIVEN_AS.format(source=where, message=message) if where
                         else message)


def _unit_free(text: str) -> bool:
    """Whether ``text`` is a bare number (no unit, no percent sign)."""
    try:
        float(text)
    except ValueError:
        return False
    return True
