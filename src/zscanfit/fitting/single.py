"""One fit, without a bootstrap: the options checked, the problem laid
out, the method run (robust.py or exact.py, each handing on a
MethodOutcome), the standard errors computed once (covariance.py), the
warnings about what the data leave open (diagnostics.py), and the
FitResult built.

Every model evaluation runs inside one collection of the integrator's
messages, summarised in one IntegratorWarning. Relies on the evaluation
layer (problem, messages), the inputs and the modules of this package.
"""
import dataclasses
import math
from typing import Any, List, Optional, Sequence, Tuple, Union

import lmfit
import numpy as np

from .. import texts
from ..evaluation.integrator_messages import MessageSummary, collect_messages
from ..evaluation.integrator_messages import report as report_messages
from ..evaluation.models import DEFAULT_TOLERANCE, ModelSpec, model_warnings
from ..evaluation.problem import FitProblem
from ..inputs.convert import float_scalar, int_scalar
from ..inputs.experiment import Experiment
from ..inputs.parameters import PARAMETER_NAMES, free_names, read_params, spec_pars_of
from ..inputs.scans import Scan, as_scan_list
from ..warning_types import IntegratorWarning, WarningRecord, issue
from .coordinates import Coordinates
from .covariance import uncertainties
from .diagnostics import (convergence_warning, focus_score, focus_warning,
                          narrow_scan_warnings, parameter_warnings, sigma_chisqr_warning)
from .exact import check_exact, fit_exact
from .method_outcome import MethodOutcome
from .progress import FitProgress
from .result import FitResult, physical_params
from .robust import DIFF_STEP, fit_robust

__all__ = ["FitOptions", "FitInputs", "METHODS", "check_inputs", "check_options", "fit_once"]

METHODS = ("robust", "exact")


@dataclasses.dataclass(frozen=True)
class FitOptions:
    """How to fit: see ``zscanfit.fit`` for each option."""

    is_sa: bool = False
    n_starts: int = 3
    method: str = "robust"
    verbose: bool = False
    center_mm: Optional[float] = None
    diff_step: float = DIFF_STEP
    max_nfev: Optional[int] = None
    model: ModelSpec = ModelSpec()


@dataclasses.dataclass(frozen=True)
class FitInputs:
    """What one fit is made of, checked."""

    scans: List[Scan]
    experiment: Experiment
    given: lmfit.Parameters
    free: Tuple[str, ...]
    options: FitOptions


def check_inputs(scans: Union[Scan, Sequence[Scan]], experiment: Any, params: Any, *,
                 is_sa: Any = False, n_starts: Any = 3, method: Any = "robust",
                 verbose: Any = False, center_mm: Any = None, diff_step: Any = DIFF_STEP,
                 max_nfev: Any = None, model: Any = None,
                 tolerance: Any = DEFAULT_TOLERANCE) -> FitInputs:
    """The arguments of ``fit`` converted and checked, in this order; a
    ValueError names the first bad one and its fix."""
    scan_list = as_scan_list(scans)
    if not isinstance(experiment, Experiment):
        raise ValueError(texts.NOT_AN_EXPERIMENT.format(kind=type(experiment).__name__))
    given = read_params(params)
    free = free_names(given)
    if not free:
        raise ValueError(texts.NOTHING_FREE)
    options = check_options(is_sa=is_sa, n_starts=n_starts, method=method, verbose=verbose,
                            center_mm=center_mm, diff_step=diff_step, max_nfev=max_nfev,
                            model=model, tolerance=tolerance)
    return FitInputs(scan_list, experiment, given, free, options)


def check_options(*, is_sa: Any = False, n_starts: Any = 3, method: Any = "robust",
                  verbose: Any = False, center_mm: Any = None, diff_step: Any = DIFF_STEP,
                  max_nfev: Any = None, model: Any = None,
                  tolerance: Any = DEFAULT_TOLERANCE) -> FitOptions:
    """The options of ``fit`` that need no data, converted and checked.

    The model defaults to the whole-beam one; method='exact' runs
    fit_zscan and so always the on-axis model (asking it for the
    whole-beam model is a ValueError).
    """
    if method not in METHODS:
        raise ValueError(texts.BAD_METHOD.format(method=method))
    if method == "exact":
        if model not in (None, "on-axis"):
            raise ValueError(texts.EXACT_MODEL.format(model=model))
        model = "on-axis"
    spec = ModelSpec.checked("whole-beam" if model is None else model, tolerance)
    n_starts = int_scalar(n_starts, "n_starts", minimum=1, fix="give the number of starts")
    diff_step = float_scalar(diff_step, "diff_step", positive=True,
                             fix="give a relative step such as 1e-4")
    if max_nfev is not None:
        max_nfev = int_scalar(max_nfev, "max_nfev", minimum=1, fix="give an evaluation budget")
    if center_mm is not None:
        center_mm = float_scalar(center_mm, "center_mm", fix=texts.FIX_POSITIONS)
    return FitOptions(is_sa=bool(is_sa), n_starts=n_starts, method=method, verbose=verbose,
                      center_mm=center_mm, diff_step=diff_step, max_nfev=max_nfev, model=spec)


