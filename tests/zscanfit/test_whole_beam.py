# The whole-beam model in zscanfit: its two normalisations and its error
# estimates through zscanfit.model, the choice of model in fits (the
# default; the exact method always on-axis; a contradiction refused), fits
# that recover the parameters of whole-beam data, the model named in the
# report, the JSON and the figure, and the warnings about its assumptions.
# Checks of the values against converged brute-force references are in
# test_whole_beam_values.py. Relies on the installed zscanfit.
import json

import numpy as np
import pytest

import zscanfit
from zscanfit import texts

from conftest import (ENERGIES, RSA_TRUTH, experiment, quiet, relative_errors, start_from,
                      synthetic_scans)

X = np.linspace(-20.0, 20.0, 21)


def demo():
    return experiment(t_slices=10, z_slices=10)


# ---------------------------------------------------------------- model()
def test_wing_normalisation_divides_the_linear_one_by_its_wing_mean():
    linear, linear_errors = zscanfit.model(demo(), RSA_TRUTH, X, 1.5e-6, with_error=True)
    wings, wing_errors = zscanfit.model(demo(), RSA_TRUTH, X, 1.5e-6, normalise_to=X,
                                        with_error=True)
    mean = (linear[-5:].sum() + linear[:5].sum()) * 0.1
    # (normalised on its wings a scan is computed to a tighter tolerance)
    np.testing.assert_allclose(wings, linear / mean, atol=2e-5)
    assert wings[:5].mean() + wings[-5:].mean() == pytest.approx(2.0, abs=1e-12)
    assert np.all(linear_errors <= 1e-5) and np.all(wing_errors <= 1e-5)
    # Far from the focus (8.5 Rayleigh ranges) the whole beam transmits
    # nearly as at low energy.
    assert abs(linear[0] - 1.0) < 2e-2 and linear.min() < 0.8


def test_the_tolerance_is_met_and_a_tighter_one_agrees_within_the_estimate():
    coarse, error = zscanfit.model(demo(), RSA_TRUTH, X, 1.5e-6, with_error=True)
    fine, fine_error = zscanfit.model(demo(), RSA_TRUTH, X, 1.5e-6, tolerance=1e-8,
                                      with_error=True)
    assert np.all(error <= 1e-5) and np.all(fine_error <= 1e-8)
    assert np.all(np.abs(coarse - fine) <= error + fine_error)


def test_on_axis_values_are_fit_zscans_and_have_no_error_estimate():
    values, errors = zscanfit.model(demo(), RSA_TRUTH, X, 1.5e-6, model="on-axis",
                                    with_error=True)
    assert np.all(np.isnan(errors))
    assert values[:5].mean() + values[-5:].mean() == pytest.approx(2.0, abs=1e-12)


@pytest.mark.parametrize("options, text", [
    (dict(model="top-hat"), texts.BAD_MODEL.format(model="top-hat")),
    (dict(model="on-axis", normalise="linear"), texts.ON_AXIS_LINEAR),
    (dict(normalise="peak"), texts.BAD_NORMALISE.format(normalise="peak")),
    (dict(tolerance=1e-12), texts.TOLERANCE_RANGE.format(value=1e-12, least=3e-10, most=1e-2)),
    # Normalised on the wings a scan is computed to a third of the tolerance:
    # the range leaves room for that.
    (dict(tolerance=2e-10), texts.TOLERANCE_RANGE.format(value=2e-10, least=3e-10, most=1e-2)),
    (dict(tolerance=10.0), texts.TOLERANCE_RANGE.format(value=10.0, least=3e-10, most=1e-2)),
], ids=["model", "linear-on-axis", "normalise", "tolerance-tiny", "tolerance-wings",
        "tolerance-huge"])
def test_model_refuses_what_it_cannot_do(options, text):
    with pytest.raises(ValueError) as raised:
        zscanfit.model(demo(), RSA_TRUTH, X, 1.5e-6, **options)
    assert str(raised.value) == text


@pytest.mark.parametrize("change, words", [
    (dict(sample_width=1.0), "too thick for the whole-beam model"),
    (dict(populations=[3e17, 0.0, 0.0, 1e16, 0.0]), "level 3 starts with population"),
], ids=["thick", "excited"])
def test_the_models_assumptions_warn_when_they_fail(change, words):
    with pytest.warns(zscanfit.FitWarning, match=words):
        zscanfit.model(experiment(**change), RSA_TRUTH, X, 1.5e-6)


def test_an_infinite_lifetime_means_no_decay_and_cannot_be_free():
    # Level 3 populated and kept: tau_30 = inf is stationary in the dark.
    exp = experiment(populations=[2e17, 0.0, 0.0, 1e17, 0.0])
    truth = list(RSA_TRUTH)
    truth[6] = np.inf
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        values = zscanfit.model(exp, truth, X, 1.5e-6)
    assert not [w for w in caught if "decays" in str(w.message)]
    assert np.all(np.isfinite(values)) and values.min() < 0.9
    with pytest.raises(ValueError, match="tau_30 is infinite .* and free"):
        zscanfit.fit(synthetic_scans(), exp, zscanfit.make_params(truth, free=["tau_30"]))


