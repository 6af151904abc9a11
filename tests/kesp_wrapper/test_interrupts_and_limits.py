# Interrupting fit_zscan and its memory limits: a SIGINT sent a moment into a
# long fit raises KeyboardInterrupt at once and the next fit is normal; any
# signal handler runs during a fit, its exception stops the fit, and one that
# returns changes nothing, even when it fits itself; calls whose tables or
# working storage exceed the machine's memory raise MemoryError before
# allocating. Relies on the installed module and on conftest's model data.
import pathlib
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import kesp_wrapper
from conftest import MEMORY, fit, moving_fit, result_bits

TESTS_DIR = pathlib.Path(__file__).resolve().parent


# ---------------------------------------------------------------- interrupts

CHILD = """
    import signal, sys, time
    # A shell that starts commands in the background ignores SIGINT for them.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path.insert(0, {tests!r})
    import kesp_wrapper
    from conftest import moving_fit, result_bits

    long_fit = moving_fit(n_starts=1000, t_slices=40, z_slices=8)
    print("ready", flush=True)
    try:
        kesp_wrapper.fit_zscan(**long_fit)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print(*result_bits(kesp_wrapper.fit_zscan(**moving_fit(n_starts=2))), flush=True)
"""


def read_line(stream, timeout):
    ready, _, _ = select.select([stream], [], [], timeout)
    assert ready, f"no output within {timeout} s"
    return stream.readline().strip()


def test_sigint_stops_a_long_fit_at_once_and_the_next_fit_is_normal(tmp_path):
    expected = result_bits(kesp_wrapper.fit_zscan(**moving_fit(n_starts=2)))
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CHILD.format(tests=str(TESTS_DIR)))],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert read_line(child.stdout, 60) == "ready"
        time.sleep(0.5)                       # well into the first start
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        outcome = read_line(child.stdout, 30)
        latency = time.monotonic() - sent
        assert outcome == "interrupted"
        assert latency < 2.0, latency
        assert tuple(read_line(child.stdout, 60).split()) == expected
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
        child.wait()


class Stop(Exception):
    pass


@pytest.fixture
def alarm():
    """Installs a SIGALRM handler and a timer; restores both afterwards."""
    previous = signal.getsignal(signal.SIGALRM)

    def install(handler, first, interval=0.0):
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, first, interval)

    yield install
    signal.setitimer(signal.ITIMER_REAL, 0.0)
    signal.signal(signal.SIGALRM, previous)


def test_an_exception_raised_by_any_signal_handler_stops_the_fit(alarm):
    def handler(signum, frame):
        raise Stop()

    args = moving_fit(n_starts=1000, t_slices=8, z_slices=4)   # half a minute and more
    alarm(handler, 0.2)
    start = time.monotonic()
    with pytest.raises(Stop):
        kesp_wrapper.fit_zscan(**args)
    assert time.monotonic() - start < 2.0


def test_a_handler_stops_the_fit_inside_one_long_model_evaluation(alarm):
    # One model evaluation of 11 points x 6000 time slices x 8 slabs takes
    # seconds; the stop comes between time slices, not after the evaluation.
    def handler(signum, frame):
        raise Stop()

    args = dict(moving_fit(n_starts=1), t_slices=6000, z_slices=8)
    alarm(handler, 0.3)
    start = time.monotonic()
    with pytest.raises(Stop):
        kesp_wrapper.fit_zscan(**args)
    assert time.monotonic() - start < 1.0


# A fit of about half a second here, asked about signals some 25 times; a
# handler that could only run once the call returned would run once.
LONGER = dict(n_starts=9, t_slices=24, z_slices=4)


def test_handlers_that_return_run_during_the_fit_and_change_nothing(alarm):
    args = moving_fit(**LONGER)
    quiet = result_bits(kesp_wrapper.fit_zscan(**args))
    calls = []
    alarm(lambda signum, frame: calls.append(signum), 0.005, 0.005)
    noisy = result_bits(kesp_wrapper.fit_zscan(**args))
    signal.setitimer(signal.ITIMER_REAL, 0.0)
    assert noisy == quiet
    assert len(calls) >= 5, calls


def test_a_handler_may_itself_fit_without_disturbing_the_running_fit(alarm):
    outer_args = moving_fit(**LONGER)
    inner_args = moving_fit(n_starts=1)
    outer_alone = result_bits(kesp_wrapper.fit_zscan(**outer_args))
    inner_alone = result_bits(kesp_wrapper.fit_zscan(**inner_args))
    calls, inner = [], []

    def handler(signum, frame):
        calls.append(signum)
        if len(calls) == 1:   # the timer may fire again while this fit runs
            inner.append(result_bits(kesp_wrapper.fit_zscan(**inner_args)))

    alarm(handler, 0.02, 0.02)
    outer = result_bits(kesp_wrapper.fit_zscan(**outer_args))
    signal.setitimer(signal.ITIMER_REAL, 0.0)
    assert outer == outer_alone
    assert inner == [inner_alone] and len(calls) >= 5, len(calls)


# ---------------------------------------------------------------- memory

HUGE = [
    # 2**31 - 1 starts: 8 + 11 + 2 doubles of tables each.
    (dict(n_starts=2 ** 31 - 1), 2 ** 31 * 21 * 8,
     "fit_zscan needs 429496729488 bytes for the tables of 2147483647 starts and 11 points, "
     "more than the {} bytes of memory this process may use"),
    # 2**28 starts: tiling spec_pars alone would have filled 17 GB.
    (dict(n_starts=2 ** 28), 2 ** 28 * 21 * 8, None),
    # 11 points times 2**31 - 1 time slices of intensities.
    (dict(t_slices=2 ** 31 - 1), 11 * 2 ** 31 * 8,
     "not enough memory for the working storage of the fit (11 points, "
     "t_slices=2147483647, z_slices=2)"),
    # 2**31 - 1 slabs of five populations, on every model thread.
    (dict(z_slices=2 ** 31 - 1), 2 ** 31 * 5 * 8, None),
]


@pytest.mark.parametrize("overrides, needed, text", HUGE)
def test_calls_beyond_the_memory_of_the_machine_raise_memory_error(overrides, needed, text):
    if needed < MEMORY:
        pytest.skip("this machine has the memory")
    normal = result_bits(fit(n_starts=1))
    start = time.monotonic()
    with pytest.raises(MemoryError) as info:
        fit(**overrides)
    assert time.monotonic() - start < 5.0   # refused, not allocated and filled
    if text is not None:
        message = str(info.value)
        usable = int(message.split("the ")[-1].split()[0]) if "{}" in text else None
        assert message == text.format(usable)
        assert usable is None or usable <= MEMORY
    assert result_bits(fit(n_starts=1)) == normal
