"""The ``fit`` command: the scans of one data file fitted at once, the
report printed, optionally a figure and the results as JSON. Relies on
the shared options, fit_inputs.py and the package's fit.
"""
import argparse
import sys
from typing import Any, List

from .. import texts
from ..api import fit, fit_global
from ..inputs.experiment import EXPERIMENT_SETTINGS, UNCERTAIN_SETTINGS
from .fit_inputs import fit_inputs
from .options import (EXIT_OK, Once, OnceTrue, UsageError, add_fit_options, assignments,
                      check_output_path, free_names_given, uncertainty_items)

__all__ = ["add_fit_parser", "run_fit"]


def add_fit_parser(commands: Any) -> argparse.ArgumentParser:
    """Adds ``fit`` to the subcommands."""
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
                "bad input, 3 with --strict when anything warned, 1 for an internal error, "
                "130 when interrupted. Example: "
                "python -m zscanfit fit examples/demo_rsa.csv --free sigma_0 sigma_1 "
                "--plot fit.png"))
    fit_parser.add_argument("data", metavar="DATA", nargs="+",
                            help="the data file; several files of one sample are fitted "
                                 "together (shared spectroscopic parameters, each file its "
                                 "own experiment and focus; start values from the first)")
    add_fit_options(fit_parser, energy_per_file=True)
    fit_parser.add_argument("--shared", nargs="+", metavar="NAME", action="extend",
                            choices=UNCERTAIN_SETTINGS,
                            help="with several files: the settings whose uncertainty the files "
                                 "share (one beam, one energy meter), which move all files "
                                 "together in the error budget; the others are each file's "
                                 "own. Default: files with equal settings share them")
    fit_parser.add_argument("--bootstrap", type=int, metavar="B", action=Once,
                            help="add percentile intervals from B bootstrap refits (residual "
                                 "resampling; 200 to 1000 is usual)")
    fit_parser.add_argument("--seed", type=int, metavar="S", action=Once,
                            help="seed of the bootstrap's draws (same seed, same intervals)")
    fit_parser.add_argument("--scheduler", metavar="ADDRESS", action=Once,
                            help="run the bootstrap refits on the workers of this Dask "
                                 "scheduler, e.g. tcp://10.0.0.5:8786 (needs pip install "
                                 "kesp_wrapper[dask])")
    fit_parser.add_argument("--bootstrap-settings", action=OnceTrue,
                            help="refit every bootstrap data set with the uncertain settings "
                                 "drawn from their distributions")
    fit_parser.add_argument("--intervals", action=OnceTrue,
                            help="add profile-likelihood intervals (1 and 2 sigma) beside the "
                                 "standard errors (refits the data a few dozen times per "
                                 "parameter)")
    fit_parser.add_argument("--plot", metavar="PATH", action=Once,
                            help="write a figure of the fit")
    fit_parser.add_argument("--json", metavar="PATH", action=Once,
                            help="write the results as JSON")
    fit_parser.add_argument("--verbose", action=OnceTrue,
                            help="print the integrator's messages instead of a summary")
    fit_parser.set_defaults(run=run_fit, warnings_where=texts.CLI_WARNINGS_IN_REPORT)
    return fit_parser


def _energies(args: argparse.Namespace) -> List[Any]:
    """Each data file's --energy: one per file, in order; with one file all
    the values given (one per transmittance column). None: not given."""
    if args.energy is None:
        return [None] * len(args.data)
    if len(args.data) == 1:
        return [args.energy[0] if len(args.energy) == 1 else list(args.energy)]
    if len(args.energy) != len(args.data):
        raise UsageError(texts.CLI_ENERGY_COUNT.format(
            given=len(args.energy), ies="y" if len(args.energy) == 1 else "ies",
            files=len(args.data)))
    return list(args.energy)


def run_fit(args: argparse.Namespace) -> int:
    given = assignments(args.assignments)
    check_output_path(args.plot, "--plot", figure=True)
    check_output_path(args.json, "--json")
    if args.shared and len(args.data) == 1:
        raise UsageError(texts.CLI_SHARED_ONE_FILE)
    free = free_names_given(args)
    jobs = [fit_inputs(path, free, energy, given.settings, given.values,
                       uncertainties=uncertainty_items(args.uncertainties))
            for path, energy in zip(args.data, _energies(args))]
    options = dict(given.options)
    if len(jobs) == 1:
        job = jobs[0]
        options.update(job.options)   # the file's own (its focus)
        if "center_mm" in free and "center_mm" in options:  # its start value
            job.params["center_mm"].value = options.pop("center_mm")
        result = fit(job.scans, job.experiment, job.params, is_sa=args.sa,
                     n_starts=args.starts, method=args.method, verbose=args.verbose,
                     bootstrap=args.bootstrap, seed=args.seed, client=args.scheduler,
                     model=args.model, tolerance=args.tolerance,
                     bootstrap_settings=args.bootstrap_settings, fix_focus=args.fix_focus,
                     **options)
    else:
        if args.bootstrap is not None or options:
            raise UsageError(texts.CLI_GLOBAL_OPTIONS)
        params = jobs[0].params
        if "center_mm" in params:   # --free center_mm: every file's focus is fitted
            del params["center_mm"]
        result = fit_global([(job.scans, job.experiment, job.label,
                              job.options.get("center_mm")) for job in jobs],
                            params, is_sa=args.sa, n_starts=args.starts,
                            verbose=args.verbose, model=args.model, tolerance=args.tolerance,
                            shared=args.shared, fix_focus=args.fix_focus)
    result.source = " ".join(args.data)
    if args.intervals:
        result.conf_interval()
    sys.stdout.write(result.report() + "\n")
    if args.json:
        result.to_json(args.json)
        sys.stdout.write(texts.CLI_JSON_WRITTEN.format(path=args.json) + "\n")
    if args.plot:
        result.plot(args.plot)
        sys.stdout.write(texts.CLI_PLOT_WRITTEN.format(path=args.plot) + "\n")
    return EXIT_OK
