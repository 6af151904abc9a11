"""The coordinates in which the free parameters are fitted.

Cross-sections near 1e-17 cm^2 and lifetimes from 1e-12 to 1e-5 s cannot
share one minimiser's steps and tolerances. Every free parameter is
therefore fitted as an O(1) number relative to its scale s (the absolute
value given as its start): a parameter bounded below by 0 or more as
u = 1 + ln(v / s), so it stays positive and equal steps in u are equal
relative changes of v; any other as u = v / s. The offset 1 keeps u away
from 0, where scipy's relative steps and tolerances would shrink to
nothing. Relies on NumPy, lmfit and the parameters (inputs).
"""
import math
from typing import List, Sequence, Tuple

import lmfit
import numpy as np

from .. import texts
from ..inputs.parameters import PARAMETER_NAMES, has_positive_bound, parameter_bounds

__all__ = ["Coordinates"]


class Coordinates:
    """Maps between the free parameters' values v and fit coordinates u.

    With ``logarithmic=False`` every parameter is linear (u = v / s), for
    values that may have any sign.
    """

    def __init__(self, params: lmfit.Parameters, free: Sequence[str],
                 logarithmic: bool = True) -> None:
        self.free: Tuple[str, ...] = tuple(free)
        self.index = [PARAMETER_NAMES.index(name) for name in self.free]
        self.base = np.array([params[name].value for name in PARAMETER_NAMES], dtype=np.float64)
        self.logarithmic: List[bool] = []
        self.scale: List[float] = []
        self.bounds: List[Tuple[float, float]] = []
        for name in self.free:
            value = params[name].value
            if value == 0.0:
                raise ValueError(texts.ZERO_START.format(name=name))
            self.scale.append(abs(value))
            self.logarithmic.append(logarithmic and has_positive_bound(params, name))
            self.bounds.append(parameter_bounds(params[name]))

    def to_internal(self, values: Sequence[float]) -> np.ndarray:
        """u for the physical values v of the free parameters."""
        u = []
        for v, s, log in zip(values, self.scale, self.logarithmic):
            u.append(1.0 + math.log(v / s) if log else v / s)
        return np.array(u, dtype=np.float64)

    def to_values(self, u: Sequence[float]) -> np.ndarray:
        """Physical values v of the free parameters for coordinates u."""
        v = []
        for x, s, log in zip(u, self.scale, self.logarithmic):
            v.append(s * math.exp(x - 1.0) if log else s * x)
        return np.array(v, dtype=np.float64)

    def derivatives(self, u: Sequence[float]) -> np.ndarray:
        """dv/du of every free parameter at u."""
        values = self.to_values(u)
        return np.array([v if log else s for v, s, log in
                         zip(values, self.scale, self.logarithmic)], dtype=np.float64)

    def internal_bounds(self) -> List[Tuple[float, float]]:
        """Bounds of u from the parameters' bounds (open sides infinite)."""
        result = []
        for (low, high), s, log in zip(self.bounds, self.scale, self.logarithmic):
            if log:
                lo = 1.0 + math.log(low / s) if low > 0.0 else -np.inf
                hi = 1.0 + math.log(high / s) if math.isfinite(high) else np.inf
            else:
                lo, hi = low / s, high / s
            result.append((lo, hi))
        return result

    def spec_pars(self, values: Sequence[float]) -> np.ndarray:
        """All eight parameters with the free ones set to ``values``."""
        vector = self.base.copy()
        vector[self.index] = values
        return vector

    def lmfit_params(self, values: Sequence[float]) -> lmfit.Parameters:
        """lmfit Parameters in fit coordinates, named like the free parameters."""
        internal = lmfit.Parameters()
        for name, u, (lo, hi) in zip(self.free, self.to_internal(values), self.internal_bounds()):
            internal.add(name, value=float(np.clip(u, lo, hi)), min=lo, max=hi, vary=True)
        return internal
