# Mistakes that used to end in a wrong or lost result without a word: each
# is now refused with one line (the command line's through the installed
# command, exit status 2) or done right. Repeated and abbreviated options,
# pulse energies per file, fit-many batches that keep every file, files
# that are no data files, unsorted and repeated positions, global fits that
# count a shared setting once, tolerances the model cannot meet, values
# beyond physics, pulse energies no sample survives, and the smaller
# refusals. Relies on the installed zscanfit and the shared helpers.
import csv
import dataclasses
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

import zscanfit
from zscanfit import texts
from zscanfit._files import atomic_output

from conftest import (DEMO_CSV, RSA_TRUTH, ZSCANFIT, child_env, experiment, installed, quiet,
                      refused, synthetic_scans, write_scan_file)

X = np.linspace(-20.0, 20.0, 17)
ON_AXIS = ("--model", "on-axis", "--starts", "1")


def plain_file(path, scans, exp, energy_line=True):
    """A file of x_mm, transmittance columns per scan without energies, or
    with a '# pulse_energy' line."""
    lines = [f"# {name} = {value!r}" for name, value in exp.as_settings().items()
             if name not in ("populations", "uncertainties")]
    lines.append("# populations = " + " ".join(repr(float(v)) for v in exp.populations))
    lines.append("# spec_pars = " + " ".join(repr(v) for v in RSA_TRUTH))
    if energy_line:
        lines.append("# pulse_energy = " + " ".join(repr(s.pulse_energy) for s in scans))
    for k, x in enumerate(scans[0].x_mm.tolist()):
        lines.append(",".join([repr(x)] + [repr(float(s.transmittance[k])) for s in scans]))
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def coarse_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("files") / "scan.csv"
    return write_scan_file(path, synthetic_scans(positions=X), experiment(), RSA_TRUTH)


# ---------------------------------------------------------------- options
@pytest.mark.parametrize("options, words", [
    (["--tolerance", "1e-5", "--tolerance", "1e-6"], ["--tolerance", "more than once"]),
    (["--starts", "1", "--starts", "3"], ["--starts", "more than once"]),
    (["--sa", "--sa"], ["--sa", "more than once"]),
    (["--json", "a.json", "--json", "b.json"], ["--json", "more than once"]),
    (["--set", "w0=2e-5", "--set", "w0=3e-5"], ["w0 given more than once"]),
    (["--uncertainty", "w0=1e-6", "--uncertainty", "w0=2e-6"], ["w0 given more than once"]),
    (["--tolerance", "10"], ["--tolerance", "3e-10 to 0.01"]),
    (["--tolerance", "2e-10"], ["--tolerance", "3e-10 to 0.01"]),
    (["--fre", "sigma_1"], ["unrecognized arguments: --fre"]),
    (["--strict", "--stric"], ["--stric"]),
    (["--aperture", "0.3", "--aperture", "0.5"], ["--aperture", "more than once"]),
], ids=["tolerance", "starts", "switch", "json", "set", "uncertainty", "tolerance-huge",
        "tolerance-tiny", "abbreviated", "abbreviated-switch", "aperture"])
def test_an_option_given_twice_or_abbreviated_is_refused(coarse_file, options, words):
    refused(installed("fit", coarse_file, "--free", "sigma_0", *options), *words)


def test_free_names_add_up_across_repeated_options(coarse_file):
    done = installed("fit", coarse_file, "--free", "sigma_0", "--set", "tau_10=5e-9",
                     "--free", "sigma_1", *ON_AXIS)
    assert done.returncode == 0, done.stderr
    for name in ("sigma_0", "sigma_1"):
        line = next(l for l in done.stdout.splitlines() if l.strip().startswith(name + ":"))
        assert "+/-" in line and "(fixed)" not in line


def test_each_file_gets_its_own_pulse_energy_and_the_report_says_which(tmp_path):
    exp = experiment()
    low, high = synthetic_scans(positions=X)
    first = plain_file(tmp_path / "low.csv", [low], exp, energy_line=False)
    second = plain_file(tmp_path / "high.csv", [high], exp, energy_line=False)
    done = installed("fit", first, second, "--free", "sigma_0", "sigma_1",
                     "--energy", low.pulse_energy, "--energy", high.pulse_energy, *ON_AXIS,
                     "--json", tmp_path / "fit.json")
    assert done.returncode == 0, done.stderr
    report = done.stdout
    assert report.index(f"data               = {first}") < report.index(
        f"pulse energies     = {low.pulse_energy:g} J") < report.index(
        f"data               = {second}") < report.index(
        f"pulse energies     = {high.pulse_energy:g} J")
    saved = json.loads((tmp_path / "fit.json").read_text())
    assert [e["pulse_energies"] for e in saved["experiments"]] == [[low.pulse_energy],
                                                                   [high.pulse_energy]]
    assert saved["experiments"][0]["settings"]["w0"] == exp.w0
    refused(installed("fit", first, second, "--free", "sigma_0", "--energy",
                      low.pulse_energy), "--energy gives 1 pulse energy for 2 data files")


