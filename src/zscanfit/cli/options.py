"""What the fitting commands share: the argument parser whose errors are
one line and exit status 2 (no abbreviated options), the options of a fit
(--free, --sa, --starts, --method, --set, --energy, --strict), the reading
of --set assignments (for every file, or FILE:NAME=VALUE for one) and of
--uncertainty and --energy values, with or without units, the check of
output paths and folders before any fitting, and the exit statuses. An
option that takes one value refuses a second use; --free adds up, --set
and --uncertainty repeat for different names. Relies on argparse,
texts.py, units.py and the inputs' names.
"""
import argparse
import dataclasses
import math
import os
import sys
from typing import Any, Dict, List, Optional, Sequence

from .. import texts
from ..inputs import units
from .exit_status import EXIT_INTERNAL, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, EXIT_WARNINGS
from ..evaluation.models import MAX_TOLERANCE, MIN_TOLERANCE, MODELS
from ..fitting.single import MAX_STARTS
from ..inputs.experiment import EXPERIMENT_SETTINGS, pulse_shape_of
from ..inputs.parameters import ALL_NAMES, OPTICAL_NAMES, PARAMETER_NAMES

__all__ = ["EXIT_OK", "EXIT_INTERNAL", "EXIT_USAGE", "EXIT_WARNINGS", "EXIT_INTERRUPTED",
           "UsageError", "Parser", "Once", "OnceTrue", "NamedItems", "tolerance_value",
           "free_names_given", "Assignments", "UncertaintyItems", "add_fit_options",
           "assignments", "uncertainty_items", "energy_value", "starts_value",
           "check_output_path",
           "check_output_folder"]


# Names --set accepts besides the settings and the parameters: options of the fit.
FIT_OPTION_NAMES = ("center_mm",)
# The parameters --set gives start values of: the spectroscopic and optical ones.
START_NAMES = PARAMETER_NAMES + OPTICAL_NAMES
_NAMES_WITH_VALUES = EXPERIMENT_SETTINGS + START_NAMES + FIT_OPTION_NAMES


class UsageError(ValueError):
    """Bad input found by the command line itself."""


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line on stderr, status 2, and
    which takes no abbreviation of an option (``--fre`` is not ``--free``)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> "NoReturn":  # type: ignore[name-defined]
        sys.stderr.write(texts.CLI_ERROR.format(
            message=f"{message} (see '{self.prog} --help')") + "\n")
        sys.exit(EXIT_USAGE)


class Once(argparse.Action):
    """An option that may be given once: a second use is an error naming
    it, never a silent replacement of the first value."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        _first_use(self, namespace)
        setattr(namespace, self.dest, values)


class OnceTrue(argparse.Action):
    """A switch that may be given once."""

    def __init__(self, option_strings: Sequence[str], dest: str, default: bool = False,
                 help: Optional[str] = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        _first_use(self, namespace)
        setattr(namespace, self.dest, True)


class NamedItems(argparse.Action):
    """A repeatable NAME=VALUE option whose NAME may be given once."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        items = list(getattr(namespace, self.dest, None) or [])
        name = str(values).partition("=")[0].strip()
        if name and any(str(item).partition("=")[0].strip() == name for item in items):
            raise argparse.ArgumentError(self, texts.CLI_NAME_TWICE.format(name=name))
        items.append(values)
        setattr(namespace, self.dest, items)


def _first_use(action: argparse.Action, namespace: argparse.Namespace) -> None:
    marker = f"_given_{action.dest}"
    if getattr(namespace, marker, False):
        raise argparse.ArgumentError(action, texts.CLI_GIVEN_TWICE)
    setattr(namespace, marker, True)


def tolerance_value(text: str) -> float:
    """--tolerance: a number inside the range the whole-beam model meets."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (MIN_TOLERANCE <= value <= MAX_TOLERANCE):
        raise argparse.ArgumentTypeError(texts.CLI_TOLERANCE.format(
            value=text, least=MIN_TOLERANCE, most=MAX_TOLERANCE))
    return value


def starts_value(text: str) -> int:
    """--starts: a whole number of starts the fit takes."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= MAX_STARTS:
        raise argparse.ArgumentTypeError(texts.CLI_STARTS.format(most=MAX_STARTS, value=text))
    return value


