"""The text report of a fit, in the manner of lmfit's fit_report: fit
statistics (chi-square beside the noise it implies), convergence, the
parameters with errors and start values, correlations, the bootstrap's
intervals, every warning of the fit and the integrator's messages in
words, and the experiment as used (experiment_summary.py). A leaf module:
the result hands itself to fit_report, which reads its fields. Relies on
lmfit, texts.py, experiment_summary.py and optics_summary.py (the
nonlinear optics of closed-aperture fits).
"""
import math
import re
from typing import Any, List

import lmfit

from .. import texts
from ..inputs.parameters import is_focus_name
from .experiment_summary import experiment_summaries
from .optics_summary import optics_summary

__all__ = ["fit_report"]

METHODS = {"robust": "robust (least_squares, trust region, bounds)",
           "exact": "exact (kesp_wrapper.fit_zscan)"}
WEIGHTS = {"equal": "equal (no per-point sigma)",
           "sigma": "1/sigma^2 (per-point uncertainties)",
           "fit_zscan": ("1 + 4 exp(-4 z^2), z in m (fit_zscan's; a constant 5 to within "
                         "0.2 % over any real scan)")}


def _statistics(result: Any) -> List[str]:
    evals = str(result.nfev)
    if result.method == "exact":
        evals += " (for the errors; fit_zscan's own are not counted)"
        starts = f"{result.n_starts} (fit_zscan keeps the best; it does not say which)"
    else:
        starts = f"{result.n_starts} (best: {result.best_start})"
    if result.uses_sigma:
        chisqr = f"{result.chisqr:.7g} (sum of squared residuals in units of sigma)"
    elif math.isfinite(result.noise):
        chisqr = f"{result.chisqr:.7g} (noise {result.noise:.4g} estimated from the residuals)"
    else:
        chisqr = f"{result.chisqr:.7g}"
    model = result.model.describe(result.experiment)
    if optics_summary(result) is not None and result.model.whole_beam:
        model = texts.MODEL_CLOSED.format(tolerance=result.model.tolerance)
    if math.isfinite(result.model_error):
        model += texts.REPORT_MODEL_ERROR.format(error=result.model_error)
    lines = [
        "[[Fit Statistics]]",
        f"    # fitting method   = {METHODS[result.method]}",
        f"    # model            = {model}",
        f"    # starts           = {starts}",
        f"    # function evals   = {evals}",
        f"    # data points      = {result.ndata}",
        f"    # variables        = {result.nvarys}",
        f"    chi-square         = {chisqr}",
        f"    reduced chi-square = {result.redchi:.7g}",
        f"    point weights      = {WEIGHTS[result.weighting]}",
    ]
    source = ("fitted" if "center_mm" in result.free else
              "given" if result.center_given else "from the data's extremum")
    if result.data_sets:
        lines.append(f"    # data sets        = {len(result.data_sets)} (shared spectroscopic "
                     "parameters; each its own experiment and focus)")
        lines.extend(texts.REPORT_DATA_SET.format(label=d.label, scans=len(d.scans),
                                                  centre=_focus_text(d.center_mm,
                                                                     d.center_stderr, d.focus))
                     for d in result.data_sets)
    else:
        stderr = result.stderr.get("center_mm", math.nan)
        lines.append(texts.REPORT_FOCUS.format(
            centre=_focus_text(result.center_mm, stderr, ""), source=source))
    return lines


def _focus_text(centre: float, stderr: float, source: str) -> str:
    """A focus position with its error where fitted, and where it came from."""
    text = (texts.REPORT_FOCUS_FITTED.format(centre=centre, stderr=stderr)
            if math.isfinite(stderr) else texts.REPORT_FOCUS_VALUE.format(centre=centre))
    return text + (texts.REPORT_FOCUS_SOURCE.format(source=FOCUS_SOURCES[source])
                   if source else "")


FOCUS_SOURCES = {"fitted": "fitted", "given": "given", "extremum": "the data's extremum"}
# lmfit's fit_report gives every error in per cent of its value: a
# position's value is its distance from an arbitrary origin.
_PERCENT = re.compile(r" \((?:\d[\d.,]*|nan|inf)%\)")


def variables_section(params: lmfit.Parameters, min_correl: float) -> str:
    """lmfit's [[Variables]] and [[Correlations]], without relative errors
    for the focus positions."""
    lines = lmfit.fit_report(params, show_correl=True, min_correl=min_correl).split("\n")
    for i, line in enumerate(lines):
        name = line.strip().split(":", 1)[0]
        if is_focus_name(name):
            lines[i] = _PERCENT.sub("", line, count=1)
    return "\n".join(lines)


def fit_report(result: Any, min_correl: float = 0.1) -> str:
    """The report of a FitResult; correlations above ``min_correl`` shown."""
    lines = _statistics(result)
    lines.append(texts.EXPERIMENT_HEAD)
    for summary in experiment_summaries(result):
        lines.extend(summary.report_lines())
    lines.append("[[Convergence]]")
    success = "not reported" if result.success is None else str(result.success)
    lines.append(f"    success            = {success}")
    lines.append(f"    message            = {result.message}")
    lines.append(variables_section(result.params, min_correl))
    optics = optics_summary(result)
    if optics is not None:
        lines.extend(optics.report_lines())
    if result.profile is not None:
        lines.extend(result.profile.report_lines(result.stderr))
    if result.error_budget is not None:
        lines.extend(result.error_budget.report_lines(result.values))
    if result.bootstrap is not None:
        lines.extend(result.bootstrap.report_lines(result.values, result.stderr))
    if result.warning_records:
        lines.append("[[Warnings]]")
        lines.extend(f"    {record.category}: {record.message}"
                     for record in result.warning_records)
    if result.messages:
        lines.append("[[Integrator messages]]")
        lines.append(texts.REPORT_MESSAGES.format(total=result.messages.total))
        lines.extend(f"    {texts.MEANING_COUNT.format(count=count, meaning=meaning)}"
                     for count, meaning, _ in result.messages.meanings())
        verdict = (texts.MESSAGES_AFFECT if result.messages.affects_results
                   else texts.MESSAGES_HARMLESS)
        lines.append(f"    {verdict}")
        lines.extend(f"    first: {' '.join(text.split())}" for text in result.messages.first[:2])
    return "\n".join(lines)
