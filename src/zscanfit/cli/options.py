"""What the fitting commands share: the argument parser whose errors are
one line and exit status 2, the options of a fit (--free, --sa, --starts,
--method, --set, --energy, --strict), the reading of --set assignments,
the check of output paths before any fitting, and the exit statuses.
Relies on argparse, texts.py and the inputs' names.
"""
import argparse
import dataclasses
import os
import sys
from typing import Any, Dict, List, Optional, Sequence

from .. import texts
from ..inputs.experiment import EXPERIMENT_SETTINGS
from ..inputs.parameters import ALL_NAMES, PARAMETER_NAMES

__all__ = ["EXIT_OK", "EXIT_INTERNAL", "EXIT_USAGE", "EXIT_WARNINGS", "EXIT_INTERRUPTED",
           "UsageError", "Parser", "Assignments", "add_fit_options", "assignments",
           "uncertainty_items", "check_output_path"]

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_WARNINGS = 3       # --strict and the run warned
EXIT_INTERRUPTED = 130

# Names --set accepts besides the settings and the parameters: options of the fit.
FIT_OPTION_NAMES = ("center_mm",)


class UsageError(ValueError):
    """Bad input found by the command line itself."""


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line on stderr, status 2."""

    def error(self, message: str) -> "NoReturn":  # type: ignore[name-defined]
        sys.stderr.write(texts.CLI_ERROR.format(
            message=f"{message} (see '{self.prog} --help')") + "\n")
        sys.exit(EXIT_USAGE)


def add_fit_options(parser: argparse.ArgumentParser) -> None:
    """The options of a fit shared by ``fit`` and ``fit-many``."""
    parser.add_argument("--free", nargs="+", required=True, metavar="NAME",
                        choices=ALL_NAMES,
                        help=f"parameters to fit, of: {', '.join(ALL_NAMES)} (the beam's "
                             "center_mm, w0 and M2 start from the focus found in the data "
                             "and the experiment's values)")
    parser.add_argument("--sa", action="store_true",
                        help="saturable absorber: the focus is the maximum of the data "
                             "(default: reverse saturable absorber, the minimum)")
    parser.add_argument("--starts", type=int, default=3, metavar="N",
                        help="starts, spread from 0.302 to 3.311 times the start values "
                             "(default 3; a single robust start is the start values)")
    parser.add_argument("--method", choices=("robust", "exact"), default="robust",
                        help="robust: bounded trust-region fit (default); exact: "
                             "kesp_wrapper.fit_zscan's own fit, then its errors")
    parser.add_argument("--model", choices=("whole-beam", "on-axis"), default=None,
                        help="whole-beam: the pulse's energy over the whole beam, what an "
                             "open-aperture detector measures (default); on-axis: "
                             "kesp_wrapper.fit_zscan's model (the exact method's)")
    parser.add_argument("--tolerance", type=float, default=1e-5, metavar="T",
                        help="absolute tolerance of the whole-beam model on the normalised "
                             "transmittance (default 1e-5)")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        dest="assignments",
                        help="a setting (e.g. w0=2e-5, populations='3e17 0 0 0 0'), "
                             "a start value (e.g. sigma_0=1.5e-17) or the focus position "
                             "(center_mm=0.5); overrides the file; repeatable")
    parser.add_argument("--energy", type=float, metavar="J",
                        help="pulse energy of a file without one")
    parser.add_argument("--uncertainty", action="append", default=[], metavar="NAME=VALUE",
                        dest="uncertainties",
                        help="the standard uncertainty of a setting, absolute in its unit "
                             "(w0=1e-6) or relative (pulse_energy_scale=5%%): its effect on "
                             "the fitted values joins the error budget; repeatable")
    parser.add_argument("--strict", action="store_true",
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