def free_names_given(args: argparse.Namespace) -> List[str]:
    """The --free names in the order first given, each once."""
    return list(dict.fromkeys(args.free))


def add_fit_options(parser: argparse.ArgumentParser, energy_per_file: bool = False) -> None:
    """The options of a fit shared by ``fit`` and ``fit-many``; with
    ``energy_per_file`` --energy takes one pulse energy per data file."""
    parser.add_argument("--free", nargs="+", required=True, metavar="NAME",
                        choices=ALL_NAMES, action="extend",
                        help=f"parameters to fit, of: {', '.join(ALL_NAMES)} (the beam's "
                             "center_mm, w0 and M2 start from the focus found in the data "
                             "and the experiment's values); repeatable, the names add up")
    parser.add_argument("--aperture", type=float, metavar="S", default=None, action=Once,
                        help="the scans are closed-aperture ones: the far-field aperture "
                             "passes the share S in (0, 1] of the linear beam (overrides a "
                             "file's '# aperture = S'; 1: open)")
    parser.add_argument("--divided", action=OnceTrue,
                        help="the scans are closed divided by open (needs --aperture or a "
                             "file's '# aperture')")
    parser.add_argument("--sa", action=OnceTrue,
                        help="saturable absorber: the focus is the maximum of the data "
                             "(default: reverse saturable absorber, the minimum)")
    parser.add_argument("--fix-focus", action=OnceTrue,
                        help="fix the focus at the data's extremum (the smallest value, with "
                             "--sa the largest) instead of fitting it (default: the focus is "
                             "fitted from there, and fixed there where the data do not "
                             "determine it)")
    parser.add_argument("--starts", type=starts_value, default=3, metavar="N", action=Once,
                        help="starts, spread from 0.302 to 3.311 times the start values "
                             "(default 3; a single robust start is the start values)")
    parser.add_argument("--method", choices=("robust", "exact"), default="robust", action=Once,
                        help="robust: bounded trust-region fit (default); exact: "
                             "kesp_wrapper.fit_zscan's own fit, then its errors")
    parser.add_argument("--model", choices=MODELS, default=None, action=Once,
                        help="whole-beam: the pulse's energy over the whole beam, what an "
                             "open-aperture detector measures, for a thin sample (default); "
                             "on-axis: kesp_wrapper.fit_zscan's model (the exact method's); "
                             "beam-propagation: a thick sample, the beam propagated through "
                             "it (refractive_index n0 from --set or the file, default 1; "
                             "far slower)")
    parser.add_argument("--tolerance", type=tolerance_value, default=1e-5, metavar="T",
                        action=Once,
                        help="absolute tolerance of the whole-beam and beam-propagation "
                             "models on the normalised "
                             f"transmittance, {MIN_TOLERANCE:g} to {MAX_TOLERANCE:g} (default "
                             "1e-5)")
    parser.add_argument("--set", action=NamedItems, default=[], metavar="NAME=VALUE",
                        dest="assignments",
                        help="a setting (e.g. w0=2e-5 or w0=25um, tau='5 ns', "
                             "populations='3e17 0 0 0 0'), a start value (e.g. "
                             "sigma_0=1.5e-17) or the focus position (center_mm=0.5); "
                             "overrides the file; FILE:NAME=VALUE for one data file only, "
                             "FILE as given or its position (--set 2:w0=25um, --set "
                             "b.csv:center_mm=0.4); repeatable, each name once per file")
    if energy_per_file:
        parser.add_argument("--energy", type=energy_value, metavar="J", nargs="+",
                            action="extend",
                            help="pulse energy (J, or with its unit: 3uJ) of each data "
                                 "file, in the order of the files (with one file: one per "
                                 "transmittance column); it replaces a '# pulse_energy' line "
                                 "and must agree with energies the columns name")
    else:
        parser.add_argument("--energy", type=energy_value, metavar="J", action=Once,
                            help="pulse energy (J, or with its unit: 3uJ) of every file "
                                 "without one in its columns (it replaces a '# pulse_energy' "
                                 "line)")
    parser.add_argument("--uncertainty", action=NamedItems, default=[], metavar="NAME=VALUE",
                        dest="uncertainties",
                        help="the standard uncertainty of a setting, absolute in its unit "
                             "or with one (w0=1e-6, w0=1um) or relative (w0=5%%, "
                             "pulse_energy_scale=5%%): its effect on the fitted values joins "
                             "the error budget; repeatable, each name once")
    parser.add_argument("--strict", action=OnceTrue,
                        help="exit with status 3 when anything warned (the results are "
                             "still written)")


