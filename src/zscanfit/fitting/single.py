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
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import lmfit
import numpy as np

from .. import texts
from ..evaluation.integrator_messages import MessageSummary, collect_messages
from ..evaluation.integrator_messages import report as report_messages
from ..evaluation.models import DEFAULT_TOLERANCE, ModelSpec, model_warnings, tolerance_warning
from ..evaluation.problem import DataSet, FitProblem
from ..inputs.convert import float_scalar, int_scalar
from ..inputs.experiment import UNCERTAIN_SETTINGS, Experiment
from ..inputs.plausibility import energy_warnings
from ..inputs.parameters import (PARAMETER_NAMES, beam_values, free_names, read_params,
                                 spec_pars_of)
from ..inputs.scans import Scan, as_scan_list, scan_centre
from ..warning_types import IntegratorWarning, WarningRecord, ZScanWarning, issue
from .coordinates import Coordinates
from .covariance import uncertainties
from .error_budget import error_budget
from .diagnostics import (FocusScore, convergence_warning, focus_score, focus_warning,
                          narrow_scan_warnings, parameter_warnings, sigma_chisqr_warning)
from .exact import check_exact, fit_exact
from .method_outcome import MethodOutcome
from .progress import FitProgress
from .result import FitResult, physical_params
from .robust import DIFF_STEP, fit_robust

__all__ = ["FitOptions", "FitInputs", "METHODS", "check_inputs", "check_global_inputs",
           "check_options", "fit_once"]

METHODS = ("robust", "exact")
# How far the robust method searches about the values given: a factor of 10
# either way (the focus: 10 Rayleigh ranges). The starts lie well inside;
# beyond it lie optical depths and saturations no measurement shows, where
# the whole-beam model is costly, and a fit that runs to its edge says so.
SEARCH_RANGE = 10.0
# Each start is a whole fit: a thousand already take hours.
MAX_STARTS = 1000


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
    search_range: Optional[float] = SEARCH_RANGE


@dataclasses.dataclass(frozen=True)
class FitInputs:
    """What one fit is made of, checked."""

    scans: List[Scan]
    experiment: Experiment
    given: lmfit.Parameters
    free: Tuple[str, ...]
    options: FitOptions
    data_sets: Optional[List[DataSet]] = None   # a global fit's files
    shared: Optional[Tuple[str, ...]] = None    # settings whose uncertainty they share


def check_inputs(scans: Union[Scan, Sequence[Scan]], experiment: Any, params: Any, *,
                 is_sa: Any = False, n_starts: Any = 3, method: Any = "robust",
                 verbose: Any = False, center_mm: Any = None, diff_step: Any = DIFF_STEP,
                 max_nfev: Any = None, model: Any = None,
                 tolerance: Any = DEFAULT_TOLERANCE,
                 search_range: Any = SEARCH_RANGE) -> FitInputs:
    """The arguments of ``fit`` converted and checked, in this order; a
    ValueError names the first bad one and its fix."""
    scan_list = as_scan_list(scans)
    if not isinstance(experiment, Experiment):
        raise ValueError(texts.NOT_AN_EXPERIMENT.format(kind=type(experiment).__name__))
    given = read_params(params)
    free = free_names(given)
    if not free:
        raise ValueError(texts.NOTHING_FREE)
    for name in free:
        if math.isinf(given[name].value):
            raise ValueError(texts.INFINITE_FREE.format(name=name))
    options = check_options(is_sa=is_sa, n_starts=n_starts, method=method, verbose=verbose,
                            center_mm=center_mm, diff_step=diff_step, max_nfev=max_nfev,
                            model=model, tolerance=tolerance, search_range=search_range)
    beam = beam_values(given)
    if beam and options.method == "exact":
        raise ValueError(texts.EXACT_BEAM.format(names=", ".join(beam)))
    if "center_mm" in beam and options.center_mm is not None:
        raise ValueError(texts.CENTER_TWICE)
    return FitInputs(scan_list, experiment, _with_beam_starts(given, scan_list, experiment,
                                                              options), free, options)


