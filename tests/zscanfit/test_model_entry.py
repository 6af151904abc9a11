# The compiled model entry of zscanfit and the capture of the integrator's
# messages: scan_transmittance at a scan's own positions is fit_zscan's model
# bit for bit (RSA and SA, one and two pulse energies), a finer grid
# normalised on the scan passes through it, broken rules raise ValueError
# naming the argument, Ctrl-C stops a long evaluation; MessageCapture keeps
# standard output (file descriptor 1) silent for its thread, also inside
# fit_zscan, leaves other threads printing, and nests. Relies on the installed
# zscanfit._core and kesp_wrapper, and on the kesp_wrapper tests' shared cases
# (tests/kesp_wrapper/conftest.py).
import importlib.util
import json
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kesp_wrapper
from zscanfit import _core

TESTS_DIR = pathlib.Path(__file__).resolve().parents[1]


def _load_kesp_cases():
    spec = importlib.util.spec_from_file_location(
        "kesp_cases", TESTS_DIR / "kesp_wrapper" / "conftest.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


cases = _load_kesp_cases()
SETUPS = {"RSA": (cases.RSA_SETUP, cases.RSA_PARS), "SA": (cases.SA_SETUP, cases.SA_PARS)}
X11 = cases.X11

# A call that makes the integrator talk: a pulse so energetic that the
# integrations of the rate equations reach their step limit.
TALKATIVE_PARS = (1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)
TALKATIVE_SETUP = dict(cases.RSA_SETUP, t_slices=3, z_slices=2)
TALKATIVE_ENERGY = 2e3


def entry_args(setup, pars, positions, wing_positions, pulse_energy):
    """scan_transmittance's keyword arguments from a fit_zscan set-up."""
    return dict(
        positions=np.asarray(positions, dtype=np.float64),
        wing_positions=np.asarray(wing_positions, dtype=np.float64),
        pulse_energy=float(pulse_energy), spec_pars=np.array(pars, dtype=np.float64),
        populations=np.array(setup["populations"], dtype=np.float64),
        wavelength=setup["wavelength"], w0=setup["w0"], M2=setup["M2"], tau=setup["tau"],
        sample_width=setup["sample_width"], t_slices=setup["t_slices"],
        z_slices=setup["z_slices"])


def talkative_args():
    return entry_args(TALKATIVE_SETUP, TALKATIVE_PARS, X11, X11, TALKATIVE_ENERGY)


def talkative_fit_args():
    """fit_zscan's arguments for a one-start fit at the talkative energy."""
    return cases.call_args(**dict(TALKATIVE_SETUP, pulse_energy=(TALKATIVE_ENERGY,)),
                           spec_pars=TALKATIVE_PARS, fit_indices=(0, 1), n_starts=1)


# ---------------------------------------------------------------- the model

def scans(kind, n_sets):
    """Positions and measured-looking data of n_sets scans of 11 points. The
    second scan is shifted by 0.5 mm and has the deeper extremum, so the
    centre of all the data (fit_zscan's) lies in it."""
    shifts = (0.0, 0.5)[:n_sets]
    depths = (0.08, 0.12)[:n_sets]
    sign = 1.0 if kind == "SA" else -1.0
    x = np.concatenate([X11 + s for s in shifts])
    y = np.concatenate([1.0 + sign * d * np.exp(-((X11 + s) / 8.0) ** 2)
                        for s, d in zip(shifts, depths)])
    return x, y


@pytest.mark.parametrize("n_sets", [1, 2])
@pytest.mark.parametrize("kind", ["RSA", "SA"])
def test_the_model_at_a_scans_positions_is_fit_zscans_model(kind, n_sets):
    setup, pars = SETUPS[kind]
    energies = (1e-6, 2.5e-6)[:n_sets]
    x, y = scans(kind, n_sets)
    # A fit of the lifetime 4 -> 3 alone cannot move (sigma_2 = 0): the
    # residuals are those of the model at `pars`, and with data within a
    # factor 2 of the model y - (y - model) is the model exactly.
    residuals, _, fitted = kesp_wrapper.fit_zscan(**cases.call_args(
        **dict(setup, pulse_energy=energies), x_data=x, y_data=y, spec_pars=pars,
        fit_indices=(cases.IDLE,), num_x_pts=11, num_datasets=n_sets, n_starts=1))
    assert np.array_equal(np.delete(fitted, cases.IDLE), np.delete(pars, cases.IDLE))
    expected = y - residuals
    assert np.all((expected > y / 2) & (expected < 2 * y))

    centre = x[np.argmax(y) if kind == "SA" else np.argmin(y)]
    assert centre == x[11 + 5] if n_sets == 2 else centre == x[5]
    for d, energy in enumerate(energies):
        centred = x[11 * d:11 * (d + 1)] - centre
        got = _core.scan_transmittance(**entry_args(setup, pars, centred, centred, energy))
        assert got.dtype == np.float64 and got.shape == (11,)
        assert got.tobytes() == expected[11 * d:11 * (d + 1)].tobytes(), (kind, d)


def test_a_finer_grid_passes_through_the_model_at_the_data_points():
    setup, pars = SETUPS["RSA"]
    scan = X11 - 0.75                                 # a measured scan, centred off its grid
    fine = np.arange(-30.0, 30.01, 0.25) - 0.75       # wider and finer, holding every point
    at_points = np.searchsorted(fine, scan)
    assert np.array_equal(fine[at_points], scan)
    on_scan = _core.scan_transmittance(**entry_args(setup, pars, scan, scan, 1.5e-6))
    curve = _core.scan_transmittance(**entry_args(setup, pars, fine, scan, 1.5e-6))
    assert curve[at_points].tobytes() == on_scan.tobytes()
    # Normalised on its own (wider) wings the fine grid gives another curve.
    own = _core.scan_transmittance(**entry_args(setup, pars, fine, fine, 1.5e-6))
    assert not np.array_equal(own[at_points], on_scan)
    # Extra points change no value: each position's value stands alone.
    assert _core.scan_transmittance(
        **entry_args(setup, pars, scan[3:7], scan, 1.5e-6)).tobytes() == on_scan[3:7].tobytes()


def test_inputs_are_not_written_and_keywords_are_accepted():
    args = talkative_args()
    args.update(pulse_energy=1e-6)
    before = {name: value.copy() for name, value in args.items()
              if isinstance(value, np.ndarray)}
    for value in before.values():
        value.setflags(write=False)
    read_only = dict(args, **{name: value for name, value in before.items()})
    first = _core.scan_transmittance(**read_only)
    second = _core.scan_transmittance(*[args[name] for name in (
        "positions", "wing_positions", "pulse_energy", "spec_pars", "populations",
        "wavelength", "w0", "M2", "tau", "sample_width", "t_slices", "z_slices")])
    assert first.tobytes() == second.tobytes()
    for name, value in before.items():
        assert np.array_equal(args[name], value), name


NAN = float("nan")


@pytest.mark.parametrize("change, message", [
    (dict(positions=np.array([])),
     "scan_transmittance: positions is empty; give at least one scan position (mm)"),
    (dict(wing_positions=X11[:4]),
     "scan_transmittance: wing_positions has 4 entries; the normalisation needs the "
     "measured scan's positions, at least 5"),
    (dict(spec_pars=np.ones(7)),
     "scan_transmittance: spec_pars has 7 entries; give the 8 spectroscopic parameters "
     "(sigma_0, sigma_1, sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43)"),
    (dict(populations=np.ones(6)),
     "scan_transmittance: populations has 6 entries; give the 5 initial populations N0..N4 "
     "(cm^-3)"),
    (dict(t_slices=1), "scan_transmittance: t_slices must be >= 2, got 1"),
    (dict(z_slices=0), "scan_transmittance: z_slices must be >= 2, got 0"),
    (dict(wavelength=0.0), "scan_transmittance: wavelength must not be 0"),
    (dict(M2=-0.0), "scan_transmittance: M2 must not be 0"),
    (dict(tau=NAN), "scan_transmittance: tau is NaN"),
    (dict(pulse_energy=NAN), "scan_transmittance: pulse_energy is NaN"),
    (dict(positions=np.array([0.0, NAN])), "scan_transmittance: positions[1] is NaN"),
    (dict(wing_positions=np.append(X11, NAN)),
     "scan_transmittance: wing_positions[11] is NaN"),
    (dict(spec_pars=np.array([1e-17, NAN, 0, 1, 1, 1, 1, 1])),
     "scan_transmittance: spec_pars[1] is NaN"),
])
def test_a_broken_rule_raises_value_error_naming_it(change, message):
    args = talkative_args()
    args.update(change)
    with pytest.raises(ValueError) as raised:
        _core.scan_transmittance(**args)
    assert str(raised.value) == message


@pytest.mark.parametrize("change", [
    dict(positions=np.array(["1.0", "2.0"])),          # strings
    dict(positions=np.ones((2, 6))),                   # two dimensions
    dict(spec_pars="sigma"),
    dict(t_slices=2.5),
    dict(t_slices=2 ** 40),
])
def test_arguments_of_the_wrong_kind_raise_type_errors(change):
    args = talkative_args()
    args.update(change)
    with pytest.raises(TypeError):
        _core.scan_transmittance(**args)


def test_a_raising_signal_handler_stops_a_long_evaluation_and_the_next_is_normal():
    setup, pars = SETUPS["RSA"]
    small = entry_args(setup, pars, X11, X11, 1e-6)
    expected = _core.scan_transmittance(**small).tobytes()
    long = entry_args(dict(setup, t_slices=40, z_slices=20), pars,
                      np.linspace(-20.0, 20.0, 400), X11, 1e-6)
    start = time.monotonic()
    _core.scan_transmittance(**long)
    full = time.monotonic() - start

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop()

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        start = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, full / 10)
        with pytest.raises(Stop):
            _core.scan_transmittance(**long)
        stopped_after = time.monotonic() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert stopped_after < full / 2, (stopped_after, full)
    assert _core.scan_transmittance(**small).tobytes() == expected


