"""Ctrl-C on the command line, noticed wherever it lands.

Python raises KeyboardInterrupt where the signal happens to land, and during
the start some of it lands in third-party imports that turn it into another
error or swallow it (a bare ``except:`` around an optional import), after
which a long fit would run on as if nothing had been pressed. The guard
records every Ctrl-C in an event as well as raising KeyboardInterrupt, and
hands that event to the fits it runs as their stop event, so a swallowed
Ctrl-C still ends the next fit within one model evaluation; any failure
after a Ctrl-C counts as the interruption. Relies on the standard library
and zscanfit._stop.
"""
import signal
import threading
from typing import Any, Optional

from .. import _stop

__all__ = ["InterruptGuard", "caused_by_interrupt"]


def caused_by_interrupt(exc: BaseException) -> bool:
    """Whether ``exc`` is, or was raised while handling, a Ctrl-C (an
    extension module interrupted in its initialisation raises ImportError
    chained to the KeyboardInterrupt)."""
    seen = set()
    link: Optional[BaseException] = exc
    while link is not None and id(link) not in seen:
        if isinstance(link, (KeyboardInterrupt, _stop.FitStopped)):
            return True
        seen.add(id(link))
        link = link.__cause__ or link.__context__
    return False


class InterruptGuard:
    """Context manager: inside it Ctrl-C raises KeyboardInterrupt as usual,
    sets ``pressed``, and stops the fits run on this thread. Off the main
    thread (where Python runs no signal handlers) it only adds the event."""

    def __init__(self) -> None:
        self.pressed = threading.Event()
        self._previous: Any = None
        self._installed = False
        self._events = _stop.stop_events(_stop.current_events() + (self.pressed,))

    def _handler(self, signum: int, frame: Any) -> None:
        self.pressed.set()
        raise KeyboardInterrupt

    def __enter__(self) -> "InterruptGuard":
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._handler)
            self._installed = True
        self._events.__enter__()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._events.__exit__(*exc_info)
        if self._installed:
            signal.signal(signal.SIGINT, self._previous)

    def explains(self, exc: BaseException) -> bool:
        """Whether ``exc`` is best reported as the interruption."""
        return self.pressed.is_set() or caused_by_interrupt(exc)