@dataclasses.dataclass(frozen=True)
class Assignments:
    """The --set items: settings, start values by name and fit options, each
    name's item as typed ('--set w0=25um', for messages), and the items of
    single files (``per_file``, by the file's position from 0)."""

    settings: Dict[str, List[float]]
    values: Dict[str, float]
    options: Dict[str, Any]
    typed: Dict[str, str] = dataclasses.field(default_factory=dict)
    per_file: Dict[int, "Assignments"] = dataclasses.field(default_factory=dict)

    def for_file(self, index: int) -> "Assignments":
        """The items of the file at ``index`` (from 0): those of every file
        with the file's own over them."""
        own = self.per_file.get(index, Assignments({}, {}, {}))
        return Assignments({**self.settings, **own.settings}, {**self.values, **own.values},
                           {**self.options, **own.options}, {**self.typed, **own.typed})


def _numbers(name: str, text: str, item: str) -> List[float]:
    """The numbers of a --set value in the unit of ``name``; UsageError for
    a unit ``name`` does not take or a value that is not numbers."""
    try:
        reading = units.read(name, text) if name in _NAMES_WITH_VALUES else None
    except units.UnitError as exc:
        raise UsageError(texts.GIVEN_AS.format(source=f"--set {item}", message=exc)) from None
    if reading is None:
        if name not in _NAMES_WITH_VALUES:
            raise UsageError(texts.CLI_UNKNOWN_SET.format(
                name=name, settings=", ".join(EXPERIMENT_SETTINGS),
                parameters=", ".join(START_NAMES + FIT_OPTION_NAMES)))
        raise UsageError(texts.CLI_BAD_SET.format(item=item))
    return reading.values


def _file_index(target: str, files: Sequence[str], item: str) -> int:
    """The position (from 0) of the data file FILE of a --set FILE:NAME=VALUE
    item names: as given on the command line, the same file by another
    path, or its position from 1."""
    here = os.path.normpath(os.path.abspath(target))
    same = [k for k, path in enumerate(files) if path == target] or \
        [k for k, path in enumerate(files) if os.path.normpath(os.path.abspath(path)) == here]
    if len(same) == 1:
        return same[0]
    if not same and target.isdigit() and 1 <= int(target) <= len(files):
        return int(target) - 1
    raise UsageError(texts.CLI_SET_WHICH_FILE.format(
        item=item, target=target, count=len(files),
        files=", ".join(f"{k + 1} {path}" for k, path in enumerate(files)),
        twice=texts.CLI_SET_FILE_TWICE if len(same) > 1 else ""))


