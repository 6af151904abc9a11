# fit_many: a batch gives, in the jobs' order, exactly what the fits give one
# after another -- on local threads, on a two-process Dask LocalCluster the
# test starts on the loopback interface, and through a scheduler's address;
# a job that raises leaves a FitFailure in its place and the others go on;
# without Dask installed client= names the extra to install; Ctrl-C stops a
# batch at once, running fits included; the progress bar shows only on a
# terminal unless asked for; the fit-many command writes one row per data
# file, as fitting the file alone gives it. Relies on the installed
# zscanfit, on dask distributed, and on batch_cases.py and conftest.py.
import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest

import zscanfit
from zscanfit import _stop, texts
from zscanfit import FitFailure, fit_many

import batch_cases
from conftest import write_scan_file

SEEDS = (11, 12, 13)


@pytest.fixture(scope="module")
def sequential():
    """The jobs fitted one after another in this thread, and the jobs."""
    jobs = batch_cases.jobs(SEEDS)
    return jobs, [zscanfit.fit(j.scans, j.experiment, j.params, n_starts=1,
                               model="on-axis") for j in jobs]


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
        return fit_many(batch_jobs, workers=2, n_starts=1, model="on-axis")
    local_cluster = request.getfixturevalue("cluster")
    if request.param == "scheduler address":
        return fit_many(batch_jobs, client=local_cluster.scheduler_address, n_starts=1,
                        model="on-axis")
    from distributed import Client
    with Client(local_cluster) as client:
        return fit_many(batch_jobs, client=client, n_starts=1, model="on-axis")


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
    one, two = fit_many([job, as_mapping], workers=1, n_starts=2, model="on-axis")
    assert one.n_starts == 1 and two.n_starts == 1
    assert batch_cases.same_bits(one, two)


@pytest.mark.parametrize("call, error, text", [
    (lambda: fit_many([object()], model="on-axis"), TypeError,
     texts.BATCH_JOB_NOT_UNDERSTOOD.format(index=0, kind="object")),
    (lambda: fit_many([{"scans": 1, "params": 2}], model="on-axis"), TypeError,
     texts.BATCH_JOB_NOT_UNDERSTOOD.format(index=0, kind="dict")),
    (lambda: fit_many([], workers=2, client="tcp://127.0.0.1:1", model="on-axis"), ValueError,
     texts.BATCH_WORKERS_WITH_CLIENT),
    (lambda: fit_many([], workers=0, model="on-axis"), ValueError,
     texts.BATCH_WORKERS_NOT_POSITIVE.format(value=0)),
    (lambda: fit_many([], workers=1.5, model="on-axis"), ValueError,
     texts.BATCH_WORKERS_NOT_POSITIVE.format(value=1.5)),
], ids=["object", "mapping without experiment", "workers and client", "no workers",
        "fractional workers"])
