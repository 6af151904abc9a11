"""One fit, without a bootstrap: the options checked, the problem laid
out, the method run (robust.py or exact.py, each handing on a
MethodOutcome), the standard errors computed once (covariance.py), the
warnings about what the data leave open (diagnostics.py), and the
FitResult built.

The robust method fits the focus by default (center_mm free from the
data's extremum; in a global fit each file's, center_mm_k): where the data
do not determine it (its error singular or above the Rayleigh range) the
fit is made again with that focus fixed at the extremum, and a FitWarning
says so. fix_focus keeps the extremum fixed from the start; a focus given
is fixed. Linear data of the experiment (absorbance, extinction) set a
fixed sigma_0, or are tied to a free one (linear_absorption.py).

Every model evaluation runs inside one collection of the integrator's
messages, summarised in one IntegratorWarning. Relies on the evaluation
layer (problem, messages), the inputs and the modules of this package.
"""
import dataclasses
import math
import warnings
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import lmfit
import numpy as np

from .. import texts
from ..evaluation.integrator_messages import MessageSummary, collect_messages
from ..evaluation.integrator_messages import report as report_messages
from ..evaluation.models import (DEFAULT_TOLERANCE, ModelSpec, model_warnings,
                                 population_warnings, tolerance_warning)
from ..evaluation.problem import DataSet, FitProblem
from ..evaluation.settings import settings_of
from ..evaluation.thin_sample import (distinct_apertures, optical_centre_shift,
                                      thin_sample_warning)
from ..inputs.convert import float_scalar, int_scalar
from ..inputs.experiment import UNCERTAIN_SETTINGS, Experiment
from ..inputs.linear_absorption import extinction_of, tie_expression
from ..inputs.plausibility import energy_warnings
from ..inputs.parameters import (PARAMETER_NAMES, add_parameter, beam_values, focus_index,
                                 focus_name, free_names, optical_values, parameter_bounds,
                                 read_params, spec_pars_of)
from ..inputs.scans import Scan, as_scan_list, scan_centre
from ..warning_types import FitWarning, IntegratorWarning, WarningRecord, ZScanWarning, issue
from .coordinates import Coordinates
from .covariance import uncertainties
from .error_budget import error_budget
from .diagnostics import (FocusScore, convergence_warning, focus_determined, focus_score,
                          focus_warning, narrow_scan_warnings, parameter_warnings,
                          sigma_chisqr_warning)
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
    fix_focus: bool = False


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
    # The foci freed by default (refitted fixed where the data do not
    # determine them).
    auto_focus: Tuple[str, ...] = ()


def check_inputs(scans: Union[Scan, Sequence[Scan]], experiment: Any, params: Any, *,
                 is_sa: Any = False, n_starts: Any = 3, method: Any = "robust",
                 verbose: Any = False, center_mm: Any = None, diff_step: Any = DIFF_STEP,
                 max_nfev: Any = None, model: Any = None,
                 tolerance: Any = DEFAULT_TOLERANCE,
                 search_range: Any = SEARCH_RANGE, fix_focus: Any = False) -> FitInputs:
    """The arguments of ``fit`` converted and checked, in this order; a
    ValueError names the first bad one and its fix. The robust method
    frees the focus unless it is among the parameters, given or fixed by
    ``fix_focus``."""
    scan_list = as_scan_list(scans)
    if not isinstance(experiment, Experiment):
        raise ValueError(texts.NOT_AN_EXPERIMENT.format(kind=type(experiment).__name__))
    given = read_params(params)
    for name in given:
        if focus_index(name) is not None:
            raise ValueError(texts.FOCUS_NAME_SINGLE.format(name=name))
    free = free_names(given)
    if not free:
        raise ValueError(texts.NOTHING_FREE)
    for name in free:
        if math.isinf(given[name].value):
            raise ValueError(texts.INFINITE_FREE.format(name=name))
    options = check_options(is_sa=is_sa, n_starts=n_starts, method=method, verbose=verbose,
                            center_mm=center_mm, diff_step=diff_step, max_nfev=max_nfev,
                            model=model, tolerance=tolerance, search_range=search_range,
                            fix_focus=fix_focus)
    given = _with_linear_sigma(given, experiment)
    beam = beam_values(given)
    if beam and options.method == "exact":
        raise ValueError(texts.EXACT_BEAM.format(names=", ".join(beam)))
    if options.method == "exact" and (any(optical_values(given).values()) or any(
            s.aperture is not None for s in scan_list)):
        raise ValueError(texts.EXACT_CLOSED)
    if "center_mm" in beam and options.center_mm is not None:
        raise ValueError(texts.CENTER_TWICE)
    if options.fix_focus and "center_mm" in given and given["center_mm"].vary:
        raise ValueError(texts.FOCUS_FIXED_AND_FREE)
    auto: Tuple[str, ...] = ()
    if options.method == "robust" and "center_mm" not in given \
            and options.center_mm is None and not options.fix_focus:
        given = given.copy()
        add_parameter(given, "center_mm", math.nan, True, -math.inf, math.inf)
        free, auto = free_names(given), ("center_mm",)
    return FitInputs(scan_list, experiment, _with_beam_starts(given, scan_list, experiment,
                                                              options), free, options,
                     auto_focus=auto)


