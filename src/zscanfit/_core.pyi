# Type stub of the compiled part of zscanfit (zscanfit_core/ in the sources):
# the model entries and the capture of the integrator's messages.
from types import TracebackType
from typing import Any, Dict, List, Optional, Sequence, Tuple, Type, Union

import numpy as np
import numpy.typing as npt

def scan_transmittance(
    positions: npt.NDArray[np.float64],
    wing_positions: npt.NDArray[np.float64],
    pulse_energy: float,
    spec_pars: npt.NDArray[np.float64],
    populations: npt.NDArray[np.float64],
    wavelength: float,
    w0: float,
    M2: float,
    tau: float,
    sample_width: float,
    t_slices: int,
    z_slices: int,
) -> npt.NDArray[np.float64]:
    """Model transmittance of one scan at the given parameters.

    positions and wing_positions in mm relative to the scan's centre; the
    ratios at the first and last five wing_positions set the normalisation.
    With wing_positions equal to positions the result equals
    kesp_wrapper.fit_zscan's model (y_data - residuals) bit for bit.
    Raises ValueError naming a broken rule, MemoryError, or what a signal
    handler raises (the evaluation stops).
    """

def whole_beam_transmittance(
    positions: npt.NDArray[np.float64],
    counts: npt.NDArray[np.int32],
    pulse_energies: npt.NDArray[np.float64],
    spec_pars: npt.NDArray[np.float64],
    populations: npt.NDArray[np.float64],
    wavelength: float,
    w0: float,
    M2: float,
    tau: float,
    sample_width: float,
    tolerance: float,
    derivatives: Optional[Sequence[Union[str, int]]] = None,
    pulse_shape: str = "gaussian",
) -> Tuple[Any, ...]:
    """The whole-beam model's Te / Te_lin at the positions of several scans
    (positions in mm from the focus, scan after scan, counts per scan): a
    tuple (values, errors, stats) of two float64 arrays and a dict of counts,
    or with derivatives (names sigma_0 .. tau_43, center_mm, w0, M2 or
    positions 0 to 10) (values, errors, slopes, stats), slopes a (parameters
    x points) float64 array of the values' derivatives per unit of each
    parameter. pulse_shape 'gaussian' or 'sech2'. Raises ValueError naming a
    broken rule, a sample too thick to resolve, initial populations that
    cannot be kept stationary or a model that left physics; MemoryError; or
    what a signal handler raises.
    """

def closed_aperture_transmittance(
    positions: npt.NDArray[np.float64],
    counts: npt.NDArray[np.int32],
    pulse_energies: npt.NDArray[np.float64],
    apertures: npt.NDArray[np.float64],
    spec_pars: npt.NDArray[np.float64],
    populations: npt.NDArray[np.float64],
    wavelength: float,
    w0: float,
    M2: float,
    tau: float,
    sample_width: float,
    beta: float,
    n2: float,
    sigma_r1: float,
    sigma_r3: float,
    tolerance: float,
    aperture_distance: Optional[float] = None,
    pulse_shape: str = "gaussian",
) -> Tuple[Any, ...]:
    """The closed-aperture model's T = P / P_lin at the positions of several
    scans (positions in mm from the focus, scan after scan, counts per scan;
    each scan's pulse energy and aperture S in (0, 1], 1 open): a tuple
    (values, errors, stats) of two float64 arrays and a dict of counts.
    beta cm/W, n2 cm^2/W, sigma_r1 and sigma_r3 cm^2; aperture_distance in m
    from the focus, None for the far field. Raises ValueError naming a
    broken rule, a sample too thick to resolve or initial populations that
    cannot be kept stationary; MemoryError; or what a signal handler raises.
    """

def beam_propagation_transmittance(
    positions: npt.NDArray[np.float64],
    counts: npt.NDArray[np.int32],
    pulse_energies: npt.NDArray[np.float64],
    apertures: npt.NDArray[np.float64],
    spec_pars: npt.NDArray[np.float64],
    populations: npt.NDArray[np.float64],
    wavelength: float,
    w0: float,
    M2: float,
    tau: float,
    sample_width: float,
    refractive_index: float,
    beta: float,
    n2: float,
    sigma_r1: float,
    sigma_r3: float,
    tolerance: float,
    aperture_distance: Optional[float] = None,
    pulse_shape: str = "gaussian",
) -> Tuple[Any, ...]:
    """The beam-propagation model for thick samples: T = P / P_lin at the
    positions of the sample's front face of several scans (mm from the
    focus, scan after scan, counts per scan; each scan's pulse energy and
    aperture S in (0, 1], 1 open), the beam diffracting inside the sample of
    thickness sample_width (cm) and linear refractive index refractive_index
    while the rate equations run: a tuple (values, errors, stats) of two
    float64 arrays and a dict of counts (grids, panel_solves,
    largest_radial_nodes, largest_depth_steps, largest_time_panels,
    refinements, unconverged_points, largest_modes, optical_depth). Other
    arguments and exceptions as closed_aperture_transmittance.
    """

class MessageCapture:
    """Collects the integrator's messages of this thread (and of the model's
    worker threads it starts, and inside kesp_wrapper.fit_zscan) instead of
    printing them, while entered. Nestable; per thread; thread-safe."""

    def __init__(self, keep: int = 5) -> None: ...
    def __enter__(self) -> "MessageCapture": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    @property
    def keep(self) -> int: ...
    @property
    def total(self) -> int: ...
    @property
    def counts(self) -> Dict[str, int]: ...
    @property
    def first(self) -> List[str]: ...
