"""The ``fit-many`` command: every data file of a manifest or a folder
fitted through ``fit_many``, one CSV row per file.

A manifest is a CSV file with a header; its column ``file`` names the data
files (relative to the manifest's folder) and further columns named like a
setting, a parameter or ``pulse_energy`` override the file's values for
that row (an empty field overrides nothing). A folder means every
``.csv``, ``.tsv``, ``.txt`` and ``.dat`` file in it, in name order; the
summary names the entries it skipped. A file that cannot be read or fitted
gets a row with status ``failed`` and the reason; the others go on. Relies
on argparse, csv, the shared options, fit_inputs.py and the package's
fit_many.
"""
import argparse
import csv
import os
import sys
import warnings
from typing import Any, Dict, List, Sequence, TextIO, Tuple

from .. import texts
from ..api import fit_many
from ..inputs.experiment import EXPERIMENT_SETTINGS
from ..inputs.parameters import ALL_NAMES, PARAMETER_NAMES
from .._files import atomic_output
from ..many.executor import FitFailure
from .fit_inputs import fit_inputs
from .options import (Once, OnceTrue, add_fit_options, assignments, check_output_path,
                      free_names_given, uncertainty_items)

__all__ = ["add_fit_many_parser", "read_sources", "skipped_entries", "result_rows",
           "COLUMNS_BEFORE", "COLUMNS_AFTER"]

DATA_SUFFIXES = (".csv", ".tsv", ".txt", ".dat")
COLUMNS_BEFORE = ("file", "status", "chisqr", "redchi", "ndata", "nfev")
COLUMNS_AFTER = ("message", "warnings")
STATUS_OK, STATUS_NOT_CONVERGED, STATUS_FAILED = "ok", "not converged", "failed"

# ---------------------------------------------------------------- sources
def _manifest(path: str) -> List[Tuple[str, Dict[str, List[float]]]]:
    with open(path, newline="") as stream:
        reader = csv.DictReader(row for row in stream if row.strip() and not row.startswith("#"))
        columns = [c.strip() for c in (reader.fieldnames or [])]
        if "file" not in columns:
            raise ValueError(texts.FIT_MANY_NO_FILE_COLUMN.format(
                path=path, columns=", ".join(columns)))
        known = set(EXPERIMENT_SETTINGS) | set(PARAMETER_NAMES) | {"pulse_energy", "file"}
        for name in columns:
            if name not in known:
                raise ValueError(texts.FIT_MANY_UNKNOWN_COLUMN.format(
                    path=path, name=name, settings=", ".join(EXPERIMENT_SETTINGS),
                    parameters=", ".join(PARAMETER_NAMES)))
        folder = os.path.dirname(os.path.abspath(path))
        entries = []
        for row in reader:
            row = {(k or "").strip(): (v or "").strip() for k, v in row.items()}
            overrides = {}
            for name, text in row.items():
                if name == "file" or not text:
                    continue
                try:
                    overrides[name] = [float(v) for v in text.split()]
                except ValueError:
                    raise ValueError(texts.FIT_MANY_NOT_NUMBER.format(
                        path=path, line=reader.line_num, name=name, value=text)) from None
            entries.append((os.path.join(folder, row["file"]), overrides))
    if not entries:
        raise ValueError(texts.FIT_MANY_EMPTY.format(path=path))
    return entries


def _is_data_file(folder: str, name: str) -> bool:
    return name.lower().endswith(DATA_SUFFIXES) and os.path.isfile(os.path.join(folder, name))


def skipped_entries(path: str) -> List[str]:
    """The entries of a folder that are not data files, in name order
    (folders marked with a trailing '/'); none for a manifest."""
    if not os.path.isdir(path):
        return []
    return [n + "/" if os.path.isdir(os.path.join(path, n)) else n
            for n in sorted(os.listdir(path)) if not _is_data_file(path, n)]


def read_sources(path: str) -> List[Tuple[str, Dict[str, List[float]]]]:
    """The data files to fit, each with its overrides: the rows of a
    manifest, or every data file of a folder (no overrides)."""
    if os.path.isdir(path):
        names = sorted(n for n in os.listdir(path) if _is_data_file(path, n))
        if not names:
            raise ValueError(texts.FIT_MANY_NO_DATA_FILES.format(path=path))
        return [(os.path.join(path, n), {}) for n in names]
    if os.path.isfile(path):
        return _manifest(path)
    raise ValueError(texts.FIT_MANY_NO_SOURCE.format(path=path))


def _jobs(sources, args, given) -> Tuple[List[Any], Dict[int, str]]:
    """Jobs of the files that could be read; the reasons for the others."""
    jobs, unreadable = [], {}
    for index, (path, overrides) in enumerate(sources):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                jobs.append(fit_inputs(path, free_names_given(args), args.energy, given.settings,
                                       given.values, overrides,
                                       uncertainty_items(args.uncertainties)))
            except (ValueError, OSError) as exc:
                unreadable[index] = str(exc)
                jobs.append(None)
            except Exception as exc:  # never the batch's end: this file's failure
                unreadable[index] = f"{type(exc).__name__}: {exc}"
                jobs.append(None)
        for item in caught:  # the file's own warnings, named after it
            warnings.warn(texts.FIT_MANY_FILE_WARNING.format(file=path, message=item.message),
                          item.category)
    return jobs, unreadable


# ---------------------------------------------------------------- rows
def result_rows(paths: Sequence[str], outcomes: Sequence[Any],
                free: Sequence[str]) -> List[Dict[str, Any]]:
    """One row per data file: its status, fit statistics, the free
    parameters with standard errors, and the reason of a failure."""
    return [_row(path, outcome, free) for path, outcome in zip(paths, outcomes)]


