"""The ``fit-many`` command: every data file of a manifest or a folder
fitted through ``fit_many``, one CSV row per file.

A manifest is a CSV file with a header; its column ``file`` names the data
files (relative to the manifest's folder) and further columns named like a
setting, a parameter or ``pulse_energy`` override the file's values for
that row (an empty field overrides nothing; values with or without the
setting's unit). A folder means every ``.csv``, ``.tsv``, ``.txt`` and
``.dat`` file in it, in name order; the summary names the entries it
skipped, and the files of the folder without a line of numbers (notes,
logs), which are not data and get no row. A file that cannot be read or
fitted gets a row with status ``failed`` and the reason; the others go on.
Every warning names its file, on standard error and in the rows' warnings
column (a fit's warnings come back with its result: on worker threads or a
cluster they could not be told apart). --json-dir and --plot-dir write
each file's JSON and figure (batch_outputs.py). Relies on argparse, csv,
the shared options, fit_inputs.py, batch_outputs.py and the package's
fit_many.
"""
import argparse
import csv
import dataclasses
import os
import sys
import warnings
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from .. import texts
from ..api import fit_many
from ..inputs import units
from ..inputs.experiment import EXPERIMENT_SETTINGS
from ..inputs.loading import NoData
from ..inputs.parameters import ALL_NAMES, PARAMETER_NAMES
from .._files import atomic_output
from ..many.executor import FitFailure, FitJob
from ..warning_types import CATEGORIES, ZScanWarning
from .batch_outputs import output_names, write_outputs
from .fit_inputs import fit_inputs
from .options import (Once, OnceTrue, UsageError, add_fit_options, assignments,
                      check_output_folder, check_output_path, free_names_given,
                      uncertainty_items)

__all__ = ["add_fit_many_parser", "read_sources", "skipped_entries", "result_rows",
           "file_warnings", "named_after", "Source", "COLUMNS_BEFORE", "COLUMNS_AFTER"]

DATA_SUFFIXES = (".csv", ".tsv", ".txt", ".dat")
COLUMNS_BEFORE = ("file", "status", "chisqr", "redchi", "ndata", "nfev")
COLUMNS_AFTER = ("message", "warnings")
STATUS_OK, STATUS_NOT_CONVERGED, STATUS_FAILED = "ok", "not converged", "failed"


# ---------------------------------------------------------------- sources
@dataclasses.dataclass(frozen=True)
class Source:
    """One data file to fit: its path, a manifest row's overrides and where
    that row is written (for messages), and whether it was found in a
    folder (a file there without data is skipped, not failed)."""

    path: str
    overrides: Dict[str, List[float]]
    where: str = ""
    in_folder: bool = False


def _manifest_lines(path: str) -> List[Tuple[int, str]]:
    with open(path, newline="") as stream:
        return [(number, line) for number, line in enumerate(stream, start=1)
                if line.strip() and not line.startswith("#")]


def _manifest(path: str) -> List[Source]:
    lines = _manifest_lines(path)
    reader = csv.DictReader(text for _, text in lines)
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
        line = lines[reader.line_num - 1][0]
        row = {(k or "").strip(): (v or "").strip() for k, v in row.items()}
        overrides = {}
        for name, text in row.items():
            if name == "file" or not text:
                continue
            reading = _read_value(path, line, name, text)
            overrides[name] = reading
        entries.append(Source(os.path.join(folder, row["file"]), overrides,
                              texts.MANIFEST_ROW.format(path=path, line=line)))
    if not entries:
        raise ValueError(texts.FIT_MANY_EMPTY.format(path=path))
    return entries


def _read_value(path: str, line: int, name: str, text: str) -> List[float]:
    """The numbers of a manifest's field, with or without the unit of its
    column's setting."""
    where = texts.MANIFEST_COLUMN.format(where=texts.MANIFEST_ROW.format(path=path, line=line),
                                         name=name)
    try:
        reading = units.read(name, text)
    except units.UnitError as exc:
        raise ValueError(texts.GIVEN_AS.format(source=where, message=exc)) from None
    if reading is None:
        raise ValueError(texts.FIT_MANY_NOT_NUMBER.format(path=path, line=line, name=name,
                                                          value=text))
    return reading.values


def _is_data_file(folder: str, name: str) -> bool:
    return name.lower().endswith(DATA_SUFFIXES) and os.path.isfile(os.path.join(folder, name))


