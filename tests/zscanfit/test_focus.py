# The focus is fitted by default: between the points of a coarse grid,
# where the data's extremum is a step off, it is found within its error
# and the spectroscopic values with it; where the data leave it open it
# is fixed at the extremum, as fix_focus fixes it, and a warning says so;
# in a global fit each file has its own, fitted or given; positions carry
# no relative errors in the report. Relies on the installed zscanfit and
# the shared helpers.
import json
import math

import numpy as np
import pytest

import zscanfit
from zscanfit import texts

from conftest import RSA_TRUTH, experiment, quiet, relative_errors, run_cli, synthetic_scans, \
    write_scan_file

GRID = np.arange(-20.0, 20.1, 2.5)
FREE = ["sigma_0", "sigma_1"]


def off_grid(focus, seed, exp=None, noise=0.003):
    """Scans on GRID whose true focus lies at ``focus`` mm."""
    scans = synthetic_scans(exp=exp, positions=GRID - focus, noise=noise, seed=seed)
    return [zscanfit.Scan(s.x_mm + focus, s.transmittance, s.pulse_energy) for s in scans]


def fitted(scans, exp=None, **options):
    with quiet():
        return zscanfit.fit(scans, exp or experiment(),
                            options.pop("params", zscanfit.make_params(RSA_TRUTH, free=FREE)),
                            n_starts=1, model="on-axis", **options)


@pytest.fixture(scope="module")
def coarse():
    return off_grid(1.0, seed=7)


# ---------------------------------------------------------------- one data set
def test_the_focus_between_grid_points_is_found_where_the_extremum_is_a_step_off(coarse):
    found, fixed = fitted(coarse), fitted(coarse, fix_focus=True)
    assert "center_mm" in found.free and "center_mm" not in fixed.free
    assert abs(found.values["center_mm"] - 1.0) < 3.0 * found.stderr["center_mm"] < 0.5
    assert fixed.center_mm in (0.0, 2.5)
    # The fixed focus biases the cross-sections; the fitted one does not.
    assert max(relative_errors(found, RSA_TRUTH).values()) < \
        max(relative_errors(fixed, RSA_TRUTH).values())
    assert not [w for w in found.warnings if "pattern of a focus" in w]
    (hint,) = [w for w in fixed.warnings if "pattern of a focus" in w]
    assert hint.endswith(texts.FOCUS_FROM_DATA + "; the fitted values are those of the wrong "
                         "focus")
    report = found.report()
    line = [x for x in report.splitlines() if x.strip().startswith("center_mm:")][0]
    assert "+/-" in line and "%" not in line
    assert "focus position     = " in report and "mm (fitted)" in report


def test_a_focus_the_data_leave_open_is_fixed_at_the_extremum_and_said():
    flat = synthetic_scans(energies=(1e-9,), noise=0.003, seed=2)
    params = zscanfit.make_params(RSA_TRUTH, free=["sigma_0"])
    result = fitted(flat, params=params)
    fixed = fitted(flat, params=params, fix_focus=True)
    assert result.free == ("sigma_0",) and result.values == fixed.values
    assert result.chisqr == fixed.chisqr
    (note,) = [w for w in result.warnings if w not in fixed.warnings]
    assert note.startswith("the data do not determine the focus (center_mm = ")
    assert note.endswith(texts.FOCUS_REFITTED.split("{centre:g}")[0].split("{why}")[1]
                         + f"{fixed.center_mm:g} mm; give it with center_mm= if it is known")
    assert tuple(w for w in result.warnings if w != note) == fixed.warnings


def test_a_focus_given_is_fixed_and_contradictions_are_refused(coarse):
    given = fitted(coarse, center_mm=1.0)
    assert "center_mm" not in given.free and given.center_given and given.center_mm == 1.0
    with pytest.raises(ValueError) as caught:
        fitted(coarse, params=zscanfit.make_params(RSA_TRUTH, free=FREE + ["center_mm"]),
               fix_focus=True)
    assert str(caught.value) == texts.FOCUS_FIXED_AND_FREE
    with pytest.raises(ValueError, match="a fit of one data set has one focus"):
        params = zscanfit.make_params(RSA_TRUTH, free=FREE)
        params.add("center_mm_2", value=0.0)
        fitted(coarse, params=params)
    # The exact method keeps fit_zscan's own centre.
    with quiet():
        exact = zscanfit.fit(coarse, experiment(), zscanfit.make_params(RSA_TRUTH, free=FREE),
                             method="exact")
    assert exact.free == tuple(FREE)