def _with_linear_sigma(given: lmfit.Parameters, experiment: Experiment) -> lmfit.Parameters:
    """``given`` with a fixed sigma_0 set to the experiment's linear data's
    (absorbance or extinction), when it has any."""
    sigma = experiment.linear_sigma_0
    if sigma is None or given["sigma_0"].vary:
        return given
    low, high = parameter_bounds(given["sigma_0"])
    if not low <= sigma <= high:
        raise ValueError(texts.START_OUTSIDE.format(name="sigma_0", value=sigma, low=low,
                                                    high=high))
    filled = given.copy()
    filled["sigma_0"].value = sigma
    return filled


_DATA_SET_KEYS = ("scans", "experiment", "label", "center_mm")


def _data_set_entry(index: int, entry: Any) -> Tuple[Any, Any, str, Any]:
    """(scans, experiment, label, center_mm) of one of fit_global's data
    sets: a sequence of 2 to 4 of them in this order, or a mapping."""
    if isinstance(entry, Mapping):
        unknown = [key for key in entry if key not in _DATA_SET_KEYS]
        if unknown or "scans" not in entry or "experiment" not in entry:
            raise ValueError(texts.GLOBAL_BAD_DATA_SET.format(index=index,
                                                              kind=type(entry).__name__))
        entry = tuple(entry.get(key) for key in _DATA_SET_KEYS)
    elif not isinstance(entry, (tuple, list)) or not 2 <= len(entry) <= 4:
        raise ValueError(texts.GLOBAL_BAD_DATA_SET.format(index=index,
                                                          kind=type(entry).__name__))
    scans, experiment, label, centre = (tuple(entry) + (None, None))[:4]
    label = f"data set {index + 1}" if label is None else str(label)
    if centre is not None:
        centre = float_scalar(centre, f"center_mm of data set {index + 1}",
                              fix=texts.FIX_POSITIONS)
    return scans, experiment, label, centre