def assignments(items: Sequence[str], files: Optional[Sequence[str]] = None) -> Assignments:
    """The --set items: NAME=VALUE for every file, FILE:NAME=VALUE for the
    data file FILE of ``files`` (as given, or its position from 1) only;
    values with or without their units ('w0=25um', 'tau=5 ns'). UsageError
    for an item that is not one, names nothing known, a unit the name does
    not take, a FILE not among ``files`` (None: per-file items are refused,
    as in fit-many) or, with several files, a start value for one file only
    (the spectroscopic parameters are shared)."""
    every = Assignments({}, {}, {})
    for item in items:
        name_part, equals, text = item.partition("=")
        target, colon, name = name_part.rpartition(":")
        name, target = name.strip(), target.strip()
        if not equals or not name or (colon and not target):
            raise UsageError(texts.CLI_BAD_SET.format(item=item))
        into = every
        if colon:
            if files is None:
                raise UsageError(texts.CLI_SET_FILE_HERE.format(item=item))
            index = _file_index(target, files, item)
            if name in START_NAMES and len(files) > 1:
                raise UsageError(texts.CLI_SET_SHARED.format(item=item, name=name))
            into = every.per_file.setdefault(index, Assignments({}, {}, {}))
            if name in into.typed:
                raise UsageError(texts.CLI_SET_FILE_NAME_TWICE.format(
                    item=item, first=into.typed[name], path=files[index]))
        if name == "pulse_shape":  # a word, not numbers
            try:
                into.settings[name] = pulse_shape_of(text)
            except ValueError as exc:
                raise UsageError(texts.GIVEN_AS.format(source=f"--set {item}",
                                                       message=exc)) from None
            into.typed[name] = f"--set {item}"
            continue
        numbers = _numbers(name, text.strip(), item)
        if name in EXPERIMENT_SETTINGS:
            into.settings[name] = numbers
        elif len(numbers) != 1:
            raise UsageError(texts.CLI_SET_ONE_NUMBER.format(item=item, name=name))
        elif name in START_NAMES:
            into.values[name] = numbers[0]
        else:
            into.options[name] = numbers[0]
        into.typed[name] = f"--set {item}"
    return every


@dataclasses.dataclass(frozen=True)
class UncertaintyItems:
    """The --uncertainty items: name -> number (in the setting's unit) or
    'x%', and each name's item as typed."""

    values: Dict[str, Any]
    typed: Dict[str, str]
    written: Dict[str, str]


def uncertainty_items(items: Sequence[str]) -> UncertaintyItems:
    """The --uncertainty items, with or without the setting's unit
    ('w0=1um'); UsageError for an item that is not NAME=VALUE."""
    found, typed, written = {}, {}, {}
    for item in items:
        name, _, text = (part.strip() for part in item.partition("="))
        if not name or not text:
            raise UsageError(texts.CLI_BAD_UNCERTAINTY.format(item=item))
        typed[name], written[name] = f"--uncertainty {item}", text
        if text.endswith("%"):
            found[name] = text
            continue
        try:
            found[name] = units.read_number(name, text)
        except units.UnitError as exc:
            raise UsageError(texts.GIVEN_AS.format(source=f"--uncertainty {item}",
                                                   message=exc)) from None
        except ValueError:
            raise UsageError(texts.CLI_BAD_UNCERTAINTY.format(item=item)) from None
    return UncertaintyItems(found, typed, written)


def energy_value(text: str) -> float:
    """--energy: a positive pulse energy, in J or with its unit ('3uJ')."""
    try:
        value = units.read_number("pulse_energy", text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(texts.CLI_ENERGY_VALUE.format(value=text))
    return value


def check_output_folder(path: Optional[str], option: str) -> None:
    """UsageError, before any fitting, when ``path`` is not a writable folder."""
    if not path:
        return
    if not os.path.isdir(path):
        raise UsageError(texts.CLI_NOT_A_FOLDER.format(option=option, path=path))
    if not os.access(path, os.W_OK):
        raise UsageError(texts.CLI_FOLDER_NOT_WRITABLE.format(option=option, path=path,
                                                              folder=path))


def check_output_path(path: Optional[str], option: str, figure: bool = False) -> None:
    """UsageError, before any fitting, when ``path`` cannot be written: its
    folder is missing or not writable, or (a figure) its format unknown."""
    if not path:
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(texts.CLI_NO_FOLDER.format(option=option, path=path, folder=folder))
    if not os.access(folder, os.W_OK):
        raise UsageError(texts.CLI_FOLDER_NOT_WRITABLE.format(option=option, path=path,
                                                              folder=folder))
    if os.path.isdir(path):
        raise UsageError(texts.CLI_PATH_IS_FOLDER.format(option=option, path=path))
    if figure:
        from matplotlib.backend_bases import FigureCanvasBase

        formats = FigureCanvasBase.get_supported_filetypes()
        suffix = os.path.splitext(path)[1].lstrip(".").lower()
        if suffix not in formats:
            raise UsageError(texts.CLI_FIGURE_FORMAT.format(
                option=option, path=path, suffix=suffix or "(none)",
                formats=", ".join(sorted(formats))))
