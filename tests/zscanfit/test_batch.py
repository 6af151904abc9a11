# fit_many: a batch gives, in the jobs' order, exactly what the fits give one
# after another -- on local threads, on a two-process Dask LocalCluster the
# test starts on the loopback interface, and through a scheduler's address;
# a job that raises leaves a FitFailure in its place and the others go on;
# without Dask installed client= names the extra to install; Ctrl-C stops a
# batch at once, running fits included; the progress bar shows only on a
# terminal unless asked for. Relies on the installed zscanfit, on dask
# distributed, and on batch_cases.py.
import subprocess
import sys
import textwrap
import threading

import pytest

import zscanfit
from zscanfit import _stop, batch, texts
from zscanfit.batch import FitFailure, FitJob, fit_many

import batch_cases

SEEDS = (11, 12, 13)


@pytest.fixture(scope="module")
def sequential():
    """The jobs fitted one after another in this thread, and the jobs."""
    jobs = batch_cases.jobs(SEEDS)
    return jobs, [zscanfit.fit(j.scans, j.experiment, j.params, n_starts=1) for j in jobs]


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  host="127.0.0.1", dashboard_address=None) as local_cluster:
        yield local_cluster


@pytest.fixture(scope="module", params=["threads", "cluster client", "scheduler address"])
def batch_run(request, sequential):
    """The jobs with a failing one second, run by each kind of runner."""
    jobs, _ = sequential
    batch_jobs = [jobs[0], batch_cases.failing_job()] + jobs[1:]
    if request.param == "threads":
        return fit_many(batch_jobs, workers=2, n_starts=1)
    local_cluster = request.getfixturevalue("cluster")
    if request.param == "scheduler address":
        return fit_many(batch_jobs, client=local_cluster.scheduler_address, n_starts=1)
    from distributed import Client
    with Client(local_cluster) as client:
        return fit_many(batch_jobs, client=client, n_starts=1)


def test_results_equal_sequential_fits_bit_for_bit_in_job_order(batch_run, sequential):
    _, alone = sequential
    fitted = [batch_run[0]] + batch_run[2:]
    assert len(batch_run) == len(alone) + 1
    for one, reference in zip(fitted, alone):
        assert isinstance(one, zscanfit.FitResult)
        assert batch_cases.same_bits(one, reference)


def test_a_failing_job_is_reported_in_its_place(batch_run):
    failure = batch_run[1]
    assert isinstance(failure, FitFailure)
    assert failure.success is False
    assert (failure.index, failure.label) == (1, "nothing free")
    assert (failure.error_type, failure.message) == ("ValueError", texts.NOTHING_FREE)
    assert "Traceback" in failure.traceback


def test_job_options_override_batch_options():
    (job,) = batch_cases.jobs(SEEDS[:1])
    job.options = {"n_starts": 1}
    as_mapping = {"scans": job.scans, "experiment": job.experiment, "params": job.params,
                  "n_starts": 1}
    one, two = fit_many([job, as_mapping], workers=1, n_starts=2)
    assert one.n_starts == 1 and two.n_starts == 1
    assert batch_cases.same_bits(one, two)


@pytest.mark.parametrize("call, error, text", [
    (lambda: fit_many([object()]), TypeError, batch.JOB_NOT_UNDERSTOOD.format(0, "object")),
    (lambda: fit_many([{"scans": 1, "params": 2}]), TypeError,
     batch.JOB_NOT_UNDERSTOOD.format(0, "dict")),
    (lambda: fit_many([], workers=2, client="tcp://127.0.0.1:1"), ValueError,
     batch.WORKERS_WITH_CLIENT),
    (lambda: fit_many([], workers=0), ValueError, batch.WORKERS_NOT_POSITIVE.format(0)),
    (lambda: fit_many([], workers=1.5), ValueError, batch.WORKERS_NOT_POSITIVE.format(1.5)),
], ids=["object", "mapping without experiment", "workers and client", "no workers",
        "fractional workers"])
def test_arguments_that_cannot_work_raise_before_any_fit(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == text


def test_without_dask_client_names_the_extra_and_threads_still_work(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed now fails
    with pytest.raises(ImportError) as raised:
        fit_many([batch_cases.failing_job()], client="tcp://127.0.0.1:8786")
    assert str(raised.value) == batch.MISSING_DASK
    assert "pip install kesp_wrapper[dask]" in str(raised.value)
    (failure,) = fit_many([batch_cases.failing_job()])
    assert failure.error_type == "ValueError"


@pytest.mark.parametrize("progress, shown", [(None, False), (False, False), (True, True)])
def test_progress_bar_only_on_a_terminal_or_when_asked(capsys, progress, shown):
    fit_many([batch_cases.failing_job()] * 2, progress=progress)
    err = capsys.readouterr().err
    assert ("2/2" in err) == shown


def test_a_fit_on_a_stopped_batch_thread_ends_before_evaluating_the_model():
    (job,) = batch_cases.jobs(SEEDS[:1])
    stop = threading.Event()
    stop.set()
    with _stop.stop_event(stop), pytest.raises(_stop.FitStopped):
        zscanfit.fit(job.scans, job.experiment, job.params, n_starts=1)
    # outside the batch's thread the same fit runs
    assert zscanfit.fit(job.scans, job.experiment, job.params, n_starts=1).success


# A batch of fits that would never end by themselves (each waits for its
# batch to stop), interrupted with SIGINT once two of them run.
ENDLESS_BATCH = textwrap.dedent("""
    import threading, time
    from zscanfit import _stop, batch

    started, lock = [], threading.Lock()

    def endless_fit(scans, experiment, params, **options):
        with lock:
            started.append(scans)
            if len(started) == 2:
                print("running", flush=True)
        while True:
            _stop.raise_if_stopped()
            time.sleep(0.005)

    batch._fit_function = lambda: endless_fit
    try:
        batch.fit_many([batch.FitJob(k, None, None) for k in range(6)], workers=2)
    except KeyboardInterrupt:
        workers = [t for t in threading.enumerate() if t.name.startswith("zscanfit-fit")]
        print("interrupted", len(started), len(workers), flush=True)
""")


def test_ctrl_c_stops_the_batch_and_its_running_fits():
    child = subprocess.Popen([sys.executable, "-c", ENDLESS_BATCH], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "running\n"
        child.send_signal(subprocess.signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    # two fits started and no further one; both worker threads ended
    assert out == "interrupted 2 0\n", err
    assert child.returncode == 0