def test_arguments_that_cannot_work_raise_before_any_fit(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == text


def test_without_dask_client_names_the_extra_and_threads_still_work(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed now fails
    with pytest.raises(ImportError) as raised:
        fit_many([batch_cases.failing_job()], client="tcp://127.0.0.1:8786", model="on-axis")
    assert str(raised.value) == texts.BATCH_MISSING_DASK
    assert "pip install kesp_wrapper[dask]" in str(raised.value)
    (failure,) = fit_many([batch_cases.failing_job()], model="on-axis")
    assert failure.error_type == "ValueError"


@pytest.mark.parametrize("progress, shown", [(None, False), (False, False), (True, True)])
def test_progress_bar_only_on_a_terminal_or_when_asked(capsys, progress, shown):
    fit_many([batch_cases.failing_job()] * 2, progress=progress, model="on-axis")
    err = capsys.readouterr().err
    assert ("2/2" in err) == shown


def test_a_fit_on_a_stopped_batch_thread_ends_before_evaluating_the_model():
    (job,) = batch_cases.jobs(SEEDS[:1])
    stop = threading.Event()
    stop.set()
    with _stop.stop_events((stop,)), pytest.raises(_stop.FitStopped):
        zscanfit.fit(job.scans, job.experiment, job.params, n_starts=1, model="on-axis")
    # outside the batch's thread the same fit runs
    assert zscanfit.fit(job.scans, job.experiment, job.params, n_starts=1, model="on-axis").success


# A batch of fits that would never end by themselves (each waits for its
# batch to stop), interrupted with SIGINT once two of them run. Nested, each
# job of the batch runs a batch of such fits, as a bootstrap in a job would.
ENDLESS_BATCH = textwrap.dedent("""
    import signal, sys, threading, time
    from zscanfit import _stop
    from zscanfit.many import executor

    # A shell that starts commands in the background ignores SIGINT for them.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    started, lock = [], threading.Lock()

    def endless_fit(scans, experiment, params, **options):
        if scans == "outer":
            return executor.run_many(endless_fit, [executor.FitJob("inner", None, None)] * 3,
                                     workers=1)
        with lock:
            started.append(scans)
            if len(started) == 2:
                print("running", flush=True)
        while True:
            _stop.raise_if_stopped()
            time.sleep(0.005)

    kind = "outer" if sys.argv[1] == "nested" else "inner"
    try:
        executor.run_many(endless_fit, [executor.FitJob(kind, None, None)] * 6, workers=2)
    except KeyboardInterrupt:
        # A joined thread may still be listed for a moment (CPython 3.13
        # drops it from the list after join returns): count the live ones.
        workers = [t for t in threading.enumerate()
                   if t.name.startswith("zscanfit-fit") and t.is_alive()]
        print("interrupted", len(started), len(workers), flush=True)
""")


@pytest.mark.parametrize("layout", ["flat", "nested"])
def test_ctrl_c_stops_the_batch_and_its_running_fits(layout):
    child = subprocess.Popen([sys.executable, "-c", ENDLESS_BATCH, layout],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "running\n"
        child.send_signal(subprocess.signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    # two fits started and no further one; every worker thread ended
    assert out == "interrupted 2 0\n", err
    assert child.returncode == 0


# ---------------------------------------------------------------- fit-many
@pytest.fixture(scope="module")
def scan_folder(tmp_path_factory):
    """Two data files of different noise and one that cannot be read."""
    folder = tmp_path_factory.mktemp("scans")
    start = batch_cases.start_params()
    spec_pars = [start[name].value for name in zscanfit.PARAMETER_NAMES]
    for name, seed in (("a.csv", 31), ("c.csv", 32)):
        write_scan_file(folder / name, batch_cases.noisy_scans(seed), batch_cases.experiment(),
                        spec_pars)
    (folder / "b.csv").write_text("# w0 = 2e-5\nnot,a,scan\n")
    (folder / "notes.md").write_text("not a data file\n")
    return folder


def _rows(text):
    import csv
    return list(csv.DictReader(text.splitlines()))


def _fit_file(path, **changes):
    data = zscanfit.load_scans(path)
    exp = zscanfit.Experiment.from_settings(dict(data.settings, **changes))
    return zscanfit.fit(data.scans, exp, data.params(free=batch_cases.FREE), n_starts=1,
                        model="on-axis")


def test_fit_many_folder_writes_one_row_per_file_as_the_fits_give(scan_folder, tmp_path):
    from conftest import run_cli
    out = tmp_path / "results.csv"
    done = run_cli("fit-many", scan_folder, "--free", *batch_cases.FREE, "--starts", 1,
                   "--model", "on-axis",
                   "--workers", 2, "--out", out)
    assert done.returncode == 0, done.stderr
    rows = _rows(out.read_text())
    assert [pathlib.Path(r["file"]).name for r in rows] == ["a.csv", "b.csv", "c.csv"]
    assert [r["status"] for r in rows] == ["ok", "failed", "ok"]
    with pytest.raises(ValueError) as unreadable:
        zscanfit.load_scans(rows[1]["file"])
    assert rows[1]["message"] == str(unreadable.value)
    for row in (rows[0], rows[2]):
        alone = _fit_file(row["file"])
        for name in batch_cases.FREE:
            assert float(row[name]) == alone.values[name]
            assert float(row[f"{name}_stderr"]) == alone.stderr[name]
        assert float(row["chisqr"]) == alone.chisqr and int(row["nfev"]) == alone.nfev
    assert "fit-many: 3 files, 2 fitted, 0 not converged, 1 failed" in done.stderr


def test_fit_many_manifest_rows_override_the_files_values(scan_folder, tmp_path):
    from conftest import run_cli
    manifest = tmp_path / "manifest.csv"
    manifest.write_text(f"file,z_slices\n{scan_folder / 'a.csv'},3\n{scan_folder / 'c.csv'},\n")
    done = run_cli("fit-many", manifest, "--free", *batch_cases.FREE, "--starts", 1,
                   "--model", "on-axis")
    assert done.returncode == 0, done.stderr
    rows = _rows(done.stdout)
    assert [r["status"] for r in rows] == ["ok", "ok"]
    finer = _fit_file(scan_folder / "a.csv", z_slices=3)
    assert float(rows[0]["sigma_0"]) == finer.values["sigma_0"]
    assert float(rows[1]["sigma_0"]) == _fit_file(scan_folder / "c.csv").values["sigma_0"]


@pytest.mark.parametrize("source, extra, text", [
    ("missing", (), texts.FIT_MANY_NO_SOURCE.format(path="missing")),
    ("manifest.csv", (), texts.FIT_MANY_UNKNOWN_COLUMN.format(
        path="manifest.csv", name="colour", settings=", ".join(zscanfit.EXPERIMENT_SETTINGS),
        parameters=", ".join(zscanfit.PARAMETER_NAMES))),
    ("empty", (), texts.FIT_MANY_NO_DATA_FILES.format(path="empty")),
    (".", ("--workers", "2", "--scheduler", "tcp://127.0.0.1:1"), "not allowed with argument"),
], ids=["no such source", "unknown manifest column", "empty folder", "workers and scheduler"])
def test_fit_many_bad_input_is_one_line_and_status_2(tmp_path, source, extra, text):
    from conftest import run_cli
    (tmp_path / "manifest.csv").write_text("file,colour\na.csv,red\n")
    (tmp_path / "empty").mkdir()
    done = run_cli("fit-many", source, "--free", "sigma_0", *extra, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stdout == "" and done.stderr.count("\n") == 1 and text in done.stderr
