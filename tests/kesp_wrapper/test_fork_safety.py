# A child made with os.fork() finishes its fit, with the parent's result to
# the last bit, whatever the parent's other threads were doing at the fork:
# here four threads fit without pause and print integrator messages, so a fork
# often comes while one of them is in the middle of a message. The forking
# script runs in its own interpreter, so that the threads of the test process
# play no part; its standard output goes to /dev/null, or to a pipe drained
# slowly, which keeps the writing threads blocked inside their messages.
# Relies on the installed module and on os.fork.
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

FORKS = 30
# A child not done within its time limit is killed and counts as hung. The
# limit is a multiple of one child's fit timed alone in the forking
# process, since builds differ widely in speed (a sanitized module is many
# times slower), and never below a floor. A hung child never finishes, so
# any limit catches it.
CHILD_FLOOR_SECONDS = 5.0
CHILD_TIME_FACTOR = 20.0
# The parent's own limit per child, beyond the children's: the reference
# fit, the forks and the waits around them.
PARENT_SECONDS_PER_CHILD = 60.0

SCRIPT = textwrap.dedent("""
    import os, pickle, signal, sys, threading, time
    import numpy as np
    import kesp_wrapper

    forks, niceness = int(sys.argv[1]), int(sys.argv[2])
    floor_seconds, time_factor = float(sys.argv[3]), float(sys.argv[4])
    x = np.arange(-20.0, 21.0, 4.0)
    y = 1 - 0.1 * np.exp(-(x / 8) ** 2)

    def call(energy):  # so strong a pulse that integrations stop at MXSTEP and say so
        return dict(x_data=x, y_data=y, populations=np.array([3e17, 0, 0, 0, 0.]),
                    t_slices=3, z_slices=2, sample_width=0.1, tau=4e-9, wavelength=5.32e-7,
                    w0=2e-5, M2=1.0, pulse_energy=np.array([energy]),
                    spec_pars=np.array([1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12]),
                    fit_indices=np.array([0, 1], np.int32), num_x_pts=11, num_datasets=1,
                    n_starts=1)

    # The children's fit, timed alone (its messages to /dev/null, as the
    # children's go), sets their time limit.
    saved_stdout, devnull = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    started = time.monotonic()
    expected = pickle.dumps(kesp_wrapper.fit_zscan(**call(2e3)))
    child_seconds = max(floor_seconds, time_factor * (time.monotonic() - started))
    os.dup2(saved_stdout, 1)
    os.close(saved_stdout)

    def loop(energy):
        # A lower priority for this thread and the model's workers it starts,
        # so that the children get most of the processors.
        os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), niceness)
        while True:
            kesp_wrapper.fit_zscan(**call(energy))

    for energy in (1e3, 2e3, 3e3, 4e3):
        threading.Thread(target=loop, args=(energy,), daemon=True).start()
    time.sleep(0.3)
    for i in range(forks):
        pid = os.fork()
        if pid == 0:
            status = 4
            try:
                # The child's own messages go to /dev/null, so that a slow reader
                # of the parent's output does not hold up its fit.
                os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
                same = pickle.dumps(kesp_wrapper.fit_zscan(**call(2e3))) == expected
                status = 0 if same else 3
            finally:
                os._exit(status)
        deadline = time.monotonic() + child_seconds
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                sys.stderr.write("child %d hung (not done in %.1f s)\\n" % (i + 1, child_seconds))
                os._exit(1)
            time.sleep(0.01)
        if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
            sys.stderr.write("child %d ended with status %d\\n" % (i + 1, status))
            os._exit(1)
    sys.stderr.write("%d children done\\n" % forks)
    os._exit(0)
""")

# The lines an integrator message may consist of: the text, padded to 60
# columns (DINTDY's to 80), and the integer and real fields beneath it.
_I10 = r"[ \d*-]{10}"
_D21 = r".{21}"
MESSAGE_LINE = re.compile(
    r" .{60}|"
    r" .{80}|"
    r"      In above message,  I1 =" + _I10 + r"(   I2 =" + _I10 + r")?|"
    r"      In above message,  R1 =" + _D21 + r"|"
    r"      In above,  R1 =" + _D21 + r"   R2 =" + _D21)


def run_forking_script(stdout, niceness):
    """Runs the script with the given standard output and niceness of the
    fitting threads; returns its exit code and stderr."""
    with tempfile.TemporaryFile() as err:
        process = subprocess.Popen(
            [sys.executable, "-c", SCRIPT, str(FORKS), str(niceness), str(CHILD_FLOOR_SECONDS),
             str(CHILD_TIME_FACTOR)],
            stdout=stdout, stderr=err)
        try:
            code = process.wait(timeout=FORKS * PARENT_SECONDS_PER_CHILD)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            code = "killed: the parent itself stopped moving"
        err.seek(0)
        return code, err.read().decode(errors="replace")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.parametrize("output", ["devnull", "slow_pipe"])
def test_forked_children_finish_while_other_threads_print(output):
    if output == "devnull":
        # Writing to /dev/null is quick: a thread is inside a message at about
        # one fork in six only when the threads keep a fair share of the
        # processors (at the lowest priority, one in twenty-five).
        code, err = run_forking_script(subprocess.DEVNULL, niceness=10)
        assert code == 0, err
        return

    read_end, write_end = os.pipe()
    received = []

    def drain_slowly():
        while True:
            chunk = os.read(read_end, 4096)
            if not chunk:
                return
            received.append(chunk)
            time.sleep(0.02)

    drainer = threading.Thread(target=drain_slowly, daemon=True)
    drainer.start()
    try:
        # A writer blocked on the full pipe holds the output lock at every fork.
        code, err = run_forking_script(write_end, niceness=19)
    finally:
        os.close(write_end)
        drainer.join(timeout=30)  # a child left running keeps the pipe open
        if not drainer.is_alive():
            os.close(read_end)
    assert code == 0, err

    # Every message arrived whole: no line torn or run into another.
    text = b"".join(received).decode()
    assert text.endswith("\n")
    torn = [line for line in text.splitlines() if not MESSAGE_LINE.fullmatch(line)]
    assert not torn, torn[:5]
