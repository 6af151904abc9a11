"""Many independent jobs at once: on a local thread pool or a Dask cluster.

``run_many(function, jobs)`` calls ``function(scans, experiment, params,
**options)`` once per job and returns the results in the order of the
jobs; it knows nothing of fitting (``zscanfit.fit_many`` passes
``zscanfit.fit``). The fits release the interpreter lock while the model
runs, so a thread pool (concurrent.futures) scales on one machine; beyond
it the jobs go to the workers of a ``dask.distributed`` cluster, one job
per task (``function`` must then be importable by name). A job that raises
gives a ``FitFailure`` in its place and the others go on. Relies on tqdm
for the progress bar, on ``zscanfit._stop`` to stop jobs on worker
threads, and optionally on ``dask.distributed``.
"""
import itertools
import os
import threading
import traceback
import uuid
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Tuple, Union

from .. import _stop, texts

__all__ = ["FitJob", "FitFailure", "as_job", "run_many"]

JOB_KEYS = ("scans", "experiment", "params")


# ---------------------------------------------------------------- jobs and outcomes
@dataclass
class FitJob:
    """One fit of a batch: what ``zscanfit.fit(scans, experiment, params,
    **options)`` is called with.

    Parameters
    ----------
    scans : Scan or sequence of Scan
        The data of the fit.
    experiment : Experiment
        The experiment's settings.
    params : lmfit.Parameters
        Start values, free/fixed flags and bounds.
    options : dict, optional
        Further keyword arguments of ``fit`` (``is_sa``, ``n_starts``,
        ``method``, ...); they override those given to ``fit_many``.
    label : str, optional
        A name carried into a ``FitFailure`` (a file name, for example).
    """

    scans: Any
    experiment: Any
    params: Any
    options: Dict[str, Any] = field(default_factory=dict)
    label: Optional[str] = None


@dataclass
class FitFailure:
    """The place of a job whose fit raised: the exception's type and text.

    ``success`` is False as in a fit result, so ``[r for r in results if
    r.success]`` keeps the fits that converged and drops the failures.

    Attributes
    ----------
    index : int
        The job's place in the batch.
    error_type : str
        The exception's class name, e.g. ``"ValueError"``.
    message : str
        The exception's text.
    traceback : str
        The formatted traceback of the exception.
    label : str or None
        The job's label.
    success : bool
        Always False.
    """

    index: int
    error_type: str
    message: str
    traceback: str = ""
    label: Optional[str] = None
    success: bool = False

    def __str__(self) -> str:
        name = f" ({self.label})" if self.label else ""
        return f"job {self.index}{name} failed: {self.error_type}: {self.message}"

    @classmethod
    def from_exception(cls, index: int, error: BaseException,
                       label: Optional[str] = None, trace: str = "") -> "FitFailure":
        if not trace:
            trace = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        return cls(index=index, error_type=type(error).__name__, message=str(error),
                   traceback=trace, label=label)


JobLike = Union[FitJob, Mapping[str, Any]]


def as_job(job: JobLike, index: int = 0) -> FitJob:
    """A ``FitJob`` from a ``FitJob`` or from a mapping with the keys
    'scans', 'experiment' and 'params' (any further keys are options of
    ``fit``, 'label' excepted)."""
    if isinstance(job, FitJob):
        return job
    if isinstance(job, Mapping) and all(key in job for key in JOB_KEYS):
        options = {k: v for k, v in job.items() if k not in JOB_KEYS and k != "label"}
        return FitJob(job["scans"], job["experiment"], job["params"], options, job.get("label"))
    raise TypeError(texts.BATCH_JOB_NOT_UNDERSTOOD.format(index=index,
                                                          kind=type(job).__name__))


JobFunction = Callable[..., Any]


def run_job(function: JobFunction, job: FitJob, index: int, options: Mapping[str, Any]) -> Any:
    """Run one job; an exception becomes a ``FitFailure``. This is the task
    a Dask worker runs, so it must stay a module-level function."""
    try:
        return function(job.scans, job.experiment, job.params, **{**options, **job.options})
    except _stop.FitStopped:
        raise
    except Exception as error:  # the job's failure is its result; the batch goes on
        return FitFailure.from_exception(index, error, job.label)


# ---------------------------------------------------------------- local thread pool
def local_workers() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


_pool_numbers = itertools.count()