def skipped_entries(path: str) -> List[str]:
    """The entries of a folder that are not data files, in name order
    (folders marked with a trailing '/'); none for a manifest."""
    if not os.path.isdir(path):
        return []
    return [n + "/" if os.path.isdir(os.path.join(path, n)) else n
            for n in sorted(os.listdir(path)) if not _is_data_file(path, n)]


def read_sources(path: str) -> List[Source]:
    """The data files to fit: the rows of a manifest, or every data file
    of a folder."""
    if os.path.isdir(path):
        names = sorted(n for n in os.listdir(path) if _is_data_file(path, n))
        if not names:
            raise ValueError(texts.FIT_MANY_NO_DATA_FILES.format(path=path))
        return [Source(os.path.join(path, n), {}, in_folder=True) for n in names]
    if os.path.isfile(path):
        return _manifest(path)
    raise ValueError(texts.FIT_MANY_NO_SOURCE.format(path=path))


@dataclasses.dataclass
class Prepared:
    """The jobs of the files that could be read (None elsewhere), the
    reasons for the others, the files of the folder without data, and each
    file's warnings from reading it (named after it)."""

    jobs: List[Optional[FitJob]]
    unreadable: Dict[int, str]
    without_data: List[int]
    warnings: Dict[int, List[str]]


def _jobs(sources: Sequence[Source], args: argparse.Namespace, given: Any,
          uncertainties: Any) -> Prepared:
    """Jobs of the files that could be read; the reasons for the others."""
    prepared = Prepared([], {}, [], {})
    for index, source in enumerate(sources):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                prepared.jobs.append(fit_inputs(
                    source.path, free_names_given(args), args.energy, given, source.overrides,
                    uncertainties, overrides_source=source.where, aperture=args.aperture,
                    divided=args.divided))
            except NoData as exc:
                prepared.jobs.append(None)
                if source.in_folder:
                    prepared.without_data.append(index)
                else:
                    prepared.unreadable[index] = str(exc)
            except (ValueError, OSError) as exc:
                prepared.unreadable[index] = str(exc)
                prepared.jobs.append(None)
            except Exception as exc:  # never the batch's end: this file's failure
                prepared.unreadable[index] = f"{type(exc).__name__}: {exc}"
                prepared.jobs.append(None)
        found = prepared.warnings.setdefault(index, [])
        for item in caught:  # the file's own warnings, named after it
            found.append(str(item.message))
            warnings.warn(named_after(source.path, str(item.message)), item.category)
    return prepared


# ---------------------------------------------------------------- rows
def named_after(path: str, message: str) -> str:
    """A warning of the file ``path`` named after it (the reader's own
    warnings are already)."""
    if message.startswith(path):
        return message
    return texts.FIT_MANY_FILE_WARNING.format(file=path, message=message)


def file_warnings(path: str, outcome: Any, read: Sequence[str] = ()) -> List[str]:
    """The warnings of one file, each named after it: those of reading it,
    then those its fit recorded (a result's ``warning_records``) that were
    not among them."""
    seen = list(dict.fromkeys(read))
    if not isinstance(outcome, (str, FitFailure)):
        records = getattr(outcome, "warning_records", ())
        seen += [r.message for r in records if r.message not in seen]
    return [named_after(path, message) for message in seen]


def result_rows(paths: Sequence[str], outcomes: Sequence[Any], free: Sequence[str],
                read_warnings: Optional[Sequence[Sequence[str]]] = None
                ) -> List[Dict[str, Any]]:
    """One row per data file: its status, fit statistics, the free
    parameters with standard errors, the reason of a failure, and its
    warnings (``read_warnings``: those of reading each file)."""
    read_warnings = read_warnings or [()] * len(paths)
    return [_row(path, outcome, free, read)
            for path, outcome, read in zip(paths, outcomes, read_warnings)]


