"""What the columns of a data file hold.

With a header line, each name is matched to one of the columns a scan
needs (dataset, pulse_energy, x_mm, transmittance, sigma): in any case,
blanks, '-' and '.' read as '_', with a unit in brackets, after '/' or
after '_' ('z (mm)', 'z [um]', 'z / mm', 'z_um', 'energy (uJ)',
'transmittance (norm.)'), and a transmittance or sigma column may name its
pulse energy ('T@0.4uJ', 'sigma@400nJ'). Positions are converted to mm,
energies to J and a transmittance in percent ('T (%)') to a fraction,
exactly (a power of ten); a sigma column without a unit is in its
transmittance's. Names matching nothing are left
unread. Without a header, the number of columns and of the declared pulse
energies give the layout: x, T[, sigma], or x and one transmittance per
pulse energy. Whatever cannot be told apart is refused, naming the file,
line and column. Relies on file_format.py and texts.py.
"""
import dataclasses
import re
from decimal import Decimal
from typing import Dict, List, Optional, Sequence, Tuple

from .. import texts
from .file_format import column_label

__all__ = ["Column", "Layout", "ALIASES", "UNITS", "header_layout", "plain_layout",
           "accepted_names", "all_accepted_names", "units_of", "names_a_column"]

# Header names of each column, after lower-casing and reading blanks, '-'
# and '.' as '_'. A name may also end in '_' and a unit (x_mm, energy_uj).
ALIASES: Dict[str, Tuple[str, ...]] = {
    "dataset": ("dataset", "data_set", "scan", "set"),
    "pulse_energy": ("pulse_energy", "energy", "e"),
    "x_mm": ("x", "z", "position", "pos", "x_position", "z_position"),
    "transmittance": ("transmittance", "transmission", "t", "y", "tnorm", "t_norm",
                      "normalised_transmittance", "normalized_transmittance",
                      "normalised_transmission", "normalized_transmission"),
    "sigma": ("sigma", "uncertainty", "error", "err", "sd", "std", "stdev", "std_dev",
              "stderr", "sigma_t", "t_err", "t_error", "t_std"),
}
# Units of each column as powers of ten to mm and J; the spellings are
# compared lower-cased, the dimensionless ones also without blanks and dots.
_LENGTH = {"mm": 0, "um": -3, "\u00b5m": -3, "\u03bcm": -3, "cm": 1, "m": 3}
_ENERGY = {"j": 0, "mj": -3, "uj": -6, "\u00b5j": -6, "\u03bcj": -6, "nj": -9, "pj": -12}
_RATIO = {"norm": 0, "normalised": 0, "normalized": 0, "au": 0, "arbu": 0, "arbunits": 0,
          "rel": 0, "t0": 0, "t_0": 0, "%": -2}
UNITS: Dict[str, Dict[str, int]] = {"dataset": {}, "pulse_energy": _ENERGY, "x_mm": _LENGTH,
                                    "transmittance": _RATIO, "sigma": _RATIO}
# How the units are shown in messages and which is taken without one.
_SHOWN = {"pulse_energy": ("J, mJ, uJ (\u00b5J), nJ, pJ", "J", "energy (uJ)"),
          "x_mm": ("mm, um (\u00b5m), cm, m", "mm", "z (mm)"),
          "transmittance": ("norm., a.u., arb. u., rel., T0 as in T/T0, % (divided by 100)",
                            "normalised", "T (norm.)"),
          "sigma": ("norm., a.u., arb. u., rel., % (divided by 100)", "the transmittance's",
                    "sigma")}
_PER_ENERGY = ("transmittance", "sigma")

_BRACKET = re.compile(r"(.*?)\s*[(\[]([^()\[\]]*)[)\]]\s*\Z")
_SLASH = re.compile(r"(.*?\S)\s*/\s*([^/\s]+)\Z")
_AT = re.compile(r"(.*?)\s*@\s*(.*)\Z")
_ENERGY_TEXT = re.compile(r"((?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][+-]?\d+)?)\s*(\S+)\Z")
_JOIN = re.compile(r"[\s.\-]+")


@dataclasses.dataclass(frozen=True)
class Column:
    """One column: its index (from 0), its name as written (None without a
    header), what it holds (None: not read), the power of ten from its unit
    to mm, J or a normalised transmittance, the pulse energy its name gives
    (J), if any, and whether its name gives a unit."""

    index: int
    name: Optional[str]
    role: Optional[str]
    exponent: int = 0
    energy: Optional[float] = None
    unit_given: bool = False


