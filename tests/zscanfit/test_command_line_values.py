# Values on the command line as a person types them, through the installed
# `zscanfit` command: settings with their units (--set w0=25um, --set
# tau="5 ns", --energy 3uJ) fit exactly as the same values in SI units; a
# value one data file only has (--set 2:w0=25um) reaches that file only;
# every refusal names the option, file line or manifest line the value
# came from, an uncertainty as large as its setting suggests the
# percentage meant; fit-many keeps each file's JSON and figure, names every
# warning after its file and skips files of a folder without data. Relies
# on the installed zscanfit and the shared helpers.
import csv
import json
import pathlib

import numpy as np
import pytest

import zscanfit
from zscanfit import texts
from zscanfit.cli.fit_inputs import fit_inputs
from zscanfit.cli.options import assignments

from conftest import RSA_TRUTH, experiment, installed, refused, synthetic_scans, write_scan_file

X = np.linspace(-20.0, 20.0, 17)
FAST = ("--model", "on-axis", "--starts", "1")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Two data files of the coarse experiment, scans at two energies each."""
    folder = tmp_path_factory.mktemp("values")
    a = write_scan_file(folder / "a.csv", synthetic_scans(positions=X, noise=0.002, seed=1),
                        experiment(), RSA_TRUTH)
    b = write_scan_file(folder / "b.csv", synthetic_scans(positions=X, noise=0.002, seed=2),
                        experiment(), RSA_TRUTH)
    return a, b


def fitted(tmp_path, *args):
    """The JSON of a fit by the installed command."""
    out = tmp_path / f"fit{len(list(tmp_path.iterdir()))}.json"
    done = installed("fit", *args, "--free", "sigma_0", *FAST, "--json", out)
    assert done.returncode == 0, done.stderr
    return json.loads(out.read_text())


def test_settings_with_units_fit_as_the_same_values_in_si_units(files, tmp_path):
    a, _ = files
    typed = fitted(tmp_path, a, "--set", "w0=25um", "--set", "tau=5 ns", "--set",
                   "sample_width=1.5 mm", "--set", "populations=3e23 0 0 0 0 m^-3")
    si = fitted(tmp_path, a, "--set", "w0=2.5e-5", "--set", "tau=5e-9", "--set",
                "sample_width=0.15", "--set", "populations=3e17 0 0 0 0")
    assert typed["experiments"] == si["experiments"]
    assert (typed["values"], typed["stderr"]) == (si["values"], si["stderr"])


def test_a_value_for_one_file_reaches_that_file_only(files, tmp_path):
    a, b = files
    for target in ("2", str(b)):
        saved = fitted(tmp_path, a, b, "--set", f"{target}:w0=25um", "--set", "tau=5ns")
        first, second = (e["settings"] for e in saved["experiments"])
        assert (first["w0"], second["w0"]) == (2e-5, 2.5e-5)
        assert first["tau"] == second["tau"] == 5e-9


def test_the_focus_for_one_file_is_the_job_s_option_center_mm(files):
    a, b = files
    given = assignments(["1:center_mm=0.4", "w0=25um"], [str(a), str(b)])
    jobs = [fit_inputs(str(path), ["sigma_0"], None, given.for_file(k))
            for k, path in enumerate((a, b))]
    assert [job.options for job in jobs] == [{"center_mm": 0.4}, {}]
    assert [job.experiment.w0 for job in jobs] == [2.5e-5, 2.5e-5]


def test_the_focus_for_the_only_file_is_used(files, tmp_path):
    a, _ = files
    saved = fitted(tmp_path, a, "--set", "1:center_mm=400um")
    assert saved["inputs"]["center_mm"] == 0.4


@pytest.mark.parametrize("options, message", [
    (["--uncertainty", "w0=5"],
     "--uncertainty w0=5: " + texts.UNCERTAINTY_AS_LARGE.format(
         name="w0", given="5 m", value="2e-05 m",
         hint=texts.UNCERTAINTY_PERCENT_HINT.format(name="w0", text="5"))),
    (["--uncertainty", "pulse_energy_scale=150%"],
     "--uncertainty pulse_energy_scale=150%: " + texts.UNCERTAINTY_AS_LARGE.format(
         name="pulse_energy_scale", given="150 %", value="1", hint="")),
    (["--set", "w0=5ns"], "--set w0=5ns: w0: 'ns' is a unit of time, not of length; "
                          "w0 takes m, cm, mm, um (µm), nm (m without one)"),
    (["--set", "w0=-20um"], "--set w0=-20um: w0 must be positive (got -2e-05); "
                            + texts.FIX_EXPERIMENT),
    (["--set", "tau_10=-1ns"], "--set tau_10=-1ns: tau_10 = -1e-09: a lifetime must be positive "
                               "(s); give inf for a level that does not decay"),
    (["--uncertainty", "w0=1ns"], "--uncertainty w0=1ns: w0: 'ns' is a unit of time, not of "
                                  "length; w0 takes m, cm, mm, um (µm), nm (m without one)"),
    (["--set", "2:w0=25um"], texts.CLI_SET_WHICH_FILE.format(
        item="2:w0=25um", target="2", count=1, files="1 {a}", twice="")),
    (["--energy", "3 W"], "argument --energy: " + texts.CLI_ENERGY_VALUE.format(value="3 W")
     + " (see 'python -m zscanfit fit --help')"),
    (["--starts", "0"], "argument --starts: " + texts.CLI_STARTS.format(most=1000, value="0")
     + " (see 'python -m zscanfit fit --help')"),
], ids=["uncertainty-absolute", "uncertainty-relative", "unit", "negative", "lifetime",
        "uncertainty-unit", "which-file", "energy-unit", "starts"])
def test_a_refused_value_is_named_as_typed(files, options, message):
    a, _ = files
    line = refused(installed("fit", a, "--free", "sigma_0", *FAST, *options))
    assert line == "zscanfit: error: " + message.format(a=a)


def test_per_file_start_values_of_a_global_fit_are_refused(files):
    a, b = files
    line = refused(installed("fit", a, b, "--free", "sigma_1", "--set", "2:sigma_0=1e-17"))
    assert line.endswith(texts.CLI_SET_SHARED.format(item="2:sigma_0=1e-17", name="sigma_0"))


def test_a_bad_setting_in_a_file_names_its_line(files, tmp_path):
    text = files[0].read_text().replace("# w0 = 2e-05", "# w0 = -20 um")
    path = tmp_path / "bad.csv"
    path.write_text(text)
    line = refused(installed("fit", path, "--free", "sigma_0", *FAST))
    assert line.startswith(f"zscanfit: error: {path}, line 2: w0 must be positive")


def test_the_missing_energy_names_the_option(tmp_path):
    scans = synthetic_scans(positions=X)[:1]
    path = tmp_path / "plain.csv"
    path.write_text("".join(f"# {k} = {v}\n" for k, v in
                            {"wavelength": "532 nm", "w0": "20 um", "M2": 1, "tau": "4 ns",
                             "sample_width": "1 mm", "populations": "3e17 0 0 0 0",
                             "spec_pars": " ".join(map(repr, RSA_TRUTH)),
                             "t_slices": 3, "z_slices": 3}.items())
                    + "".join(f"{x!r},{y!r}\n" for x, y in zip(scans[0].x_mm.tolist(),
                                                              scans[0].transmittance.tolist())))
    line = refused(installed("fit", path, "--free", "sigma_0", *FAST))
    assert line.endswith("or " + texts.GIVE_ENERGY_CLI)
    energy = fitted(tmp_path, path, "--energy", "0.5uJ")
    assert energy["experiments"][0]["pulse_energies"] == [5e-7]


# ---------------------------------------------------------------- fit-many
@pytest.fixture(scope="module")
def batch(tmp_path_factory, files):
    """A folder as a lab keeps it: two data files (the second with a note
    before the data and a scan too narrow for the beam, so that reading it
    and fitting it warn), a .tsv of the same name, and notes."""
    folder = tmp_path_factory.mktemp("batch")
    a, b = files
    (folder / "a.csv").write_text(a.read_text())
    narrow = synthetic_scans(positions=np.linspace(-2.0, 2.0, 9), noise=0.002, seed=3)
    write_scan_file(folder / "b.csv", narrow, experiment(), RSA_TRUTH)
    lines = (folder / "b.csv").read_text().splitlines()
    lines.insert(9, "Operator: Smith")
    (folder / "b.csv").write_text("\n".join(lines) + "\n")
    (folder / "b.tsv").write_text(a.read_text().replace(",", "\t"))
    (folder / "notes.txt").write_text("Aligned the beam at 9:30.\nAll scans at room "
                                      "temperature.\n")
    return folder


def test_fit_many_keeps_each_file_s_results_and_names_its_warnings(batch, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    done = installed("fit-many", batch, "--free", "sigma_0", *FAST, "--json-dir", out,
                     "--plot-dir", out, "--plot-format", "svg", "--out", tmp_path / "rows.csv")
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader((tmp_path / "rows.csv").open()))
    assert [(pathlib.Path(r["file"]).name, r["status"]) for r in rows] == [
        ("a.csv", "ok"), ("b.csv", "ok"), ("b.tsv", "ok")]
    assert sorted(p.name for p in out.iterdir()) == [
        "a.json", "a.svg", "b_csv.json", "b_csv.svg", "b_tsv.json", "b_tsv.svg"]
    for row, name in zip(rows, ("a", "b_csv", "b_tsv")):
        result = zscanfit.FitResult.from_json(out / f"{name}.json")
        assert result.source == row["file"]
        assert result.values["sigma_0"] == float(row["sigma_0"])
    warned = [line for line in done.stderr.splitlines() if line.startswith("zscanfit: warning")]
    b_csv = str(batch / "b.csv")
    assert warned and all(line.startswith(f"zscanfit: warning: {b_csv}") for line in warned)
    assert any("Operator: Smith" in line for line in warned)     # reading it
    assert any("Rayleigh ranges" in line for line in warned)     # fitting it
    in_row = rows[1]["warnings"].split("; " + b_csv)
    assert len(in_row) == len(warned) and rows[0]["warnings"] == rows[2]["warnings"] == ""
    assert texts.FIT_MANY_NOT_DATA.format(count=1, s="", names="notes.txt") in done.stderr
    assert "fit-many: 3 files, 3 fitted, 0 not converged, 0 failed" in done.stderr


def test_fit_many_refuses_outputs_two_files_would_share(batch, tmp_path):
    for sub in ("run1", "run2"):
        (tmp_path / sub).mkdir()
        (tmp_path / sub / "scan.csv").write_text((batch / "a.csv").read_text())
    manifest = tmp_path / "manifest.csv"
    manifest.write_text("file\nrun1/scan.csv\nrun2/scan.csv\n")
    line = refused(installed("fit-many", manifest, "--free", "sigma_0", "--json-dir", tmp_path))
    assert line.endswith(texts.FIT_MANY_SAME_OUTPUT.format(
        option="--json-dir", folder=tmp_path, first=tmp_path / "run1" / "scan.csv",
        second=tmp_path / "run2" / "scan.csv", name="scan_csv.json"))
    refused(installed("fit-many", manifest, "--free", "sigma_0", "--set", "1:w0=25um"),
            texts.CLI_SET_FILE_HERE.format(item="1:w0=25um"))
    refused(installed("fit-many", manifest, "--free", "sigma_0", "--json-dir",
                      tmp_path / "missing"), "no such folder")


def test_a_manifest_value_with_a_unit_and_its_line_in_errors(batch, tmp_path):
    manifest = tmp_path / "manifest.csv"
    manifest.write_text(f"# settings per file\nfile,w0,pulse_energy\n{batch / 'a.csv'},25 um,\n"
                        f"{batch / 'a.csv'},-25 um,\n")
    done = installed("fit-many", manifest, "--free", "sigma_0", *FAST)
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(done.stdout.splitlines()))
    assert [r["status"] for r in rows] == ["ok", "failed"]
    assert rows[1]["message"].startswith(
        f"{texts.MANIFEST_ROW.format(path=manifest, line=4)}, column w0: w0 must be positive")