def _row(path: str, outcome: Any, free: Sequence[str], read: Sequence[str]) -> Dict[str, Any]:
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
                          nfev=outcome.nfev, message=outcome.message)
            for name in free:
                filled[name] = outcome.params[name].value
                filled[f"{name}_stderr"] = outcome.params[name].stderr
        except Exception as exc:
            filled = dict(status=STATUS_FAILED, message=texts.FIT_MANY_BAD_RESULT.format(
                kind=type(exc).__name__, reason=exc))
        row.update(filled)
    row["warnings"] = "; ".join(file_warnings(path, outcome, read))
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
    uncertainties = uncertainty_items(args.uncertainties)
    check_output_path(args.out, "--out")
    check_output_folder(args.json_dir, "--json-dir")
    check_output_folder(args.plot_dir, "--plot-dir")
    if args.plot_format is not None and not args.plot_dir:
        raise UsageError(texts.CLI_PLOT_FORMAT_ALONE)
    args.plot_format = (args.plot_format or "png").lower()
    if args.plot_dir:
        check_output_path(os.path.join(args.plot_dir, "figure." + args.plot_format),
                          "--plot-format", figure=True)
    sources = read_sources(args.source)
    names = output_names([source.path for source in sources], args)
    prepared = _jobs(sources, args, given, uncertainties)
    runnable = [job for job in prepared.jobs if job is not None]
    with warnings.catch_warnings():
        # Each fit's warnings come back with its result and are shown below,
        # named after its file; on worker threads they could not be told apart.
        warnings.simplefilter("ignore", ZScanWarning)
        fitted = iter(fit_many(runnable, client=args.scheduler, workers=args.workers,
                               progress=True if args.progress else None, is_sa=args.sa,
                               n_starts=args.starts, method=args.method, model=args.model,
                               tolerance=args.tolerance, fix_focus=args.fix_focus,
                               **given.options))
        outcomes = [prepared.unreadable.get(i) if job is None else next(fitted)
                    for i, job in enumerate(prepared.jobs)]
    kept = [i for i in range(len(sources)) if i not in prepared.without_data]
    for index in kept:
        read = prepared.warnings.get(index, [])
        for record in getattr(outcomes[index], "warning_records", ()):
            if record.message not in read:
                warnings.warn(named_after(sources[index].path, record.message),
                              CATEGORIES.get(record.category, ZScanWarning))
    free = sorted(set(args.free), key=ALL_NAMES.index)
    rows = result_rows([sources[i].path for i in kept], [outcomes[i] for i in kept], free,
                       [prepared.warnings.get(i, []) for i in kept])
    if args.out:
        with atomic_output(args.out, newline="") as stream:
            _write_rows(rows, free, stream)
        sys.stdout.write(texts.FIT_MANY_WRITTEN.format(total=len(rows), path=args.out) + "\n")
    else:
        _write_rows(rows, free, sys.stdout)
    write_outputs([(sources[i].path, names[i], outcomes[i]) for i in kept], args)
    counts = {status: sum(row["status"] == status for row in rows)
              for status in (STATUS_OK, STATUS_NOT_CONVERGED, STATUS_FAILED)}
    sys.stderr.write(texts.FIT_MANY_SUMMARY.format(total=len(rows), ok=counts[STATUS_OK],
                                    not_converged=counts[STATUS_NOT_CONVERGED],
                                    failed=counts[STATUS_FAILED]) + "\n")
    skipped = skipped_entries(args.source)
    if skipped:
        sys.stderr.write(texts.FIT_MANY_SKIPPED.format(count=len(skipped),
                                                       names=", ".join(skipped)) + "\n")
    if prepared.without_data:
        shown = [os.path.basename(sources[i].path) for i in prepared.without_data]
        sys.stderr.write(texts.FIT_MANY_NOT_DATA.format(
            count=len(shown), s="" if len(shown) == 1 else "s", names=", ".join(shown)) + "\n")
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
            "names the entries it skipped and the files without data. Every warning names its "
            "file. --json-dir and --plot-dir keep each file's results and figure."),
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
    parser.add_argument("--json-dir", metavar="DIR", action=Once,
                        help="write each fitted file's results as JSON into this folder, "
                             "named after the file (a.csv: DIR/a.json)")
    parser.add_argument("--plot-dir", metavar="DIR", action=Once,
                        help="write each fitted file's figure into this folder, named after "
                             "the file (a.csv: DIR/a.png)")
    parser.add_argument("--plot-format", metavar="FORMAT", action=Once,
                        help="the format of --plot-dir's figures: png (default), pdf, svg, ...")
    parser.add_argument("--progress", action=OnceTrue,
                        help="show a progress bar even when standard error is not a terminal")
    parser.set_defaults(run=_run_fit_many, warnings_where=texts.CLI_WARNINGS_IN_ROWS)
    return parser