# ---------------------------------------------------------------- messages

CHILD_PRELUDE = textwrap.dedent("""
    import gc, json, sys, threading
    import numpy as np
    import kesp_wrapper
    from zscanfit import _core
    sys.path.insert(0, {tests!r})
    import test_model_entry as t

    def report(**values):
        print(json.dumps(values), file=sys.stderr)
""").format(tests=str(pathlib.Path(__file__).resolve().parent))


def run_child(code):
    """Runs `code` after CHILD_PRELUDE in a fresh interpreter with this one's
    module path; returns what it wrote to file descriptor 1 and the JSON it
    reported on stderr."""
    completed = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)], capture_output=True,
        text=True,
        timeout=300, cwd=TESTS_DIR)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout, json.loads(completed.stderr.strip().splitlines()[-1])




def printed_counts(output):
    """Messages per kind in printed integrator output: each message starts
    with a line ' <text>' and goes on with lines of six blanks and a figure."""
    counts = {}
    for line in output.splitlines():
        if line.startswith(" ") and not line.startswith("      In above"):
            kind = line[1:].rstrip()
            counts[kind] = counts.get(kind, 0) + 1
    return counts


@pytest.fixture(scope="module")
def talkative_output():
    """What one talkative evaluation and one talkative fit print uncaptured."""
    output, _ = run_child("""
        _core.scan_transmittance(**t.talkative_args())
        sys.stdout.flush()
        print("--- fit", flush=True)
        kesp_wrapper.fit_zscan(**t.talkative_fit_args())
        report()
    """)
    evaluation, fit = output.split("--- fit\n")
    assert printed_counts(evaluation) and printed_counts(fit)
    return evaluation, fit


