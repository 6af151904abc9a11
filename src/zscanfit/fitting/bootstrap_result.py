"""The refits of a residual bootstrap, as a fit result carries them: the
percentile intervals of the free parameters, the report's section and the
JSON form both ways. The bootstrap itself (the resampled data sets and the
intervals' computation) is many/bootstrap.py. Relies on NumPy and
_json.py.
"""
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Tuple

import numpy as np

from .._json import number
from ..warning_types import WarningRecord

__all__ = ["LEVELS", "BootstrapResult"]

# Two-sided coverage of the intervals: about one and two standard errors of
# a normal distribution.
LEVELS = (0.68, 0.95)


@dataclass
class BootstrapResult:
    """The refits of B resampled data sets.

    Attributes
    ----------
    n_samples : int
        Resampled data sets (B).
    n_failed : int
        Refits that raised, did not converge or gave non-finite values;
        they are left out of the intervals.
    seed : int
        The seed the data sets were drawn from: ``fit(..., seed=seed)``
        draws them again (given, or the entropy NumPy chose).
    free : tuple of str
        The free parameters, in the order of the fit.
    samples : dict of str -> ndarray
        The refitted values of each free parameter, one per kept refit.
    intervals : dict of str -> dict of float -> (float, float)
        Percentile interval of each free parameter at each level of
        ``LEVELS``: ``intervals["sigma_0"][0.68]`` is (lower, upper); NaN
        when fewer than two refits succeeded.
    failures : list of str
        Why each left-out refit was left out.
    warning_records : tuple of WarningRecord
        What the bootstrap warned about (refits left out, too few of them).
    """

    n_samples: int
    n_failed: int
    seed: int
    free: Tuple[str, ...]
    samples: Dict[str, np.ndarray]
    intervals: Dict[str, Dict[float, Tuple[float, float]]]
    failures: List[str] = field(default_factory=list)
    warning_records: Tuple[WarningRecord, ...] = ()

    def report_lines(self, values: Dict[str, float], stderr: Dict[str, float]) -> List[str]:
        """The report's bootstrap section: each free parameter's value and
        standard error beside its percentile intervals."""
        heads = "".join(f"{f'{level:.0%} interval':>30}" for level in LEVELS)
        lines = [f"[[Bootstrap]] residual resampling, {self.n_samples - self.n_failed} of "
                 f"{self.n_samples} refits kept, seed {self.seed}",
                 f"    {'':<9}{'value':>13}{'stderr':>11}{heads}"]
        for name in self.free:
            cells = "".join(f"{f'[{lo:.5g}, {hi:.5g}]':>30}"
                            for lo, hi in (self.intervals[name][level] for level in LEVELS))
            lines.append(f"    {name:<9}{values[name]:>13.5g}{stderr[name]:>11.3g}{cells}")
        return lines

    def to_dict(self) -> Dict[str, Any]:
        """JSON-ready plain data (NaN as None); the samples are not kept."""
        return {
            "n_samples": self.n_samples, "n_failed": self.n_failed, "seed": self.seed,
            "free": list(self.free),
            "intervals": {name: {f"{level:g}": [number(lo), number(hi)]
                                 for level, (lo, hi) in by_level.items()}
                          for name, by_level in self.intervals.items()},
            "failures": list(self.failures),
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> "BootstrapResult":
        """A result as to_dict gave it (without the samples)."""
        def value(v: Any) -> float:
            return math.nan if v is None else float(v)

        intervals = {name: {float(level): (value(pair[0]), value(pair[1]))
                            for level, pair in by_level.items()}
                     for name, by_level in data["intervals"].items()}
        free = tuple(data.get("free", intervals.keys()))
        return cls(n_samples=int(data["n_samples"]), n_failed=int(data["n_failed"]),
                   seed=int(data["seed"]), free=free,
                   samples={name: np.zeros(0) for name in free}, intervals=intervals,
                   failures=list(data.get("failures", [])))
