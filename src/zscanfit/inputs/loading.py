"""Reading scans from text files.

Two layouts: a CSV file like examples/demo_rsa.csv, with '# name = value'
lines for the experiment's settings (and 'spec_pars', the start values)
and a header row naming the columns (dataset, pulse_energy, x_mm,
transmittance and optionally sigma; a few aliases are understood), one
scan per data set; or a plain file of two or three columns (x_mm,
transmittance[, sigma]) without a header, one scan, its pulse energy from a
'# pulse_energy = ...' line or the pulse_energy argument. Commas, tabs,
semicolons or spaces separate the columns; 'nan' or an empty field marks a
missing point. Relies on experiment.py, parameters.py, scans.py, texts.py.
"""
import dataclasses
import math
import os
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .. import texts
from .experiment import EXPERIMENT_SETTINGS, REQUIRED_SETTINGS, Experiment
from .parameters import PARAMETER_NAMES, make_params
from .scans import Scan

__all__ = ["ScanFile", "load_scans"]

# Header names understood for each column.
_COLUMN_ALIASES = {
    "dataset": ("dataset", "data_set", "scan", "set"),
    "pulse_energy": ("pulse_energy", "energy", "e", "energy_j", "pulse_energy_j"),
    "x_mm": ("x_mm", "x", "z", "z_mm", "position", "position_mm"),
    "transmittance": ("transmittance", "t", "y", "transmission", "normalised_transmittance",
                      "normalized_transmittance"),
    "sigma": ("sigma", "uncertainty", "error", "sd", "std"),
}
_INTEGER_SETTINGS = ("t_slices", "z_slices")
_SPLIT = re.compile(r"[,;\t ]+")


@dataclasses.dataclass
class ScanFile:
    """The scans of a file and what its '#' lines say.

    Attributes
    ----------
    scans : list of Scan
        One per data set, in the order of the file.
    settings : dict
        Every '# name = value' setting (numbers as lists of floats, other
        text as a string).
    experiment : Experiment or None
        Made from the settings when all are there, else None.
    missing_settings : tuple of str
        The experiment settings the file lacks.
    path : str
    """

    scans: List[Scan]
    settings: Dict[str, Any]
    experiment: Optional[Experiment]
    missing_settings: Tuple[str, ...]
    path: str

    @property
    def spec_pars(self) -> Optional[List[float]]:
        """The eight values of a '# spec_pars = ...' line, if any."""
        values = self.settings.get("spec_pars")
        if isinstance(values, list) and len(values) == len(PARAMETER_NAMES):
            return list(values)
        return None

    def params(self, free: Sequence[str] = (), **named: float):
        """make_params from the file's spec_pars, keywords overriding."""
        return make_params(self.spec_pars, free=free, **named)

    def __iter__(self):
        return iter(self.scans)

    def __len__(self) -> int:
        return len(self.scans)

    def __getitem__(self, index: int) -> Scan:
        return self.scans[index]


def _parse_settings(lines: List[Tuple[int, str]], path: str) -> Dict[str, Any]:
    settings: Dict[str, Any] = {}
    for number, line in lines:
        body = line.lstrip("#").strip()
        if "=" not in body:
            continue
        key, value = (part.strip() for part in body.split("=", 1))
        if not key or " " in key:
            continue
        fields = [f for f in _SPLIT.split(value) if f]
        try:
            numbers = [float(f) for f in fields]
        except ValueError:
            numbers = None
        if key in EXPERIMENT_SETTINGS or key in ("spec_pars", "pulse_energy"):
            if not numbers:
                raise ValueError(texts.BAD_SETTING.format(
                    path=path, line=number, key=key, what="numbers", value=value))
            if key in _INTEGER_SETTINGS and (len(numbers) != 1 or not math.isfinite(numbers[0])
                                             or numbers[0] != int(numbers[0])):
                raise ValueError(texts.BAD_SETTING.format(
                    path=path, line=number, key=key, what="a whole number", value=value))
        settings[key] = numbers if numbers else value
    return settings


def _number(field: str) -> float:
    field = field.strip()
    return math.nan if field == "" else float(field)


