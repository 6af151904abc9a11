"""Profile-likelihood intervals of the free parameters.

Where the model is curved in its parameters or they are correlated, the
linearised standard errors misstate the uncertainty, and lopsidedly so.
The profile intervals do not linearise: each parameter is held at values
beside the optimum while the others are refitted, and the interval at k
sigma is where the F-test of the chi-square increase reaches the
probability of k standard deviations of a normal variable. lmfit's
conf_interval does that search (with our forward differences for the
refits' Jacobians, in the fit coordinates, where the model is smoothest);
with a single free parameter, where it does not apply and nothing is
refitted, the chi-square profile itself is searched the same way. The
intervals are mapped back to the parameters' own units; one side more than
1.5 times the other is flagged. Relies on lmfit, SciPy, the fit problem
(evaluation), coordinates.py and texts.py.
"""
import dataclasses
import math
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

import lmfit
import numpy as np

from .. import texts
from .._json import number
from ..evaluation.problem import FitProblem
from .coordinates import Coordinates

__all__ = ["ProfileIntervals", "profile_intervals", "ASYMMETRY"]

ASYMMETRY = 1.5  # one side longer than this many times the other: flagged


@dataclasses.dataclass(frozen=True)
class ProfileIntervals:
    """The profile intervals of the free parameters: ``intervals[name][k]``
    is (lower, upper) at k sigma (probability erf(k / sqrt 2))."""

    sigmas: Tuple[float, ...]
    values: Dict[str, float]
    intervals: Dict[str, Dict[float, Tuple[float, float]]]

    def asymmetric(self, name: str) -> bool:
        """One side of the 1-sigma interval (the first) more than ASYMMETRY
        times the other."""
        low, high = self.intervals[name][self.sigmas[0]]
        below, above = self.values[name] - low, high - self.values[name]
        if not (math.isfinite(below) and math.isfinite(above)) or min(below, above) <= 0.0:
            return True
        return max(below, above) > ASYMMETRY * min(below, above)

    def report_lines(self, stderr: Mapping[str, float]) -> Sequence[str]:
        """The report's section: value, standard error, and the intervals
        as -below / +above beside it."""
        lines = [texts.PROFILE_HEAD]
        for name, by_sigma in self.intervals.items():
            value = self.values[name]
            cells = ", ".join(texts.PROFILE_CELL.format(
                sigma=sigma, below=value - low, above=high - value)
                for sigma, (low, high) in by_sigma.items())
            flag = texts.PROFILE_ASYMMETRIC if self.asymmetric(name) else ""
            lines.append(texts.PROFILE_LINE.format(name=name, value=value, stderr=stderr[name],
                                                   cells=cells, flag=flag))
        return lines

    def to_dict(self) -> Dict[str, Any]:
        return {"sigmas": list(self.sigmas),
                "values": {k: number(v) for k, v in self.values.items()},
                "intervals": {name: {f"{sigma:g}": [number(lo), number(hi)]
                                     for sigma, (lo, hi) in by_sigma.items()}
                              for name, by_sigma in self.intervals.items()},
                "asymmetric": {name: self.asymmetric(name) for name in self.intervals}}

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> "ProfileIntervals":
        def value(v: Any) -> float:
            return math.nan if v is None else float(v)

        return cls(tuple(float(s) for s in data["sigmas"]),
                   {k: value(v) for k, v in data["values"].items()},
                   {name: {float(s): (value(pair[0]), value(pair[1]))
                           for s, pair in by_sigma.items()}
                    for name, by_sigma in data["intervals"].items()})


def _jacobian_function(residuals: Any, free: Sequence[str], step: float,
                       bounds: Sequence[Tuple[float, float]]) -> Any:
    """Forward differences of ``residuals`` in the varying coordinates."""
    def jacobian(params: lmfit.Parameters) -> np.ndarray:
        u = np.array([params[name].value for name in free], dtype=np.float64)
        base = residuals(u)
        columns = []
        for j, name in enumerate(free):
            if not params[name].vary:
                continue
            h = step if u[j] + step <= bounds[j][1] else -step
            moved = u.copy()
            moved[j] += h
            columns.append((residuals(moved) - base) / h)
        return np.column_stack(columns)
    return jacobian


