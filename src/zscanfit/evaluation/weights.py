"""The point weights of fit_zscan, reproduced to the last bit.

fit_zscan minimises sum_p w_p (y_p - model_p)^2 with
w_p = 1 + 4 exp(-4 z_p^2), z_p the position relative to the scan's centre
in metres (positions in mm times 0.001): largest (5) at the focus, falling
to 1 only half a metre away. The function vector entry is sqrt(w_p) times
the residual. Computed here with the C library's exp (math.exp) and the
same order of operations, so the weighted residuals equal the fit core's.
Relies on NumPy and math.
"""
import math

import numpy as np

__all__ = ["point_weights", "sqrt_point_weights"]


def point_weights(centred_x_mm: np.ndarray) -> np.ndarray:
    """w_p = 1 + 4 exp(-4 z_p^2) for positions relative to the centre, mm."""
    z = np.asarray(centred_x_mm, dtype=np.float64) * 0.001
    return np.array([1.0 + 4.0 * math.exp(-4.0 * (v * v)) for v in z.tolist()],
                    dtype=np.float64)


def sqrt_point_weights(centred_x_mm: np.ndarray) -> np.ndarray:
    """sqrt(w_p), the factor of each residual in fit_zscan's function vector."""
    return np.sqrt(point_weights(centred_x_mm))
