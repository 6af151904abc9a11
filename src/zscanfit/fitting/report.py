"""The text report of a fit, in the manner of lmfit's fit_report: fit
statistics, convergence, the parameters with errors and start values,
correlations, the bootstrap's intervals, warnings and the integrator's
messages. A leaf module: the result hands itself to fit_report, which
reads its fields and imports nothing of the package. Relies on lmfit.
"""
from typing import Any

import lmfit

__all__ = ["fit_report"]


def fit_report(result: Any, min_correl: float = 0.1) -> str:
    """The report of a FitResult; correlations above ``min_correl`` shown."""
    method = {"robust": "robust (least_squares, trust region, bounds)",
              "exact": "exact (kesp_wrapper.fit_zscan)"}[result.method]
    evals = str(result.nfev)
    if result.method == "exact":
        evals += " (for the errors; fit_zscan's own are not counted)"
    weights = ("1/sigma^2 (per-point uncertainties)" if result.uses_sigma
               else "1 + 4 exp(-4 z^2), z in m (fit_zscan's)")
    lines = [
        "[[Fit Statistics]]",
        f"    # fitting method   = {method}",
        f"    # starts           = {result.n_starts} (best: {result.best_start})",
        f"    # function evals   = {evals}",
        f"    # data points      = {result.ndata}",
        f"    # variables        = {result.nvarys}",
        f"    chi-square         = {result.chisqr:.7g}",
        f"    reduced chi-square = {result.redchi:.7g}",
        f"    point weights      = {weights}",
    ]
    if not result.uses_sigma:
        lines.append(f"    noise (estimated)  = {result.noise:.4g}")
    lines.append(f"    focus position     = {result.center_mm:g} mm")
    lines.append("[[Convergence]]")
    success = "not reported" if result.success is None else str(result.success)
    lines.append(f"    success            = {success}")
    lines.append(f"    message            = {result.message}")
    lines.append(lmfit.fit_report(result.params, show_correl=True, min_correl=min_correl))
    if result.bootstrap is not None:
        lines.extend(result.bootstrap.report_lines(result.values, result.stderr))
    if result.warnings:
        lines.append("[[Warnings]]")
        lines.extend(f"    {text}" for text in result.warnings)
    if result.messages:
        lines.append("[[Integrator messages]]")
        lines.append(f"    {result.messages.counts_text()} (total {result.messages.total})")
        lines.extend(f"    {text.strip()}" for text in result.messages.first)
    return "\n".join(lines)
