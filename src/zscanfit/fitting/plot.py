"""Figure of a fit, ready for a paper: the data, a smooth fitted curve per
pulse energy, the residuals with the noise band, and the fitted values
with their errors, set with matplotlib's mathtext (sigma_0 as a Greek
symbol with its index, cm^2, uJ), the legend and the values beside the
data rather than on it, no title unless one is asked for.

The curves are the fitted model on a fine grid, centred and normalised
like the fit (the result's ``curve``), so they pass through the model
values at the data points. Beside the values a line per data file gives
the experiment (energies, Rayleigh range, peak fluence at the focus;
experiment_summary.py). Draws with matplotlib's object interface
without pyplot's global state (the Agg canvas for a figure of its own),
so figures can be made from several threads; into the caller's axes with
``ax=``. The format follows the file name (PNG, SVG, PDF, ...). Relies
on matplotlib, the integrator messages' collection and the parameters'
units; the result is duck-typed.
"""
import math
import os
from typing import Any, Optional, Tuple, Union

import numpy as np

from .._files import atomic_output
from ..evaluation.integrator_messages import collect_messages
from ..inputs.parameters import unit_of
from .experiment_summary import experiment_summaries

__all__ = ["plot_fit", "parameter_symbol", "value_text"]

UNIT_TEXT = {"cm^2": r"cm$^2$", "s": "s", "mm": "mm", "m": "m", "": ""}


SYMBOLS = {"center_mm": r"$z_{\mathrm{focus}}$", "w0": r"$w_0$", "M2": r"$M^2$",
           "concentration": "$c$", "extinction": r"$\varepsilon$", "beta": r"$\beta$",
           "n2": "$n_2$", "sigma_r1": r"$\sigma_{r1}$", "sigma_r3": r"$\sigma_{r3}$"}
UNIT_TEXT.update({"mol/L": "mol/L", "L/(mol cm)": r"L mol$^{-1}$ cm$^{-1}$",
                  "cm/W": "cm/W", "cm^2/W": r"cm$^2$/W"})


def parameter_symbol(name: str) -> str:
    r"""The mathtext symbol of a parameter: sigma_0 -> $\sigma_0$,
    tau_10 -> $\tau_{10}$, w0 -> $w_0$, center_mm_2 -> $z_{\mathrm{focus},2}$."""
    if name in SYMBOLS:
        return SYMBOLS[name]
    if name.startswith("center_mm_"):
        return rf"$z_{{\mathrm{{focus}},{name.rsplit('_', 1)[1]}}}$"
    letter, index = name.split("_", 1)
    return rf"$\{letter}_{{{index}}}$"


def _scaled(value: float, error: Optional[float]) -> str:
    """value (+- error) with one power of ten, in mathtext."""
    if value == 0.0 or not math.isfinite(value):
        return f"{value:g}"
    exponent = int(math.floor(math.log10(abs(value))))
    scale = 10.0 ** exponent
    power = rf" $\times$ 10$^{{{exponent}}}$" if exponent else ""
    if error is None or not math.isfinite(error):
        return f"{value / scale:.4g}{power}"
    digits = max(0, 1 - int(math.floor(math.log10(abs(error / scale))))) if error > 0 else 3
    digits = min(digits, 6)
    body = rf"{value / scale:.{digits}f} $\pm$ {error / scale:.{digits}f}"
    return f"({body}){power}" if power else body


def value_text(result: Any) -> str:
    """The fitted values with their errors, one line each, in mathtext: the
    combined standard uncertainty when the fit has an error budget, else
    the statistical error."""
    budget = getattr(result, "error_budget", None)
    lines = []
    for name in result.free:
        value = float(result.params[name].value)
        stderr = result.params[name].stderr
        error = None if stderr is None else float(stderr)
        if budget is not None and name in budget.free:
            error = budget.combined[name]
        unit = UNIT_TEXT[unit_of(name)]
        shown = _scaled(value, error)
        if error is None or not math.isfinite(error):
            shown += " (undetermined)"
        lines.append(f"{parameter_symbol(name)} = {shown} {unit}")
    if budget is not None:
        lines.append("errors: statistical and experimental, combined")
    if result.uses_sigma:
        lines.append(rf"reduced $\chi^2$ = {result.redchi:.3g}")
    elif math.isfinite(result.noise):
        lines.append(f"noise {result.noise:.2g}")
    lines.extend(summary.compact_text() for summary in experiment_summaries(result))
    return "\n".join(lines)


