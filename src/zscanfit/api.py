"""The package's entries for fitting: ``fit``, ``fit_many`` and
``bootstrap_fit``.

A fit with a bootstrap refits its resampled data sets through the executor,
each refit being a ``fit`` of its own: that recursion lives here alone, so
the fitting methods never import the batches and the batches know nothing
of fitting. Relies on fitting.single (one fit), many.executor (many jobs) and
many.bootstrap (the resampled data sets and their intervals).
"""
import difflib
import inspect
import warnings
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

from . import texts
from .fitting.result import FitResult
from .fitting.robust import DIFF_STEP
from .evaluation.models import DEFAULT_TOLERANCE
from .fitting.single import (SEARCH_RANGE, check_global_inputs, check_inputs, check_options,
                             fit_once)
from .inputs.experiment import Experiment
from .inputs.scans import Scan
from .many import bootstrap as _bootstrap
from .many.bootstrap import BootstrapResult
from .many.executor import JobLike, as_job, run_many
from .warning_types import ZScanWarning

__all__ = ["fit", "fit_global", "fit_many", "bootstrap_fit"]


def fit(scans: Union[Scan, Sequence[Scan]], experiment: Experiment, params: Any,
        is_sa: bool = False, n_starts: int = 3, method: str = "robust",
        verbose: bool = False, *, center_mm: Optional[float] = None,
        diff_step: float = DIFF_STEP, max_nfev: Optional[int] = None,
        model: Optional[str] = None, tolerance: float = DEFAULT_TOLERANCE,
        search_range: Optional[float] = SEARCH_RANGE,
        bootstrap: Optional[int] = None, seed: Optional[int] = None,
        client: Any = None, bootstrap_settings: bool = False,
        fix_focus: bool = False) -> FitResult:
    """Fit the free spectroscopic parameters to one or more z-scans.

    Parameters
    ----------
    scans : Scan or sequence of Scan
        The measured scans, one per pulse energy; all are fitted at once.
    experiment : Experiment
        Beam, pulse, sample and the model's resolution.
    params : lmfit.Parameters (see make_params), mapping or 8 values
        Start values of all eight parameters; ``vary`` marks the free ones,
        ``min``/``max`` their bounds (method='robust'). With an experiment
        that gives an absorbance or an extinction coefficient, a fixed
        sigma_0 is theirs; a free sigma_0 is tied to them: an absorbance
        keeps alpha0 = sigma_0 N0, so the populations follow sigma_0 and
        the result holds the concentration as an lmfit expression of it
        (``result.params["concentration"]``, with its error); an extinction
        coefficient is freed with it (``result.params["extinction"]``).
    is_sa : bool
        Saturable absorber: the focus is the maximum of the data (else the
        minimum, for a reverse saturable absorber).
    n_starts : int
        Starts, fit_zscan's spread: the free start values times
        10**(1.04 i/max(n-1, 1) - 0.52), from 0.302 to 3.311 (1.0 in the
        middle for odd counts); with method='robust' a single start is the
        start values themselves (fit_zscan's single start is 0.302 times
        them). The start with the smallest chi-square wins.
    method : {'robust', 'exact'}
        'robust': scipy's trust-region least squares through lmfit, with
        bounds, in log coordinates, with a finite-difference step of
        ``diff_step`` matched to the model's integration noise; points
        weighted as fit_zscan weights them, or by 1/sigma^2 when every scan
        has per-point sigma; scans may differ in length and have masked
        points. 'exact': kesp_wrapper.fit_zscan itself (fitted values bit
        for bit its own; equal-length scans without masked points or
        sigma; no bounds), then errors at its optimum.
    verbose : bool
        Print the integrator's messages instead of one warning.
    center_mm : float, optional
        Focus position, mm, in the scans' frame (method='robust'), fixed
        there. Default: the focus is fitted (a free parameter center_mm,
        starting from the position of the smallest (largest with
        ``is_sa``) measured value of all scans, the first on ties); where
        the data do not determine it (its error singular or above the
        Rayleigh range) the fit is made again with it fixed at that
        position, and a FitWarning says so.
    fix_focus : bool
        Fix the focus at the data's extremum instead of fitting it
        (fit_zscan's rule). method='exact' always does: fit_zscan finds its
        own centre.
    diff_step : float
        Relative finite-difference step of the robust method.
    max_nfev : int, optional
        Evaluation budget per start of the robust method (default:
        lmfit's 2000 * (free + 1)).
    model : {'whole-beam', 'on-axis', 'beam-propagation'}, optional
        'whole-beam' (the default of the robust method): what an
        open-aperture detector measures, the pulse's energy transmittance
        over the whole beam, computed to ``tolerance`` with an error
        estimate, for a thin sample; each scan normalised on its wings like
        the data. 'on-axis': fit_zscan's model (the experiment's t_slices
        and z_slices), bit for bit. 'beam-propagation': a thick sample, the
        beam propagated through its depth (the focus is where its front
        face is; the experiment's refractive_index n0, default 1), to
        ``tolerance``, far slower than the whole-beam model.
        method='exact' always fits the on-axis model.
    tolerance : float
        The absolute tolerance of the whole-beam and beam-propagation
        models on the normalised transmittance (default 1e-5).
    search_range : float or None
        The robust method fits each parameter within this factor of its
        value given, either way (default 10; the focus within that many
        Rayleigh ranges of its start), inside its bounds; a value that ends
        at the edge is named in a FitWarning. None: no limit.
    bootstrap : int, optional
        Resampled data sets B (>= 2) of a residual bootstrap: each is the
        fitted model plus residuals drawn from the same scan, refitted like
        this fit (from its fitted values) through ``fit_many``; percentile
        intervals in ``result.bootstrap`` and the report.
    seed : int, optional
        Seed of the bootstrap's draws (same seed, same intervals bit for bit).
    client : dask.distributed.Client or str, optional
        Where the bootstrap's refits run (see ``fit_many``); default: local
        threads. The fit itself runs here.
    bootstrap_settings : bool
        Refit every resampled data set with the experiment's uncertain
        settings (its ``uncertainties``) drawn from their distributions, so
        that the bootstrap's intervals hold their effect too.

    Returns
    -------
    FitResult
        Values, standard errors, correlations, chi-square, evaluations,
        convergence, residuals; ``report()`` and ``plot()``.

    Raises
    ------
    ValueError
        Wrong input, named with its fix; no free parameter; more free
        parameters than points; method='exact' with scans it cannot fit.

    Warns
    -----
    FitWarning
        A parameter the data do not determine (relative error above 100 %,
        or singular), a correlation above 0.99 in size, a value on a bound;
        a sample too thick for the whole-beam model at the fitted values
        (the size of its error, from the beam-propagation model).
    IntegratorWarning
        One summary of the integrator's messages, if there were any.
    UnitWarning
        A scan narrower than two Rayleigh ranges (positions in metres?).

    Examples
    --------
    >>> data = load_scans("examples/demo_rsa.csv")             # doctest: +SKIP
    >>> params = make_params(data.spec_pars, free=["sigma_0", "sigma_1"])
    >>> result = fit(data.scans, data.experiment, params)      # doctest: +SKIP
    >>> print(result.report())                                 # doctest: +SKIP
    """
    inputs = check_inputs(scans, experiment, params, is_sa=is_sa, n_starts=n_starts,
                          method=method, verbose=verbose, center_mm=center_mm,
                          diff_step=diff_step, max_nfev=max_nfev, model=model,
                          tolerance=tolerance, search_range=search_range, fix_focus=fix_focus)
    if bootstrap is not None:
        bootstrap = _bootstrap.check_samples(bootstrap)
    result = fit_once(inputs)
    if bootstrap is not None:
        # The refits start from the fitted values: a fitted focus among
        # them, else the focus as this fit had it.
        result.bootstrap = bootstrap_fit(result, bootstrap, seed=seed, client=client,
                                         draw_settings=bootstrap_settings,
                                         center_mm=center_mm, diff_step=diff_step,
                                         max_nfev=max_nfev, verbose=verbose,
                                         fix_focus=center_mm is None
                                         and "center_mm" not in result.params)
        result.warning_records += result.bootstrap.warning_records
    return result