def check_global_inputs(data_sets: Sequence[Any], params: Any,
                        shared: Optional[Sequence[str]] = None, **options: Any) -> FitInputs:
    """The arguments of ``fit_global`` converted and checked: every data
    set a (scans, experiment[, label[, center_mm]]) sequence or a mapping
    with those keys; the shared settings names of settings that may carry
    an uncertainty. Each file's focus is fixed where given (center_mm, or
    a fixed center_mm_k among the parameters), else free (from its data's
    extremum, or the parameter's start) unless ``fix_focus``."""
    shared_names = None if shared is None else _shared_names(shared)
    if isinstance(data_sets, (str, bytes)) or not isinstance(data_sets, Sequence) \
            or not data_sets:
        raise ValueError(texts.GLOBAL_NO_DATA_SETS.format(kind=type(data_sets).__name__))
    given = read_params(params)
    beam = [name for name in beam_values(given) if focus_index(name) is None]
    if beam:
        raise ValueError(texts.GLOBAL_BEAM.format(names=", ".join(beam)))
    for name in given:
        k = focus_index(name)
        if k is not None and k >= len(data_sets):
            raise ValueError(texts.GLOBAL_FOCUS_NAME.format(name=name, count=len(data_sets)))
    shared_params = given.copy()
    for name in [n for n in given if focus_index(n) is not None]:
        del shared_params[name]
    fix_focus = bool(options.get("fix_focus", False))
    checked, foci = [], []
    for index, entry in enumerate(data_sets):
        scans, experiment, label, centre = _data_set_entry(index, entry)
        first = check_inputs(scans, experiment, shared_params, **dict(options, fix_focus=True))
        name = focus_name(index)
        start = math.nan
        if name in given:
            if centre is not None:
                raise ValueError(texts.GLOBAL_CENTER_TWICE.format(name=name, index=index + 1))
            if given[name].vary:
                start = float(given[name].value)
            else:
                centre = float(given[name].value)
        free_focus = centre is None and (name in given or not fix_focus)
        if free_focus:
            if math.isnan(start):
                start = scan_centre(list(first.scans), first.options.is_sa)
            foci.append((name, start))
        checked.append(DataSet(tuple(first.scans), first.experiment, centre, label))
    inputs = first
    if inputs.options.method == "exact":
        raise ValueError(texts.GLOBAL_EXACT)
    _check_linear_agree(checked, inputs.given)
    filled = inputs.given.copy()
    for name, start in foci:
        add_parameter(filled, name, start, True, -math.inf, math.inf)
    auto = tuple(name for name, _ in foci if name not in given)
    scans = [scan for d in checked for scan in d.scans]
    return dataclasses.replace(inputs, scans=scans, experiment=checked[0].experiment,
                               given=filled, free=free_names(filled), data_sets=checked,
                               shared=shared_names, auto_focus=auto,
                               options=dataclasses.replace(inputs.options, fix_focus=fix_focus))


def _check_linear_agree(data_sets: Sequence[DataSet], given: lmfit.Parameters) -> None:
    """A fixed sigma_0 shared by the files: the ones with linear data must
    give the same (else the files disagree about it)."""
    if given["sigma_0"].vary:
        return
    values = [(d.label, d.experiment.linear_sigma_0) for d in data_sets
              if d.experiment.linear_sigma_0 is not None]
    if any(not math.isclose(v, values[0][1], rel_tol=1e-9) for _, v in values):
        raise ValueError(texts.GLOBAL_LINEAR_DISAGREE.format(
            values=", ".join(f"{label}: {v:.4g} cm^2" for label, v in values)))


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
                  search_range: Any = SEARCH_RANGE, fix_focus: Any = False) -> FitOptions:
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
                      search_range=search_range, fix_focus=bool(fix_focus))


def fit_once(inputs: FitInputs) -> FitResult:
    """The fit of ``zscanfit.fit`` without its bootstrap.

    The result carries every warning of the fit: those of the experiment
    and the scans (issued when they were made), and those the fit finds
    (issued here, once each). A focus freed by default that the data do
    not determine is fixed at the data's extremum and the fit made again.
    """
    data_sets = inputs.data_sets or [DataSet(tuple(inputs.scans), inputs.experiment)]
    found = []
    for data_set in data_sets:
        found += energy_warnings(data_set.scans, data_set.experiment)
        found += narrow_scan_warnings(data_set.scans, data_set.experiment)
        found += population_warnings(data_set.experiment, optical_values(inputs.given))
        if inputs.options.model.has_tolerance:
            found += model_warnings(data_set.experiment, spec_pars_of(inputs.given))
    issue(found, stacklevel=3)
    result, new = _attempt(inputs, found)
    undetermined = _undetermined_foci(result, inputs)
    if undetermined:
        notes = [WarningRecord.of(FitWarning, _focus_note(name, fitted, result, inputs))
                 for name, fitted in undetermined]
        result, new = _attempt(_without_foci(inputs, [name for name, _ in undetermined]),
                               found, notes)
    issue(new, stacklevel=3)
    return result