def test_an_energy_argument_that_contradicts_the_files_columns_is_refused(tmp_path):
    path = write_scan_file(tmp_path / "rows.csv", synthetic_scans(positions=X), experiment(),
                           RSA_TRUTH)
    with pytest.raises(ValueError, match="its columns give the pulse energies"):
        zscanfit.load_scans(path, pulse_energy=3e-6)


# ---------------------------------------------------------------- fit-many
def test_fit_many_keeps_every_file_and_writes_its_rows(tmp_path, coarse_file):
    folder = tmp_path / "batch"
    folder.mkdir()
    (folder / "a.csv").write_text(coarse_file.read_text())
    (folder / "b.csv").write_text("x_mm,transmittance\n1,\"" + "x" * 140000 + "\"\n")
    out = tmp_path / "rows.csv"
    done = installed("fit-many", folder, "--free", "sigma_0", "center_mm", *ON_AXIS,
                     "--out", out)
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(out.open()))
    assert [(pathlib.Path(r["file"]).name, r["status"]) for r in rows] == [
        ("a.csv", "ok"), ("b.csv", "failed")]
    assert np.isfinite(float(rows[0]["center_mm"]))  # noise-free data: its error is 0
    assert rows[1]["message"].endswith(
        "b.csv, line 2: the line cannot be cut into fields (field larger than field limit "
        "(131072))")


# ---------------------------------------------------------------- files
def test_a_field_beyond_the_csv_limit_is_a_value_error_naming_file_and_line(tmp_path):
    path = tmp_path / "long.csv"
    path.write_text("x_mm,transmittance\n1,0.9\n2,\"" + "x" * 140000 + "\"\n")
    with pytest.raises(ValueError, match=r"long.csv, line 3: the line cannot be cut"):
        zscanfit.load_scans(path)


def test_only_regular_files_of_a_sane_size_are_read(tmp_path):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    # In a child: a read that blocked on the pipe would hang this test.
    child = subprocess.run([sys.executable, "-c", f"import zscanfit; "
                            f"zscanfit.load_scans({str(pipe)!r})"], capture_output=True,
                           text=True, env=child_env(), timeout=60)
    assert "it is a named pipe, not a data file" in child.stderr
    with pytest.raises(ValueError, match="it is a folder"):
        zscanfit.load_scans(tmp_path)
    with pytest.raises(ValueError, match="it is a device"):
        zscanfit.load_scans("/dev/zero")
    missing = tmp_path / "missing.csv"
    for kind in (FileNotFoundError, ValueError):
        with pytest.raises(kind, match="No such file"):
            zscanfit.load_scans(missing)
    big = tmp_path / "big.csv"
    big.write_text("1,1\n" * 1000)
    env = dict(child_env(), ZSCANFIT_MAX_FILE_MB="0.001")
    done = installed("fit", big, "--free", "sigma_0", env=env)
    refused(done, "is more than the 0.001 MB", "ZSCANFIT_MAX_FILE_MB")


def test_unsorted_positions_are_sorted_with_their_values(rsa_scans):
    scan = rsa_scans[1]
    order = np.random.default_rng(3).permutation(scan.n_points)
    with pytest.warns(zscanfit.DataWarning, match="sorted by position"):
        shuffled = zscanfit.Scan(scan.x_mm[order], scan.transmittance[order], scan.pulse_energy,
                                 sigma=np.linspace(0.01, 0.02, scan.n_points)[order])
    assert np.array_equal(shuffled.x_mm, scan.x_mm)
    assert np.array_equal(shuffled.transmittance, scan.transmittance)
    assert np.array_equal(shuffled.sigma, np.linspace(0.01, 0.02, scan.n_points))
    with quiet():
        params = zscanfit.make_params(RSA_TRUTH, free=["sigma_0"], sigma_0=1.3e-17)
        exact = zscanfit.fit([scan], experiment(), params, n_starts=1, model="on-axis")
        unsorted = zscanfit.Scan(scan.x_mm[order], scan.transmittance[order], scan.pulse_energy)
        again = zscanfit.fit([unsorted], experiment(), params, n_starts=1, model="on-axis")
    assert again.values["sigma_0"] == exact.values["sigma_0"]


