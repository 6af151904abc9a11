# What zscanfit accepts and refuses before any model runs: arrays of any
# dtype, order or contiguity, lists and read-only views are converted; a
# wrong shape or setting raises ValueError naming the argument and the fix;
# likely unit slips and missing points warn; data files of both layouts are
# read, settings and all. Relies on the installed zscanfit.
import lmfit
import numpy as np
import pytest

import zscanfit
from zscanfit import texts

from conftest import COARSE, DEMO_CSV, RSA_TRUTH, experiment, quiet

X = np.linspace(-20.0, 20.0, 11)
Y = 1.0 - 0.2 * np.exp(-X ** 2 / 8.0)


def _readonly(a):
    a = np.array(a)
    a.setflags(write=False)
    return a


@pytest.mark.parametrize("convert", [
    list,
    lambda a: a.astype(np.float32),
    lambda a: np.asfortranarray(np.column_stack([a, a]))[:, 0],
    lambda a: np.repeat(a, 2)[::2],
    lambda a: a.astype(">f8"),
    _readonly,
], ids=["list", "float32", "fortran-column", "strided", "big-endian", "read-only"])
def test_any_array_like_is_converted(convert):
    with quiet():
        scan = zscanfit.Scan(convert(X), convert(Y), 5e-7)
    assert scan.x_mm.dtype == np.float64 and scan.x_mm.flags.c_contiguous
    np.testing.assert_allclose(scan.x_mm, X, rtol=1e-7)
    np.testing.assert_allclose(scan.transmittance, Y, rtol=1e-7)


@pytest.mark.parametrize("args, name, fix", [
    ((X.reshape(-1, 1), Y, 5e-7), "x_mm", "data[:, 0]"),
    ((X, Y[:-1], 5e-7), "transmittance", "one value per position"),
    ((X[:4], Y[:4], 5e-7), "x_mm", "at least 5 points"),
    ((["a"] * 11, Y, 5e-7), "x_mm", "must be numbers"),
    ((X, Y, "5e-7"), "pulse_energy", "in J"),
    ((X, Y, -1.0), "pulse_energy", "positive"),
    ((X, np.where(X == 0, np.inf, Y), 5e-7), "transmittance", "NaN"),
    ((X, Y, 5e-7, np.zeros(11)), "sigma", "uncertainty"),
], ids=["column", "length", "too-few", "strings", "energy-text", "energy-negative",
        "infinite", "sigma-zero"])
def test_bad_scan_input_names_the_argument_and_the_fix(args, name, fix):
    with pytest.raises(ValueError) as error:
        zscanfit.Scan(*args)
    assert str(error.value).startswith(name) or f" {name}" in str(error.value)
    assert fix in str(error.value)


@pytest.mark.parametrize("x, wings, name", [
    (np.where(X == 0, np.inf, X), X, "x_mm"),
    (np.where(X == 0, np.nan, X), None, "x_mm"),
    (X, np.where(X == X[0], -np.inf, X), "normalise_to"),
], ids=["inf-position", "nan-position", "inf-wing"])
def test_the_model_refuses_positions_that_are_not_finite(x, wings, name):
    with pytest.raises(ValueError, match=f"^{name} must be finite .*in mm"):
        zscanfit.model(experiment(), RSA_TRUTH, x, 5e-7, normalise_to=wings, model="on-axis")


@pytest.mark.parametrize("change, name", [
    (dict(w0=0.0), "w0"),
    (dict(tau=float("nan")), "tau"),
    (dict(populations=[3e17, 0, 0, 0]), "populations"),
    (dict(populations=[3e17, -1, 0, 0, 0]), "populations"),
    (dict(t_slices=1), "t_slices"),
    (dict(z_slices=2.5), "z_slices"),
    (dict(wavelength="532e-9"), "wavelength"),
])
def test_bad_settings_raise_naming_the_setting(change, name):
    with pytest.raises(ValueError, match=f"^{name} "):
        experiment(**change)


@pytest.mark.parametrize("change, words", [
    (dict(w0=20.0), "w0 = 20 m"),
    (dict(wavelength=532.0), "wavelength = 532 m"),
    (dict(tau=4.0), "tau = 4 s"),
    (dict(sample_width=1000.0), "centimetres"),
])
def test_unit_slips_of_the_experiment_warn(change, words):
    with pytest.warns(zscanfit.UnitWarning, match=words):
        experiment(**change)


