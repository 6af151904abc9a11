"""What a fitting method hands on: the one record every method returns.

The methods (robust.py, exact.py) fit and say where they ended; the
standard errors are then computed once from the Jacobian and coordinates
recorded here (single.py). Relies on NumPy.
"""
import dataclasses
from typing import Any, List, Optional, Tuple

import numpy as np

__all__ = ["MethodOutcome"]


@dataclasses.dataclass
class MethodOutcome:
    """The end of a fit by one method.

    Attributes
    ----------
    values : ndarray
        Fitted values of the free parameters.
    models : list of ndarray
        Per scan, the model at every position at the fitted values.
    jacobian : ndarray, shape (valid points, free)
        d(weighted residuals)/du at the optimum, u the fit coordinates.
    dv_du : ndarray
        Derivative of each free value by its coordinate at the optimum.
    success : bool or None
        Convergence of the chosen start (None: the method does not say).
    message : str
        The minimiser's message.
    best_start : int
        Index of the chosen start (-1: the method chose it itself).
    start_chisqr : tuple of float
        Chi-square at the end of every start (empty: not known).
    minimizer_result : lmfit.minimizer.MinimizerResult or None
    model_errors : list of ndarray or None
        The whole-beam model's error estimates at ``models`` (None for the
        on-axis model).
    """

    values: np.ndarray
    models: List[np.ndarray]
    jacobian: np.ndarray
    dv_du: np.ndarray
    success: Optional[bool]
    message: str
    best_start: int
    start_chisqr: Tuple[float, ...]
    minimizer_result: Any
    model_errors: Optional[List[np.ndarray]] = None