def fit_global(data_sets: Sequence[Any], params: Any, is_sa: bool = False,
               n_starts: int = 3, verbose: bool = False, *, diff_step: float = DIFF_STEP,
               max_nfev: Optional[int] = None, model: Optional[str] = None,
               tolerance: float = DEFAULT_TOLERANCE,
               search_range: Optional[float] = SEARCH_RANGE,
               shared: Optional[Sequence[str]] = None, fix_focus: bool = False) -> FitResult:
    """Fit several data sets of one sample at once: shared spectroscopic
    parameters, each data set with its own experiment (concentration,
    thickness, beam) and focus.

    Parameters
    ----------
    data_sets : sequence of (scans, experiment[, label[, center_mm]]) or of mappings
        One entry per data file: its scans, the experiment they were
        measured with, optionally a label and its focus (mm, in its scans'
        frame), as a sequence in this order or a mapping with these keys.
        Each file has its own focus: fixed where given, else fitted
        (center_mm_1, center_mm_2, ... in the result's parameters, from the
        extremum of its scans), or fixed at that extremum with
        ``fix_focus``; a focus the data do not determine is fixed at the
        extremum and the fit made again (a FitWarning says so).
    params : lmfit.Parameters, mapping or 8 values
        The spectroscopic parameters, shared by all data sets (the beam's
        parameters belong to each experiment and may not be among them;
        center_mm_k, from a global fit's result, sets file k's focus: its
        start, or its value when fixed).
    is_sa, n_starts, verbose, diff_step, max_nfev, model, tolerance, search_range
        As for ``fit`` (method 'robust').
    shared : sequence of str, optional
        The settings whose uncertainty the data sets share, for the error
        budget: one beam (``"w0"``, ``"M2"``), one energy meter
        (``"pulse_energy_scale"``), one stock solution (``"populations"``),
        ``"tau"``, ``"wavelength"``, ``"sample_width"``. A shared setting is
        one contribution that moves every data set by its own uncertainty at
        once; every other setting is each data set's own (one contribution
        per data set). Default: data sets given equal experiments share
        every setting, the others share none.
    fix_focus : bool
        Fix every file's focus not given at the extremum of its data.

    Returns
    -------
    FitResult
        As ``fit``'s, with ``data_sets`` holding each data set's scans,
        experiment, focus (``center_mm``), its error where fitted
        (``center_stderr``) and where it came from (``focus``: 'fitted',
        'given' or 'extremum'). Data sets whose experiments are equal are
        evaluated together, so a global fit of files whose settings agree is
        the fit of their scans pooled.
    """
    inputs = check_global_inputs(data_sets, params, shared=shared, is_sa=is_sa,
                                 n_starts=n_starts, verbose=verbose, diff_step=diff_step,
                                 max_nfev=max_nfev, model=model, tolerance=tolerance,
                                 search_range=search_range, fix_focus=fix_focus)
    return fit_once(inputs)