@pytest.mark.parametrize("x, y, energy, words", [
    (X * 1000.0, Y, 5e-7, "micrometres"),
    (X, Y * 100.0, 5e-7, "is the transmittance normalised"),
], ids=["positions-in-um", "percent"])  # energies: by their fluence (test_silent_mistakes)
def test_unit_slips_of_a_scan_warn(x, y, energy, words):
    with pytest.warns(zscanfit.UnitWarning, match=words):
        zscanfit.Scan(x, y, energy)


@pytest.mark.filterwarnings("ignore::zscanfit.FitWarning")
def test_positions_in_metres_warn_when_fitting():
    with quiet():
        scans = [zscanfit.Scan(X * 1e-3, Y, 5e-7)]
    with pytest.warns(zscanfit.UnitWarning, match="less than two Rayleigh ranges"):
        zscanfit.fit(scans, experiment(), zscanfit.make_params(RSA_TRUTH, free=["sigma_0"]),
                     n_starts=1, max_nfev=2, model="on-axis")


def test_missing_points_are_masked_with_one_warning():
    y = Y.copy()
    y[[0, 7]] = np.nan
    with pytest.warns(zscanfit.DataWarning, match="2 of 11 points") as record:
        scan = zscanfit.Scan(X, y, 5e-7)
    assert len(record) == 1
    assert scan.valid.tolist() == [k not in (0, 7) for k in range(11)]
    assert np.array_equal(scan.x_mm, X)  # the positions stay for the normalisation


def test_the_focus_follows_fit_zscans_rule_and_skips_masked_points():
    y = np.array([1.0, 0.9, 0.8, 0.8, np.nan, 0.95, 1.0])
    x = np.arange(7.0)
    with quiet():
        scans = [zscanfit.Scan(x, y, 5e-7), zscanfit.Scan(x + 10, y[::-1] - 0.1, 5e-7)]
    assert zscanfit.inputs.scans.scan_centre(scans[:1], is_sa=False) == 2.0   # first of equal minima
    assert zscanfit.inputs.scans.scan_centre(scans, is_sa=False) == 13.0      # over all scans
    assert zscanfit.inputs.scans.scan_centre(scans[:1], is_sa=True) == 0.0


def test_make_params_names_free_bounds_and_refuses_unknown_or_missing():
    p = zscanfit.make_params(RSA_TRUTH, free=["sigma_0", "tau_10"], bounds={"tau_10": (1e-9, 1e-8)},
                             sigma_0=2e-17)
    assert list(p) == list(zscanfit.PARAMETER_NAMES)
    assert [n for n in p if p[n].vary] == ["sigma_0", "tau_10"]
    assert p["sigma_0"].value == 2e-17 and p["sigma_0"].min == 0.0
    assert (p["tau_10"].min, p["tau_10"].max) == (1e-9, 1e-8)
    with pytest.raises(ValueError, match="unknown parameter 'sigma_9'"):
        zscanfit.make_params(RSA_TRUTH, free=["sigma_9"])
    with pytest.raises(ValueError, match="values missing for sigma_2, tau_10"):
        zscanfit.make_params(sigma_0=1, sigma_1=1, tau_13=1, tau_21=1, tau_30=1, tau_43=1)
    with pytest.raises(ValueError, match="outside its bounds"):
        zscanfit.make_params(RSA_TRUTH, free=["sigma_0"], sigma_0=-1e-17)
    with pytest.raises(ValueError, match="bounds of tau_10 are empty"):
        zscanfit.make_params(RSA_TRUTH, bounds={"tau_10": (1e-8, 1e-9)})
    for given in (1e-9, (1e-9,), ("low", None), "0 1"):
        with pytest.raises(ValueError, match="bounds of tau_10 must be a pair"):
            zscanfit.make_params(RSA_TRUTH, bounds={"tau_10": given})
    # one free name on its own is that name, not its letters
    alone = zscanfit.make_params(RSA_TRUTH, free="sigma_1")
    assert [n for n in alone if alone[n].vary] == ["sigma_1"]


