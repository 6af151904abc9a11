"""Collecting the ODE integrator's messages during a zscanfit call.

The integrator reports to the process's standard output (file descriptor
1), thousands of lines in an ordinary fit. Inside collect_messages the
compiled entry's MessageCapture gathers them instead (also those of the
model's worker threads and of fit_zscan run on this thread): counted by
kind, the first few kept verbatim. At the end they become one
IntegratorWarning, or with verbose=True are printed through sys.stdout.
Relies on the compiled entry's MessageCapture (_native.py) and texts.py.
"""
import contextlib
import dataclasses
import sys
import warnings
from typing import Dict, Iterator, Optional, Tuple

from .. import texts
from .._native import message_capture
from ..warning_types import IntegratorWarning

__all__ = ["MessageSummary", "collect_messages"]

KEEP = 5             # verbatim messages kept for the warning
KEEP_VERBOSE = 200   # ... and for verbose printing


@dataclasses.dataclass(frozen=True)
class MessageSummary:
    """Integrator messages of one call: how many, by kind, the first few."""

    total: int = 0
    counts: Tuple[Tuple[str, int], ...] = ()
    first: Tuple[str, ...] = ()

    def counts_dict(self) -> Dict[str, int]:
        return dict(self.counts)

    def counts_text(self) -> str:
        """The counts by kind, e.g. "47 x 'DLSODA-  At current T ...'"."""
        return ", ".join(f"{count} x '{' '.join(kind.split())}'" for kind, count in self.counts)

    def text(self, what: str) -> str:
        """One line: the count by kind and the first message."""
        counts = self.counts_text()
        first = " ".join(self.first[0].split()) if self.first else "(not kept)"
        return texts.MESSAGES_SUMMARY.format(
            total=self.total, s="" if self.total == 1 else "s", what=what,
            counts=counts, first=first)

    def __bool__(self) -> bool:
        return self.total > 0


class _Collected:
    summary: MessageSummary = MessageSummary()


def _summary_of(capture) -> MessageSummary:
    counts = tuple(sorted((str(k), int(v)) for k, v in dict(capture.counts).items()))
    return MessageSummary(total=int(capture.total), counts=counts,
                          first=tuple(str(t) for t in capture.first))


def report(summary: MessageSummary, what: str, verbose: bool,
           stacklevel: int = 3) -> None:
    """Print (verbose) or warn once about the collected messages."""
    if not summary:
        return
    if verbose:
        for line in summary.first:
            sys.stdout.write(line if line.endswith("\n") else line + "\n")
        more = summary.total - len(summary.first)
        if more > 0:
            sys.stdout.write(texts.MESSAGES_MORE.format(
                more=more, s="" if more == 1 else "s") + "\n")
        sys.stdout.flush()
    else:
        warnings.warn(summary.text(what), IntegratorWarning, stacklevel=stacklevel)


@contextlib.contextmanager
def collect_messages(what: str, verbose: bool = False, announce: bool = True,
                     stacklevel: int = 5) -> Iterator[_Collected]:
    """Collect the integrator's messages of the enclosed code.

    Yields an object whose ``summary`` holds the MessageSummary once the
    block has ended; with ``announce`` the summary is also warned about
    (or printed with ``verbose``), also when the block raises;
    ``stacklevel`` 5 points the warning at the caller of the function whose
    ``with`` statement this is.
    """
    collected = _Collected()
    keep: Optional[int] = KEEP_VERBOSE if verbose else KEEP
    capture = message_capture(keep)
    try:
        with capture:
            yield collected
    finally:
        collected.summary = _summary_of(capture)
        if announce:
            report(collected.summary, what, verbose, stacklevel=stacklevel)
