"""Reading scans from text files, as labs export them.

Two layouts. Rows by data set: a header naming dataset, pulse_energy,
x_mm, transmittance and optionally sigma columns (examples/demo_rsa.csv),
one scan per data set. Columns by energy: x_mm and one transmittance column
per pulse energy, the energies named in the header ('T@0.4uJ') or given by
a '# pulse_energy = E1 E2 ...' line, optionally with 'sigma@0.4uJ' columns.
A file of two or three columns without a header is x_mm, transmittance[,
sigma] of one scan at the energy of a '# pulse_energy' line or the
pulse_energy argument. '# name = value' lines give the experiment's
settings, 'spec_pars' (the start values) and uncertainties ('+- 1e-6').

The delimiter and the number format are found per file (file_format.py),
the header names matched with their units (columns.py), the '#' lines read
by file_settings.py. What could be read more than one way is refused, with
the file, line and column; what is readable but doubtful warns (a sigma
column that looks like a transmittance, columns left unread). Relies on
those modules and on experiment.py, parameters.py, scans.py, texts.py and
warning_types.py.
"""
import csv
import dataclasses
import math
import os
import stat
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from .. import texts
from ..warning_types import DataWarning
from . import file_format
from .columns import Layout, all_accepted_names, header_layout, plain_layout
from .experiment import UNCERTAIN_SETTINGS, Experiment, missing_settings
from .file_format import column_label
from .file_settings import FileSettings, parse_settings
from .parameters import PARAMETER_NAMES, make_params
from .scans import Scan

__all__ = ["ScanFile", "load_scans", "DataFileNotFound", "max_file_bytes", "MAX_FILE_MB",
           "MAX_FILE_ENV"]

# A sigma column all of whose values lie in this range looks like a
# transmittance (at another pulse energy) rather than an uncertainty.
_TRANSMITTANCE_LIKE = (0.3, 1.5)
EnergyArgument = Union[None, float, Sequence[float]]
# The largest file read, in megabytes (ZSCANFIT_MAX_FILE_MB overrides it): a
# z-scan is a few hundred lines, so anything near this is not one.
MAX_FILE_MB = 100.0
MAX_FILE_ENV = "ZSCANFIT_MAX_FILE_MB"


@dataclasses.dataclass
class ScanFile:
    """The scans of a file and what its '#' lines say.

    Attributes
    ----------
    scans : list of Scan
        One per data set or transmittance column, in the order of the file.
    settings : dict
        Every '# name = value' setting (numbers as lists of floats, other
        text as a string).
    experiment : Experiment or None
        Made from the settings when all are there, else None.
    missing_settings : tuple of str
        The experiment settings the file lacks.
    path : str
    uncertainties : dict
        The standard uncertainty of every setting that gives one, name ->
        (value, is_relative): ``# w0 = 2e-5 +- 1e-6`` gives (1e-6, False),
        ``+- 5%`` gives (0.05, True), a fraction of each of the values.
    """

    scans: List[Scan]
    settings: Dict[str, Any]
    experiment: Optional[Experiment]
    missing_settings: Tuple[str, ...]
    path: str
    uncertainties: Dict[str, Tuple[float, bool]] = dataclasses.field(default_factory=dict)

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


class DataFileNotFound(FileNotFoundError, ValueError):
    """A data file that does not exist: a FileNotFoundError, and a
    ValueError like every other reason a file cannot be read."""


def max_file_bytes() -> int:
    """The largest data file read, in bytes: MAX_FILE_MB megabytes, or the
    environment's ZSCANFIT_MAX_FILE_MB (a positive number) when set."""
    given = os.environ.get(MAX_FILE_ENV, "").strip()
    try:
        megabytes = float(given) if given else MAX_FILE_MB
    except ValueError:
        megabytes = MAX_FILE_MB
    if not (math.isfinite(megabytes) and megabytes > 0):
        megabytes = MAX_FILE_MB
    return int(megabytes * 1e6)