def check_global_inputs(data_sets: Sequence[Any], params: Any,
                        shared: Optional[Sequence[str]] = None, **options: Any) -> FitInputs:
    """The arguments of ``fit_global`` converted and checked: every data
    set a (scans, experiment) pair, or (scans, experiment, label); the
    shared settings names of settings that may carry an uncertainty."""
    shared_names = None if shared is None else _shared_names(shared)
    if isinstance(data_sets, (str, bytes)) or not isinstance(data_sets, Sequence) \
            or not data_sets:
        raise ValueError(texts.GLOBAL_NO_DATA_SETS.format(kind=type(data_sets).__name__))
    checked = []
    for index, entry in enumerate(data_sets):
        if not isinstance(entry, (tuple, list)) or len(entry) not in (2, 3):
            raise ValueError(texts.GLOBAL_BAD_DATA_SET.format(index=index,
                                                              kind=type(entry).__name__))
        scans, experiment = entry[0], entry[1]
        label = entry[2] if len(entry) == 3 else f"data set {index + 1}"
        first = check_inputs(scans, experiment, params, **options)
        checked.append(DataSet(tuple(first.scans), first.experiment, first.options.center_mm,
                               str(label)))
    inputs = first
    if beam_values(inputs.given):
        raise ValueError(texts.GLOBAL_BEAM.format(names=", ".join(beam_values(inputs.given))))
    if inputs.options.method == "exact":
        raise ValueError(texts.GLOBAL_EXACT)
    scans = [scan for d in checked for scan in d.scans]
    return dataclasses.replace(inputs, scans=scans, experiment=checked[0].experiment,
                               data_sets=checked, shared=shared_names)


# The settings a global fit's files may share: those with one value per
# experiment (each scan's own pulse energy is its own reading).
SHAREABLE = tuple(name for name in UNCERTAIN_SETTINGS if name != "pulse_energy")


def _shared_names(shared: Any) -> Tuple[str, ...]:
    """fit_global's ``shared`` as a tuple of names; ValueError naming a
    name that is no shareable setting."""
    names = (shared,) if isinstance(shared, str) else tuple(shared)
    for name in names:
        if name not in SHAREABLE:
            raise ValueError(texts.GLOBAL_BAD_SHARED.format(name=name,
                                                            names=", ".join(SHAREABLE)))
    return names


def _with_beam_starts(given: lmfit.Parameters, scans: Sequence[Scan], experiment: Experiment,
                      options: "FitOptions") -> lmfit.Parameters:
    """``given`` with the beam's parameters that have no start value yet
    starting from the focus found in the data and the experiment's w0, M2."""
    beam = beam_values(given)
    if not any(math.isnan(v) for v in beam.values()):
        return given
    starts = {"center_mm": lambda: scan_centre(scans, options.is_sa),
              "w0": lambda: experiment.w0, "M2": lambda: experiment.M2}
    filled = given.copy()
    for name, value in beam.items():
        if math.isnan(value):
            filled[name].value = float(starts[name]())
    return filled


def check_options(*, is_sa: Any = False, n_starts: Any = 3, method: Any = "robust",
                  verbose: Any = False, center_mm: Any = None, diff_step: Any = DIFF_STEP,
                  max_nfev: Any = None, model: Any = None,
                  tolerance: Any = DEFAULT_TOLERANCE,
                  search_range: Any = SEARCH_RANGE) -> FitOptions:
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
    n_starts = int_scalar(n_starts, "n_starts", minimum=1, maximum=MAX_STARTS,
                          fix=texts.FIX_STARTS)
    diff_step = float_scalar(diff_step, "diff_step", positive=True,
                             fix="give a relative step such as 1e-4")
    if max_nfev is not None:
        max_nfev = int_scalar(max_nfev, "max_nfev", minimum=1, fix="give an evaluation budget")
    if center_mm is not None:
        center_mm = float_scalar(center_mm, "center_mm", fix=texts.FIX_POSITIONS)
    if search_range is not None:
        search_range = float_scalar(search_range, "search_range", positive=True,
                                    fix=texts.FIX_SEARCH_RANGE)
        if not search_range > 1.0:
            raise ValueError(texts.SEARCH_RANGE_TOO_SMALL.format(value=search_range))
    return FitOptions(is_sa=bool(is_sa), n_starts=n_starts, method=method, verbose=verbose,
                      center_mm=center_mm, diff_step=diff_step, max_nfev=max_nfev, model=spec,
                      search_range=search_range)