def _row(path: str, outcome: Any, free: Sequence[str]) -> Dict[str, Any]:
    """The row of one file; a result that cannot be read into a row makes
    a failed row, never the batch's end."""
    row: Dict[str, Any] = {"file": path}
    if isinstance(outcome, str):
        row.update(status=STATUS_FAILED, message=outcome)
    elif isinstance(outcome, FitFailure):
        row.update(status=STATUS_FAILED, message=f"{outcome.error_type}: {outcome.message}")
    else:
        try:
            filled = dict(status=STATUS_NOT_CONVERGED if outcome.success is False else STATUS_OK,
                          chisqr=outcome.chisqr, redchi=outcome.redchi, ndata=outcome.ndata,
                          nfev=outcome.nfev, message=outcome.message,
                          warnings="; ".join(outcome.warnings))
            for name in free:
                filled[name] = outcome.params[name].value
                filled[f"{name}_stderr"] = outcome.params[name].stderr
        except Exception as exc:
            filled = dict(status=STATUS_FAILED, message=texts.FIT_MANY_BAD_RESULT.format(
                kind=type(exc).__name__, reason=exc))
        row.update(filled)
    return row


def _write_rows(rows: List[Dict[str, Any]], free: Sequence[str], stream: TextIO) -> None:
    columns = list(COLUMNS_BEFORE)
    for name in free:
        columns += [name, f"{name}_stderr"]
    columns += list(COLUMNS_AFTER)
    writer = csv.DictWriter(stream, fieldnames=columns, restval="", lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)


# ---------------------------------------------------------------- command
def _run_fit_many(args: argparse.Namespace) -> int:
    given = assignments(args.assignments)
    check_output_path(args.out, "--out")
    sources = read_sources(args.source)
    jobs, unreadable = _jobs(sources, args, given)
    runnable = [job for job in jobs if job is not None]
    fitted = iter(fit_many(runnable, client=args.scheduler, workers=args.workers,
                           progress=True if args.progress else None, is_sa=args.sa,
                           n_starts=args.starts, method=args.method, model=args.model,
                           tolerance=args.tolerance, fix_focus=args.fix_focus,
                           **given.options))
    outcomes = [unreadable[i] if job is None else next(fitted) for i, job in enumerate(jobs)]
    free = sorted(set(args.free), key=ALL_NAMES.index)
    rows = result_rows([path for path, _ in sources], outcomes, free)
    if args.out:
        with atomic_output(args.out, newline="") as stream:
            _write_rows(rows, free, stream)
        sys.stdout.write(texts.FIT_MANY_WRITTEN.format(total=len(rows), path=args.out) + "\n")
    else:
        _write_rows(rows, free, sys.stdout)
    counts = {status: sum(row["status"] == status for row in rows)
              for status in (STATUS_OK, STATUS_NOT_CONVERGED, STATUS_FAILED)}
    sys.stderr.write(texts.FIT_MANY_SUMMARY.format(total=len(rows), ok=counts[STATUS_OK],
                                    not_converged=counts[STATUS_NOT_CONVERGED],
                                    failed=counts[STATUS_FAILED]) + "\n")
    skipped = skipped_entries(args.source)
    if skipped:
        sys.stderr.write(texts.FIT_MANY_SKIPPED.format(count=len(skipped),
                                                       names=", ".join(skipped)) + "\n")
    return 0


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number (got {text!r})")
    return value


def add_fit_many_parser(commands: Any) -> argparse.ArgumentParser:
    """Adds ``fit-many`` to the subcommands."""
    parser = commands.add_parser(
        "fit-many", help="fit every data file of a manifest or a folder, one CSV row per file",
        description=(
            "Fit every data file listed in a manifest or found in a folder, each on its own, "
            "on local threads or on the workers of a Dask cluster, and write one CSV row per "
            "file: file, status (ok, not converged, failed), chisqr, redchi, ndata, nfev, "
            "each free parameter and its standard error, the minimiser's message or the "
            "reason of a failure, and the fit's warnings. A manifest is a CSV file with a "
            "column 'file' (paths relative to the manifest); further columns named like a "
            "setting, a parameter or pulse_energy override the file's value for that row. "
            "A folder means its .csv, .tsv, .txt and .dat files in name order; the summary "
            "names the entries it skipped."),
        epilog=("Exit status: 0 when the batch ran (failed files are rows with status "
                "'failed'), 2 for bad input, 3 with --strict when anything warned, 130 when "
                "interrupted. Example: python -m "
                "zscanfit fit-many scans/ --free sigma_0 sigma_1 --out results.csv; on a "
                "cluster: --scheduler tcp://HOST:8786 (needs pip install kesp_wrapper[dask])."))
    parser.add_argument("source", metavar="MANIFEST_OR_FOLDER",
                        help="a manifest CSV file or a folder of data files")
    add_fit_options(parser)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", action=Once,
                       help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786; "
                            "the fits run on its workers")
    where.add_argument("--workers", type=_positive_int, metavar="N", action=Once,
                       help="local threads (default: the CPUs this process may use)")
    parser.add_argument("--out", metavar="PATH", action=Once,
                        help="write the rows to this CSV file (default: standard output)")
    parser.add_argument("--progress", action=OnceTrue,
                        help="show a progress bar even when standard error is not a terminal")
    parser.set_defaults(run=_run_fit_many, warnings_where=texts.CLI_WARNINGS_IN_ROWS)
    return parser