def test_a_capture_collects_an_evaluations_messages_and_prints_nothing(talkative_output):
    output, got = run_child("""
        with _core.MessageCapture(keep=3) as capture:
            _core.scan_transmittance(**t.talkative_args())
        report(total=capture.total, counts=capture.counts, first=capture.first)
    """)
    assert output == ""
    expected = printed_counts(talkative_output[0])
    assert got["counts"] == expected
    assert got["total"] == sum(expected.values())
    assert len(got["first"]) == 3
    # Kept verbatim: each is a whole message as it would have been printed
    # (which thread's message came first is not fixed).
    for text in got["first"]:
        assert text in talkative_output[0]
        assert text.startswith(" DLSODA-") or text.startswith("       ")


def test_fit_zscan_inside_a_capture_prints_nothing_and_is_collected(talkative_output):
    output, got = run_child("""
        with _core.MessageCapture(keep=0) as capture:
            kesp_wrapper.fit_zscan(**t.talkative_fit_args())
        report(counts=capture.counts, first=capture.first)
    """)
    assert output == ""
    assert got == {"counts": printed_counts(talkative_output[1]), "first": []}


def test_fit_zscan_on_another_thread_still_prints_while_this_thread_captures(
        talkative_output):
    output, got = run_child("""
        done = threading.Event()
        def fit():
            kesp_wrapper.fit_zscan(**t.talkative_fit_args())
            done.set()
        with _core.MessageCapture() as capture:
            other = threading.Thread(target=fit)
            other.start()
            evaluations = 0
            while not done.is_set() or evaluations == 0:
                _core.scan_transmittance(**t.talkative_args())
                evaluations += 1
            other.join()
        report(counts=capture.counts, evaluations=evaluations)
    """)
    assert printed_counts(output) == printed_counts(talkative_output[1])
    per_evaluation = printed_counts(talkative_output[0])
    assert got["counts"] == {kind: got["evaluations"] * n for kind, n in per_evaluation.items()}


def test_one_capture_entered_on_several_threads_counts_them_all(talkative_output):
    output, got = run_child("""
        capture = _core.MessageCapture()
        def evaluate():
            with capture:
                _core.scan_transmittance(**t.talkative_args())
        threads = [threading.Thread(target=evaluate) for _ in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        report(counts=capture.counts)
    """)
    assert output == ""
    assert got["counts"] == {kind: 3 * n for kind, n in
                             printed_counts(talkative_output[0]).items()}