def fit_many(jobs: Iterable[JobLike], *, client: Any = None, workers: Optional[int] = None,
             progress: Optional[bool] = None, **options: Any) -> List[Any]:
    """Fit many independent jobs; the results come back in the order of the jobs.

    Parameters
    ----------
    jobs : iterable of FitJob or mapping
        Each job is one call of ``zscanfit.fit``: its scans, experiment and
        parameters, and optionally its own keyword arguments of ``fit``. A
        mapping needs the keys 'scans', 'experiment' and 'params'; its other
        keys are options of ``fit`` ('label' excepted).
    client : dask.distributed.Client or str, optional
        Run the jobs on this cluster's workers, one fit per task, instead of
        on local threads. A string is the address of a running scheduler
        ("tcp://10.0.0.5:8786"); the client made for it is closed at the end.
        Needs the ``dask`` extra: ``pip install kesp_wrapper[dask]``.
    workers : int, optional
        Threads of the local pool; default: the CPUs this process may run on.
        Not with ``client``.
    progress : bool, optional
        Show a progress bar (tqdm) on standard error. Default: only when
        standard error is a terminal.
    **options
        Keyword arguments of ``fit`` for every job (``is_sa``, ``n_starts``,
        ``method``, ...); a job's own options take precedence.

    Returns
    -------
    list
        One entry per job, in the jobs' order: the fit's result, or a
        ``FitFailure`` (``success`` False, the exception's type, text and
        traceback) for a job whose fit raised.

    Raises
    ------
    ImportError
        ``client`` given without Dask's distributed scheduler installed.
    KeyboardInterrupt
        Ctrl-C stops the batch: no further fit is started and the running
        ones stop at their next model evaluation (local threads) or are
        cancelled (cluster); no results are returned.

    Examples
    --------
    >>> jobs = [FitJob(load_scans(path).scans, experiment, params)
    ...         for path in paths]                                   # doctest: +SKIP
    >>> results = fit_many(jobs, is_sa=False, n_starts=3)           # doctest: +SKIP
    >>> results = fit_many(jobs, client="tcp://scheduler:8786")     # doctest: +SKIP
    """
    job_list = [as_job(job, index) for index, job in enumerate(jobs)]
    for job in job_list:
        _check_job_options({**options, **job.options})
    return run_many(fit, job_list, client=client, workers=workers, progress=progress,
                    options=options)