def _undetermined_foci(result: FitResult, inputs: FitInputs) -> List[Tuple[str, Any]]:
    """The foci freed by default whose error is singular or above their
    file's Rayleigh range, with (value, error, Rayleigh range)."""
    found = []
    for name in inputs.auto_focus:
        k = focus_index(name)
        experiment = inputs.experiment if k is None else inputs.data_sets[k].experiment
        rayleigh = experiment.rayleigh_range_mm
        value, stderr = result.values[name], result.stderr[name]
        if not focus_determined(stderr, rayleigh):
            found.append((name, (value, stderr, rayleigh)))
    return found


def _without_foci(inputs: FitInputs, names: Sequence[str]) -> FitInputs:
    """``inputs`` with the foci ``names`` fixed at their data's extremum."""
    given = inputs.given.copy()
    for name in names:
        del given[name]
    return dataclasses.replace(inputs, given=given, free=free_names(given),
                               auto_focus=tuple(n for n in inputs.auto_focus if n not in names))


def _focus_note(name: str, fitted: Tuple[float, float, float], result: FitResult,
                inputs: FitInputs) -> str:
    """The FitWarning of a focus fixed at the extremum after the data left it open."""
    value, stderr, rayleigh = fitted
    k = focus_index(name)
    where = "" if k is None else texts.FOCUS_OF_FILE.format(label=result.data_sets[k].label)
    scans = inputs.scans if k is None else list(inputs.data_sets[k].scans)
    centre = scan_centre(scans, inputs.options.is_sa)
    why = (texts.FOCUS_WHY_SINGULAR if not math.isfinite(stderr) else
           texts.FOCUS_WHY_LARGE.format(stderr=stderr, rayleigh=rayleigh))
    return texts.FOCUS_REFITTED.format(where=where, value=value, why=why, centre=centre)


def _screen_of(inputs: FitInputs, problem: FitProblem,
               beam: Mapping[str, float]) -> Tuple[Optional[FitProblem], Dict[str, float]]:
    """For the beam-propagation model, the same fit with the thin whole-beam
    model, which screens the starts (each ends in a fraction of a second; the
    best one's optimum is then refined with the dear model), and how far
    each focus moves between the two: the thin model places the sample's
    optical centre where the beam-propagation model places its front face,
    L/(2 n0) before it. None for the other models and for one start."""
    options = inputs.options
    if not options.model.beam_propagation or options.n_starts <= 1:
        return None, {}
    screen = FitProblem(inputs.scans, inputs.experiment, options.is_sa,
                        beam.get("center_mm", options.center_mm),
                        model=ModelSpec("whole-beam", options.model.tolerance),
                        data_sets=inputs.data_sets)
    screen.sigma_0_free = problem.sigma_0_free
    shifts = {focus_name(k): optical_centre_shift(d.experiment)
              for k, d in enumerate(problem.data_sets)}
    shifts["center_mm"] = optical_centre_shift(inputs.experiment)
    return screen, shifts