def load_scans(path: Union[str, "os.PathLike[str]"],
               pulse_energy: Optional[float] = None) -> ScanFile:
    """The scans of a data file, and the experiment its '#' lines describe.

    Parameters
    ----------
    path : str or path-like
        The file (layouts in the module's description).
    pulse_energy : float, optional
        Pulse energy (J) of a file without a pulse_energy column or setting.

    Returns
    -------
    ScanFile
        ``.scans``, ``.experiment`` (None when settings are missing; see
        ``.missing_settings``), ``.settings`` and ``.spec_pars``.

    Raises
    ------
    ValueError
        Unreadable file, a row with the wrong number of values, a header
        without the needed columns, no pulse energy; the message names the
        line and the fix.
    """
    path = os.fspath(path)
    try:
        with open(path, newline="") as stream:
            raw = stream.read().splitlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise ValueError(texts.FILE_NOT_FOUND.format(path=path, reason=exc)) from None
    comments = [(i + 1, line) for i, line in enumerate(raw) if line.lstrip().startswith("#")]
    rows = [(i + 1, line) for i, line in enumerate(raw)
            if line.strip() and not line.lstrip().startswith("#")]
    settings = _parse_settings(comments, path)
    if not rows:
        raise ValueError(texts.NO_ROWS.format(path=path))
    header = _header(rows[0][1])
    if header is not None:
        columns, rows = _columns(header, path), rows[1:]
        expected = len(header)
        if not rows:
            raise ValueError(texts.NO_ROWS.format(path=path))
    else:
        width = len(_fields(rows[0][1]))
        if width == 2:
            columns = {"x_mm": 0, "transmittance": 1}
        elif width == 3:
            columns = {"x_mm": 0, "transmittance": 1, "sigma": 2}
        else:
            raise ValueError(texts.UNKNOWN_LAYOUT.format(path=path, columns=width))
        expected = width
    table = []
    for number, line in rows:
        fields = _fields(line)
        try:
            if len(fields) != expected:
                raise ValueError
            table.append([_number(field) for field in fields])
        except ValueError:
            raise ValueError(texts.BAD_ROW.format(path=path, line=number, expected=expected,
                                                  got=line)) from None
    data = np.array(table, dtype=np.float64)
    energies = _energies(data, columns, settings, pulse_energy, path)
    groups = _groups(data, columns, energies, path)
    scans = []
    for rows_of_scan, energy in groups:
        part = data[rows_of_scan]
        sigma = part[:, columns["sigma"]] if "sigma" in columns else None
        scans.append(Scan(part[:, columns["x_mm"]], part[:, columns["transmittance"]],
                          energy, sigma=sigma))
    missing = tuple(name for name in REQUIRED_SETTINGS if name not in settings)
    experiment = Experiment.from_settings(settings) if not missing else None
    return ScanFile(scans=scans, settings=settings, experiment=experiment,
                    missing_settings=missing, path=path)


def _fields(line: str) -> List[str]:
    if "," in line or ";" in line or "\t" in line:
        return [f.strip() for f in re.split(r"[,;\t]", line)]
    return line.split()


def _header(line: str) -> Optional[List[str]]:
    fields = _fields(line)
    try:
        for field in fields:
            _number(field)
        return None
    except ValueError:
        return [f.strip().lower() for f in fields]


def _columns(header: List[str], path: str) -> Dict[str, int]:
    found: Dict[str, int] = {}
    for index, name in enumerate(header):
        for column, aliases in _COLUMN_ALIASES.items():
            if name in aliases and column not in found:
                found[column] = index
    for column in ("x_mm", "transmittance"):
        if column not in found:
            raise ValueError(texts.MISSING_COLUMN.format(
                path=path, column=column, columns=", ".join(header)))
    return found


def _energies(data: np.ndarray, columns: Dict[str, int], settings: Dict[str, Any],
              pulse_energy: Optional[float], path: str) -> np.ndarray:
    if "pulse_energy" in columns:
        return data[:, columns["pulse_energy"]]
    if pulse_energy is None and "pulse_energy" in settings:
        values = settings["pulse_energy"]
        if isinstance(values, list) and len(values) == 1:
            pulse_energy = values[0]
    if pulse_energy is None:
        raise ValueError(texts.MISSING_ENERGY.format(path=path))
    return np.full(data.shape[0], float(pulse_energy))


def _groups(data: np.ndarray, columns: Dict[str, int], energies: np.ndarray,
            path: str) -> List[Tuple[np.ndarray, float]]:
    """Row indices and pulse energy of each scan, in the order of the file.

    By the dataset column if there is one, else by equal pulse energy. A
    data set whose rows give different pulse energies is refused.
    """
    key = data[:, columns["dataset"]] if "dataset" in columns else energies
    groups: List[Tuple[np.ndarray, float]] = []
    order: Dict[float, List[int]] = {}
    for index, value in enumerate(key.tolist()):
        order.setdefault(value, []).append(index)
    for rows in order.values():
        indices = np.array(rows)
        first = float(energies[indices[0]])
        differing = energies[indices] != first
        if "dataset" in columns and not math.isnan(first) and np.any(differing):
            raise ValueError(texts.MIXED_ENERGIES.format(
                path=path, dataset=float(key[indices[0]]), first=first,
                other=float(energies[indices][differing][0])))
        groups.append((indices, first))
    return groups
