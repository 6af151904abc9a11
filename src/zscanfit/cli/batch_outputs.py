"""Each file's results of ``fit-many``: its JSON and its figure, written
into the folders given by --json-dir and --plot-dir under the data file's
name (a.csv gives a.json and a.png; files whose names differ only in their
suffix keep it, a_csv.json and a_tsv.json; two files that would still
share a name are refused before any fit). Each is written whole or not at
all (FitResult.to_json and plot write through a temporary file). A file
whose fit failed has neither; a write that fails is a warning naming the
file, and the others go on. Relies on texts.py, the options' UsageError
and the results' own writers.
"""
import argparse
import collections
import os
import sys
import warnings
from typing import Any, List, Sequence, Tuple

from .. import texts
from ..warning_types import ZScanWarning
from .options import UsageError

__all__ = ["output_names", "write_outputs"]


def output_names(paths: Sequence[str], args: argparse.Namespace) -> List[str]:
    """The name, without a suffix, of each data file's outputs; UsageError
    when two files would write to the same one."""
    if not (args.json_dir or args.plot_dir):
        return [""] * len(paths)
    stems = [os.path.splitext(os.path.basename(path))[0] for path in paths]
    shared = collections.Counter(stems)
    names = [stem if shared[stem] == 1 else os.path.basename(path).replace(".", "_")
             for stem, path in zip(stems, paths)]
    option, folder = ("--json-dir", args.json_dir) if args.json_dir else ("--plot-dir",
                                                                         args.plot_dir)
    first = {}
    for path, name in zip(paths, names):
        if name in first:
            raise UsageError(texts.FIT_MANY_SAME_OUTPUT.format(
                option=option, folder=folder, first=first[name], second=path,
                name=name + (".json" if args.json_dir else f".{args.plot_format}")))
        first[name] = path
    return names


def _write(result: Any, what: str, path: str, source: str) -> bool:
    """One output of one file; False (and a warning) when it fails."""
    try:
        if what == texts.FIT_MANY_JSON:
            result.to_json(path)
        else:
            result.plot(path)
    except Exception as exc:  # this file's output only: the others go on
        warnings.warn(texts.FIT_MANY_OUTPUT_FAILED.format(
            file=source, what=what, path=path, reason=f"{type(exc).__name__}: {exc}"),
            ZScanWarning)
        return False
    return True


def write_outputs(items: Sequence[Tuple[str, str, Any]], args: argparse.Namespace) -> None:
    """The JSON and figure of every fitted file of ``items`` (data file,
    output name, outcome: a result, or a failure's reason or record), and
    one line on standard error per folder written to."""
    fitted = [(path, name, outcome) for path, name, outcome in items
              if hasattr(outcome, "to_json")]
    for folder, what, suffix in ((args.json_dir, texts.FIT_MANY_JSON, "json"),
                                 (args.plot_dir, texts.FIT_MANY_FIGURES, args.plot_format)):
        if not folder:
            continue
        count = 0
        for path, name, result in fitted:
            if result.source is None:
                result.source = path
            count += _write(result, what, os.path.join(folder, f"{name}.{suffix}"), path)
        sys.stderr.write(texts.FIT_MANY_OUTPUTS_WRITTEN.format(
            what=what, count=count, s="" if count == 1 else "s", folder=folder) + "\n")
