"""The exact fit: kesp_wrapper.fit_zscan itself, with its fitted values
bit for bit, called with the arrays it requires (equal-length scans laid
end to end, float64, int32 indices).

fit_zscan has no bounds, no masking and its own point weights, so scans
with missing points or per-point sigma are refused with a ValueError.
Relies on kesp_wrapper, problem.py and parameters.py.
"""
from typing import Sequence, Tuple

import numpy as np

from . import texts
from .parameters import PARAMETER_NAMES
from .problem import FitProblem

__all__ = ["check_exact", "run_fit_zscan"]


def check_exact(problem: FitProblem) -> None:
    """Raise ValueError when fit_zscan cannot fit these scans as given."""
    lengths = [s.n_points for s in problem.scans]
    if len(set(lengths)) != 1:
        raise ValueError(texts.EXACT_LENGTHS.format(lengths=lengths))
    masked = sum(s.n_points - int(np.count_nonzero(s.valid)) for s in problem.scans)
    if masked:
        raise ValueError(texts.EXACT_MASKED.format(count=masked))
    if problem.uses_sigma:
        raise ValueError(texts.EXACT_SIGMA)


def run_fit_zscan(problem: FitProblem, spec_pars: np.ndarray, free: Sequence[str],
                  n_starts: int) -> Tuple[np.ndarray, float, np.ndarray]:
    """fit_zscan's (residuals, error, spec_pars) for the problem's scans."""
    import kesp_wrapper
    experiment = problem.experiment
    x_data = np.ascontiguousarray(np.concatenate([s.x_mm for s in problem.scans]))
    y_data = np.ascontiguousarray(np.concatenate([s.transmittance for s in problem.scans]))
    energies = np.array([s.pulse_energy for s in problem.scans], dtype=np.float64)
    indices = np.array([PARAMETER_NAMES.index(name) for name in free], dtype=np.int32)
    return kesp_wrapper.fit_zscan(
        x_data, y_data, experiment.populations_array(), experiment.t_slices,
        experiment.z_slices, experiment.sample_width, experiment.tau,
        experiment.wavelength, experiment.w0, experiment.M2, energies,
        np.array(spec_pars, dtype=np.float64), indices, problem.scans[0].n_points,
        len(problem.scans), is_sa=problem.is_sa, n_starts=n_starts)