def profile_intervals(problem: FitProblem, coords: Coordinates, values: Mapping[str, float],
                      stderr: Mapping[str, float], chisqr: float,
                      sigmas: Sequence[float] = (1.0, 2.0), names: Optional[Sequence[str]] = None,
                      diff_step: float = 1e-4) -> ProfileIntervals:
    """The profile intervals at ``sigmas`` of ``names`` (default: every free
    parameter), around the optimum ``values`` of a fit whose problem and
    coordinates are given; ``stderr`` sets the first steps of the search."""
    free = coords.free
    names = list(free if names is None else names)
    optimum = np.array([values[name] for name in free], dtype=np.float64)
    u0 = coords.to_internal(optimum)
    scale = coords.derivatives(u0)
    bounds = coords.internal_bounds()
    cache: Dict[Tuple[float, ...], np.ndarray] = {}

    def residuals(u: Sequence[float]) -> np.ndarray:
        key = tuple(float(x) for x in u)
        if key not in cache:
            cache[key] = problem.residuals_at(coords.point(coords.to_values(key)))
        return cache[key]

    internal = coords.lmfit_params(optimum)
    for j, name in enumerate(free):
        internal[name].stderr = float(stderr[name] / scale[j])
    n_points = problem.n_points
    intervals: Dict[str, Dict[float, Tuple[float, float]]] = {}
    if len(free) == 1:
        found = _single(residuals, internal[free[0]], u0[0], bounds[0], chisqr, n_points, sigmas)
    else:
        def objective(params: lmfit.Parameters) -> np.ndarray:
            return residuals([params[name].value for name in free])

        minimizer = lmfit.Minimizer(objective, internal, nan_policy="propagate",
                                    Dfun=_jacobian_function(residuals, free, diff_step, bounds),
                                    col_deriv=False)
        best = lmfit.minimizer.MinimizerResult(
            params=internal, chisqr=chisqr, nfree=n_points - len(free), nvarys=len(free),
            ndata=n_points, var_names=list(free))
        found = lmfit.conf_interval(minimizer, best, p_names=names, sigmas=list(sigmas))
    for name in names:
        j = free.index(name)
        rows = sorted(found[name], key=lambda row: row[1])
        by_sigma = {}
        for sigma in sorted(sigmas):
            probability = math.erf(sigma / math.sqrt(2.0))
            sides = [row[1] for row in rows if math.isclose(row[0], probability, rel_tol=1e-9)]
            low_u, high_u = (min(sides), max(sides)) if len(sides) == 2 else (math.nan, math.nan)
            by_sigma[float(sigma)] = tuple(_to_value(coords, j, x) for x in (low_u, high_u))
        intervals[name] = by_sigma
    return ProfileIntervals(tuple(float(s) for s in sorted(sigmas)),
                            {name: float(values[name]) for name in names}, intervals)


def _to_value(coords: Coordinates, j: int, u: float) -> float:
    if not math.isfinite(u):
        return u
    point = coords.to_internal([coords.base[name] for name in coords.free])
    point[j] = u
    return float(coords.to_values(point)[j])


def _single(residuals: Any, param: lmfit.Parameter, u0: float, bounds: Tuple[float, float],
            chisqr: float, n_points: int, sigmas: Sequence[float]) -> Dict[str, list]:
    """The profile of the only free parameter: its chi-square curve, with
    the F-test lmfit's conf_interval applies (one parameter fixed)."""
    from scipy.optimize import root_scalar
    from scipy.stats import f

    nfree = n_points - 1

    def probability(u: float) -> float:
        r = residuals([u])
        return float(f.cdf((float(np.dot(r, r)) / chisqr - 1.0) * nfree, 1, nfree))

    step = param.stderr if param.stderr and math.isfinite(param.stderr) else 0.1
    rows = [(0.0, u0)]
    for direction in (-1.0, 1.0):
        for sigma in sorted(sigmas):
            target = math.erf(sigma / math.sqrt(2.0))
            limit, value = u0, 0.0
            for _ in range(200):
                limit = min(max(limit + direction * step, bounds[0]), bounds[1])
                value = probability(limit)
                if value >= target or limit in bounds:
                    break
            if value < target:
                rows.append((target, direction * math.inf))
                continue
            root = root_scalar(lambda u: probability(u) - target, method="toms748",
                               bracket=sorted([u0, limit]), rtol=0.5e-4)
            rows.append((target, root.root if root.converged else math.nan))
    return {param.name: rows}