def test_a_repeated_position_is_named_as_such():
    x = np.array([-2.0, -1.0, 0.0, 0.0, 1.0, 2.0])
    with pytest.warns(zscanfit.DataWarning) as record:
        zscanfit.Scan(x, np.ones(6), 1e-6)
    texts_seen = [str(w.message) for w in record]
    assert texts_seen == [texts.REPEATED_POSITIONS.format(energy=1e-6, count=1, s="",
                                                          positions="0")]


# ---------------------------------------------------------------- global budget
def test_a_setting_files_share_counts_once_and_their_own_once_each(rsa_scans):
    exp = dataclasses.replace(experiment(), uncertainties={"w0": "5%"})
    params = zscanfit.make_params(RSA_TRUTH, free=["sigma_0", "sigma_1"])
    # One focus (the pooled fit's) against one per file: keep them at the extremum.
    options = dict(n_starts=1, model="on-axis", fix_focus=True)
    with quiet():
        pooled = zscanfit.fit(rsa_scans, exp, params, **options)
        parts = [(rsa_scans[:1], exp, "a"), (rsa_scans[1:], exp, "b")]
        together = zscanfit.fit_global(parts, params, **options)
        apart = zscanfit.fit_global(parts, params, shared=(), **options)
        other = dataclasses.replace(exp, sample_width=0.2)
        shared = zscanfit.fit_global([(rsa_scans[:1], exp, "a"), (rsa_scans[1:], other, "b")],
                                     params, shared=("w0",), **options)
    assert [c.setting for c in together.error_budget.contributions] == ["w0"]
    assert together.error_budget.combined == pooled.error_budget.combined
    assert [c.setting for c in apart.error_budget.contributions] == ["w0 (a)", "w0 (b)"]
    assert [c.setting for c in shared.error_budget.contributions] == ["w0"]
    assert together.report().count("        w0 ") == 2  # once per free parameter
    with pytest.raises(ValueError, match="'pulse_energy' is not a setting data files can share"):
        zscanfit.fit_global(parts, params, shared=("pulse_energy",), **options)


# ---------------------------------------------------------------- tolerance, physics
def _engine_returning(monkeypatch, values=None, errors=None):
    """The whole-beam engine replaced by one that returns ``values`` (or its
    own) and ``errors`` at every point."""
    from zscanfit.evaluation import models

    real = models.whole_beam_values

    def fake(*args, **kwargs):
        v, e, *rest = real(*args, **kwargs)
        return (np.full_like(v, values) if values is not None else v,
                np.full_like(e, errors) if errors is not None else e, *rest)

    monkeypatch.setattr(models, "whole_beam_values", fake)


def test_a_tolerance_the_model_missed_is_a_warning_of_the_fit(monkeypatch, rsa_scans):
    _engine_returning(monkeypatch, errors=3.5e-3)
    params = zscanfit.make_params(RSA_TRUTH, free=["sigma_0"])
    with quiet():
        result = zscanfit.fit(rsa_scans, experiment(), params, n_starts=1)
    missed = [r for r in result.warning_records if "met only" in r.message]
    assert missed and missed[0].category == "FitWarning"
    assert missed[0].message.startswith("the whole-beam model met only 0.0")
    assert "of the tolerance 1e-05 (its largest error estimate at the fitted values)" in \
        missed[0].message
    assert "met only" in result.report() and "met only" in result.to_json()
    with pytest.warns(zscanfit.FitWarning, match="met only"):
        zscanfit.model(experiment(), RSA_TRUTH, X, 1e-6)


def test_a_transmittance_above_one_is_an_error_not_a_value(monkeypatch):
    _engine_returning(monkeypatch, values=2.0, errors=1e-6)
    with pytest.raises(ValueError, match="the model left physics: it gives an absolute "
                                         "transmittance of 1.4"):
        zscanfit.model(experiment(), RSA_TRUTH, X, 1e-6)


def test_an_energy_no_sample_survives_names_the_likely_unit(tmp_path):
    exp = zscanfit.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9, sample_width=0.1,
                              populations=[3e17, 0, 0, 0, 0], t_slices=3, z_slices=3)
    scans = [zscanfit.Scan(s.x_mm, s.transmittance, 0.003)
             for s in synthetic_scans(positions=X)[:1]]
    params = zscanfit.make_params(RSA_TRUTH, free=["sigma_0"])
    with pytest.warns(zscanfit.UnitWarning) as record:
        zscanfit.fit(scans, exp, params, n_starts=1, model="on-axis", max_nfev=2)
    (slip,) = [str(w.message) for w in record if "peak fluence" in str(w.message)]
    assert slip.startswith("pulse_energy = 0.003 J gives a peak fluence of 477 J/cm^2")
    assert "is it 0.003 mJ rather than J? (3e-06 J would give 0.477 J/cm^2)" in slip
    with warnings.catch_warnings(record=True) as quiet_record:  # the demo's are plausible
        warnings.simplefilter("always")
        zscanfit.fit(synthetic_scans(positions=X), exp, params, n_starts=1, model="on-axis",
                     max_nfev=2)
    assert not [w for w in quiet_record if "peak fluence" in str(w.message)]


