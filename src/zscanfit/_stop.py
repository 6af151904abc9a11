"""Cooperative stop of fits that run on the worker threads of a batch.

Python delivers Ctrl-C to the main thread only, so a fit on another thread
cannot be interrupted by a signal. A batch therefore gives each of its worker
threads its stop event, together with the events of the batches it runs
inside (a bootstrap in a job of a batch is a batch in a batch); the fit's
residual function calls ``raise_if_stopped`` before every model evaluation,
which ends the fit within one evaluation once any of them is set. Outside a
batch the check costs one thread-local lookup and never raises. Relies on
texts.py and the standard library.
"""
import threading
from typing import Tuple

from . import texts

__all__ = ["FitStopped", "raise_if_stopped", "stop_events", "current_events"]


class FitStopped(BaseException):
    """A fit on a batch worker thread was abandoned because the batch stopped.

    Like KeyboardInterrupt it is not an Exception, so handlers of a fit's
    own failures (``except Exception``) let it through.
    """


class _ThreadStop(threading.local):
    """The stop events of the batches whose job runs on this thread,
    outermost first."""

    events: Tuple[threading.Event, ...] = ()


_thread_stop = _ThreadStop()


def current_events() -> Tuple[threading.Event, ...]:
    """The stop events this thread answers to (empty outside a batch)."""
    return _thread_stop.events


class stop_events:
    """Context manager: the fits run on this thread inside it stop when any
    of ``events`` is set."""

    def __init__(self, events: Tuple[threading.Event, ...]) -> None:
        self._events = tuple(events)
        self._previous: Tuple[threading.Event, ...] = ()

    def __enter__(self) -> None:
        self._previous = _thread_stop.events
        _thread_stop.events = self._events

    def __exit__(self, *exc_info: object) -> None:
        _thread_stop.events = self._previous


def raise_if_stopped() -> None:
    """Raise ``FitStopped`` if a batch this thread works for was stopped."""
    for event in _thread_stop.events:
        if event.is_set():
            raise FitStopped(texts.BATCH_STOPPED)
