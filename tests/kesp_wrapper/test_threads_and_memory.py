# fit_zscan under threads and in long runs: the interpreter lock is released
# while the starts run, concurrent calls give exactly the results of the same
# calls made one after another, and calls that fail keep no memory and no
# references. Relies on the installed module and conftest's model data.
import gc
import sys
import threading
import time
import tracemalloc

import numpy as np

import kesp_wrapper
from conftest import X11, call_args, moving_fit, same_bits

fit_zscan = kesp_wrapper.fit_zscan


def moving_fits():
    """Calls whose fits move: one entry of RSA_PARS off by a factor, against
    data made at RSA_PARS."""
    return [moving_fit(n_starts=2, index=index, factor=factor)
            for index in (1, 3, 4, 5) for factor in (0.5, 2.0)]


def test_concurrent_calls_equal_sequential_calls():
    calls = moving_fits()
    sequential = [fit_zscan(**args) for args in calls]
    n_threads = 4
    results = [[None] * len(calls) for _ in range(n_threads)]
    errors = []
    barrier = threading.Barrier(n_threads)

    def work(t):
        try:
            barrier.wait()
            for k in range(len(calls)):
                j = (k + 2 * t) % len(calls)   # each thread in another order
                results[t][j] = fit_zscan(**calls[j])
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    for t in range(n_threads):
        for j, expected in enumerate(sequential):
            assert same_bits(results[t][j], expected), (t, j)


def test_other_threads_run_while_the_starts_run():
    args = moving_fits()[2]
    args["n_starts"] = 32
    start = time.perf_counter()
    fit_zscan(**args)
    duration = time.perf_counter() - start

    thread = threading.Thread(target=fit_zscan, kwargs=args)
    longest_pause = 0.0
    last = time.perf_counter()
    thread.start()
    while thread.is_alive():
        now = time.perf_counter()
        longest_pause = max(longest_pause, now - last)
        last = now
    thread.join()
    # Had the lock been held for the whole fit, this thread would have
    # paused for about its duration.
    assert longest_pause < duration / 2, (longest_pause, duration)


def memory_and_references_kept(calls, rounds):
    """Growth of traced memory over `rounds` runs of every call, and whether
    the reference counts of the array arguments changed."""
    def run_all():
        for args in calls:
            try:
                fit_zscan(**args)
            except (TypeError, ValueError, IndexError):
                pass

    def counts():
        return [sys.getrefcount(value) for args in calls for value in args.values()
                if isinstance(value, np.ndarray)]   # scalars are shared objects

    def traced():
        gc.collect()   # also empties the interpreter's free lists
        return tracemalloc.get_traced_memory()[0]

    run_all()
    before = counts()
    tracemalloc.start()
    try:
        run_all()
        baseline = traced()
        for _ in range(rounds):
            run_all()
        growth = traced() - baseline
    finally:
        tracemalloc.stop()
    return growth, counts() != before


def test_calls_keep_no_memory_or_references():
    failing = [
        dict(t_slices="2"),                                  # conversion
        dict(y_data=None),                                   # None check
        dict(spec_pars=np.zeros(8, ">f8")),                  # buffer check
        dict(fit_indices=np.array([7], np.int64)),           # dtype check
        dict(fit_indices=np.array([3, 8], np.int32)),        # range of fit_indices
        dict(x_data=X11[:4]),                                # centring
        dict(spec_pars=np.zeros(3), fit_indices=np.array([5], np.int32)),  # start values
        dict(populations=np.zeros(0)),                       # empty array
        dict(num_x_pts=4),                                   # core precondition
        dict(n_starts=0),                                    # no start
    ]
    calls = [call_args(**overrides) for overrides in failing]
    calls.append(dict(call_args(), bogus=1))                 # binding
    for batch, rounds in ((calls, 1000 // len(calls)), ([call_args(n_starts=1)], 200)):
        growth, references_changed = memory_and_references_kept(batch, rounds)
        assert growth < 16 * 1024 and not references_changed, (growth, references_changed)
