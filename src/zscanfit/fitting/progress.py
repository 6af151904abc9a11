"""A progress bar for a fit that takes a while: tqdm on standard error,
shown only on a terminal and only once the fit has run for DELAY seconds,
counting model evaluations per start. Fits inside a batch show none (the
batch has its own bar). Relies on tqdm and _stop.py.
"""
from typing import Any, Optional

from .. import _stop

__all__ = ["FitProgress"]

DELAY = 3.0  # seconds before the bar appears


class FitProgress:
    """Counts a fit's model evaluations on a bar (a context manager)."""

    def __init__(self, n_starts: int, show: Optional[bool] = None) -> None:
        self.n_starts = n_starts
        self.bar: Any = None
        if show is None and _stop.current_events():
            show = False
        if show is not False:
            from tqdm.auto import tqdm

            self.bar = tqdm(total=None, unit=" evaluations", desc="fit", delay=DELAY,
                            leave=False, disable=None if show is None else False)

    def start(self, index: int) -> None:
        """Start ``index`` (0-based) begins."""
        if self.bar is not None and self.n_starts > 1:
            self.bar.set_description(f"fit, start {index + 1} of {self.n_starts}",
                                     refresh=False)

    def evaluation(self) -> None:
        """One model evaluation of all scans was made."""
        if self.bar is not None:
            self.bar.update()

    def __enter__(self) -> "FitProgress":
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.bar is not None:
            self.bar.close()