def fit_once(inputs: FitInputs) -> FitResult:
    """The fit of ``zscanfit.fit`` without its bootstrap.

    The result carries every warning of the fit: those of the experiment
    and the scans (issued when they were made), and those the fit finds
    (issued here, once each).
    """
    given, free, options = inputs.given, inputs.free, inputs.options
    problem = FitProblem(inputs.scans, inputs.experiment, options.is_sa, options.center_mm,
                         fit_zscan_weights=options.method == "exact", model=options.model)
    if problem.n_points < len(free):
        raise ValueError(texts.TOO_MANY_FREE.format(free=len(free), points=problem.n_points))
    found = narrow_scan_warnings(inputs.scans, inputs.experiment)
    if options.model.whole_beam:
        found += model_warnings(inputs.experiment, spec_pars_of(given))
    issue(found, stacklevel=3)
    if options.method == "exact":
        check_exact(problem)
        if options.center_mm is not None:
            raise ValueError(texts.EXACT_CENTER)

    what = f"fit(method={options.method!r})"
    with collect_messages(what, options.verbose, announce=False) as collected:
        if options.method == "robust":
            with FitProgress(options.n_starts) as progress:
                problem.on_evaluation = progress.evaluation
                outcome = fit_robust(problem, Coordinates(given, free), options.n_starts,
                                     options.diff_step, options.max_nfev, progress)
                problem.on_evaluation = None
        else:
            outcome = fit_exact(problem, given, free, options.n_starts)
        result = _result(problem, given, free, outcome, options)
    new = list(result.warning_records)
    result.messages = collected.summary
    if collected.summary and not options.verbose:
        new.append(WarningRecord.of(IntegratorWarning, collected.summary.text(what)))
    elif collected.summary:
        report_messages(collected.summary, what, verbose=True)
    issue(new, stacklevel=3)
    given_records = inputs.experiment.warning_records() + [
        record for scan in inputs.scans for record in scan.warning_records()]
    result.warning_records = tuple(given_records + found + new)
    return result


def _largest(errors: Optional[List[np.ndarray]]) -> float:
    """The largest error estimate of the model at the fit (NaN: none)."""
    if not errors:
        return math.nan
    return float(max(np.max(e) for e in errors if e.size))


def _result(problem: FitProblem, given: lmfit.Parameters, free: Tuple[str, ...],
            outcome: MethodOutcome, options: FitOptions) -> FitResult:
    residuals = problem.plain_residuals(outcome.models)
    errors = uncertainties(outcome.jacobian, outcome.dv_du, problem.root_weights,
                           residuals, problem.uses_sigma)
    weighted = problem.root_weights * residuals
    chisqr = float(np.sum(weighted * weighted))
    ndata, nvarys = problem.n_points, len(free)
    redchi = chisqr / (ndata - nvarys) if ndata > nvarys else math.nan
    params = physical_params(given, free, outcome.values, errors.stderr, errors.correlation)
    spec_pars = np.array([params[name].value for name in PARAMETER_NAMES], dtype=np.float64)
    focus = focus_score(problem, spec_pars, outcome.jacobian, weighted, errors.noise)
    found = parameter_warnings(given, free, outcome.values, errors, options.method)
    for record in (convergence_warning(outcome.success, outcome.message, problem.n_evaluations,
                                       options.n_starts),
                   focus_warning(focus, problem.center_mm, problem.center_given),
                   sigma_chisqr_warning(redchi, ndata - nvarys) if problem.uses_sigma else None):
        if record is not None:
            found.append(record)
    scan_residuals = []
    for scan, model_values in zip(problem.scans, outcome.models):
        r = scan.transmittance - model_values
        r[~scan.valid] = np.nan
        scan_residuals.append(r)
    minimizer_result = outcome.minimizer_result
    if minimizer_result is not None and minimizer_result.params is None:
        minimizer_result.params = params
    start_chisqr = outcome.start_chisqr if options.method == "robust" else (chisqr,)
    result = FitResult(
        params=params, free=free, covariance=errors.covariance,
        correlation=errors.correlation, chisqr=chisqr, redchi=redchi, ndata=ndata,
        nvarys=nvarys, nfev=problem.n_evaluations, success=outcome.success,
        message=outcome.message, method=options.method, n_starts=options.n_starts,
        best_start=outcome.best_start, start_chisqr=tuple(start_chisqr),
        center_mm=problem.center_mm, noise=errors.noise, uses_sigma=problem.uses_sigma,
        residuals=scan_residuals, models=[np.array(m) for m in outcome.models],
        messages=MessageSummary(), warning_records=tuple(found),
        minimizer_result=minimizer_result, scans=problem.scans, experiment=problem.experiment,
        is_sa=problem.is_sa, weighting=problem.weighting, focus_score=focus.score,
        center_given=problem.center_given, model=problem.model,
        model_error=_largest(outcome.model_errors))
    return result