@pytest.mark.parametrize("given", [
    list(RSA_TRUTH),
    np.array(RSA_TRUTH)[::-1][::-1],
    dict(zip(zscanfit.PARAMETER_NAMES, RSA_TRUTH)),
], ids=["list", "array", "mapping"])
def test_parameters_are_read_from_lists_arrays_and_mappings(given):
    p = zscanfit.inputs.parameters.read_params(given)
    assert isinstance(p, lmfit.Parameters)
    assert [p[n].value for n in zscanfit.PARAMETER_NAMES] == list(np.asarray(RSA_TRUTH))


def test_lmfit_expressions_are_refused_rather_than_ignored():
    p = zscanfit.make_params(RSA_TRUTH)
    p["tau_21"].expr = "tau_43"
    with pytest.raises(ValueError, match="expression"):
        zscanfit.inputs.parameters.read_params(p)


def test_the_demo_file_gives_its_scans_experiment_and_start_values():
    data = zscanfit.load_scans(DEMO_CSV)
    assert [s.n_points for s in data.scans] == [41, 41]
    assert [s.pulse_energy for s in data.scans] == [5e-7, 1.5e-6]
    assert data.experiment.w0 == 2e-5 and data.experiment.t_slices == 10
    assert data.spec_pars == list(RSA_TRUTH)
    assert data.settings["noise_sd"] == [0.005]


def test_a_csv_with_sigma_missing_points_and_scans_of_different_lengths(tmp_path):
    path = tmp_path / "scans.csv"
    rows = ["# w0 = 2e-5", "dataset,pulse_energy,x_mm,transmittance,sigma"]
    rows += [f"0,5e-7,{x:g},{y:.6f},0.01" for x, y in zip(X, Y)]
    rows += [f"1,1.5e-6,{x:g},{'nan' if k == 3 else f'{y:.6f}'},0.02"
             for k, (x, y) in enumerate(zip(X[:9], Y[:9]))]
    path.write_text("\n".join(rows) + "\n")
    with pytest.warns(zscanfit.DataWarning, match="1 of 9"):
        data = zscanfit.load_scans(path)
    assert [s.n_points for s in data.scans] == [11, 9]
    assert data.scans[1].sigma[0] == 0.02 and not data.scans[1].valid[3]
    assert data.experiment is None and "wavelength" in data.missing_settings


@pytest.mark.parametrize("text, columns", [
    ("{x} {y}\n", 2), ("{x},{y},0.01\n", 3),
])
def test_plain_column_files_take_the_energy_from_a_setting_or_argument(tmp_path, text, columns):
    path = tmp_path / "plain.txt"
    body = "".join(text.format(x=x, y=y) for x, y in zip(X, Y))
    path.write_text(body)
    with pytest.raises(ValueError, match="no pulse energy"):
        zscanfit.load_scans(path)
    scan = zscanfit.load_scans(path, pulse_energy=5e-7).scans[0]
    assert scan.pulse_energy == 5e-7 and (scan.sigma is not None) == (columns == 3)
    path.write_text("# pulse_energy = 1e-6\n" + body)
    assert zscanfit.load_scans(path).scans[0].pulse_energy == 1e-6


@pytest.mark.parametrize("body, words", [
    ("x_mm,transmittance\n1,2,3\n", "line 2"),
    ("a b c d\n1 2 3 4\n", "no x_mm column"),
    ("1 2 3 4\n", "4 columns without a header"),
    ("# t_slices = ten\n1 2\n", "setting t_slices must be numbers"),
    ("# t_slices = inf\n1 2\n", "setting t_slices must be a whole number"),
    ("# z_slices = nan\n1 2\n", "setting z_slices must be a whole number"),
    ("dataset,energy,x,t\n0,1e-6,1,1\n0,2e-6,2,1\n", "data set 0 has more than one pulse energy"),
    ("# comment only\n", "no data rows"),
])
def test_bad_files_raise_one_clear_error(tmp_path, body, words):
    path = tmp_path / "bad.csv"
    path.write_text(body)
    with pytest.raises(ValueError, match=words):
        zscanfit.load_scans(path, pulse_energy=1e-6)


def test_missing_settings_are_listed_with_the_fix():
    with pytest.raises(ValueError) as error:
        zscanfit.Experiment.from_settings({"w0": [2e-5], "tau": [4e-9]})
    assert str(error.value) == texts.MISSING_SETTINGS.format(
        names="wavelength, M2, sample_width, populations")
