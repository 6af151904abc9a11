"""Figure of a fit: the data, a smooth fitted curve per pulse energy, the
residuals with the noise band, and the fitted values with their errors.

The curves are the model on a fine grid, centred and normalised on each
measured scan (so they pass through the model values at the data points).
Draws with matplotlib's object interface and the Agg canvas, without
pyplot's global state, so figures can be made from several threads.
Relies on matplotlib, the model entry (_native.py), the integrator
messages' collection and the parameters' units; the result is duck-typed.
"""
import math
import os
from typing import Any, Optional, Union

import numpy as np

from .._native import scan_values
from ..evaluation.integrator_messages import collect_messages
from ..inputs.parameters import PARAMETER_UNITS

__all__ = ["plot_fit"]


def _value_text(result: Any) -> str:
    lines = []
    for name in result.free:
        value = result.params[name].value
        stderr = result.params[name].stderr
        if stderr is not None and math.isfinite(stderr):
            lines.append(f"{name} = {value:.4g} ± {stderr:.2g} {PARAMETER_UNITS[name]}")
        else:
            lines.append(f"{name} = {value:.4g} {PARAMETER_UNITS[name]} (undetermined)")
    lines.append(f"reduced χ² = {result.redchi:.3g}")
    return "\n".join(lines)


def plot_fit(result: Any, path: Optional[Union[str, "os.PathLike[str]"]] = None, *,
             points: int = 300, title: Optional[str] = None, dpi: int = 120,
             verbose: bool = False) -> Any:
    """Draw a fit and save it to ``path`` (any format matplotlib writes).

    Parameters
    ----------
    result : FitResult
    path : str or path-like, optional
        Where to save; None only returns the figure.
    points : int
        Points of each smooth curve.
    title : str, optional
        Figure title (default: the kind of absorber and the method).

    Returns
    -------
    matplotlib.figure.Figure
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.5, 6.5))
    FigureCanvasAgg(figure)
    top, bottom = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    spec_pars = result.spec_pars
    centre = result.center_mm
    with collect_messages("plot", verbose, stacklevel=6):
        for k, scan in enumerate(result.scans):
            colour = f"C{k % 10}"
            label = f"{scan.pulse_energy * 1e6:g} µJ"
            valid = scan.valid
            if scan.sigma is not None:
                top.errorbar(scan.x_mm[valid], scan.transmittance[valid], yerr=scan.sigma[valid],
                             fmt="o", markersize=3.5, color=colour, label=f"data {label}")
            else:
                top.plot(scan.x_mm[valid], scan.transmittance[valid], "o", markersize=3.5,
                         color=colour, label=f"data {label}")
            grid = np.linspace(float(np.min(scan.x_mm)), float(np.max(scan.x_mm)), points)
            wings = np.ascontiguousarray(scan.x_mm - centre)
            curve = scan_values(np.ascontiguousarray(grid - centre), wings, scan.pulse_energy,
                                 spec_pars, result.experiment)
            top.plot(grid, curve, "-", color=colour, linewidth=1.5, label=f"fit {label}")
            bottom.plot(scan.x_mm[valid], result.residuals[k][valid], "o", markersize=3,
                        color=colour)
    if not result.uses_sigma and math.isfinite(result.noise):
        bottom.axhspan(-result.noise, result.noise, color="grey", alpha=0.2,
                       label=f"±1 noise sd ({result.noise:.2g})")
        bottom.legend(loc="lower right", fontsize="small")
    bottom.axhline(0.0, color="grey", linewidth=0.8)
    kind = "saturable absorber" if result.is_sa else "reverse saturable absorber"
    top.set_title(title or f"Open-aperture z-scan, {kind} ({result.method} fit)")
    top.set_ylabel("normalised transmittance")
    top.legend(fontsize="small", loc="lower left" if not result.is_sa else "upper left")
    top.text(0.98, 0.03 if not result.is_sa else 0.97, _value_text(result),
             transform=top.transAxes, ha="right", va="bottom" if not result.is_sa else "top",
             fontsize="small", bbox={"boxstyle": "round", "facecolor": "white", "alpha": 0.85})
    bottom.set_xlabel("sample position z (mm)")
    bottom.set_ylabel("residual")
    figure.tight_layout()
    if path is not None:
        figure.savefig(os.fspath(path), dpi=dpi)
    return figure