def fit_once(inputs: FitInputs) -> FitResult:
    """The fit of ``zscanfit.fit`` without its bootstrap.

    The result carries every warning of the fit: those of the experiment
    and the scans (issued when they were made), and those the fit finds
    (issued here, once each).
    """
    given, free, options = inputs.given, inputs.free, inputs.options
    beam = beam_values(given)
    problem = FitProblem(inputs.scans, inputs.experiment, options.is_sa,
                         beam.get("center_mm", options.center_mm),
                         fit_zscan_weights=options.method == "exact", model=options.model,
                         data_sets=inputs.data_sets)
    if problem.n_points < len(free):
        raise ValueError(texts.TOO_MANY_FREE.format(free=len(free), points=problem.n_points))
    found = []
    for data_set in problem.data_sets:
        found += energy_warnings(data_set.scans, data_set.experiment)
        found += narrow_scan_warnings(data_set.scans, data_set.experiment)
        if options.model.whole_beam:
            found += model_warnings(data_set.experiment, spec_pars_of(given))
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
                coords = Coordinates(given, free,
                                     scales={"center_mm": inputs.experiment.rayleigh_range_mm},
                                     search_range=options.search_range)
                outcome = fit_robust(problem, coords, options.n_starts, options.diff_step,
                                     options.max_nfev, progress)
                problem.on_evaluation = None
        else:
            outcome = fit_exact(problem, given, free, options.n_starts)
        result = _result(problem, given, free, outcome, options)
        if any(d.experiment.uncertain_settings for d in problem.data_sets):
            point = (result.spec_pars, beam_values(result.params))
            result.error_budget = error_budget(problem, point, free, outcome.jacobian,
                                               outcome.dv_du, result.stderr, inputs.shared)
    new = list(result.warning_records)
    result.messages = collected.summary
    if collected.summary and not options.verbose:
        new.append(WarningRecord.of(IntegratorWarning, collected.summary.text(what)))
    elif collected.summary:
        report_messages(collected.summary, what, verbose=True)
    issue(new, stacklevel=3)
    given_records = [record for data_set in problem.data_sets
                     for record in data_set.experiment.warning_records()]
    given_records += [record for scan in inputs.scans for record in scan.warning_records()]
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
    beam = beam_values(params)
    if "center_mm" in free:   # the fit found the focus: nothing to test
        focus = FocusScore(math.nan, math.nan)
    else:
        focus = focus_score(problem, (spec_pars, beam), outcome.jacobian, weighted, errors.noise)
    found = parameter_warnings(given, free, outcome.values, errors, options.method,
                               problem.experiment.rayleigh_range_mm,
                               options.search_range if options.method == "robust" else None)
    for record in (tolerance_warning(options.model, _largest(outcome.model_errors),
                                     texts.AT_THE_FIT),
                   convergence_warning(outcome.success, outcome.message, problem.n_evaluations,
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
        center_mm=beam.get("center_mm", problem.center_mm), noise=errors.noise,
        uses_sigma=problem.uses_sigma,
        residuals=scan_residuals, models=[np.array(m) for m in outcome.models],
        messages=MessageSummary(), warning_records=tuple(found),
        minimizer_result=minimizer_result, scans=problem.scans,
        experiment=_with_beam(problem.experiment, beam),
        is_sa=problem.is_sa, weighting=problem.weighting, focus_score=focus.score,
        center_given=problem.center_given, model=problem.model,
        model_error=_largest(outcome.model_errors), given_experiment=problem.experiment,
        data_sets=([dataclasses.replace(d, center_mm=c)
                    for d, c in zip(problem.data_sets, problem.centres)]
                   if len(problem.data_sets) > 1 else None))
    return result


def _with_beam(experiment: Experiment, beam: Dict[str, float]) -> Experiment:
    """The experiment with the fit's w0 and M2, when it has them."""
    changes = {name: beam[name] for name in ("w0", "M2") if name in beam}
    if not changes:
        return experiment
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ZScanWarning)  # the given experiment warned already
        return dataclasses.replace(experiment, **changes)
