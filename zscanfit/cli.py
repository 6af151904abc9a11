"""The command line: ``python -m zscanfit <command> ...``.

Commands are subcommands of one parser, so more can be added beside
``fit``. Bad input of any kind ends with one line on standard error and
exit status 2; warnings are one line each on standard error; results go
to standard output. Relies on argparse and the package's public API.
"""
import argparse
import json
import sys
import warnings
from typing import Dict, List, Optional, Sequence, Tuple

from . import texts
from .batch_cli import add_fit_many_parser
from .experiment import EXPERIMENT_SETTINGS, Experiment
from .parameters import PARAMETER_NAMES, make_params

__all__ = ["main", "build_parser"]

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """Bad input found by the command line itself."""


class _Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line on stderr, status 2."""

    def error(self, message: str) -> "NoReturn":  # type: ignore[name-defined]
        sys.stderr.write(texts.CLI_ERROR.format(
            message=f"{message} (see '{self.prog} --help')") + "\n")
        sys.exit(EXIT_USAGE)


def build_parser() -> argparse.ArgumentParser:
    """The parser of every command."""
    parser = _Parser(
        prog="python -m zscanfit",
        description="Fit the five-level rate-equation model to open-aperture z-scan data.",
        epilog=("Run 'python -m zscanfit fit --help' for the options of a fit, "
                "'python -m zscanfit fit-many --help' for many files at once."))
    commands = parser.add_subparsers(dest="command", metavar="command", parser_class=_Parser)
    commands.required = True
    fit_parser = commands.add_parser(
        "fit", help="fit parameters to the scans of a data file and print a report",
        description=(
            "Fit the free parameters to every scan of DATA at once and print a report. "
            "DATA is a CSV file like examples/demo_rsa.csv (header dataset,pulse_energy,"
            "x_mm,transmittance[,sigma]; '# name = value' lines for the settings "
            f"{', '.join(EXPERIMENT_SETTINGS)} and 'spec_pars' for the eight start values) "
            "or a plain file of two or three columns (x_mm, transmittance[, sigma]). "
            "Units: positions mm, pulse energy J, wavelength and w0 m, tau and lifetimes s, "
            "cross-sections cm^2, populations cm^-3, sample_width cm."),
        epilog=("Exit status: 0 when the fit ran (see its report for convergence), 2 for "
                "bad input, 1 for an internal error, 130 when interrupted. Example: "
                "python -m zscanfit fit examples/demo_rsa.csv --free sigma_0 sigma_1 "
                "--plot fit.png"))
    fit_parser.add_argument("data", metavar="DATA", help="the data file")
    _add_fit_options(fit_parser)
    fit_parser.add_argument("--bootstrap", type=int, metavar="B",
                            help="add percentile intervals from B bootstrap refits (residual "
                                 "resampling; 200 to 1000 is usual)")
    fit_parser.add_argument("--seed", type=int, metavar="S",
                            help="seed of the bootstrap's draws (same seed, same intervals)")
    fit_parser.add_argument("--scheduler", metavar="ADDRESS",
                            help="run the bootstrap refits on the workers of this Dask "
                                 "scheduler, e.g. tcp://10.0.0.5:8786 (needs pip install "
                                 "kesp_wrapper[dask])")
    fit_parser.add_argument("--plot", metavar="PATH", help="write a figure of the fit")
    fit_parser.add_argument("--json", metavar="PATH", help="write the results as JSON")
    fit_parser.add_argument("--verbose", action="store_true",
                            help="print the integrator's messages instead of a summary")
    fit_parser.set_defaults(run=_run_fit)
    add_fit_many_parser(commands, _add_fit_options)
    return parser


def _add_fit_options(parser: argparse.ArgumentParser) -> None:
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


def _assignments(items: Sequence[str]) -> Tuple[Dict[str, List[float]], Dict[str, float]]:
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


def _run_fit(args: argparse.Namespace) -> int:
    from .fitting import fit
    from .loading import load_scans

    settings, values = _assignments(args.assignments)
    data = load_scans(args.data, pulse_energy=args.energy)
    merged = dict(data.settings)
    merged.update(settings)
    experiment = Experiment.from_settings(merged)
    start = data.spec_pars
    missing = [name for name in PARAMETER_NAMES if name not in values]
    if start is None and missing:
        raise UsageError(texts.CLI_NO_START)
    params = make_params(start, free=args.free, **values)
    result = fit(data.scans, experiment, params, is_sa=args.sa, n_starts=args.starts,
                 method=args.method, verbose=args.verbose, bootstrap=args.bootstrap,
                 seed=args.seed, client=args.scheduler)
    sys.stdout.write(result.report() + "\n")
    if args.plot:
        result.plot(args.plot)
        sys.stdout.write(texts.CLI_PLOT_WRITTEN.format(path=args.plot) + "\n")
    if args.json:
        with open(args.json, "w") as stream:
            json.dump(result.to_dict(), stream, indent=2)
            stream.write("\n")
        sys.stdout.write(texts.CLI_JSON_WRITTEN.format(path=args.json) + "\n")
    return EXIT_OK


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