@dataclasses.dataclass(frozen=True)
class Layout:
    """The columns of a file: positions, one transmittance column per
    scan-forming column with its sigma column (or None), and the dataset and
    pulse_energy columns of a file of one scan per data set."""

    x: Column
    transmittance: List[Column]
    sigma: List[Optional[Column]]
    dataset: Optional[Column] = None
    pulse_energy: Optional[Column] = None
    unused: List[Column] = dataclasses.field(default_factory=list)

    def read(self) -> List[Column]:
        """Every column whose numbers are read, in the file's order."""
        columns = [self.x, *self.transmittance, *(s for s in self.sigma if s is not None)]
        columns += [c for c in (self.dataset, self.pulse_energy) if c is not None]
        return sorted(columns, key=lambda c: c.index)


def _key(text: str) -> str:
    return _JOIN.sub("_", text.strip().lower()).strip("_")


def _role(key: str) -> Optional[str]:
    for role, aliases in ALIASES.items():
        if key in aliases:
            return role
    return None


def _unit_key(unit: str, role: str) -> str:
    unit = unit.strip().lower()
    return re.sub(r"[\s.]", "", unit) if UNITS[role] is _RATIO else unit.replace(" ", "")


def units_of(role: str) -> str:
    """The units a column of ``role`` may be given in, for messages."""
    return _SHOWN[role][0] if role in _SHOWN else texts.NO_UNITS


def accepted_names(role: str) -> str:
    """The header names accepted for ``role``, for messages."""
    names = ", ".join(ALIASES[role])
    if role not in _SHOWN or role == "sigma":
        return texts.ROLE_NAMES.format(names=names)
    units, default, example = _SHOWN[role]
    return texts.ROLE_NAMES_WITH_UNITS.format(names=names, units=units, default=default,
                                              example=example)


def all_accepted_names() -> str:
    """Every role with its names, for messages."""
    return "; ".join(f"{role}: {', '.join(aliases)}" for role, aliases in ALIASES.items())


def _column(path: str, line: int, index: int, name: str, names: Sequence[str]) -> Column:
    where = dict(path=path, line=line, column=column_label(index, names))
    base, unit = name.strip(), None
    for pattern in (_BRACKET, _SLASH):
        match = pattern.match(base)
        if match and match.group(1).strip():
            base, unit = match.group(1), match.group(2)
            break
    energy_text = None
    match = _AT.match(base)
    if match:
        base, energy_text = match.group(1), match.group(2)
    key = _key(base)
    role = _role(key)
    if role is None and "_" in key:
        stem, suffix = key.rsplit("_", 1)
        stem_role = _role(stem)
        if stem_role is not None and _unit_key(suffix, stem_role) in UNITS[stem_role]:
            role = stem_role
            if unit is not None and _unit_key(unit, role) != _unit_key(suffix, role):
                raise ValueError(texts.UNIT_TWICE.format(first=suffix, second=unit.strip(),
                                                         **where))
            unit = suffix
    if role is None or (energy_text is not None and role not in _PER_ENERGY):
        return Column(index, name, None)
    exponent = 0
    if unit is not None and unit.strip():
        found = UNITS[role].get(_unit_key(unit, role))
        if found is None:
            raise ValueError(texts.UNKNOWN_UNIT.format(
                unit=unit.strip(), role=role, units=units_of(role), **where))
        exponent = found
    energy = None if energy_text is None else _energy(energy_text, where)
    return Column(index, name, role, exponent, energy, unit is not None and bool(unit.strip()))


def names_a_column(names: Sequence[str], roles: Sequence[str] = ()) -> bool:
    """Whether header ``names`` name a column a scan needs (with a unit or
    not: a unit not known is refused when the header is read); with
    ``roles``, a column of each of them."""
    found = set()
    for name in names:
        if not name:
            continue
        try:
            role = _column("", 0, 0, name, [name]).role
        except ValueError:
            role = _role(_key(re.split(r"[(\[/@]", name)[0]))
        if role is not None:
            found.add(role)
    return all(role in found for role in roles) if roles else bool(found)


def _energy(text: str, where: dict) -> float:
    match = _ENERGY_TEXT.match(text.strip())
    if match is None or match.group(2).lower() not in _ENERGY:
        raise ValueError(texts.BAD_COLUMN_ENERGY.format(units=units_of("pulse_energy"), **where))
    exponent = _ENERGY[match.group(2).lower()]
    value = float(Decimal(match.group(1).replace(",", ".")).scaleb(exponent))
    if not value > 0.0:
        raise ValueError(texts.BAD_COLUMN_ENERGY.format(units=units_of("pulse_energy"), **where))
    return value


