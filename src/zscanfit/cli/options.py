"""What the fitting commands share: the argument parser whose errors are
one line and exit status 2 (no abbreviated options), the options of a fit
(--free, --sa, --starts, --method, --set, --energy, --strict), the reading
of --set assignments, the check of output paths before any fitting, and the
exit statuses. An option that takes one value refuses a second use; --free
adds up, --set and --uncertainty repeat for different names.
Relies on argparse, texts.py and the inputs' names.
"""
import argparse
import dataclasses
import math
import os
import sys
from typing import Any, Dict, List, Optional, Sequence

from .. import texts
from .exit_status import EXIT_INTERNAL, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, EXIT_WARNINGS
from ..evaluation.models import MAX_TOLERANCE, MIN_TOLERANCE
from ..inputs.experiment import EXPERIMENT_SETTINGS
from ..inputs.parameters import ALL_NAMES, PARAMETER_NAMES

__all__ = ["EXIT_OK", "EXIT_INTERNAL", "EXIT_USAGE", "EXIT_WARNINGS", "EXIT_INTERRUPTED",
           "UsageError", "Parser", "Once", "OnceTrue", "NamedItems", "tolerance_value",
           "free_names_given", "Assignments", "add_fit_options", "assignments",
           "uncertainty_items", "check_output_path"]


# Names --set accepts besides the settings and the parameters: options of the fit.
FIT_OPTION_NAMES = ("center_mm",)


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
    parser.add_argument("--sa", action=OnceTrue,
                        help="saturable absorber: the focus is the maximum of the data "
                             "(default: reverse saturable absorber, the minimum)")
    parser.add_argument("--fix-focus", action=OnceTrue,
                        help="fix the focus at the data's extremum (the smallest value, with "
                             "--sa the largest) instead of fitting it (default: the focus is "
                             "fitted from there, and fixed there where the data do not "
                             "determine it)")
    parser.add_argument("--starts", type=int, default=3, metavar="N", action=Once,
                        help="starts, spread from 0.302 to 3.311 times the start values "
                             "(default 3; a single robust start is the start values)")
    parser.add_argument("--method", choices=("robust", "exact"), default="robust", action=Once,
                        help="robust: bounded trust-region fit (default); exact: "
                             "kesp_wrapper.fit_zscan's own fit, then its errors")
    parser.add_argument("--model", choices=("whole-beam", "on-axis"), default=None, action=Once,
                        help="whole-beam: the pulse's energy over the whole beam, what an "
                             "open-aperture detector measures (default); on-axis: "
                             "kesp_wrapper.fit_zscan's model (the exact method's)")
    parser.add_argument("--tolerance", type=tolerance_value, default=1e-5, metavar="T",
                        action=Once,
                        help="absolute tolerance of the whole-beam model on the normalised "
                             f"transmittance, {MIN_TOLERANCE:g} to {MAX_TOLERANCE:g} (default "
                             "1e-5)")
    parser.add_argument("--set", action=NamedItems, default=[], metavar="NAME=VALUE",
                        dest="assignments",
                        help="a setting (e.g. w0=2e-5, populations='3e17 0 0 0 0'), "
                             "a start value (e.g. sigma_0=1.5e-17) or the focus position "
                             "(center_mm=0.5); overrides the file; repeatable, each name "
                             "once")
    if energy_per_file:
        parser.add_argument("--energy", type=float, metavar="J", nargs="+", action="extend",
                            help="pulse energy (J) of each data file, in the order of the "
                                 "files (with one file: one per transmittance column); it "
                                 "replaces a '# pulse_energy' line and must agree with "
                                 "energies the columns name")
    else:
        parser.add_argument("--energy", type=float, metavar="J", action=Once,
                            help="pulse energy (J) of every file without one in its columns "
                                 "(it replaces a '# pulse_energy' line)")
    parser.add_argument("--uncertainty", action=NamedItems, default=[], metavar="NAME=VALUE",
                        dest="uncertainties",
                        help="the standard uncertainty of a setting, absolute in its unit "
                             "(w0=1e-6) or relative (pulse_energy_scale=5%%): its effect on "
                             "the fitted values joins the error budget; repeatable, each "
                             "name once")
    parser.add_argument("--strict", action=OnceTrue,
                        help="exit with status 3 when anything warned (the results are "
                             "still written)")


@dataclasses.dataclass(frozen=True)
class Assignments:
    """The --set items: settings, start values by name, and fit options."""

    settings: Dict[str, List[float]]
    values: Dict[str, float]
    options: Dict[str, Any]


def assignments(items: Sequence[str]) -> Assignments:
    """The --set items; UsageError for an item that is not NAME=NUMBERS or
    names nothing known."""
    settings: Dict[str, List[float]] = {}
    values: Dict[str, float] = {}
    options: Dict[str, Any] = {}
    for item in items:
        if "=" not in item:
            raise UsageError(texts.CLI_BAD_SET.format(item=item))
        name, text = (part.strip() for part in item.split("=", 1))
        try:
            numbers = [float(v) for v in text.replace(",", " ").split()]
        except ValueError:
            numbers = []
        if not numbers:
            raise UsageError(texts.CLI_BAD_SET.format(item=item))
        if name in EXPERIMENT_SETTINGS:
            settings[name] = numbers
        elif name in PARAMETER_NAMES and len(numbers) == 1:
            values[name] = numbers[0]
        elif name in FIT_OPTION_NAMES and len(numbers) == 1:
            options[name] = numbers[0]
        else:
            raise UsageError(texts.CLI_UNKNOWN_SET.format(
                name=name, settings=", ".join(EXPERIMENT_SETTINGS),
                parameters=", ".join(PARAMETER_NAMES + FIT_OPTION_NAMES)))
    return Assignments(settings, values, options)


def uncertainty_items(items: Sequence[str]) -> Dict[str, Any]:
    """The --uncertainty items, name -> number or 'x%'; UsageError for an
    item that is not NAME=VALUE."""
    found: Dict[str, Any] = {}
    for item in items:
        name, _, text = (part.strip() for part in item.partition("="))
        if not name or not text:
            raise UsageError(texts.CLI_BAD_UNCERTAINTY.format(item=item))
        if text.endswith("%"):
            found[name] = text
            continue
        try:
            found[name] = float(text)
        except ValueError:
            raise UsageError(texts.CLI_BAD_UNCERTAINTY.format(item=item)) from None
    return found


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