def _read_bytes(path: str, limit: int) -> bytes:
    """The bytes of a regular file of at most ``limit`` bytes. A missing
    file is a DataFileNotFound; a folder, named pipe or device (which could
    block, or never end) and a larger file are refused before reading."""
    try:
        info = os.stat(path)
    except FileNotFoundError as exc:
        raise DataFileNotFound(texts.FILE_NOT_FOUND.format(path=path,
                                                           reason=exc.strerror)) from None
    except OSError as exc:
        raise ValueError(texts.FILE_NOT_FOUND.format(path=path, reason=exc)) from None
    if not stat.S_ISREG(info.st_mode):
        kind = ("a folder" if stat.S_ISDIR(info.st_mode) else
                "a named pipe" if stat.S_ISFIFO(info.st_mode) else
                "a device" if stat.S_ISCHR(info.st_mode) or stat.S_ISBLK(info.st_mode) else
                "a socket" if stat.S_ISSOCK(info.st_mode) else "not a regular file")
        raise ValueError(texts.NOT_REGULAR_FILE.format(path=path, kind=kind))
    if info.st_size > limit:
        raise ValueError(texts.FILE_TOO_LARGE.format(path=path, size=info.st_size / 1e6,
                                                     limit=limit / 1e6, env=MAX_FILE_ENV))
    try:
        with open(path, "rb") as stream:
            data = stream.read(limit + 1)
    except OSError as exc:
        raise ValueError(texts.FILE_NOT_FOUND.format(path=path, reason=exc)) from None
    if len(data) > limit:  # it grew since it was looked at
        raise ValueError(texts.FILE_TOO_LARGE.format(path=path, size=len(data) / 1e6,
                                                     limit=limit / 1e6, env=MAX_FILE_ENV))
    return data


def _read_lines(path: str) -> List[str]:
    data = _read_bytes(path, max_file_bytes())
    try:
        return file_format.decode(data).splitlines()
    except (ValueError, UnicodeDecodeError) as exc:
        raise ValueError(texts.FILE_NOT_FOUND.format(path=path, reason=exc)) from None


def load_scans(path: Union[str, "os.PathLike[str]"],
               pulse_energy: EnergyArgument = None) -> ScanFile:
    """The scans of a data file, and the experiment its '#' lines describe.

    Parameters
    ----------
    path : str or path-like
        The file (layouts in the module's description; columns separated by
        commas, semicolons, tabs or blanks, decimal points or commas, found
        per file).
    pulse_energy : float or sequence of float, optional
        Pulse energy (J) of a file whose columns do not give it: one value,
        or one per transmittance column; it takes the place of a '#
        pulse_energy' line. Energies in the columns (a pulse_energy column,
        'T@0.4uJ' names) take precedence.

    Returns
    -------
    ScanFile
        ``.scans``, ``.experiment`` (None when settings are missing; see
        ``.missing_settings``), ``.settings``, ``.uncertainties`` and
        ``.spec_pars``.

    Raises
    ------
    FileNotFoundError
        The file does not exist (a ``DataFileNotFound``, which is also a
        ValueError).
    ValueError
        A folder, named pipe or device instead of a file, a file larger than 100
        MB (ZSCANFIT_MAX_FILE_MB raises the limit), an unreadable file, a line
        with the wrong number of values, a field that is not a number, a file
        that could be read more than one way (a decimal comma in a comma-
        separated file, mixed number formats, more columns than x, T, sigma
        without names), a header without the needed columns, no pulse energy;
        the message names the file, line and column, and the fix.

    Warns
    -----
    DataWarning
        A sigma column whose values all lie between 0.3 and 1.5, like a
        transmittance; header columns whose names are not read.
    """
    path = os.fspath(path)
    try:
        return _load(path, pulse_energy)
    except csv.Error as exc:  # every line is cut by file_format; this is a safety net
        raise ValueError(texts.FILE_NOT_FOUND.format(path=path, reason=exc)) from None


def _load(path: str, pulse_energy: EnergyArgument) -> ScanFile:
    raw = _read_lines(path)
    comments = [(i + 1, line) for i, line in enumerate(raw) if line.lstrip().startswith("#")]
    lines = [(i + 1, line) for i, line in enumerate(raw)
             if line.strip() and not line.lstrip().startswith("#")]
    fmt, header, body = file_format.read_rows(path, lines)
    settings = parse_settings(comments, path, fmt.decimal)
    if not body:
        raise ValueError(texts.NO_ROWS.format(path=path))
    declared = _declared_energies(settings, pulse_energy)
    if header is not None:
        layout, names = _named_layout(path, fmt, header, body)
    else:
        layout, names = _plain_layout(path, fmt, body, settings, declared), None
    read = layout.read()
    values = file_format.read_table(path, body, fmt, [c.index for c in read],
                                    [c.exponent for c in read], names)
    data = {column.index: values[:, k] for k, column in enumerate(read)}
    _warn_doubtful_columns(path, header[0] if header is not None else None, layout, data, names)
    scans = _scans(path, layout, data, _energies(path, layout, settings, declared, names))
    _check_argument_energies(path, layout, pulse_energy, scans)
    missing = missing_settings(settings.values)
    known = experiment_uncertainties(settings.uncertainties)
    experiment = (Experiment.from_settings(dict(settings.values, uncertainties=known))
                  if not missing else None)
    return ScanFile(scans=scans, settings=settings.values, experiment=experiment,
                    missing_settings=missing, path=path, uncertainties=settings.uncertainties)


