# The residual bootstrap: a resampled data set is the fitted model plus
# residuals of the same scan (masked points stay masked, per-point sigma
# honoured); percentile intervals are the order statistics they should be;
# a fixed seed gives the same refits whatever runs them, another seed others;
# fit(bootstrap=B) puts the intervals in the result, its report and its JSON.
# Whether the intervals cover the truth as often as they should is checked
# by `make validate`. Relies on the installed zscanfit and batch_cases.py.
import json
import math

import numpy as np
import pytest

import zscanfit
from zscanfit import bootstrap_fit, texts
from zscanfit.many import bootstrap
from zscanfit.many.bootstrap import percentile_intervals, resample_scan_values

import batch_cases
from conftest import quiet, run_cli, write_scan_file

B = 4


@pytest.fixture(scope="module")
def fitted():
    scans = batch_cases.noisy_scans(21)
    return zscanfit.fit(scans, batch_cases.experiment(), batch_cases.start_params(), n_starts=1,
                        model="on-axis")


# ---------------------------------------------------------------- resampling
@pytest.mark.parametrize("with_sigma", [False, True], ids=["weights", "sigma"])
def test_resampled_points_take_residuals_of_their_own_scan(with_sigma):
    # Residuals (in units of sigma) alternate +1, -1 in scan 0 and +3, -3 in
    # scan 1, so they are centred already; points 0 and 1 of scan 0 are
    # masked. 14 measured points and 2 free parameters inflate them by
    # sqrt(14 / 12).
    curves = [np.linspace(0.8, 1.0, 8), np.linspace(0.9, 1.0, 8)]
    signs = np.array([1.0, -1.0] * 4)
    sigma = ([np.linspace(0.01, 0.02, 8), np.linspace(0.03, 0.04, 8)] if with_sigma
             else [None, None])
    unit = [np.ones(8) if s is None else s for s in sigma]
    data = [curves[0] + 1.0 * signs * unit[0], curves[1] + 3.0 * signs * unit[1]]
    data[0][:2] = np.nan
    inflation = math.sqrt(14 / 12)
    values = resample_scan_values(np.random.default_rng(3), curves, data, sigma, 2)
    assert np.isnan(values[0][:2]).all() and np.isfinite(values[0][2:]).all()
    for k, size in ((0, 1.0), (1, 3.0)):
        measured = ~np.isnan(data[k])
        drawn = (values[k][measured] - curves[k][measured]) / unit[k][measured] / inflation
        assert np.allclose(np.abs(drawn), size, rtol=1e-12, atol=0.0)


def test_a_scan_with_no_more_points_than_free_parameters_cannot_be_resampled():
    curve = np.ones(5)
    data = np.array([1.0, np.nan, np.nan, np.nan, 1.1])
    with pytest.raises(ValueError) as raised:
        resample_scan_values(np.random.default_rng(0), [curve], [data], [None], 2)
    assert str(raised.value) == texts.BOOTSTRAP_TOO_FEW_POINTS.format(index=0, count=2, free=2)


def test_percentile_intervals_are_the_central_order_statistics():
    samples = {"a": np.arange(101.0)[::-1], "b": np.array([5.0]), "c": np.array([2.0, 4.0])}
    intervals = percentile_intervals(samples)
    assert intervals["a"] == {0.68: (16.0, 84.0), 0.95: (2.5, 97.5)}
    assert all(math.isnan(v) for pair in intervals["b"].values() for v in pair)
    assert intervals["c"][0.68] == pytest.approx((2.32, 3.68))


@pytest.mark.parametrize("value", [1, 0, -5, 2.5, True, "200", None])
def test_fit_refuses_a_bootstrap_count_that_cannot_give_intervals(value):
    with pytest.raises(ValueError) as raised:
        bootstrap.check_samples(value)
    assert str(raised.value) == texts.BOOTSTRAP_BAD_SAMPLES.format(value=value, most=100000)


# ---------------------------------------------------------------- refits
@pytest.fixture(scope="module")
def seeded(fitted):
    with quiet():  # B < 100 warns; the test of the fit below checks it
        return bootstrap_fit(fitted, B, seed=7, workers=2)


def _bits(result):
    return {name: values.tobytes() for name, values in result.samples.items()}


def test_a_fixed_seed_gives_the_same_refits_whatever_runs_them(fitted, seeded):
    with quiet():
        again = bootstrap_fit(fitted, B, seed=7, workers=1)
    assert (seeded.seed, seeded.n_samples, seeded.n_failed) == (7, B, 0)
    assert _bits(again) == _bits(seeded)
    assert again.intervals == seeded.intervals
    with quiet():
        other = bootstrap_fit(fitted, B, seed=8, workers=2)
    assert all(other.samples[n].tobytes() != seeded.samples[n].tobytes() for n in fitted.free)


def test_refits_scatter_about_the_fit_on_its_standard_error_scale(fitted, seeded):
    for name in fitted.free:
        value, stderr = fitted.params[name].value, fitted.params[name].stderr
        assert np.all(np.abs(seeded.samples[name] - value) < 10.0 * stderr)
        assert np.std(seeded.samples[name]) > 0.0


def test_fit_with_bootstrap_reports_intervals_beside_the_errors():
    scans = batch_cases.noisy_scans(21)
    with pytest.warns(zscanfit.FitWarning, match="use at least 100 for 95 % intervals"):
        result = zscanfit.fit(scans, batch_cases.experiment(), batch_cases.start_params(),
                              n_starts=1, bootstrap=B, seed=7, model="on-axis")
    assert result.bootstrap is not None and result.bootstrap.seed == 7
    assert any("bootstrap refits" in text for text in result.warnings)
    report = result.report()
    section = report[report.index("[[Bootstrap]]"):].splitlines()
    for name in result.free:
        line = next(text for text in section if text.split()[0] == name)
        low, high = result.bootstrap.intervals[name][0.68]
        assert f"[{low:.5g}, {high:.5g}]" in line
        assert f"{result.params[name].stderr:.3g}" in line
    saved = json.loads(json.dumps(result.to_dict()))
    assert saved["bootstrap"]["intervals"]["sigma_0"]["0.95"] == list(
        result.bootstrap.intervals["sigma_0"][0.95])


@pytest.mark.parametrize("count, status", [(3, 0), (1, 2)])
def test_command_line_fit_with_bootstrap(tmp_path, count, status):
    start = batch_cases.start_params()
    path = write_scan_file(
        tmp_path / "scan.csv", batch_cases.noisy_scans(21), batch_cases.experiment(),
        [start[name].value for name in zscanfit.PARAMETER_NAMES])
    done = run_cli("fit", path, "--free", *batch_cases.FREE, "--starts", 1, "--model", "on-axis",
                   "--bootstrap", count, "--seed", 5)
    assert done.returncode == status
    if status == 0:
        assert "[[Bootstrap]] residual resampling, 3 of 3 refits kept, seed 5" in done.stdout
    else:
        assert done.stderr.strip().endswith(
            texts.BOOTSTRAP_BAD_SAMPLES.format(value=count, most=100000))