# ---------------------------------------------------------------- global fits
@pytest.fixture(scope="module")
def two_files():
    denser = experiment(populations=[4.5e17, 0.0, 0.0, 0.0, 0.0])
    return [(off_grid(1.0, seed=8), experiment(), "a"),
            (off_grid(-0.7, seed=9, exp=denser), denser, "b")]


def global_fit(data_sets, params=None, **options):
    with quiet():
        return zscanfit.fit_global(data_sets, params or zscanfit.make_params(RSA_TRUTH,
                                                                             free=FREE),
                                   n_starts=1, model="on-axis", **options)


def test_a_global_fit_finds_every_files_focus(two_files):
    result = global_fit(two_files)
    assert result.free == tuple(FREE) + ("center_mm_1", "center_mm_2")
    for data_set, truth in zip(result.data_sets, (1.0, -0.7)):
        assert data_set.focus == "fitted"
        assert abs(data_set.center_mm - truth) < 3.0 * data_set.center_stderr < 0.5
    assert result.data_sets[1].center_mm == result.values["center_mm_2"]
    assert f"b: 2 scans, focus {result.data_sets[1].center_mm:g} +/- " in result.report()
    back = zscanfit.FitResult.from_json(result.to_json())
    assert back.report() == result.report()
    assert [d.center_stderr for d in back.data_sets] == [d.center_stderr for d in
                                                          result.data_sets]
    # Mappings are the same data sets; a refit from the result starts at its foci.
    mapped = global_fit([dict(scans=s, experiment=e, label=l) for s, e, l in two_files])
    assert mapped.values == result.values
    again = global_fit(two_files, params=result.params)
    assert again.values["center_mm_2"] == pytest.approx(result.values["center_mm_2"], abs=0.01)


def test_a_files_focus_given_is_fixed_and_given_once(two_files):
    (scans_a, exp_a, _), (scans_b, exp_b, _) = two_files
    result = global_fit([(scans_a, exp_a, "a", 1.0), (scans_b, exp_b, "b")])
    assert result.free == tuple(FREE) + ("center_mm_2",)
    assert (result.data_sets[0].focus, result.data_sets[0].center_mm) == ("given", 1.0)
    assert math.isnan(result.data_sets[0].center_stderr)
    params = zscanfit.make_params(RSA_TRUTH, free=FREE)
    params.add("center_mm_1", value=1.0, vary=False)
    with pytest.raises(ValueError) as caught:
        global_fit([(scans_a, exp_a, "a", 1.0), (scans_b, exp_b, "b")], params=params)
    assert str(caught.value) == texts.GLOBAL_CENTER_TWICE.format(name="center_mm_1", index=1)
    fixed = global_fit(two_files, fix_focus=True)
    assert [d.focus for d in fixed.data_sets] == ["extremum", "extremum"]


def test_the_command_line_fits_or_fixes_the_focus(coarse, tmp_path):
    path = write_scan_file(tmp_path / "coarse.csv", coarse, experiment(), RSA_TRUTH)
    common = ["--free", *FREE, "--starts", "1", "--model", "on-axis"]
    found, fixed = run_cli("fit", path, *common), run_cli("fit", path, *common, "--fix-focus")
    assert found.returncode == 0 and fixed.returncode == 0, found.stderr + fixed.stderr
    assert "mm (fitted)" in found.stdout and "(from the data's extremum)" in fixed.stdout
    refused = run_cli("fit", path, path, *common, "--set", "center_mm=0.5")
    assert refused.returncode == 2
    assert refused.stderr.strip() == texts.CLI_ERROR.format(message=texts.CLI_GLOBAL_OPTIONS)
    out = tmp_path / "fit.json"
    assert run_cli("fit", path, *common, "--json", out).returncode == 0
    assert "center_mm" in json.loads(out.read_text())["free"]