def experiment_uncertainties(given: Dict[str, Tuple[float, bool]]
                             ) -> Dict[str, Tuple[float, bool]]:
    """The uncertainties of a file's settings that the experiment takes
    (the pulse energies' included)."""
    return {name: value for name, value in given.items() if name in UNCERTAIN_SETTINGS}


def _named_layout(path: str, fmt: file_format.FileFormat, header: file_format.Row,
                  body: List[file_format.Row]) -> Tuple[Layout, List[str]]:
    """The layout a header gives, its names, the data lines checked."""
    width, _ = file_format.data_width(body)
    names = file_format.header_names(header, fmt, width)
    if fmt.delimiter == file_format.BLANKS and len(names) != width:
        raise ValueError(texts.HEADER_WIDTH.format(
            path=path, line=header[0], count=len(names), names=", ".join(names), width=width))
    layout = header_layout(path, header[0], names)
    file_format.check_widths(path, body, fmt, len(names),
                             texts.ROW_WIDTH_HEADER.format(line=header[0], count=len(names)))
    if fmt.delimiter == ",":
        file_format.check_comma_split(
            path, body, [c.index for c in layout.read() if c is not layout.dataset], [], names)
    return layout, names


def _plain_layout(path: str, fmt: file_format.FileFormat, body: List[file_format.Row],
                  settings: FileSettings, declared: Optional[Tuple[List[float], str]]) -> Layout:
    """The layout of a file without a header, the data lines checked."""
    width, widest = file_format.data_width(body)
    file_format.check_widths(path, body, fmt, width,
                             texts.ROW_WIDTH_DATA.format(line=widest, count=width))
    comma = fmt.delimiter == ","
    if comma:
        file_format.check_comma_split(path, body, range(width), [], None)
    # The file's own '# pulse_energy' line says how many transmittance
    # columns it has; an argument only gives their values.
    given = settings.values.get("pulse_energy")
    if isinstance(given, list):
        count = len(given)
        source = texts.SOURCE_SETTING.format(line=settings.lines["pulse_energy"])
    else:
        count, source = (len(declared[0]) if declared else 1), texts.SOURCE_ARGUMENT
    layout = plain_layout(path, widest, width, count, source)
    if comma:
        file_format.check_comma_split(path, body, [], [c.index for c in layout.transmittance],
                                      None)
    return layout


def _declared_energies(settings: FileSettings, argument: EnergyArgument
                       ) -> Optional[Tuple[List[float], str]]:
    """The pulse energies the file's '# pulse_energy' line or the argument
    give, and where they come from (for messages); the argument wins."""
    if argument is not None:
        values: List[Any] = [argument] if np.ndim(argument) == 0 else list(np.ravel(argument))
        return [float(v) for v in values], texts.SOURCE_ARGUMENT
    given = settings.values.get("pulse_energy")
    if isinstance(given, list):
        return given, texts.SOURCE_SETTING.format(line=settings.lines["pulse_energy"])
    return None


def _energies(path: str, layout: Layout, settings: FileSettings,
              declared: Optional[Tuple[List[float], str]],
              names: Optional[List[str]]) -> Optional[List[float]]:
    """The pulse energy of each transmittance column; None where a
    pulse_energy column gives them row by row."""
    if layout.pulse_energy is not None:
        return None
    count = len(layout.transmittance)
    named = [column.energy for column in layout.transmittance]
    if named[0] is not None:
        given = settings.values.get("pulse_energy")
        if isinstance(given, list):
            line = settings.lines["pulse_energy"]
            if len(given) != count:
                raise ValueError(texts.ENERGY_COUNT.format(
                    path=path, given=len(given), source=texts.SOURCE_SETTING.format(line=line),
                    count=count))
            for column, value in zip(layout.transmittance, given):
                if column.energy is None or not math.isclose(value, column.energy,
                                                             rel_tol=1e-9):
                    raise ValueError(texts.ENERGY_CONFLICT.format(
                        path=path, column=column_label(column.index, names),
                        named=column.energy, line=line, setting=value))
        return named  # type: ignore[return-value]
    if declared is None:
        raise ValueError(texts.MISSING_ENERGY.format(path=path))
    values, source = declared
    if len(values) != count:
        raise ValueError(texts.ENERGY_COUNT.format(path=path, given=len(values), source=source,
                                                   count=count))
    return values