def _energy_label(energy_j: float) -> str:
    for factor, unit, least in ((1e-3, "mJ", 1e-3), (1e-6, r"$\mu$J", 1e-8), (1e-9, "nJ", 1e-11)):
        if energy_j >= least:
            return f"{energy_j / factor:g} {unit}"
    return f"{energy_j:g} J"


def plot_fit(result: Any, path: Optional[Union[str, "os.PathLike[str]"]] = None, *,
             ax: Any = None, residual_ax: Any = None, points: int = 300,
             title: Optional[str] = None, figsize: Tuple[float, float] = (7.0, 4.8),
             dpi: int = 300, format: Optional[str] = None, values: bool = True,
             verbose: bool = False) -> Any:
    """Draw a fit; save it to ``path`` when given.

    Parameters
    ----------
    result : FitResult
    path : str or path-like, optional
        Where to save; the format follows the extension (.png, .svg, .pdf,
        ...) unless ``format`` is given. None: only draw.
    ax : matplotlib Axes, optional
        Draw the data and curves into these axes (the residuals into
        ``residual_ax``, if given) instead of a new figure.
    points : int
        Points of each smooth curve.
    title : str, optional
        A title; none by default.
    figsize : (float, float)
        Size of a new figure, inches.
    dpi : int
        Resolution of raster formats.
    values : bool
        Show the fitted values with their errors beside the legend.

    Returns
    -------
    matplotlib.figure.Figure
        The new figure, or the figure of ``ax``.
    """
    if ax is None:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        figure = Figure(figsize=figsize, constrained_layout=True)
        FigureCanvasAgg(figure)
        top, bottom = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    else:
        figure, top, bottom = ax.figure, ax, residual_ax
    with collect_messages("plot", verbose, stacklevel=6):
        for k, scan in enumerate(result.scans):
            colour = f"C{k % 10}"
            label = _energy_label(scan.pulse_energy)
            if scan.aperture is not None:   # closed S=0.3, divided S=0.3
                label += f", {scan.kind}"
            valid = scan.valid
            if scan.sigma is not None:
                top.errorbar(scan.x_mm[valid], scan.transmittance[valid], yerr=scan.sigma[valid],
                             fmt="o", markersize=3.5, color=colour, label=f"data, {label}")
            else:
                top.plot(scan.x_mm[valid], scan.transmittance[valid], "o", markersize=3.5,
                         color=colour, label=f"data, {label}")
            grid = np.linspace(float(np.min(scan.x_mm)), float(np.max(scan.x_mm)), points)
            top.plot(grid, result.curve(k, grid), "-", color=colour, linewidth=1.5,
                     label=f"fit, {label}")
            if bottom is not None:
                bottom.plot(scan.x_mm[valid], result.residuals[k][valid], "o", markersize=3,
                            color=colour)
    if bottom is not None:
        if not result.uses_sigma and math.isfinite(result.noise):
            bottom.axhspan(-result.noise, result.noise, color="grey", alpha=0.2, linewidth=0)
        bottom.axhline(0.0, color="grey", linewidth=0.8)
        bottom.set_xlabel(r"sample position $z$ (mm)")
        bottom.set_ylabel("residual")
    else:
        top.set_xlabel(r"sample position $z$ (mm)")
    if title:
        top.set_title(title)
    top.annotate(result.model.describe(result.experiment).split(" (")[0] + " model"
                 + (f", tolerance {result.model.tolerance:g}" if result.model.has_tolerance else ""),
                 xy=(0.01, 0.01), xycoords="axes fraction", fontsize="x-small", color="grey")
    top.set_ylabel("normalised transmittance")
    top.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1.0),
               frameon=False, borderaxespad=0.0)
    if values:
        top.annotate(value_text(result), xy=(1.01, 0.0), xycoords="axes fraction",
                     ha="left", va="bottom", fontsize="small")
    if path is not None:
        # matplotlib takes the format from the name only when it writes the
        # file itself; here it writes into the temporary file beside it.
        kind = format or os.path.splitext(os.fspath(path))[1].lstrip(".").lower() or None
        with atomic_output(path, binary=True) as stream:
            figure.savefig(stream, dpi=dpi, format=kind)
    return figure
