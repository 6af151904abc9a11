# Type information for the compiled module kesp_wrapper: the fit function
# fit_zscan and the module's NumPy handle np. See fit_zscan.__doc__ for the
# meaning and units of every argument. Installed beside the module and as
# the stub-only package kesp_wrapper-stubs, where type checkers find it.
from typing import Tuple

import numpy
import numpy.typing as _npt

np = numpy

_Float64Array = _npt.NDArray[numpy.float64]
_Int32Array = _npt.NDArray[numpy.int32]

def fit_zscan(
    x_data: _Float64Array,
    y_data: _Float64Array,
    populations: _Float64Array,
    t_slices: int,
    z_slices: int,
    sample_width: float,
    tau: float,
    wavelength: float,
    w0: float,
    M2: float,
    pulse_energy: _Float64Array,
    spec_pars: _Float64Array,
    fit_indices: _Int32Array,
    num_x_pts: int,
    num_datasets: int,
    is_sa: object = False,
    n_starts: int = 3,
) -> Tuple[_Float64Array, float, _Float64Array]:
    """Fit the z-scan model; return (residuals, error, spec_pars) of the best start.

    Positions in mm; w0 and wavelength in m; tau and lifetimes in s; pulse
    energies in J; cross-sections in cm^2, populations in cm^-3,
    sample_width in cm. MemoryError when the tables or the fit's working
    storage would exceed the memory of the process; in the main thread a
    KeyboardInterrupt (or any signal handler's exception) stops a running fit.

    Start i multiplies the fitted entries of spec_pars by
    10**(1.04*i/max(n_starts - 1, 1) - 0.52): with n_starts=1 the only start
    is 0.302 times the given values; n_starts=3 starts at 0.302, exactly 1
    and 3.311 times them, so its middle start is the given values.
    """
    ...