def _check_argument_energies(path: str, layout: Layout, argument: EnergyArgument,
                             scans: List[Scan]) -> None:
    """Energies given as an argument may not differ from those the file's
    columns give (a pulse_energy column, or 'T@0.4uJ' names): the columns
    would win, and the argument be dropped without a word."""
    from_columns = layout.pulse_energy is not None or layout.transmittance[0].energy is not None
    if argument is None or not from_columns:
        return
    given = sorted({float(v) for v in np.ravel(argument)})
    found = sorted({float(scan.pulse_energy) for scan in scans})
    if len(given) != len(found) or not all(math.isclose(a, b, rel_tol=1e-9)
                                           for a, b in zip(given, found)):
        raise ValueError(texts.ENERGY_ARGUMENT_CONFLICT.format(
            path=path, found=", ".join(f"{e:g}" for e in found),
            given=", ".join(f"{e:g}" for e in given)))


def _warn_doubtful_columns(path: str, line: Optional[int], layout: Layout,
                           data: Dict[int, np.ndarray], names: Optional[List[str]]) -> None:
    low, high = _TRANSMITTANCE_LIKE
    for sigma in layout.sigma:
        if sigma is None:
            continue
        values = data[sigma.index]
        values = values[np.isfinite(values)]
        if values.size and np.all((values >= low) & (values <= high)):
            warnings.warn(texts.SIGMA_LIKE_TRANSMITTANCE.format(
                path=path, column=column_label(sigma.index, names)), DataWarning, stacklevel=3)
    if layout.unused:
        warnings.warn(texts.UNUSED_COLUMNS.format(
            path=path, line=line, columns=", ".join(column_label(c.index, names)
                                                    for c in layout.unused),
            names=all_accepted_names()), DataWarning, stacklevel=3)


def _scans(path: str, layout: Layout, data: Dict[int, np.ndarray],
           energies: Optional[List[float]]) -> List[Scan]:
    x = data[layout.x.index]
    if len(layout.transmittance) > 1:
        return [Scan(x, data[t.index], energy, sigma=None if s is None else data[s.index])
                for t, s, energy in zip(layout.transmittance, layout.sigma, energies or [])]
    transmittance, sigma = data[layout.transmittance[0].index], layout.sigma[0]
    if energies is None:
        row_energies = data[layout.pulse_energy.index]  # type: ignore[union-attr]
    else:
        row_energies = np.full(x.shape[0], float(energies[0]))
    key = data[layout.dataset.index] if layout.dataset is not None else row_energies
    scans = []
    for rows, energy in _groups(key, row_energies, layout.dataset is not None, path):
        scans.append(Scan(x[rows], transmittance[rows], energy,
                          sigma=None if sigma is None else data[sigma.index][rows]))
    return scans


def _groups(key: np.ndarray, energies: np.ndarray, by_dataset: bool,
            path: str) -> List[Tuple[np.ndarray, float]]:
    """Row indices and pulse energy of each scan, in the order of the file.

    By the dataset column if there is one, else by equal pulse energy. A
    data set whose rows give different pulse energies is refused.
    """
    groups: List[Tuple[np.ndarray, float]] = []
    order: Dict[float, List[int]] = {}
    for index, value in enumerate(key.tolist()):
        order.setdefault(value, []).append(index)
    for rows in order.values():
        indices = np.array(rows)
        first = float(energies[indices[0]])
        differing = energies[indices] != first
        if by_dataset and not math.isnan(first) and np.any(differing):
            raise ValueError(texts.MIXED_ENERGIES.format(
                path=path, dataset=float(key[indices[0]]), first=first,
                other=float(energies[indices][differing][0])))
        groups.append((indices, first))
    return groups
