"""The coordinates in which the free parameters are fitted.

Cross-sections near 1e-17 cm^2 and lifetimes from 1e-12 to 1e-5 s cannot
share one minimiser's steps and tolerances. Every free parameter is
therefore fitted as an O(1) number relative to its scale s (the absolute
value given as its start): a parameter bounded below by 0 or more (every
spectroscopic one by default, w0, M2) as u = 1 + ln(v / s), so it stays
positive and equal steps in u are equal relative changes of v; any other
as u = v / s; the focus position, which may be 0 or negative, as
u = 1 + (v - v_start) / s with s the Rayleigh range (the scale on which the
model changes with it; a global fit's foci center_mm_k likewise, each on
its file's Rayleigh range). The offset 1 keeps u away from 0, where
scipy's relative steps and tolerances would shrink to nothing. A point of
the fit is the eight spectroscopic values (for the model) and the beam's
parameters present (focus or foci, w0, M2); parameters tied to sigma_0
follow it and are no coordinates. Relies on NumPy, lmfit and the
parameters (inputs).
"""
import math
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

import lmfit
import numpy as np

from .. import texts
from ..inputs.parameters import (BEAM_NAMES, PARAMETER_NAMES, TIED_NAMES, focus_index,
                                 has_positive_bound, is_focus_name, names_of, parameter_bounds)

__all__ = ["Coordinates"]

LOG, LINEAR, SHIFT = "log", "linear", "shift"


class Coordinates:
    """Maps between the free parameters' values v and fit coordinates u.

    With ``logarithmic=False`` every parameter is linear (u = v / s), for
    values that may have any sign. ``scales`` gives the scale of a shifted
    parameter (a focus: the Rayleigh range, mm; by its name, or
    'center_mm' for all). ``search_range`` R keeps
    the fit of a parameter within [s / R, s R] of its value given (the
    focus within R Rayleigh ranges of its start), inside its bounds.
    """

    def __init__(self, params: lmfit.Parameters, free: Sequence[str],
                 logarithmic: bool = True, scales: Optional[Mapping[str, float]] = None,
                 search_range: Optional[float] = None) -> None:
        self.free: Tuple[str, ...] = tuple(free)
        self.names: Tuple[str, ...] = tuple(name for name in names_of(params)
                                            if name not in TIED_NAMES)
        self.base: Dict[str, float] = {name: float(params[name].value) for name in self.names}
        self.kinds: List[str] = []
        self.scale: List[float] = []
        self.origin: List[float] = []
        self.bounds: List[Tuple[float, float]] = []
        self.search_range = search_range
        for name in self.free:
            value = float(params[name].value)
            if is_focus_name(name):
                given = scales or {}
                kind, scale = SHIFT, float(given.get(name, given.get("center_mm", 1.0)))
            elif value == 0.0:
                raise ValueError(texts.ZERO_START.format(name=name))
            else:
                kind = LOG if logarithmic and has_positive_bound(params, name) else LINEAR
                scale = abs(value)
            self.kinds.append(kind)
            self.scale.append(scale)
            self.origin.append(value)
            self.bounds.append(parameter_bounds(params[name]))

    @property
    def logarithmic(self) -> List[bool]:
        return [kind == LOG for kind in self.kinds]

    def to_internal(self, values: Sequence[float]) -> np.ndarray:
        """u for the physical values v of the free parameters."""
        u = []
        for v, s, o, kind in zip(values, self.scale, self.origin, self.kinds):
            u.append(1.0 + math.log(v / s) if kind == LOG else
                     1.0 + (v - o) / s if kind == SHIFT else v / s)
        return np.array(u, dtype=np.float64)

    def to_values(self, u: Sequence[float]) -> np.ndarray:
        """Physical values v of the free parameters for coordinates u."""
        v = []
        for x, s, o, kind in zip(u, self.scale, self.origin, self.kinds):
            v.append(s * math.exp(x - 1.0) if kind == LOG else
                     o + s * (x - 1.0) if kind == SHIFT else s * x)
        return np.array(v, dtype=np.float64)

    def derivatives(self, u: Sequence[float]) -> np.ndarray:
        """dv/du of every free parameter at u."""
        values = self.to_values(u)
        return np.array([v if kind == LOG else s for v, s, kind in
                         zip(values, self.scale, self.kinds)], dtype=np.float64)

    def search_bounds(self) -> List[Tuple[float, float]]:
        """The range each free value is fitted in: its bounds, narrowed to
        the search range (if any) about its value given."""
        result = []
        for (low, high), s, o, kind in zip(self.bounds, self.scale, self.origin, self.kinds):
            r = self.search_range
            if r is not None and kind == LOG:
                low, high = max(low, s / r), min(high, s * r)
            elif r is not None and kind == SHIFT:
                low, high = max(low, o - r * s), min(high, o + r * s)
            result.append((low, high))
        return result

    def internal_bounds(self) -> List[Tuple[float, float]]:
        """Bounds of u from the search bounds (open sides infinite)."""
        result = []
        for (low, high), s, o, kind in zip(self.search_bounds(), self.scale, self.origin,
                                            self.kinds):
            if kind == LOG:
                lo = 1.0 + math.log(low / s) if low > 0.0 else -np.inf
                hi = 1.0 + math.log(high / s) if math.isfinite(high) else np.inf
            elif kind == SHIFT:
                lo, hi = 1.0 + (low - o) / s, 1.0 + (high - o) / s
            else:
                lo, hi = low / s, high / s
            result.append((lo, hi))
        return result

    def set_spectroscopic(self, spec_pars: Sequence[float]) -> None:
        """Take ``spec_pars`` (eight values) as the fixed values."""
        self.base.update(zip(PARAMETER_NAMES, (float(v) for v in spec_pars)))

    def all_values(self, values: Sequence[float]) -> Dict[str, float]:
        """Every parameter by name with the free ones set to ``values``."""
        point = dict(self.base)
        point.update(zip(self.free, (float(v) for v in values)))
        return point

    def spec_pars(self, values: Sequence[float]) -> np.ndarray:
        """All eight spectroscopic parameters with the free ones set to ``values``."""
        point = self.all_values(values)
        return np.array([point[name] for name in PARAMETER_NAMES], dtype=np.float64)

    def point(self, values: Sequence[float]) -> Tuple[np.ndarray, Dict[str, float]]:
        """The eight spectroscopic values and the beam's parameters present."""
        point = self.all_values(values)
        return (np.array([point[name] for name in PARAMETER_NAMES], dtype=np.float64),
                {name: value for name, value in point.items()
                 if name in BEAM_NAMES or focus_index(name) is not None})

    def lmfit_params(self, values: Sequence[float]) -> lmfit.Parameters:
        """lmfit Parameters in fit coordinates, named like the free parameters."""
        internal = lmfit.Parameters()
        for name, u, (lo, hi) in zip(self.free, self.to_internal(values), self.internal_bounds()):
            internal.add(name, value=float(np.clip(u, lo, hi)), min=lo, max=hi, vary=True)
        return internal
