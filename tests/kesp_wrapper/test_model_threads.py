# The model's points are evaluated on worker threads (all CPUs, lowered by
# OMP_NUM_THREADS, read once per process): whole fits give bit for bit the
# same residuals, error and parameters for every thread count, and a fit in
# a forked child process, after the parent has fitted, completes and matches.
# Relies on the installed module and conftest's model data.
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import kesp_wrapper
from conftest import RSA_PARS, moving_fit, same_bits

# A fit that moves (sigma_1 from twice its value) on 11 points.
FIT = textwrap.dedent("""
    import pickle, sys
    sys.path.insert(0, {tests!r})
    import kesp_wrapper
    from conftest import moving_fit
    result = kesp_wrapper.fit_zscan(**moving_fit(n_starts=2))
    sys.stdout.write(pickle.dumps(result).hex())
""").format(tests=os.path.dirname(os.path.abspath(__file__)))


def fit_in_process(tmp_path, threads):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", FIT], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return pickle.loads(bytes.fromhex(done.stdout.strip().splitlines()[-1]))


def test_whole_fit_is_the_same_for_every_thread_count(tmp_path):
    one = fit_in_process(tmp_path, 1)
    assert one[2][1] != 2.0 * RSA_PARS[1]  # the fit moved
    for threads in (2, 3, 64):  # 64: more threads than the 11 points
        assert same_bits(fit_in_process(tmp_path, threads), one), threads


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_fit_in_forked_child_matches_the_parent():
    args = moving_fit(n_starts=2)
    parent = kesp_wrapper.fit_zscan(**args)  # worker threads have run in the parent
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            child = kesp_wrapper.fit_zscan(**args)
            os.write(write, b"same" if same_bits(child, parent) else b"diff")
        finally:
            os._exit(0)
    os.close(write)
    answer = os.read(read, 4)
    os.close(read)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and answer == b"same"
