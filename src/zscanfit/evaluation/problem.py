"""One fit problem: the scans laid out as fit_zscan lays them out, and its
residual function.

A problem holds one or more data sets of one sample (a global fit holds
several, each with its own experiment and focus): every data set's scans
are centred on its focus (fit_zscan's rule over its scans, or a position
given), each scan's model is evaluated at all its positions (so the
normalisation uses the scan as measured) and only valid points enter the
residuals, which are (y_p - model_p) / sigma_p when every scan has
per-point uncertainties, else y_p - model_p (equal weights), or sqrt(w_p)
(y_p - model_p) with fit_zscan's point weights where asked (the exact
method: they are a constant 5 to within 0.2 % over any real scan, since
their z is in metres). Data sets with equal experiments are evaluated
together (one table of the whole-beam model), so that a global fit of
files whose settings agree is the fit of their scans pooled.

An evaluation may change the settings for once (``Change``): a fitted
focus (one for all data sets, or each data set's own), w0 or M2, or a
setting moved by its uncertainty. A data set whose experiment gives
linear data (absorbance or extinction) is evaluated with their sigma_0
when sigma_0 is fixed, and, when it is free and an absorbance holds
alpha0 = sigma_0 N0, with its populations scaled to keep alpha0
(linear_absorption.effective). Every model evaluation of the fit is
counted. The whole-beam model gives the fit's Jacobian exactly: the
derivatives of every valid point's model with respect to the free
parameters (a data set's own focus moves its scans only), computed beside
the values (``slope_names``, ``jacobian_at``). Relies on _stop.py, the models (models.py), settings.py, the
inputs (scans, experiment, parameters' names, linear absorption) and
weights.py.
"""
import dataclasses
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .. import _stop, texts
from ..inputs.experiment import Experiment
from ..inputs.linear_absorption import effective, linear_sigma_0
from ..inputs.parameters import focus_index, is_focus_name
from ..inputs.scans import Scan, scan_centre
from .models import (CLOSED_DERIVATIVE_PARAMETERS, DERIVATIVE_PARAMETERS, OPTICAL_PARAMETERS,
                     ModelSpec, ScanRequest, ScanValues, nonlinear_optics, scans_values)
from .settings import settings_of
from .weights import point_weights

__all__ = ["FitProblem", "DataSet", "Change"]


@dataclasses.dataclass(frozen=True)
class DataSet:
    """Scans of one sample measured with one experiment: a file."""

    scans: Tuple[Scan, ...]
    experiment: Experiment
    center_mm: Optional[float] = None   # None: the extremum of its scans
    label: Optional[str] = None
    # In a result: the focus's standard error (NaN unless fitted) and where
    # it came from ('fitted', 'given' or 'extremum').
    center_stderr: float = float("nan")
    focus: str = ""


@dataclasses.dataclass(frozen=True)
class Change:
    """Settings changed for one evaluation: the focus of every data set
    (center_mm) or of each (centres), settings of the experiments (w0, M2,
    ..., populations_scale; of data set ``data_set`` only, or of all when
    None), settings of particular data sets (``set_settings``: data set
    index -> settings, each its own values), each scan's pulse energy
    by a factor, and the sample's optical parameters (beta, n2, sigma_r1,
    sigma_r3 by name; absent ones 0)."""

    center_mm: Optional[float] = None
    centres: Optional[Tuple[float, ...]] = None
    settings: Mapping[str, float] = dataclasses.field(default_factory=dict)
    data_set: Optional[int] = None
    energy_factors: Optional[Tuple[float, ...]] = None
    set_settings: Mapping[int, Mapping[str, float]] = dataclasses.field(default_factory=dict)
    optics: Mapping[str, float] = dataclasses.field(default_factory=dict)

    def experiment_of(self, k: int, experiment: Experiment) -> Any:
        """Data set ``k``'s experiment with this change's settings."""
        changes: Dict[str, float] = {}
        if self.settings and (self.data_set is None or self.data_set == k):
            changes.update(self.settings)
        changes.update(self.set_settings.get(k, {}))
        return settings_of(experiment, **changes)


