"""What the fitting commands share: the argument parser whose errors are
one line and exit status 2, the options of a fit (--free, --sa, --starts,
--method, --set, --energy), the reading of --set assignments, and the
exit statuses. Relies on argparse, texts.py and the inputs' names.
"""
import argparse
import sys
from typing import Dict, List, Sequence, Tuple

from .. import texts
from ..inputs.experiment import EXPERIMENT_SETTINGS
from ..inputs.parameters import PARAMETER_NAMES

__all__ = ["EXIT_OK", "EXIT_INTERNAL", "EXIT_USAGE", "EXIT_INTERRUPTED", "UsageError",
           "Parser", "add_fit_options", "assignments"]

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


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
                        choices=PARAMETER_NAMES,
                        help=f"parameters to fit, of: {', '.join(PARAMETER_NAMES)}")
    parser.add_argument("--sa", action="store_true",
                        help="saturable absorber: the focus is the maximum of the data "
                             "(default: reverse saturable absorber, the minimum)")
    parser.add_argument("--starts", type=int, default=3, metavar="N",
                        help="starts, spread from 0.302 to 3.311 times the start values "
                             "(default 3)")
    parser.add_argument("--method", choices=("robust", "exact"), default="robust",
                        help="robust: bounded trust-region fit (default); exact: "
                             "kesp_wrapper.fit_zscan's own fit, then its errors")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        dest="assignments",
                        help="a setting (e.g. w0=2e-5, populations='3e17 0 0 0 0') or "
                             "a start value (e.g. sigma_0=1.5e-17); overrides the file; "
                             "repeatable")
    parser.add_argument("--energy", type=float, metavar="J",
                        help="pulse energy of a file without one")


def assignments(items: Sequence[str]) -> Tuple[Dict[str, List[float]], Dict[str, float]]:
    """The --set items as (settings, start values by name); UsageError
    for an item that is not NAME=NUMBERS or names nothing known."""
    settings: Dict[str, List[float]] = {}
    values: Dict[str, float] = {}
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
        else:
            raise UsageError(texts.CLI_UNKNOWN_SET.format(
                name=name, settings=", ".join(EXPERIMENT_SETTINGS),
                parameters=", ".join(PARAMETER_NAMES)))
    return settings, values