def _attempt(inputs: FitInputs, found: List[WarningRecord],
             notes: Sequence[WarningRecord] = ()) -> Tuple[FitResult, List[WarningRecord]]:
    """One fit of ``inputs``: the result, with every warning record, and
    the records it found (after ``notes``) that are still to be issued."""
    given, free, options = inputs.given, inputs.free, inputs.options
    beam = beam_values(given)
    problem = FitProblem(inputs.scans, inputs.experiment, options.is_sa,
                         beam.get("center_mm", options.center_mm),
                         fit_zscan_weights=options.method == "exact", model=options.model,
                         data_sets=inputs.data_sets)
    problem.sigma_0_free = "sigma_0" in free
    if problem.n_points < len(free):
        raise ValueError(texts.TOO_MANY_FREE.format(free=len(free), points=problem.n_points))
    if options.method == "exact":
        check_exact(problem)
        if options.center_mm is not None:
            raise ValueError(texts.EXACT_CENTER)

    what = f"fit(method={options.method!r})"
    with collect_messages(what, options.verbose, announce=False) as collected:
        if options.method == "robust":
            with FitProgress(options.n_starts) as progress:
                problem.on_evaluation = progress.evaluation
                scales = {focus_name(k): d.experiment.rayleigh_range_mm
                          for k, d in enumerate(problem.data_sets)}
                scales["center_mm"] = inputs.experiment.rayleigh_range_mm
                coords = Coordinates(given, free, scales=scales,
                                     search_range=options.search_range)
                screen, shifts = _screen_of(inputs, problem, beam)
                outcome = fit_robust(problem, coords, options.n_starts, options.diff_step,
                                     options.max_nfev, progress, screen, shifts)
                problem.on_evaluation = None
        else:
            outcome = fit_exact(problem, given, free, options.n_starts)
        result = _result(problem, given, free, outcome, options)
        if any(d.experiment.uncertain_settings for d in problem.data_sets):
            point = (result.spec_pars, dict(beam_values(result.params),
                                            **optical_values(result.params)))
            result.error_budget = error_budget(problem, point, free, outcome.jacobian,
                                               outcome.dv_du, result.stderr, inputs.shared,
                                               models=outcome.models)
            result.warning_records += tuple(result.error_budget.warning_records(result.values))
    new = list(notes) + list(result.warning_records)
    result.messages = collected.summary
    if collected.summary and not options.verbose:
        new.append(WarningRecord.of(IntegratorWarning, collected.summary.text(what)))
    elif collected.summary:
        report_messages(collected.summary, what, verbose=True)
    given_records = [record for data_set in problem.data_sets
                     for record in data_set.experiment.warning_records()]
    given_records += [record for scan in inputs.scans for record in scan.warning_records()]
    result.warning_records = tuple(given_records + found + new)
    return result, new


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
    # The data sets whose focus is fixed: the score test checks them.
    fixed = [k for k in range(len(problem.data_sets))
             if "center_mm" not in free and focus_name(k) not in free]
    if not fixed:   # the fit found every focus: nothing to test
        focus = FocusScore(math.nan, math.nan)
    else:
        focus = focus_score(problem, (spec_pars, dict(beam, **optical_values(params))),
                            outcome.jacobian, weighted, errors.noise, fixed)
    scales = {focus_name(k): d.experiment.rayleigh_range_mm
              for k, d in enumerate(problem.data_sets)}
    found = parameter_warnings(given, free, outcome.values, errors, options.method,
                               problem.experiment.rayleigh_range_mm,
                               options.search_range if options.method == "robust" else None,
                               focus_scales=scales)
    for record in (tolerance_warning(options.model, _largest(outcome.model_errors),
                                     texts.AT_THE_FIT),
                   convergence_warning(outcome.success, outcome.message, problem.n_evaluations,
                                       options.n_starts),
                   focus_warning(focus, problem.center_mm, problem.center_given),
                   sigma_chisqr_warning(redchi, ndata - nvarys) if problem.uses_sigma else None):
        if record is not None:
            found.append(record)
    found += _thin_sample_warnings(problem, spec_pars, beam, optical_values(params),
                                   options.model)
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
        center_mm=beam.get("center_mm", problem.centres_at(beam)[0]), noise=errors.noise,
        uses_sigma=problem.uses_sigma,
        residuals=scan_residuals, models=[np.array(m) for m in outcome.models],
        messages=MessageSummary(), warning_records=tuple(found),
        minimizer_result=minimizer_result, scans=problem.scans,
        experiment=_with_beam(problem.experiment, beam, spec_pars, problem.sigma_0_free),
        is_sa=problem.is_sa, weighting=problem.weighting, focus_score=focus.score,
        center_given=problem.center_given, model=problem.model,
        model_error=_largest(outcome.model_errors), given_experiment=problem.experiment,
        data_sets=(_result_data_sets(problem, params, spec_pars)
                   if len(problem.data_sets) > 1 else None))
    if problem.sigma_0_free:
        _add_tie(result.params, problem.experiment)
    return result