def test_nested_captures_collect_in_turn_and_output_resumes_after_them(
        talkative_output):
    output, got = run_child("""
        outer, inner = _core.MessageCapture(), _core.MessageCapture()
        totals = []
        with outer:
            _core.scan_transmittance(**t.talkative_args())
            totals.append((outer.total, inner.total))
            with inner:
                _core.scan_transmittance(**t.talkative_args())
                with inner:                     # the same capture, re-entered
                    _core.scan_transmittance(**t.talkative_args())
                totals.append((outer.total, inner.total))
            _core.scan_transmittance(**t.talkative_args())
            totals.append((outer.total, inner.total))
        sys.stdout.flush()
        print("--- after", flush=True)
        _core.scan_transmittance(**t.talkative_args())
        report(totals=totals)
    """)
    per_evaluation = sum(printed_counts(talkative_output[0]).values())
    n = per_evaluation
    assert got["totals"] == [[n, 0], [n, 2 * n], [2 * n, 2 * n]]
    before, after = output.split("--- after\n")
    assert before == ""
    assert sum(printed_counts(after).values()) == n


def test_a_child_forked_while_threads_fill_a_capture_can_use_it():
    # Threads keep handing messages to one capture while the main thread
    # forks: no child may inherit the capture's lock held by a thread it
    # does not have. A child's evaluation takes milliseconds, but it shares
    # the processors with the three talking threads and their workers (and
    # whatever else loads the machine), so it is given a minute of wall
    # clock; a child that inherited a held lock never finishes. The first
    # such child ends the run.
    _, got = run_child("""
        import os, signal, time
        capture = _core.MessageCapture()
        def talk():
            with capture:
                while True:
                    _core.scan_transmittance(**t.talkative_args())
        for _ in range(3):
            threading.Thread(target=talk, daemon=True).start()
        time.sleep(0.2)
        hung = 0
        for _ in range(30):
            pid = os.fork()
            if pid == 0:
                with capture:
                    _core.scan_transmittance(**t.talkative_args())
                os._exit(0 if capture.total > 0 else 3)
            deadline = time.monotonic() + 60.0
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done or time.monotonic() > deadline:
                    break
                time.sleep(0.01)
            if not done:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                hung += 1
                break
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
        report(hung=hung)
    """)
    assert got == {"hung": 0}


def test_captures_left_out_of_order_or_not_entered_raise_and_stay_in_force():
    outer, inner = _core.MessageCapture(), _core.MessageCapture()
    with pytest.raises(RuntimeError, match="without a matching __enter__"):
        outer.__exit__(None, None, None)
    outer.__enter__()
    inner.__enter__()
    with pytest.raises(RuntimeError, match="leave nested captures innermost first"):
        outer.__exit__(None, None, None)
    _core.scan_transmittance(**talkative_args())
    assert outer.total == 0 and inner.total > 0
    inner.__exit__(None, None, None)
    outer.__exit__(None, None, None)
    with pytest.raises(RuntimeError):
        inner.__exit__(None, None, None)


def test_a_capture_belongs_to_its_thread():
    capture = _core.MessageCapture()
    capture.__enter__()
    try:
        errors = []

        def leave():
            try:
                capture.__exit__(None, None, None)
            except RuntimeError as error:
                errors.append(error)

        other = threading.Thread(target=leave)
        other.start()
        other.join()
        assert len(errors) == 1
    finally:
        capture.__exit__(None, None, None)


@pytest.mark.parametrize("keep", [-1, -(2 ** 40)])
def test_a_negative_keep_is_refused(keep):
    with pytest.raises(ValueError, match=f"keep must be >= 0, got {keep}$"):
        _core.MessageCapture(keep)


def test_a_capture_dropped_while_entered_keeps_collecting_safely():
    # Entered and dropped without leaving: the thread's messages go on to its
    # collector, which must outlive the capture rather than be freed under
    # the integrator.
    output, got = run_child("""
        capture = _core.MessageCapture()
        capture.__enter__()
        del capture
        gc.collect()
        _core.scan_transmittance(**t.talkative_args())
        report()
    """)
    assert output == "" and got == {}


@pytest.mark.parametrize("exit_after", [0.05, 0.15, 0.3])
def test_threads_still_computing_when_the_interpreter_exits_do_not_abort_it(exit_after):
    # Daemon threads inside both modules' computations (messages captured or
    # printed) when the main thread ends: the interpreter ends such threads
    # as they come back for the lock, and nothing may release a Python
    # reference on their way out. Each run exits at another moment of the
    # threads' evaluations.
    for _ in range(2):
        run_child(f"""
            import time
            def model():
                with _core.MessageCapture():
                    while True:
                        _core.scan_transmittance(**t.talkative_args())
            def fit():
                while True:
                    kesp_wrapper.fit_zscan(**t.talkative_fit_args())
            for work in (model, model, fit):
                threading.Thread(target=work, daemon=True).start()
            time.sleep({exit_after})
            report(exited=True)
        """)
