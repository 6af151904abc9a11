"""Residual bootstrap of a fit: percentile intervals of the free parameters.

The fitted model plus residuals drawn with replacement (per scan, masked
points left out and kept masked) makes one resampled data set; B of them
are refitted like the original (``zscanfit.api.bootstrap_fit`` runs the
jobs made here through the executor), and the spread of the refitted values
gives percentile intervals beside the covariance errors. Relies on NumPy's
random generator (fixed seed -> the same data sets), on the executor's jobs
and failures, and on the fit result's model values and scans.
"""
import dataclasses
import math
import warnings
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from .. import texts
from ..inputs.experiment import SCALAR_UNCERTAIN_SETTINGS
from ..inputs.parameters import read_params
from ..inputs.scans import Scan
from ..warning_types import FitWarning, WarningRecord, ZScanWarning, issue
from ..fitting.bootstrap_result import LEVELS, BootstrapResult
from .executor import FitFailure, FitJob

# Below this many resampled data sets the 95 % interval rests on a handful
# of refits at each end.
FEW_SAMPLES = 100

__all__ = ["BootstrapResult", "BootstrapDraw", "LEVELS", "percentile_intervals",
           "resample_scan_values", "drawn_settings", "draw", "summarise", "check_samples"]

# Each resampled data set is a whole fit, and is held in memory until the
# batch ends.
MAX_SAMPLES = 100000


def check_samples(n_samples: Any) -> int:
    """``n_samples`` as an int of at least 2, else ValueError."""
    if isinstance(n_samples, bool) or not isinstance(n_samples, (int, np.integer)) \
            or not 2 <= n_samples <= MAX_SAMPLES:
        raise ValueError(texts.BOOTSTRAP_BAD_SAMPLES.format(value=n_samples, most=MAX_SAMPLES))
    return int(n_samples)


def percentile_intervals(samples: Dict[str, np.ndarray],
                         levels: Sequence[float] = LEVELS
                         ) -> Dict[str, Dict[float, Tuple[float, float]]]:
    """The central percentile interval of each parameter's samples at each
    level: the (50 - 50 level)th to (50 + 50 level)th percentile, linear
    interpolation between order statistics; NaN with fewer than 2 samples."""
    intervals: Dict[str, Dict[float, Tuple[float, float]]] = {}
    for name, values in samples.items():
        intervals[name] = {}
        for level in levels:
            if len(values) < 2:
                intervals[name][level] = (math.nan, math.nan)
                continue
            lo, hi = np.percentile(values, [50.0 - 50.0 * level, 50.0 + 50.0 * level])
            intervals[name][level] = (float(lo), float(hi))
    return intervals


def resample_scan_values(rng: np.random.Generator, model: Sequence[np.ndarray],
                         data: Sequence[np.ndarray], sigma: Sequence[Optional[np.ndarray]],
                         n_free: int) -> List[np.ndarray]:
    """One resampled data set: per scan the model values plus residuals drawn
    with replacement from that scan's measured (not NaN) points.

    Residuals are centred per scan and scaled by sqrt(n / (n - p)) (n
    measured points of all scans, p free parameters), since fitted residuals
    are smaller than the noise by about that factor. With per-point sigma
    the residuals are drawn in units of their sigma and scaled by the sigma
    of the point they go to. Masked points stay NaN.
    """
    n_points = sum(int(np.count_nonzero(~np.isnan(y))) for y in data)
    inflation = math.sqrt(n_points / (n_points - n_free)) if n_points > n_free else math.nan
    values = []
    for index, (curve, y, s) in enumerate(zip(model, data, sigma)):
        measured = ~np.isnan(y)
        count = int(np.count_nonzero(measured))
        if count <= n_free:
            raise ValueError(texts.BOOTSTRAP_TOO_FEW_POINTS.format(index=index, count=count,
                                                                   free=n_free))
        scale = np.ones_like(y) if s is None else np.asarray(s, dtype=np.float64)
        residuals = (y[measured] - curve[measured]) / scale[measured]
        residuals = (residuals - residuals.mean()) * inflation
        drawn = residuals[rng.integers(0, count, size=count)]
        resampled = np.full(y.shape, np.nan)
        resampled[measured] = curve[measured] + drawn * scale[measured]
        values.append(resampled)
    return values


def _refit_problem(refit: Any, free: Sequence[str]) -> Optional[str]:
    """Why a refit is left out, or None when it is kept."""
    if isinstance(refit, FitFailure):
        return str(refit)
    if refit.success is False:
        return f"did not converge: {refit.message}"
    values = [refit.params[name].value for name in free]
    if not all(math.isfinite(v) for v in values):
        return "non-finite fitted values"
    return None


@dataclass
class BootstrapDraw:
    """The resampled data sets of one bootstrap, as jobs to refit."""

    jobs: List[FitJob]
    options: Dict[str, Any]   # keyword arguments of fit for the refits
    seed: int                 # the entropy the data sets were drawn from
    free: Tuple[str, ...]
    n_samples: int


