"""What the data leave open about a fit: parameters they do not determine
(relative error above 100 %, or a singular Jacobian), strong correlations,
values on a bound, and scans too narrow for the model's normalisation.
Relies on the fit's uncertainties (covariance.py), the inputs and texts.py.
"""
import math
import warnings
from typing import List, Sequence

import lmfit
import numpy as np

from .. import texts
from ..inputs.experiment import Experiment
from ..inputs.scans import Scan
from ..warning_types import UnitWarning
from .covariance import Uncertainties

__all__ = ["parameter_warnings", "warn_narrow_scans"]

UNDETERMINED_RELATIVE_ERROR = 1.0   # relative standard error above 100 %
STRONG_CORRELATION = 0.99
ON_BOUND_RELATIVE = 1e-6


def parameter_warnings(given: lmfit.Parameters, free: Sequence[str], values: np.ndarray,
              errors: Uncertainties, method: str) -> List[str]:
    """The warnings about the fitted parameters, in a fixed order."""
    found = []
    for i, name in enumerate(free):
        value, stderr = float(values[i]), float(errors.stderr[i])
        if not math.isfinite(stderr):
            found.append(texts.UNDETERMINED_SINGULAR.format(name=name))
        elif value == 0.0 or stderr > UNDETERMINED_RELATIVE_ERROR * abs(value):
            percent = math.inf if value == 0.0 else 100.0 * stderr / abs(value)
            found.append(texts.UNDETERMINED.format(name=name, value=value, stderr=stderr,
                                                   percent=percent))
    for i in range(len(free)):
        for j in range(i + 1, len(free)):
            r = float(errors.correlation[i, j])
            if math.isfinite(r) and abs(r) > STRONG_CORRELATION:
                found.append(texts.CORRELATED.format(first=free[i], second=free[j], r=r))
    for i, name in enumerate(free):
        value = float(values[i])
        low, high = float(given[name].min), float(given[name].max)
        scale = abs(given[name].value)
        if method == "exact":
            if not low <= value <= high:
                found.append(texts.EXACT_BOUNDS.format(name=name, value=value, low=low, high=high))
            continue
        if low == 0.0 and value < ON_BOUND_RELATIVE * scale:
            found.append(texts.TOWARD_ZERO.format(name=name, value=value))
        elif math.isfinite(low) and low != 0.0 and value - low <= ON_BOUND_RELATIVE * max(abs(low), scale):
            found.append(texts.ON_BOUND.format(name=name, value=value, side="lower", bound=low))
        elif math.isfinite(high) and high - value <= ON_BOUND_RELATIVE * max(abs(high), scale):
            found.append(texts.ON_BOUND.format(name=name, value=value, side="upper", bound=high))
    return found


def warn_narrow_scans(scans: Sequence[Scan], experiment: Experiment) -> None:
    rayleigh = experiment.rayleigh_range_mm
    for scan in scans:
        if scan.span_mm < 2.0 * rayleigh:
            warnings.warn(texts.UNIT_POSITIONS_M.format(
                energy=scan.pulse_energy, span=scan.span_mm, rayleigh=rayleigh),
                UnitWarning, stacklevel=4)
