"""Measured z-scans: positions, transmittance, pulse energy and optional
per-point uncertainties, with missing points (NaN) masked.

A Scan keeps every position, also of masked points, because the model
normalises on the first and last five positions of the scan as measured.
The centre of a set of scans follows fit_zscan's rule. Relies on
convert.py, texts.py and NumPy.
"""
import math
import warnings
from typing import Any, Iterable, List, Optional, Sequence, Union

import numpy as np

from .. import texts
from .convert import float_scalar, float_vector
from .units import in_unit
from ..warning_types import DataWarning, UnitWarning, WarningRecord, issue

__all__ = ["Scan", "as_scan_list", "scan_centre", "aperture_of"]

MIN_POINTS = 5                 # the model's normalisation uses five points each side
_MAX_SPAN_MM = 1000.0          # a wider scan is more likely given in micrometres
_FAR_FIELD_TOLERANCE = 0.05    # |wing mean - 1| above this: not normalised?


def _readonly(array: np.ndarray) -> np.ndarray:
    array.setflags(write=False)
    return array


class Scan:
    """One z-scan at one pulse energy: open aperture (the default), closed
    (``aperture`` S < 1) or closed divided by open (``divided``).

    Parameters
    ----------
    x_mm : array_like, shape (n,)
        Sample positions, mm, in scan order (n >= 5; unsorted ones are sorted). Any dtype, order or
        contiguity; lists work.
    transmittance : array_like, shape (n,)
        Measured normalised transmittance; NaN marks a missing point, which
        is left out of the fit (its position still counts for the model's
        normalisation).
    pulse_energy : float or str
        Pulse energy, J, or a string with its unit ("0.5 uJ").
    sigma : array_like, shape (n,), optional
        Standard uncertainty of every point. Given, the fit weights points by
        1/sigma^2 and the errors take sigma as absolute; otherwise the fit
        uses fit_zscan's position weights and estimates the noise from the
        residuals.
    label : str, optional
        Name used in reports and plots (default: the pulse energy).
    aperture : float, optional
        The share S of the linear beam's power the far-field aperture
        passes, in (0, 1]; None or 1 (default): open, the whole beam.
    divided : bool
        The closed-aperture scan divided by the open one at the same
        positions (each normalised on its wings), as experimenters divide
        out the absorption; needs S < 1.

    Raises
    ------
    ValueError
        Wrong shapes or lengths, fewer than 5 positions, non-finite
        positions, infinite transmittance, sigma not positive, an aperture
        outside (0, 1] or a divided scan without one; the message names the
        argument and the fix.

    Warns
    -----
    DataWarning
        Points masked for NaN; positions neither increasing nor decreasing
        (the scan is then sorted by position, each point's transmittance and
        sigma kept with it: the model normalises on the outermost points);
        a position measured more than once.
    UnitWarning
        A span above 1000 mm (micrometres?), a far-field transmittance (mean
        of the first and last five points) more than 0.05 away from 1. (Pulse
        energies are judged by the fluence and intensity they give at the
        focus, which needs the experiment: see ``plausibility_warnings``.)
    """

    def __init__(self, x_mm: Any, transmittance: Any, pulse_energy: Any,
                 sigma: Any = None, label: Optional[str] = None,
                 aperture: Optional[float] = None, divided: bool = False) -> None:
        self.aperture = aperture_of(aperture)
        self.divided = bool(divided)
        if self.divided and self.aperture is None:
            raise ValueError(texts.DIVIDED_OPEN.format(value=aperture))
        x = float_vector(x_mm, "x_mm")
        if x.shape[0] < MIN_POINTS:
            raise ValueError(texts.TOO_FEW_POINTS.format(name="x_mm", got=x.shape[0]))
        if not np.all(np.isfinite(x)):
            bad = x[~np.isfinite(x)][0]
            raise ValueError(texts.NOT_FINITE.format(
                name="x_mm", value=bad, fix=texts.FIX_POSITIONS))
        y = float_vector(transmittance, "transmittance")
        if y.shape[0] != x.shape[0]:
            raise ValueError(texts.LENGTH_MISMATCH.format(
                name="transmittance", expected=x.shape[0], got=y.shape[0]))
        if np.any(np.isinf(y)):
            raise ValueError(texts.NOT_FINITE.format(
                name="transmittance", value=y[np.isinf(y)][0], fix=texts.FIX_TRANSMITTANCE))
        self.pulse_energy = float_scalar(in_unit("pulse_energy", pulse_energy), "pulse_energy",
                                         positive=True, fix=texts.FIX_ENERGY)
        valid = ~np.isnan(y)
        s = None
        if sigma is not None:
            s = float_vector(sigma, "sigma")
            if s.shape[0] != x.shape[0]:
                raise ValueError(texts.LENGTH_MISMATCH.format(
                    name="sigma", expected=x.shape[0], got=s.shape[0]))
            bad = valid & ~(np.isfinite(s) & (s > 0.0))
            if np.any(bad):
                raise ValueError(texts.NOT_POSITIVE.format(
                    name="sigma", value=s[bad][0], fix=texts.FIX_SIGMA))
        if not np.any(valid):
            raise ValueError(texts.NO_VALID_POINTS)
        steps = np.diff(x)
        self.resorted = not (np.all(steps >= 0) or np.all(steps <= 0))
        if self.resorted:
            # The model normalises on the outermost positions, which of an
            # unsorted array are not its first and last: sort, keeping each
            # point's transmittance and sigma with its position.
            order = np.argsort(x, kind="stable")
            x, y, valid = x[order], y[order], valid[order]
            s = None if s is None else s[order]
        self.x_mm = _readonly(x)
        self.transmittance = _readonly(y)
        self.sigma = None if s is None else _readonly(s)
        self.valid = _readonly(valid)
        self.label = label if label is not None else f"{self.pulse_energy:g} J"
        self._warn()

    def _warn(self) -> None:
        issue(self.warning_records(), stacklevel=3)

    def warning_records(self) -> List[WarningRecord]:
        """What the scan's checks warn about (masked points, order, unit
        slips), as data; a Scan issues them when it is made."""
        found = []
        n = self.x_mm.shape[0]
        masked = n - int(np.count_nonzero(self.valid))
        if masked:
            found.append(WarningRecord.of(DataWarning, texts.MASKED_POINTS.format(
                count=masked, total=n, energy=self.pulse_energy)))
        if self.resorted:
            found.append(WarningRecord.of(
                DataWarning, texts.UNSORTED_POSITIONS.format(energy=self.pulse_energy)))
        positions, counts = np.unique(self.x_mm, return_counts=True)
        repeated = positions[counts > 1]
        if repeated.size:
            shown = ", ".join(f"{v:g}" for v in repeated[:5]) + (", ..." if repeated.size > 5
                                                                  else "")
            found.append(WarningRecord.of(DataWarning, texts.REPEATED_POSITIONS.format(
                energy=self.pulse_energy, count=int(repeated.size),
                s="" if repeated.size == 1 else "s", positions=shown)))
        if self.span_mm > _MAX_SPAN_MM:
            found.append(WarningRecord.of(UnitWarning, texts.UNIT_POSITIONS_UM.format(
                energy=self.pulse_energy, span=self.span_mm)))
        mean = self.far_field_mean()
        if math.isfinite(mean) and abs(mean - 1.0) > _FAR_FIELD_TOLERANCE:
            found.append(WarningRecord.of(
                UnitWarning, texts.FAR_FIELD.format(energy=self.pulse_energy, mean=mean)))
        return found

    def with_aperture(self, aperture: Optional[float], divided: bool = False) -> "Scan":
        """The same scan through ``aperture`` (S; None or 1: open),
        ``divided`` by the open one; its warnings not issued again."""
        checked = aperture_of(aperture)
        if divided and checked is None:
            raise ValueError(texts.DIVIDED_OPEN.format(value=aperture))
        return _rebuild_scan(self.x_mm, self.transmittance, self.pulse_energy, self.sigma,
                             self.label, self.resorted, checked, bool(divided))

    @property
    def kind(self) -> str:
        """'open', 'closed S=0.3' or 'divided S=0.3' (closed over open)."""
        if self.aperture is None:
            return "open"
        return f"{'divided' if self.divided else 'closed'} S={self.aperture:g}"

    @property
    def n_points(self) -> int:
        """Number of positions (masked points included)."""
        return int(self.x_mm.shape[0])

    @property
    def span_mm(self) -> float:
        """Distance between the outermost positions, mm."""
        return float(np.max(self.x_mm) - np.min(self.x_mm))

    def far_field_mean(self) -> float:
        """Mean measured transmittance of the first and last five valid points."""
        values = self.transmittance[self.valid]
        if values.shape[0] < 2 * MIN_POINTS:
            return float(np.mean(values))
        return float(np.mean(np.concatenate((values[:MIN_POINTS], values[-MIN_POINTS:]))))

    def __repr__(self) -> str:
        masked = self.n_points - int(np.count_nonzero(self.valid))
        extra = f", {masked} masked" if masked else ""
        sigma = ", with sigma" if self.sigma is not None else ""
        kind = "" if self.aperture is None else f", {self.kind}"
        return (f"Scan({self.n_points} points from {self.x_mm[0]:g} to "
                f"{self.x_mm[-1]:g} mm at {self.pulse_energy:g} J{kind}{extra}{sigma})")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Scan):
            return NotImplemented
        same_sigma = ((self.sigma is None and other.sigma is None) or
                      (self.sigma is not None and other.sigma is not None and
                       np.array_equal(self.sigma, other.sigma)))
        return (self.pulse_energy == other.pulse_energy and same_sigma and
                self.aperture == other.aperture and self.divided == other.divided and
                np.array_equal(self.x_mm, other.x_mm) and
                np.array_equal(self.transmittance, other.transmittance, equal_nan=True))

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self):  # pickled without re-running the warnings
        return (_rebuild_scan, (self.x_mm, self.transmittance, self.pulse_energy,
                                self.sigma, self.label, self.resorted, self.aperture,
                                self.divided))


