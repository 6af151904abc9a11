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
from typing import Dict, Iterator, List, Optional, Tuple

from .. import texts
from .._native import message_capture
from ..warning_types import IntegratorWarning

__all__ = ["MessageSummary", "collect_messages"]

KEEP = 5             # verbatim messages kept for the warning
KEEP_VERBOSE = 200   # ... and for verbose printing

# What a message means, by a phrase of its first line (its kind), and
# whether the model values of the integration it comes from may be
# affected. The lines that continue a message (kinds starting with
# blanks) are counted with its first.
_MEANINGS = (
    ("MXSTEP", texts.MEANING_STEP_LIMIT, True),
    ("too much accuracy", texts.MEANING_ACCURACY, True),
    ("the error", texts.MEANING_ERROR_TEST, True),
    ("H (=R2), the", texts.MEANING_CONVERGENCE, True),
    ("EWT", texts.MEANING_WEIGHT, True),
    ("T + H = T", texts.MEANING_TINY_STEP, False),
    ("Internal T", texts.MEANING_TINY_STEP, False),
    ("Above warning", None, False),
    ("A switch to", None, False),
)


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

    def meanings(self) -> List[Tuple[int, str, bool]]:
        """(how often, what happened in words, whether model values may be
        affected) of every kind of message, in the order of the counts;
        the lines that continue a message are not counted again."""
        found: List[Tuple[int, str, bool]] = []
        for kind, count in self.counts:
            if kind.startswith(" ") or not kind.strip():
                continue
            for phrase, meaning, affects in _MEANINGS:
                if phrase in kind:
                    break
            else:
                meaning, affects = texts.MEANING_OTHER.format(kind=" ".join(kind.split())), True
            if meaning is not None:
                found.append((count, meaning, affects))
        return found

    @property
    def affects_results(self) -> bool:
        """Whether any message says that model values may be affected."""
        return any(affects for _, _, affects in self.meanings())

    def words(self) -> str:
        """The messages in words: what happened how often, and whether it
        touched the results."""
        parts = [texts.MEANING_COUNT.format(count=count, meaning=meaning)
                 for count, meaning, _ in self.meanings()]
        verdict = texts.MESSAGES_AFFECT if self.affects_results else texts.MESSAGES_HARMLESS
        return "; ".join(parts) + ". " + verdict if parts else verdict

    def text(self, what: str) -> str:
        """One line: the messages in words and the first message."""
        first = " ".join(self.first[0].split()) if self.first else "(not kept)"
        return texts.MESSAGES_SUMMARY.format(
            total=self.total, s="" if self.total == 1 else "s", what=what,
            words=self.words(), first=first)

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
