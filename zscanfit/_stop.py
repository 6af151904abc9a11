"""Cooperative stop of fits that run on the worker threads of a batch.

Python delivers Ctrl-C to the main thread only, so a fit on another thread
cannot be interrupted by a signal. A batch therefore gives each of its worker
threads a stop event; the fit's residual function calls ``raise_if_stopped``
before every model evaluation, which ends the fit within one evaluation once
the batch has been told to stop. Outside a batch the check costs one
thread-local lookup and never raises. Relies on nothing but the standard
library.
"""
import threading
from typing import Optional

__all__ = ["FitStopped", "raise_if_stopped", "stop_event"]


class FitStopped(BaseException):
    """A fit on a batch worker thread was abandoned because the batch stopped.

    Like KeyboardInterrupt it is not an Exception, so handlers of a fit's
    own failures (``except Exception``) let it through.
    """


class _ThreadStop(threading.local):
    """The stop event of the batch whose job runs on this thread, if any."""

    event: Optional[threading.Event] = None


_thread_stop = _ThreadStop()


class stop_event:
    """Context manager: the fits run on this thread inside it stop when
    ``event`` is set."""

    def __init__(self, event: threading.Event) -> None:
        self._event = event
        self._previous: Optional[threading.Event] = None

    def __enter__(self) -> threading.Event:
        self._previous = _thread_stop.event
        _thread_stop.event = self._event
        return self._event

    def __exit__(self, *exc_info: object) -> None:
        _thread_stop.event = self._previous


def raise_if_stopped() -> None:
    """Raise ``FitStopped`` if the batch this thread works for was stopped."""
    event = _thread_stop.event
    if event is not None and event.is_set():
        raise FitStopped("the batch of fits was stopped")