# ---------------------------------------------------------------- fits
@pytest.fixture(scope="module")
def whole_beam_rsa():
    return synthetic_scans(RSA_TRUTH, demo(), model="whole-beam")


def test_a_fit_recovers_the_parameters_of_whole_beam_data(whole_beam_rsa):
    with quiet():
        result = zscanfit.fit(whole_beam_rsa, demo(),
                              start_from(RSA_TRUTH, ["sigma_0", "sigma_1"], [1.3, 0.8]),
                              n_starts=1, fix_focus=True)
    assert result.model.name == "whole-beam" and result.model.tolerance == 1e-5
    assert max(relative_errors(result, RSA_TRUTH).values()) < 1e-3
    assert 0.0 < result.model_error <= 1e-5


def test_the_on_axis_model_misreads_whole_beam_data(whole_beam_rsa):
    with quiet():
        result = zscanfit.fit(whole_beam_rsa, demo(),
                              start_from(RSA_TRUTH, ["sigma_0", "sigma_1"], [1.0, 1.0]),
                              n_starts=1, model="on-axis")
    # The two models differ by tens of per cent on the same absorber.
    assert max(relative_errors(result, RSA_TRUTH).values()) > 0.1


@pytest.mark.parametrize("options, text", [
    (dict(method="exact", model="whole-beam"), texts.EXACT_MODEL.format(model="whole-beam")),
    (dict(model="gaussian"), texts.BAD_MODEL.format(model="gaussian")),
], ids=["exact-whole-beam", "unknown"])
def test_contradictory_model_choices_are_refused(options, text, whole_beam_rsa):
    with pytest.raises(ValueError) as raised:
        zscanfit.fit(whole_beam_rsa, demo(), zscanfit.make_params(RSA_TRUTH, free=["sigma_0"]),
                     **options)
    assert str(raised.value) == text


def test_the_exact_method_fits_the_on_axis_model_and_says_so():
    scans = synthetic_scans(noise=0.002, seed=4)
    with quiet():
        result = zscanfit.fit(scans, experiment(), zscanfit.make_params(RSA_TRUTH,
                              free=["sigma_0"]), method="exact", n_starts=1)
    assert result.model.name == "on-axis"
    assert "# model            = on-axis (fit_zscan's" in result.report()


def test_the_model_and_its_tolerance_travel_with_the_result(whole_beam_rsa, tmp_path):
    with quiet():
        result = zscanfit.fit(whole_beam_rsa, demo(),
                              zscanfit.make_params(RSA_TRUTH, free=["sigma_1"], sigma_1=5e-17),
                              n_starts=1, tolerance=1e-6, fix_focus=True)
    report = result.report()
    assert "# model            = whole-beam" in report and "tolerance 1e-06" in report
    saved = json.loads(result.to_json())
    assert saved["model"] == {"name": "whole-beam", "tolerance": 1e-6}
    back = zscanfit.FitResult.from_json(json.dumps(saved))
    assert back.report() == report
    np.testing.assert_array_equal(back.curve(0, X), result.curve(0, X))
    np.testing.assert_array_equal(result.curve(0, whole_beam_rsa[0].x_mm), result.models[0])


def test_the_command_line_chooses_the_model(tmp_path):
    from conftest import run_cli, write_scan_file
    scans = synthetic_scans(RSA_TRUTH, demo(), energies=ENERGIES[1:], noise=0.002, seed=6,
                            model="whole-beam")
    path = write_scan_file(tmp_path / "wb.csv", scans, demo(), RSA_TRUTH)
    done = run_cli("fit", path, "--free", "sigma_1", "--starts", "1", "--tolerance", "1e-6")
    assert done.returncode == 0, done.stderr
    assert "whole-beam" in done.stdout and "tolerance 1e-06" in done.stdout
    exact = run_cli("fit", path, "--free", "sigma_1", "--method", "exact", "--model",
                    "whole-beam")
    assert exact.returncode == 2 and "fits the on-axis model only" in exact.stderr


# ---------------------------------------------------------------- Ctrl-C
class Stop(Exception):
    pass


def test_a_signal_handlers_exception_stops_a_long_evaluation_at_once():
    import signal
    import time
    # A thick, strongly saturated absorber at a fine tolerance: many seconds.
    slow = dict(spec_pars=[2.5e-16, 5e-18, 0.0, 2e-9, 1e-6, 1e-12, 1e-5, 1e-12], tolerance=1e-8)

    def handler(signum, frame):
        raise Stop()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        started = time.monotonic()
        with pytest.raises(Stop):
            zscanfit.model(demo(), slow["spec_pars"], X, 1.5e-6, tolerance=slow["tolerance"])
        assert time.monotonic() - started < 3.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0.0)
        signal.signal(signal.SIGALRM, previous)
    values = zscanfit.model(demo(), RSA_TRUTH, X[:5], 1.5e-6)   # the next call is normal
    assert np.all(np.isfinite(values))