# The keyword arguments of fit that a batch may set for its jobs.
_JOB_OPTIONS = tuple(name for name in inspect.signature(fit).parameters
                     if name not in ("scans", "experiment", "params"))


def _check_job_options(options: Dict[str, Any]) -> None:
    """Unknown names (TypeError) and bad values (ValueError) among a job's
    options of fit, found before any job is dispatched."""
    for name in options:
        if name not in _JOB_OPTIONS:
            close = difflib.get_close_matches(name, _JOB_OPTIONS, n=1)
            hint = texts.BATCH_DID_YOU_MEAN.format(name=close[0]) if close else ""
            raise TypeError(texts.BATCH_UNKNOWN_OPTION.format(
                name=name, names=", ".join(_JOB_OPTIONS), hint=hint))
    values = {k: v for k, v in options.items()
              if k not in ("bootstrap", "seed", "client", "bootstrap_settings")}
    check_options(**values)
    if options.get("bootstrap") is not None:
        _bootstrap.check_samples(options["bootstrap"])


def bootstrap_fit(result: Any, n_samples: int, *, seed: Optional[int] = None,
                  client: Any = None, workers: Optional[int] = None,
                  progress: Optional[bool] = None, draw_settings: bool = False,
                  **fit_options: Any) -> BootstrapResult:
    """Residual bootstrap of a fit: refit ``n_samples`` resampled data sets.

    Each data set is the fitted model at every scan point plus residuals
    drawn with replacement from the same scan (see
    ``zscanfit.many.bootstrap.resample_scan_values``); it is refitted like
    the original (same method, starts, bounds, is_sa) from the fitted
    values, through ``fit_many``.

    Parameters
    ----------
    result : FitResult
        The fit to resample.
    n_samples : int
        Resampled data sets (B >= 2; 200 to 1000 is usual).
    seed : int, optional
        Seed of the draws: the same seed gives the same data sets and, as
        every fit is reproducible bit for bit, the same intervals.
    client, workers, progress
        Where the refits run: see ``fit_many``.
    draw_settings : bool
        Refit each data set with the experiment's uncertain settings drawn
        from their distributions.
    **fit_options
        Keyword arguments of ``fit`` for the refits (default: those of the
        original fit that the result records).

    Returns
    -------
    BootstrapResult

    Warns
    -----
    FitWarning
        Some refits were left out (or too many for intervals).
    """
    drawn = _bootstrap.draw(result, n_samples, seed, draw_settings, **fit_options)
    with warnings.catch_warnings():
        # The refits' own warnings (undetermined or correlated parameters,
        # integrator messages) would repeat once per refit.
        warnings.simplefilter("ignore", ZScanWarning)
        refits = fit_many(drawn.jobs, client=client, workers=workers, progress=progress,
                          **drawn.options)
    return _bootstrap.summarise(drawn, refits)