def _run_local(function: JobFunction, jobs: List[FitJob], options: Mapping[str, Any],
               workers: int) -> Iterator[Tuple[int, Any]]:
    """Yields (index, outcome) as the fits finish on a pool of ``workers``
    threads.

    When the consumer stops early (Ctrl-C, or any exception in the main
    thread), the fits not yet started are cancelled, the running ones stop
    at their next model evaluation (their threads' stop event is set), and
    the threads are joined before the exception goes on. A batch run inside
    a job of another batch stops with it: its fits answer to both events,
    and the stop is passed up instead of becoming a job's failure.
    """
    stop = threading.Event()
    events = _stop.current_events() + (stop,)

    def task(index: int) -> Any:
        with _stop.stop_events(events):
            _stop.raise_if_stopped()
            return run_job(function, jobs[index], index, options)

    # The pool's threads carry a name of their own, so that a thread started
    # but not yet recorded by the pool when Ctrl-C arrived (the pool records
    # it right after starting it) is joined all the same.
    prefix = f"zscanfit-fit-{next(_pool_numbers)}"
    pool = ThreadPoolExecutor(max_workers=min(workers, len(jobs)),
                              thread_name_prefix=prefix)
    try:
        futures = {pool.submit(task, index): index for index in range(len(jobs))}
        for future in as_completed(futures):
            index = futures[future]
            try:
                outcome = future.result()
            except _stop.FitStopped:
                raise
            except BaseException as error:  # never lose a job: its failure is its result
                outcome = FitFailure.from_exception(index, error, jobs[index].label)
            yield index, outcome
    finally:
        stop.set()
        pool.shutdown(wait=True, cancel_futures=True)
        for thread in threading.enumerate():
            if thread.name.startswith(prefix + "_"):
                thread.join()


# ---------------------------------------------------------------- Dask
def _distributed() -> Any:
    try:
        import distributed
    except ImportError as error:
        raise ImportError(texts.BATCH_MISSING_DASK) from error
    return distributed


def _run_dask(function: JobFunction, jobs: List[FitJob], options: Mapping[str, Any],
              client: Any) -> Iterator[Tuple[int, Any]]:
    """Yields (index, outcome) as the fits finish on the cluster's workers,
    one task per job. A task that fails outside the fit (a worker lost, a
    job that does not pickle) gives a ``FitFailure`` like a failing fit.
    Pending tasks are cancelled when the consumer stops early."""
    distributed = _distributed()
    batch = uuid.uuid4().hex
    futures = [client.submit(run_job, function, job, index, dict(options),
                             key=f"zscanfit-fit-{batch}-{index}", pure=False)
               for index, job in enumerate(jobs)]
    position = {future.key: index for index, future in enumerate(futures)}
    try:
        for future in distributed.as_completed(futures):
            index = position[future.key]
            try:
                outcome = future.result()
            except Exception as error:  # lost worker, cancelled task, unpicklable job
                outcome = FitFailure.from_exception(index, error, jobs[index].label)
            yield index, outcome
    finally:
        client.cancel([future for future in futures if not future.done()])


def _client(client: Any) -> Tuple[Any, bool]:
    """The client to submit to, and whether this call made it (and closes
    it): a scheduler address gives a new client."""
    distributed = _distributed()
    if isinstance(client, str):
        return distributed.Client(client), True
    return client, False


# ---------------------------------------------------------------- entry
def run_many(function: JobFunction, jobs: Iterable[JobLike], *, client: Any = None,
             workers: Optional[int] = None, progress: Optional[bool] = None,
             options: Optional[Mapping[str, Any]] = None) -> List[Any]:
    """Run ``function`` once per job; the results come back in the jobs' order.

    ``function(scans, experiment, params, **options)`` is called with the
    job's own options over ``options``. Where the jobs run (``client``,
    ``workers``), the progress bar, failures and Ctrl-C: see
    ``zscanfit.fit_many``, which is this with ``zscanfit.fit``.
    """
    from tqdm.auto import tqdm

    options = dict(options or {})
    job_list = [as_job(job, index) for index, job in enumerate(jobs)]
    if client is not None and workers is not None:
        raise ValueError(texts.BATCH_WORKERS_WITH_CLIENT)
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int)
                                or workers < 1):
        raise ValueError(texts.BATCH_WORKERS_NOT_POSITIVE.format(value=workers))
    results: List[Any] = [None] * len(job_list)
    if not job_list:
        return results

    bar = tqdm(total=len(job_list), unit="fit", desc="fits",
               disable=None if progress is None else not progress)
    owned = False
    if client is not None:
        try:
            client, owned = _client(client)
        except BaseException:
            bar.close()
            raise
        finished = _run_dask(function, job_list, options, client)
    else:
        finished = _run_local(function, job_list, options, workers or local_workers())
    try:
        for index, outcome in finished:
            results[index] = outcome
            bar.update()
    finally:
        finished.close()  # stops the pool or cancels the tasks left, also on Ctrl-C
        bar.close()
        if owned:
            client.close()
    return results
