"""The command line's entry: ``zscanfit <command> ...`` or ``python -m
zscanfit <command> ...``.

Commands are subcommands of one parser, so more can be added beside
``fit`` and ``fit-many``. Bad input of any kind ends with one line on
standard error and exit status 2; warnings are one line each on standard
error, counted in a closing line (with --strict any warning makes the exit
status 3); results go to standard output. Ctrl-C at any moment, the start
included (the package and NumPy, SciPy, lmfit are imported inside main),
ends with one line and exit status 130. Relies on argparse and the
commands.
"""
import sys
import warnings
from typing import Any, Optional, Sequence

from .. import texts
from .._stop import FitStopped
from .interrupts import InterruptGuard
from .exit_status import EXIT_INTERNAL, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, EXIT_WARNINGS

__all__ = ["main", "build_parser"]


def build_parser() -> Any:
    """The parser of every command."""
    from .fit import add_fit_parser
    from .fit_many import add_fit_many_parser
    from .options import Parser

    parser = Parser(
        prog="python -m zscanfit",
        description="Fit the five-level rate-equation model to open-aperture z-scan data.",
        epilog=("Run 'python -m zscanfit fit --help' for the options of a fit, "
                "'python -m zscanfit fit-many --help' for many files at once."))
    commands = parser.add_subparsers(dest="command", metavar="command", parser_class=Parser)
    commands.required = True
    add_fit_parser(commands)
    add_fit_many_parser(commands)
    return parser


class _Warnings:
    """Shows each warning as one line on standard error and counts them."""

    def __init__(self) -> None:
        self.count = 0

    def show(self, message, category, filename, lineno, file=None, line=None) -> None:
        self.count += 1
        sys.stderr.write(texts.CLI_WARNING.format(message=str(message)) + "\n")

    def closing_line(self, where: str, strict: bool) -> str:
        if not self.count:
            return texts.CLI_DONE
        return texts.CLI_DONE_WARNINGS.format(
            count=self.count, s="" if self.count == 1 else "s", where=where,
            strict=texts.CLI_STRICT if strict else "")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    guard = InterruptGuard()
    try:
        with guard:
            return _run(argv, guard)
    except (KeyboardInterrupt, FitStopped):  # also while the package is still being imported
        return _interrupted()
    except Exception as exc:
        if guard.explains(exc):
            return _interrupted()
        raise


def _interrupted() -> int:
    sys.stderr.write(texts.CLI_ERROR.format(message="interrupted") + "\n")
    return EXIT_INTERRUPTED


def _run(argv: Optional[Sequence[str]], guard: InterruptGuard) -> int:
    from .options import UsageError

    parser = build_parser()
    args = parser.parse_args(argv)
    shown = _Warnings()
    previous = warnings.showwarning
    warnings.showwarning = shown.show
    try:
        status = int(args.run(args))
        strict = bool(getattr(args, "strict", False))
        if status == EXIT_OK:
            sys.stderr.write(shown.closing_line(getattr(args, "warnings_where", ""),
                                                strict) + "\n")
            if strict and shown.count:
                status = EXIT_WARNINGS
        return status
    except (UsageError, ValueError, OSError, ImportError) as exc:  # ImportError: an extra missing
        if guard.explains(exc):
            raise
        sys.stderr.write(texts.CLI_ERROR.format(message=str(exc)) + "\n")
        return EXIT_USAGE
    except MemoryError as exc:
        sys.stderr.write(texts.CLI_ERROR.format(
            message=texts.CLI_OUT_OF_MEMORY.format(reason=str(exc) or texts.CLI_NO_REASON))
            + "\n")
        return EXIT_USAGE
    except Exception as exc:  # a fault of zscanfit: one line, never a traceback
        if guard.explains(exc):
            raise
        sys.stderr.write(texts.CLI_INTERNAL.format(kind=type(exc).__name__, message=exc) + "\n")
        return EXIT_INTERNAL
    finally:
        warnings.showwarning = previous