# ---------------------------------------------------------------- smaller refusals
@pytest.mark.parametrize("call, words", [
    (lambda p, s: zscanfit.fit(s, experiment(), p, n_starts=10 ** 9),
     "n_starts must be at most 1000"),
    (lambda p, s: zscanfit.make_params(RSA_TRUTH, sigma_0=1e300),
     r"sigma_0 = 1e\+300 is out of range"),
    (lambda p, s: zscanfit.make_params(RSA_TRUTH, tau_10=0.0),
     "tau_10 = 0: a lifetime must be positive"),
    (lambda p, s: zscanfit.fit(s, experiment(), p, bootstrap=10 ** 9),
     "from 2 to 100000"),
], ids=["starts", "huge-value", "zero-lifetime", "bootstrap"])
def test_impossible_numbers_are_refused_at_once(rsa_scans, call, words):
    params = zscanfit.make_params(RSA_TRUTH, free=["sigma_0"])
    started = time.perf_counter()
    with pytest.raises(ValueError, match=words):
        call(params, rsa_scans)
    assert time.perf_counter() - started < 30.0  # refused before any work, not after it


def test_ctrl_c_while_the_command_starts_is_one_line():
    # From half a second on the interpreter itself has started (before that
    # a Ctrl-C is the interpreter's own affair) and zscanfit's start runs;
    # the fit and its bootstrap, at the tightest tolerance, outlast the
    # longest delay many times over.
    for delay in (0.5, 1.0, 2.0):
        child = subprocess.Popen([str(ZSCANFIT), "fit", str(DEMO_CSV), "--free", "sigma_0",
                                  "--tolerance", "3e-10", "--bootstrap", "1000"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                 env=child_env())
        try:
            time.sleep(delay)
            child.send_signal(signal.SIGINT)
            _, err = child.communicate(timeout=120)
        finally:
            if child.poll() is None:  # a lost Ctrl-C: the fit would run for an hour
                child.kill()
                child.communicate()
        assert child.returncode == 130, err
        assert err.strip() == "zscanfit: error: interrupted"


def test_ctrl_c_inside_an_extension_import_is_an_interrupt(monkeypatch, capsys):
    # An extension module interrupted in its initialisation raises ImportError
    # chained to the KeyboardInterrupt; that is Ctrl-C, not a missing extra.
    from zscanfit.cli import main as cli_main

    def interrupted_import(*_):
        try:
            raise KeyboardInterrupt
        except KeyboardInterrupt as exc:
            raise ImportError("initialization failed") from exc

    for where in ("_run", "build_parser"):
        monkeypatch.setattr(cli_main, where, interrupted_import)
        assert cli_main.main(["fit", str(DEMO_CSV)]) == 130
        assert capsys.readouterr().err.strip() == "zscanfit: error: interrupted"
        monkeypatch.undo()


def test_a_ctrl_c_swallowed_during_the_start_still_stops_the_fit(monkeypatch, capsys):
    # Some third-party imports swallow KeyboardInterrupt (a bare except around
    # an optional import); the fit that follows must stop all the same.
    from zscanfit.cli import main as cli_main

    real = cli_main.build_parser

    def swallowing():
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(5.0)  # the handler raises here
        except KeyboardInterrupt:
            pass
        return real()

    monkeypatch.setattr(cli_main, "build_parser", swallowing)
    assert cli_main.main(["fit", str(DEMO_CSV), "--free", "sigma_0", "--tolerance", "1e-9",
                          "--bootstrap", "200"]) == 130
    assert capsys.readouterr().err.strip() == "zscanfit: error: interrupted"


def test_outputs_are_written_whole_or_not_at_all(tmp_path):
    target = tmp_path / "out.json"
    target.write_text("the earlier result\n")
    with pytest.raises(RuntimeError):
        with atomic_output(target) as stream:
            stream.write("half of a new one")
            raise RuntimeError("the disk is full")
    assert target.read_text() == "the earlier result\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.json"]
    with atomic_output(target) as stream:
        stream.write("the new result\n")
    assert target.read_text() == "the new result\n"
    assert oct(target.stat().st_mode & 0o777) == oct(0o666 & ~_umask())


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