def drawn_settings(experiment: Any, scans: Sequence[Scan], rng: np.random.Generator
                   ) -> Tuple[Any, List[float]]:
    """The experiment with every uncertain setting drawn from a normal
    distribution about its value with its standard uncertainty, and the
    scans' pulse energies drawn likewise (each scan's, and the common
    calibration factor)."""
    changes = {}
    for name in SCALAR_UNCERTAIN_SETTINGS:
        u = experiment.uncertainty(name, getattr(experiment, name))
        if u > 0.0:
            changes[name] = abs(rng.normal(getattr(experiment, name), u))
    total = float(sum(experiment.populations))
    u = experiment.uncertainty("populations", total)
    if experiment.concentration is not None:   # the same quantity, in mol/L
        total = experiment.concentration
        u = u / sum(experiment.populations) * total + experiment.uncertainty("concentration",
                                                                               total)
    factor = abs(rng.normal(1.0, u / total)) if u > 0.0 and total > 0.0 else None
    scale = abs(rng.normal(1.0, experiment.uncertainty("pulse_energy_scale", 1.0)))
    energies = []
    for scan in scans:
        u = experiment.uncertainty("pulse_energy", scan.pulse_energy)
        energies.append(abs(rng.normal(scan.pulse_energy, u)) * scale)
    if changes:
        experiment = dataclasses.replace(experiment, **changes)
    if factor is not None:
        experiment = experiment.with_populations_scaled(factor)
    return experiment, energies


def draw(result: Any, n_samples: int, seed: Optional[int] = None, draw_settings: bool = False,
         **fit_options: Any) -> BootstrapDraw:
    """The ``n_samples`` resampled data sets of a fit, each a job refitted
    like the original (same method, starts, bounds, is_sa; ``fit_options``
    override) from the fitted values.

    Each data set is the fitted model at every scan point plus residuals
    drawn with replacement from the same scan (see ``resample_scan_values``);
    with ``draw_settings`` each is refitted with the experiment's uncertain
    settings drawn from their distributions (drawn_settings), so that the
    intervals hold the settings' uncertainties too. The same seed draws the
    same data sets.
    """
    n_samples = check_samples(n_samples)
    seeds = np.random.SeedSequence(seed)
    rng = np.random.default_rng(seeds)
    free = tuple(result.free)
    start = read_params(result.params)
    data = [scan.transmittance for scan in result.scans]
    sigma = [scan.sigma if result.uses_sigma else None for scan in result.scans]
    jobs = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ZScanWarning)  # the original's scans warned already
        for index in range(n_samples):
            values = resample_scan_values(rng, result.models, data, sigma, len(free))
            experiment = result.given_experiment or result.experiment
            energies = [scan.pulse_energy for scan in result.scans]
            if draw_settings:
                experiment, energies = drawn_settings(experiment, result.scans, rng)
            scans = [Scan(scan.x_mm, y, energy, scan.sigma, scan.label)
                     for scan, y, energy in zip(result.scans, values, energies)]
            jobs.append(FitJob(scans, experiment, start, label=f"bootstrap {index}"))
    options = dict(is_sa=result.is_sa, n_starts=result.n_starts, method=result.method,
                   model=result.model.name, tolerance=result.model.tolerance)
    options.update(fit_options)
    return BootstrapDraw(jobs=jobs, options=options, seed=int(seeds.entropy), free=free,
                         n_samples=n_samples)


def summarise(drawn: BootstrapDraw, refits: Sequence[Any]) -> BootstrapResult:
    """The percentile intervals of the refits that succeeded; a FitWarning
    names the ones left out."""
    free = drawn.free
    kept, failures = [], []
    for refit in refits:
        problem = _refit_problem(refit, free)
        if problem is None:
            kept.append([float(refit.params[name].value) for name in free])
        else:
            failures.append(problem)
    table = np.array(kept, dtype=np.float64).reshape(len(kept), len(free))
    samples = {name: table[:, k] for k, name in enumerate(free)}
    found = []
    if failures:
        if len(kept) < 2:
            text = texts.BOOTSTRAP_NO_INTERVALS.format(total=drawn.n_samples, first=failures[0])
        else:
            text = texts.BOOTSTRAP_REFITS_FAILED.format(
                failed=len(failures), total=drawn.n_samples, kept=len(kept), first=failures[0])
        found.append(WarningRecord.of(FitWarning, text))
    if drawn.n_samples < FEW_SAMPLES:
        found.append(WarningRecord.of(FitWarning, texts.BOOTSTRAP_FEW_SAMPLES.format(
            total=drawn.n_samples, tail=0.025 * drawn.n_samples, enough=FEW_SAMPLES)))
    issue(found, stacklevel=3)
    return BootstrapResult(n_samples=drawn.n_samples, n_failed=len(failures), seed=drawn.seed,
                           free=free, samples=samples, intervals=percentile_intervals(samples),
                           failures=failures, warning_records=tuple(found))
