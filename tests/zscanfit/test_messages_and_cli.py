# The integrator's messages and the command line: during a zscanfit call
# nothing reaches file descriptor 1 and the messages become one
# IntegratorWarning (printed through sys.stdout with verbose=True), while
# fit_zscan in another thread keeps printing its own; `python -m zscanfit`
# prints a report, writes JSON and a figure, and answers bad input with one
# line on stderr and exit status 2. Relies on the installed zscanfit and
# kesp_wrapper, run in child interpreters.
import json
import textwrap

import numpy as np
import pytest

from conftest import (RSA_TRUTH, TALKATIVE, TALKATIVE_ENERGY, experiment, run_cli, run_python,
                      synthetic_scans, write_scan_file)

CHILD_SETUP = f"""
import json, sys, warnings
import numpy as np
import zscanfit
TALKATIVE = {TALKATIVE!r}
ENERGY = {TALKATIVE_ENERGY!r}
TRUTH = {RSA_TRUTH!r}
x = np.linspace(-20.0, 20.0, 11)
def talkative_scans():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exp = zscanfit.Experiment(**TALKATIVE)
        return exp, [zscanfit.Scan(x, 1.0 + 0.1 * np.exp(-x ** 2 / 10), ENERGY)]
"""


def run_child(body):
    """Run the set-up above and then ``body`` in a child interpreter."""
    return run_python(CHILD_SETUP + textwrap.dedent(body))


def message_lines(text):
    return [line for line in text.splitlines() if "DLSODA-" in line]


@pytest.mark.parametrize("verbose", [False, True])
def test_messages_of_a_fit_are_collected_into_one_warning_or_printed(verbose):
    child = run_child(f"""
    exp, scans = talkative_scans()
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        result = zscanfit.fit(scans, exp, zscanfit.make_params(TRUTH, free=["sigma_0"]),
                              n_starts=1, max_nfev=3, verbose={verbose}, model="on-axis")
        zscanfit.model(exp, TRUTH, x, ENERGY, verbose={verbose}, model="on-axis")
    kinds = [w.category.__name__ for w in record if issubclass(w.category, zscanfit.IntegratorWarning)]
    sys.stderr.write(json.dumps([kinds, result.messages.total]))
    """)
    assert child.returncode == 0, child.stderr
    kinds, total = json.loads(child.stderr.strip().splitlines()[-1])
    assert total > 0
    if verbose:
        assert kinds == [] and len(message_lines(child.stdout)) > 0
    else:
        assert kinds == ["IntegratorWarning", "IntegratorWarning"]  # one per call
        assert child.stdout == ""


def test_fit_zscan_in_another_thread_still_prints_its_messages():
    child = run_child("""
    import os, threading
    import kesp_wrapper
    exp, scans = talkative_scans()
    y = scans[0].transmittance.copy()
    def fit_zscan():
        return kesp_wrapper.fit_zscan(x, y, exp.populations_array(), 3, 3, 0.1, 4e-9, 532e-9,
                                      20e-6, 1.0, np.array([ENERGY]), np.array(TRUTH),
                                      np.array([0], dtype=np.int32), x.size, 1, n_starts=1)
    fit_zscan()
    os.write(1, b"--- alone above, beside zscanfit below\\n")
    done = threading.Event()
    def busy():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            while not done.is_set():
                zscanfit.model(exp, TRUTH, x, ENERGY, model="on-axis")
    worker = threading.Thread(target=busy)
    worker.start()
    fit_zscan()
    done.set()
    worker.join()
    """)
    assert child.returncode == 0, child.stderr
    alone, beside = child.stdout.split("--- alone above, beside zscanfit below\n")
    assert len(message_lines(alone)) > 0
    assert message_lines(beside) == message_lines(alone)


@pytest.fixture(scope="module")
def data_file(tmp_path_factory):
    """A CSV file of two noisy synthetic scans with every setting."""
    return write_scan_file(tmp_path_factory.mktemp("cli") / "scans.csv",
                           synthetic_scans(noise=0.002, seed=1), experiment(), RSA_TRUTH)


def test_help_lists_every_option():
    child = run_cli("fit", "--help")
    assert child.returncode == 0
    for option in ("--free", "--sa", "--starts", "--method", "--set", "--energy", "--plot",
                   "--json", "--verbose", "--fix-focus", "Exit status"):
        assert option in child.stdout


def test_a_fit_prints_the_report_and_writes_json_and_a_figure(data_file, tmp_path):
    child = run_cli("fit", data_file, "--free", "sigma_0", "sigma_1", "--starts", "1",
                    "--model", "on-axis",
                    "--set", "sigma_0=1.5e-17", "--json", tmp_path / "out.json",
                    "--plot", tmp_path / "fit.png")
    assert child.returncode == 0, child.stderr
    assert "[[Variables]]" in child.stdout and "init = 1.5e-17" in child.stdout
    saved = json.loads((tmp_path / "out.json").read_text())
    assert saved["free"] == ["sigma_0", "sigma_1", "center_mm"] and saved["success"] is True
    assert abs(saved["values"]["sigma_1"] / RSA_TRUTH[1] - 1.0) < 0.1
    assert (tmp_path / "fit.png").stat().st_size > 10000


@pytest.mark.parametrize("arguments, words", [
    (["missing.csv", "--free", "sigma_0"], "cannot read missing.csv"),
    (["{data}", "--free", "sigma_9"], "invalid choice: 'sigma_9'"),
    (["{data}", "--free", "sigma_0", "--set", "w0"], "--set expects NAME=VALUE"),
    (["{data}", "--free", "sigma_0", "--set", "colour=1"], "--set colour: unknown name"),
    (["{data}", "--free", "sigma_0", "--starts", "0"], "n_starts must be at least 1"),
    (["{data}", "--free", "sigma_0", "--set", "tau=-4e-9"], "tau must be positive"),
    (["{data}"], "the following arguments are required: --free"),
], ids=["no-file", "bad-name", "bad-set", "unknown-set", "no-starts", "negative-tau", "no-free"])
def test_bad_input_gives_one_line_and_status_2(data_file, arguments, words):
    child = run_cli("fit", *[a.format(data=data_file) for a in arguments])
    assert child.returncode == 2
    lines = child.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("zscanfit: error: ") and words in lines[0]
    assert child.stdout == ""


def test_a_file_without_settings_names_what_is_missing(tmp_path):
    path = tmp_path / "plain.txt"
    x = np.linspace(-20, 20, 11)
    path.write_text("".join(f"{a} {1 - 0.1 * np.exp(-a * a / 10)}\n" for a in x))
    child = run_cli("fit", path, "--free", "sigma_0", "--energy", "5e-7")
    assert child.returncode == 2
    assert "missing experiment settings: wavelength, w0, M2, tau, sample_width, populations" \
        in child.stderr and "--set name=value" in child.stderr