NO_CHANGE = Change()


class FitProblem:
    """The scans of one fit, centred, with their weights and valid points.

    Attributes
    ----------
    scans : list of Scan
        Every scan, data set after data set.
    scan_sets : list of int
        The data set of every scan.
    centres : list of float
        The focus of every data set, mm.
    center_mm : float
        The first data set's focus (a fit's only one), mm.
    experiment : Experiment
        The first data set's experiment (a fit's only one).
    y : ndarray
        Measured values of the valid points, scan after scan.
    weights : ndarray
        Weight of each valid point: 1/sigma^2, 1 (equal weights), or
        fit_zscan's w_p.
    uses_sigma : bool
        True when the weights come from per-point uncertainties.
    weighting : str
        'sigma', 'equal' or 'fit_zscan'.
    model : ModelSpec
        The model and its tolerance.
    n_evaluations : int
        Model evaluations (all scans once) so far.
    """

    def __init__(self, scans: Sequence[Scan], experiment: Experiment, is_sa: bool,
                 center_mm: Optional[float] = None, fit_zscan_weights: bool = False,
                 model: ModelSpec = ModelSpec(),
                 data_sets: Optional[Sequence[DataSet]] = None) -> None:
        if data_sets is None:
            data_sets = [DataSet(tuple(scans), experiment, center_mm)]
        self.data_sets: List[DataSet] = list(data_sets)
        self.model = model
        self.is_sa = bool(is_sa)
        self.scans: List[Scan] = [scan for d in self.data_sets for scan in d.scans]
        self.scan_sets: List[int] = [k for k, d in enumerate(self.data_sets) for _ in d.scans]
        self.centres: List[float] = [float(d.center_mm) if d.center_mm is not None
                                     else scan_centre(list(d.scans), self.is_sa)
                                     for d in self.data_sets]
        self.center_given = all(d.center_mm is not None for d in self.data_sets)
        self.experiment = self.data_sets[0].experiment
        self.center_mm = self.centres[0]
        self.positions = self._positions(self.centres)
        with_sigma = [s.sigma is not None for s in self.scans]
        self.uses_sigma = all(with_sigma)
        if any(with_sigma) and not self.uses_sigma:
            raise ValueError(texts.MIXED_SIGMA)
        self.masks = [s.valid for s in self.scans]
        self.y = np.concatenate([s.transmittance[s.valid] for s in self.scans])
        if self.uses_sigma:
            self.weighting = "sigma"
            self.weights = np.concatenate([1.0 / (s.sigma[s.valid] ** 2) for s in self.scans])
            self.root_weights = np.concatenate([1.0 / s.sigma[s.valid] for s in self.scans])
        elif fit_zscan_weights:
            self.weighting = "fit_zscan"
            self.weights = np.concatenate([point_weights(p)[m]
                                           for p, m in zip(self.positions, self.masks)])
            self.root_weights = np.sqrt(self.weights)
        else:
            self.weighting = "equal"
            self.weights = np.ones(self.y.shape[0])
            self.root_weights = np.ones(self.y.shape[0])
        self.n_evaluations = 0
        # A fit that frees sigma_0 ties the linear data to it (see the module).
        self.sigma_0_free = False
        # Called after every counted evaluation (a fit's progress bar).
        self.on_evaluation: Optional[Callable[[], None]] = None

    @property
    def n_points(self) -> int:
        """Number of valid points, the length of the residual vector."""
        return int(self.y.shape[0])

    def _positions(self, centres: Sequence[float]) -> List[np.ndarray]:
        return [np.ascontiguousarray(s.x_mm - centres[k])
                for s, k in zip(self.scans, self.scan_sets)]

    def requests(self, change: Change = NO_CHANGE) -> List[ScanRequest]:
        """What to evaluate: every scan at all its positions, normalised on
        its wings, centred on its data set's focus (or the change's)."""
        if change.centres is not None:
            positions = self._positions(change.centres)
        elif change.center_mm is not None:
            positions = self._positions([change.center_mm] * len(self.data_sets))
        else:
            positions = self.positions
        factors = change.energy_factors or (1.0,) * len(self.scans)
        return [ScanRequest(p, p, s.pulse_energy * f, s.aperture, s.divided)
                for p, s, f in zip(positions, self.scans, factors)]

    def evaluate(self, spec_pars: np.ndarray, change: Change = NO_CHANGE,
                 counted: bool = True, derivatives: Optional[Sequence[str]] = None
                 ) -> ScanValues:
        """The model at every position of every scan (masked ones too), with
        the whole-beam model's error estimates, the settings changed by
        ``change``; with ``derivatives`` (the engine's names) every scan's
        slopes too. A counted evaluation is one of the fit's.

        A fit on a worker thread of fit_many stops here once its batch is
        told to stop (_stop.raise_if_stopped).
        """
        _stop.raise_if_stopped()
        requests = self.requests(change)
        values: List[Any] = [None] * len(self.scans)
        errors: List[Any] = [None] * len(self.scans)
        slopes: List[Any] = [None] * len(self.scans)
        stats: Dict[str, Any] = {}
        for experiment, group in self._evaluation_groups(change):
            members = [i for i, k in enumerate(self.scan_sets) if k in group]
            experiment, pars = self.linear_applied(experiment, spec_pars)
            part = scans_values(self.model, experiment, pars, [requests[i] for i in members],
                                derivatives=derivatives, optics=change.optics)
            for j, i in enumerate(members):
                values[i] = part.values[j]
                errors[i] = None if part.errors is None else part.errors[j]
                slopes[i] = None if part.slopes is None else part.slopes[j]
            stats = part.stats or stats
        evaluated = ScanValues(values, None if self.model.on_axis else errors, stats,
                               None if derivatives is None else slopes)
        if counted:
            self.n_evaluations += 1
            if self.on_evaluation is not None:
                self.on_evaluation()
        return evaluated

    def linear_applied(self, experiment: Any, spec_pars: np.ndarray) -> Tuple[Any, np.ndarray]:
        """The settings and parameters a data set is evaluated with, its
        linear data applied (see the module)."""
        factor, sigma = effective(experiment, spec_pars, self.sigma_0_free)
        if sigma is not None:
            spec_pars = np.array(spec_pars, dtype=np.float64)
            spec_pars[0] = sigma
        if factor is not None:
            experiment = settings_of(experiment, populations_scale=factor)
        return experiment, spec_pars

    def centres_at(self, beam: Mapping[str, float]) -> List[float]:
        """The focus of every data set at a point of a fit: its own, the
        fitted one for all (center_mm), or its fitted one (center_mm_k)."""
        centres = list(self.centres)
        if "center_mm" in beam:
            centres = [float(beam["center_mm"])] * len(centres)
        for name, value in beam.items():
            k = focus_index(name)
            if k is not None:
                centres[k] = float(value)
        return centres

    def _evaluation_groups(self, change: Change) -> List[Tuple[Any, List[int]]]:
        """The data sets evaluated together, with their experiment: those
        whose experiments, changed by ``change``, are equal (one table of
        the whole-beam model, so that a global fit of files whose settings
        agree is the fit of their scans pooled)."""
        groups: List[Tuple[Any, List[int]]] = []
        for k, d in enumerate(self.data_sets):
            experiment = change.experiment_of(k, d.experiment)
            for known, members in groups:
                if known == experiment:
                    members.append(k)
                    break
            else:
                groups.append((experiment, [k]))
        return groups

    def evaluate_at(self, point: Tuple[np.ndarray, Mapping[str, float]],
                    counted: bool = True, change: Change = NO_CHANGE,
                    derivatives: Optional[Sequence[str]] = None) -> ScanValues:
        """``evaluate`` at a point of a fit: the eight spectroscopic values
        and the beam's and optical parameters it sets (center_mm, w0, M2;
        beta, n2, sigma_r1, sigma_r3), with ``change`` on top."""
        spec_pars, beam = point
        settings = {name: beam[name] for name in ("w0", "M2") if name in beam}
        settings.update(change.settings)
        optics = {name: float(beam[name]) for name in OPTICAL_PARAMETERS if name in beam}
        optics.update(change.optics)
        change = dataclasses.replace(change, optics=optics)
        if change.centres is not None or change.center_mm is not None:
            return self.evaluate(spec_pars, dataclasses.replace(change, settings=settings),
                                 counted, derivatives)
        centres = self.centres_at(beam) if beam else None
        return self.evaluate(spec_pars, dataclasses.replace(
            change, centres=None if centres is None else tuple(centres), settings=settings),
            counted, derivatives)

    @property
    def closed(self) -> bool:
        """Whether any scan is through a closed aperture (or divided)."""
        return any(s.aperture is not None for s in self.scans)

    def slope_names(self, free: Sequence[str],
                    optics: Optional[Mapping[str, float]] = None) -> Optional[Tuple[str, ...]]:
        """The model's derivative giving each free parameter's column of
        the Jacobian, or None where the model cannot give them all: the
        on-axis model, sigma_0 free where an absorbance scales the
        populations with it, and the closed-aperture model (a problem with
        closed scans, free optical parameters or nonzero ``optics``), whose
        derivatives are the engine's differences at a hundred times the
        tolerance, dearer than the fit's own forward differences."""
        if not self.model.whole_beam:
            return None
        if self.closed or nonlinear_optics(optics) or any(
                name in OPTICAL_PARAMETERS for name in free):
            return None
        names = []
        for name in free:
            engine = "center_mm" if is_focus_name(name) else name
            if engine not in DERIVATIVE_PARAMETERS:
                return None
            if name == "sigma_0" and self.sigma_0_free and any(
                    getattr(d.experiment, "absorbance", None) is not None
                    and linear_sigma_0(d.experiment) is not None for d in self.data_sets):
                return None
            names.append(engine)
        return tuple(names)

    def jacobian_at(self, point: Tuple[np.ndarray, Mapping[str, float]], free: Sequence[str],
                    slope_names: Sequence[str]) -> Tuple[ScanValues, np.ndarray]:
        """The evaluation at a point of a fit and the derivatives of the
        valid points' models with respect to the free parameters (one
        column each; ``slope_names`` from slope_names(free))."""
        asked = tuple(dict.fromkeys(slope_names))
        evaluated = self.evaluate_at(point, derivatives=asked)
        assert evaluated.slopes is not None
        columns = []
        for name, engine in zip(free, slope_names):
            row, k = asked.index(engine), focus_index(name)
            columns.append(self.valid_values([
                slopes[row] if k is None or self.scan_sets[i] == k else np.zeros(slopes.shape[1])
                for i, slopes in enumerate(evaluated.slopes)]))
        return evaluated, np.column_stack(columns) if columns else np.zeros((self.n_points, 0))

    def residuals_at(self, point: Tuple[np.ndarray, Mapping[str, float]]) -> np.ndarray:
        """The weighted residual vector at a point of a fit."""
        return self.weighted_residuals(self.evaluate_at(point).values)

    def scan_models(self, spec_pars: np.ndarray) -> List[np.ndarray]:
        """Model values at every position of every scan (masked ones too)."""
        return self.evaluate(spec_pars).values

    def valid_values(self, models: Sequence[np.ndarray]) -> np.ndarray:
        """The values of the valid points of per-scan ``models``, scan after scan."""
        return np.concatenate([m[mask] for m, mask in zip(models, self.masks)])

    def plain_residuals(self, models: Sequence[np.ndarray]) -> np.ndarray:
        """Measured minus model at the valid points, scan after scan."""
        return self.y - self.valid_values(models)

    def weighted_residuals(self, models: Sequence[np.ndarray]) -> np.ndarray:
        """The weighted residual vector of per-scan ``models``."""
        return self.root_weights * self.plain_residuals(models)

    def residuals(self, spec_pars: np.ndarray) -> np.ndarray:
        """The weighted residual vector: root weight times (measured - model)."""
        return self.weighted_residuals(self.scan_models(spec_pars))