def header_layout(path: str, line: int, names: Sequence[str]) -> Layout:
    """The layout a header line (its names) gives; ValueError naming the
    file, line and column when it is missing a column or is ambiguous."""
    columns = [_column(path, line, index, name, names) for index, name in enumerate(names)]
    label = lambda c: column_label(c.index, names)   # noqa: E731
    by_role: Dict[str, List[Column]] = {role: [] for role in ALIASES}
    for column in columns:
        if column.role is not None:
            by_role[column.role].append(column)
    for role in ("x_mm", "transmittance"):
        if not by_role[role]:
            raise ValueError(texts.MISSING_COLUMN.format(
                path=path, line=line, column=role, columns=", ".join(names),
                names=accepted_names(role)))
    for role in ("dataset", "pulse_energy", "x_mm"):
        if len(by_role[role]) > 1:
            first, second = by_role[role][:2]
            raise ValueError(texts.DUPLICATE_COLUMN.format(
                path=path, line=line, first=label(first), second=label(second), role=role))
    transmittance = by_role["transmittance"]
    named = [c for c in transmittance if c.energy is not None]
    if named and len(named) < len(transmittance):
        raise ValueError(texts.MIXED_COLUMN_ENERGIES.format(
            path=path, line=line, named=", ".join(label(c) for c in named),
            unnamed=", ".join(label(c) for c in transmittance if c.energy is None)))
    _refuse_same_energy(path, line, transmittance, label, "transmittance")
    for role in ("pulse_energy", "dataset"):
        for column in by_role[role]:
            if named and role == "pulse_energy":
                raise ValueError(texts.ENERGY_TWICE.format(path=path, line=line,
                                                           column=label(column)))
            if len(transmittance) > 1:
                raise ValueError(texts.ROWS_AND_COLUMNS.format(
                    path=path, line=line, column=label(column), role=role,
                    count=len(transmittance)))
    sigma = _pair_sigma(path, line, transmittance, by_role["sigma"], label)
    return Layout(x=by_role["x_mm"][0], transmittance=transmittance, sigma=sigma,
                  dataset=by_role["dataset"][0] if by_role["dataset"] else None,
                  pulse_energy=by_role["pulse_energy"][0] if by_role["pulse_energy"] else None,
                  unused=[c for c in columns if c.role is None])


def _refuse_same_energy(path, line, columns, label, role) -> None:
    seen: Dict[float, Column] = {}
    for column in columns:
        if column.energy is None:
            continue
        if column.energy in seen:
            raise ValueError(texts.DUPLICATE_COLUMN.format(
                path=path, line=line, first=label(seen[column.energy]), second=label(column),
                role=texts.ROLE_AT_ENERGY.format(role=role, energy=column.energy)))
        seen[column.energy] = column


def _pair_sigma(path, line, transmittance, sigmas, label) -> List[Optional[Column]]:
    """The sigma column of each transmittance column (or None)."""
    _refuse_same_energy(path, line, sigmas, label, "sigma")
    paired: List[Optional[Column]] = [None] * len(transmittance)
    for sigma in sigmas:
        if sigma.energy is None:
            if len(transmittance) > 1:
                raise ValueError(texts.SIGMA_WHICH.format(
                    path=path, line=line, column=label(sigma), count=len(transmittance)))
            slot = 0
        else:
            slots = [k for k, t in enumerate(transmittance) if t.energy == sigma.energy]
            if not slots:
                raise ValueError(texts.SIGMA_UNMATCHED.format(
                    path=path, line=line, column=label(sigma), energy=sigma.energy))
            slot = slots[0]
        if paired[slot] is not None:
            raise ValueError(texts.DUPLICATE_COLUMN.format(
                path=path, line=line, first=label(paired[slot]), second=label(sigma),
                role="sigma"))
        if not sigma.unit_given:  # in the transmittance's unit ('T (%)' and 'sigma')
            sigma = dataclasses.replace(sigma, exponent=transmittance[slot].exponent)
        paired[slot] = sigma
    return paired


def plain_layout(path: str, line: int, width: int, energies: int, source: str) -> Layout:
    """The layout of ``width`` columns without a header, for ``energies``
    declared pulse energies (``source`` says where from): x and one
    transmittance per energy when more than one is declared, else x, T[,
    sigma]."""
    columns = [Column(index, None, None) for index in range(width)]
    x = dataclasses.replace(columns[0], role="x_mm")
    if energies > 1:
        if width - 1 != energies:
            raise ValueError(texts.ENERGY_COUNT.format(path=path, given=energies, source=source,
                                                       count=width - 1))
        return Layout(x=x, transmittance=[dataclasses.replace(c, role="transmittance")
                                          for c in columns[1:]], sigma=[None] * energies)
    if width not in (2, 3):
        raise ValueError(texts.UNKNOWN_LAYOUT.format(path=path, line=line, columns=width))
    sigma = dataclasses.replace(columns[2], role="sigma") if width == 3 else None
    return Layout(x=x, transmittance=[dataclasses.replace(columns[1], role="transmittance")],
                  sigma=[sigma])