def _thin_sample_warnings(problem: FitProblem, spec_pars: np.ndarray,
                          beam: Mapping[str, float], optics: Mapping[str, float],
                          spec: ModelSpec) -> List[WarningRecord]:
    """The whole-beam model's error on each data set's sample at the fit,
    where it exceeds the tolerance (thin_sample.py): one warning per data
    set, with the fitted beam and optical parameters."""
    if not spec.whole_beam:
        return []
    settings = {name: beam[name] for name in ("w0", "M2") if name in beam}
    found = []
    for k, d in enumerate(problem.data_sets):
        experiment, pars = problem.linear_applied(settings_of(d.experiment, **settings),
                                                  spec_pars)
        record = thin_sample_warning(spec, experiment, pars, optics,
                                     distinct_apertures(d.scans),
                                     max(s.pulse_energy for s in d.scans), at_fit=True)
        if record is not None:
            found.append(record)
    return found


def _result_data_sets(problem: FitProblem, params: lmfit.Parameters,
                      spec_pars: np.ndarray) -> List[DataSet]:
    """A global fit's data sets with their focus as used (and its error
    where fitted) and their experiment as fitted (the populations of an
    absorbance tied to a free sigma_0)."""
    found = []
    for k, (d, centre) in enumerate(zip(problem.data_sets, problem.centres)):
        name = focus_name(k)
        if name in params and params[name].vary:
            focus, centre, stderr = "fitted", float(params[name].value), params[name].stderr
        else:
            focus, stderr = ("given" if d.center_mm is not None else "extremum"), math.nan
        experiment = (_fitted_linear(d.experiment, spec_pars) if problem.sigma_0_free
                      else d.experiment)
        found.append(dataclasses.replace(d, center_mm=centre, experiment=experiment,
                                         center_stderr=float(stderr), focus=focus))
    return found


def _fitted_linear(experiment: Experiment, spec_pars: np.ndarray) -> Experiment:
    """The experiment at a free sigma_0 tied to its absorbance: the
    populations (and concentration) that keep alpha0."""
    sigma = experiment.linear_sigma_0
    if sigma is None or experiment.absorbance is None:
        return experiment
    return experiment.with_populations_scaled(sigma / float(spec_pars[0]))


def _add_tie(params: lmfit.Parameters, experiment: Experiment) -> None:
    """The parameter a free sigma_0 derives through the experiment's
    linear data, as an lmfit expression with its standard error: the
    concentration (an absorbance holds alpha0) or the extinction
    coefficient."""
    sigma = experiment.linear_sigma_0
    if sigma is None:
        return
    if experiment.absorbance is not None:
        name, constant = "concentration", experiment.ground_concentration * sigma
    else:
        name, constant = "extinction", extinction_of(1.0)
    params.add(name, value=0.0, vary=False, min=-math.inf, max=math.inf)
    params[name].expr = tie_expression(name, constant)
    value, source = params[name].value, params["sigma_0"]
    if source.stderr is not None:
        params[name].stderr = abs(value) * float(source.stderr) / abs(float(source.value))
    params[name].init_value = (constant / source.init_value if name == "concentration"
                               else constant * source.init_value)


def _with_beam(experiment: Experiment, beam: Dict[str, float],
               spec_pars: Optional[np.ndarray] = None, sigma_0_free: bool = False
               ) -> Experiment:
    """The experiment with the fit's w0 and M2, when it has them, and the
    populations a free sigma_0 tied to an absorbance gives."""
    changes = {name: beam[name] for name in ("w0", "M2") if name in beam}
    if sigma_0_free and spec_pars is not None:
        experiment = _fitted_linear(experiment, spec_pars)
    if not changes:
        return experiment
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ZScanWarning)  # the given experiment warned already
        return dataclasses.replace(experiment, **changes)
