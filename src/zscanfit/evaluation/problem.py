"""One fit problem: the scans laid out as fit_zscan lays them out, and its
residual function.

The scans are centred on one focus (fit_zscan's rule over all scans, or
a position given),
each scan's model is evaluated at all its positions (so the normalisation
uses the scan as measured) and only valid points enter the residuals,
which are (y_p - model_p) / sigma_p when every scan has per-point
uncertainties, else y_p - model_p (equal weights), or sqrt(w_p)
(y_p - model_p) with fit_zscan's point weights where asked (the exact
method: they are a constant 5 to within 0.2 % over any real scan, since
their z is in metres).
Every model evaluation of the fit is counted. Relies on _stop.py, the
models (models.py), the inputs (scans, experiment) and weights.py.
"""
from typing import Any, Callable, List, Optional, Sequence

import numpy as np

from .. import _stop, texts
from ..inputs.experiment import Experiment
from ..inputs.scans import Scan, scan_centre
from .models import ModelSpec, ScanRequest, ScanValues, scans_values
from .weights import point_weights

__all__ = ["FitProblem"]


class FitProblem:
    """The scans of one fit, centred, with their weights and valid points.

    Attributes
    ----------
    center_mm : float
        Focus position shared by all scans, mm.
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
                 model: ModelSpec = ModelSpec()) -> None:
        self.scans: List[Scan] = list(scans)
        self.experiment = experiment
        self.model = model
        self.is_sa = bool(is_sa)
        self.center_given = center_mm is not None
        self.center_mm = (float(center_mm) if center_mm is not None
                          else scan_centre(self.scans, self.is_sa))
        self.positions = [np.ascontiguousarray(s.x_mm - self.center_mm) for s in self.scans]
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
        # Called after every counted evaluation (a fit's progress bar).
        self.on_evaluation: Optional[Callable[[], None]] = None

    @property
    def n_points(self) -> int:
        """Number of valid points, the length of the residual vector."""
        return int(self.y.shape[0])

    def requests(self, centre_mm: Optional[float] = None,
                 energy_scale: float = 1.0) -> List[ScanRequest]:
        """What to evaluate: every scan at all its positions, normalised on
        its wings, the focus at ``centre_mm`` (default: the problem's)."""
        if centre_mm is None:
            positions = self.positions
        else:
            positions = [np.ascontiguousarray(s.x_mm - centre_mm) for s in self.scans]
        return [ScanRequest(p, p, s.pulse_energy * energy_scale)
                for p, s in zip(positions, self.scans)]

    def evaluate(self, spec_pars: np.ndarray, centre_mm: Optional[float] = None,
                 experiment: Any = None, counted: bool = True) -> ScanValues:
        """The model at every position of every scan (masked ones too), with
        the whole-beam model's error estimates; ``experiment`` (any object
        with the experiment's settings) replaces the problem's for this
        evaluation. A counted evaluation is one of the fit's.

        A fit on a worker thread of fit_many stops here once its batch is
        told to stop (_stop.raise_if_stopped).
        """
        _stop.raise_if_stopped()
        values = scans_values(self.model, self.experiment if experiment is None else experiment,
                              spec_pars, self.requests(centre_mm))
        if counted:
            self.n_evaluations += 1
            if self.on_evaluation is not None:
                self.on_evaluation()
        return values

    def scan_models(self, spec_pars: np.ndarray) -> List[np.ndarray]:
        """Model values at every position of every scan (masked ones too)."""
        return self.evaluate(spec_pars).values

    def models_with_centre(self, spec_pars: np.ndarray, centre_mm: float) -> List[np.ndarray]:
        """Model values at every position of every scan with the focus at
        ``centre_mm`` instead of the problem's (not counted as a fit's
        evaluation)."""
        return self.evaluate(spec_pars, centre_mm, counted=False).values

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
