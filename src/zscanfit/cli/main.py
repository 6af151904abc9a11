"""The command line's entry: ``zscanfit <command> ...`` or ``python -m
zscanfit <command> ...``.

Commands are subcommands of one parser, so more can be added beside
``fit`` and ``fit-many``. Bad input of any kind ends with one line on
standard error and exit status 2; warnings are one line each on standard
error; results go to standard output. Relies on argparse and the commands.
"""
import sys
import warnings
from typing import Optional, Sequence

from .. import texts
from .fit import add_fit_parser
from .fit_many import add_fit_many_parser
from .options import EXIT_INTERNAL, EXIT_INTERRUPTED, EXIT_USAGE, Parser, UsageError

__all__ = ["main", "build_parser"]


def build_parser() -> Parser:
    """The parser of every command."""
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


def _show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    sys.stderr.write(texts.CLI_WARNING.format(message=str(message)) + "\n")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    previous = warnings.showwarning
    warnings.showwarning = _show_warning
    try:
        return int(args.run(args))
    except (UsageError, ValueError, OSError, ImportError) as exc:  # ImportError: an extra missing
        sys.stderr.write(texts.CLI_ERROR.format(message=str(exc)) + "\n")
        return EXIT_USAGE
    except MemoryError as exc:
        sys.stderr.write(texts.CLI_ERROR.format(message=f"out of memory: {exc}") + "\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        sys.stderr.write(texts.CLI_ERROR.format(message="interrupted") + "\n")
        return EXIT_INTERRUPTED
    except Exception as exc:  # a fault of zscanfit: one line, never a traceback
        sys.stderr.write(texts.CLI_INTERNAL.format(kind=type(exc).__name__, message=exc) + "\n")
        return EXIT_INTERNAL
    finally:
        warnings.showwarning = previous