def _rebuild_scan(x, y, energy, sigma, label, resorted=False, aperture=None,
                  divided=False) -> Scan:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scan = Scan(x, y, energy, sigma, label, aperture, divided)
    scan.resorted = bool(resorted)  # the arrays kept are sorted already
    return scan


def aperture_of(value: Any) -> Optional[float]:
    """An aperture's linear share S in (0, 1) as a float, None for an open
    one (None or 1); ValueError otherwise."""
    if value is None:
        return None
    try:
        share = float(value)
    except (TypeError, ValueError):
        raise ValueError(texts.BAD_APERTURE.format(value=value)) from None
    if isinstance(value, bool) or not 0.0 < share <= 1.0:
        raise ValueError(texts.BAD_APERTURE.format(value=value))
    return None if share == 1.0 else share


def as_scan_list(scans: Union[Scan, Iterable[Scan]]) -> List[Scan]:
    """``scans`` as a non-empty list of Scan; a ValueError names the fix."""
    if isinstance(scans, Scan):
        return [scans]
    if isinstance(scans, (str, bytes, np.ndarray)) or not isinstance(scans, Iterable):
        raise ValueError(texts.NOT_A_SCAN.format(kind=type(scans).__name__))
    result = list(scans)
    if not result:
        raise ValueError(texts.NO_SCANS)
    for item in result:
        if not isinstance(item, Scan):
            raise ValueError(texts.NOT_A_SCAN.format(kind=f"a sequence holding {type(item).__name__}"))
    return result


def scan_centre(scans: Sequence[Scan], is_sa: bool) -> float:
    """The focus position, mm, by fit_zscan's rule over all scans together.

    The position of the largest (saturable absorber) or smallest (reverse
    saturable absorber) valid transmittance of all open scans, taken in
    order, the first on ties. Masked points never count. Without open scans
    (closed or divided ones only, whose extremes are a peak and a valley on
    either side of the focus): the midpoint between the first scan's
    largest and smallest valid values.
    """
    open_scans = [s for s in scans if s.aperture is None]
    if not open_scans:
        first = scans[0]
        y = np.where(first.valid, first.transmittance, np.nan)
        return float(0.5 * (first.x_mm[int(np.nanargmax(y))] + first.x_mm[int(np.nanargmin(y))]))
    x = np.concatenate([s.x_mm for s in open_scans])
    y = np.concatenate([s.transmittance for s in open_scans])
    valid = np.concatenate([s.valid for s in open_scans])
    if is_sa:
        index = int(np.argmax(np.where(valid, y, -np.inf)))
    else:
        index = int(np.argmin(np.where(valid, y, np.inf)))
    return float(x[index])
