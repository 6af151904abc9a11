# Reports a researcher can trust at a glance: every warning of a fit is in
# its report, its JSON and the command line's closing line (--strict makes
# any warning exit status 3); a focus one grid step off is reported and
# clean data stay quiet; chi-square means something (equal weights without
# sigma, reduced chi-square near 1 with the right sigma, flagged with the
# wrong one); results travel as JSON and come back with the same report
# and figure; output paths and batch options are checked before anything
# is fitted. Relies on the installed zscanfit and the shared helpers.
import json
import warnings

import numpy as np
import pytest

import zscanfit
from zscanfit import texts

from conftest import (RSA_TRUTH, TALKATIVE, TALKATIVE_ENERGY, experiment, quiet, run_cli,
                      start_from, synthetic_scans, write_scan_file)

GRID_2MM = np.arange(-20.0, 20.5, 2.0)
FREE = ["sigma_0", "sigma_1"]


def fast():
    return experiment(t_slices=2, z_slices=2)


def fit_quietly(scans, **options):
    with quiet():
        return zscanfit.fit(scans, options.pop("exp", fast()),
                            options.pop("params", start_from(RSA_TRUTH, FREE, [1.2, 0.9])),
                            n_starts=options.pop("n_starts", 1), **options, model="on-axis")


# ---------------------------------------------------------------- warnings carried
def talkative_fit():
    """Integrator messages, a masked point, a parameter the data cannot see."""
    exp = zscanfit.Experiment(**TALKATIVE)
    x = np.linspace(-20.0, 20.0, 11)
    y = 1.0 + 0.1 * np.exp(-x ** 2 / 10)
    y[3] = np.nan
    scans = [zscanfit.Scan(x, y, TALKATIVE_ENERGY)]
    return zscanfit.fit(scans, exp, zscanfit.make_params(RSA_TRUTH, free=["sigma_0"]),
                        n_starts=1, model="on-axis", fix_focus=True)


def stopped_fit():
    """A fit stopped by its evaluation budget, a value on its bound."""
    scans = synthetic_scans(exp=fast(), noise=0.002, seed=2)
    params = zscanfit.make_params(RSA_TRUTH, free=FREE, sigma_0=3e-17, sigma_1=1.5e-17,
                                  bounds={"sigma_1": (None, 2e-17)})
    return zscanfit.fit(scans, fast(), params, n_starts=1, max_nfev=2, model="on-axis")


@pytest.mark.parametrize("make, kinds", [
    (talkative_fit, {"DataWarning", "UnitWarning", "FitWarning", "IntegratorWarning"}),
    (stopped_fit, {"FitWarning"}),
], ids=["talkative", "stopped"])
def test_every_warning_of_a_fit_is_in_its_report_and_its_json(make, kinds):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = make()
    raised = [(w.category.__name__, str(w.message)) for w in caught
              if issubclass(w.category, zscanfit.ZScanWarning)]
    assert {kind for kind, _ in raised} == kinds
    assert set(raised) <= set(result.warning_records)
    report = result.report()
    section = report[report.index("[[Warnings]]"):]
    for kind, text in raised:
        assert f"{kind}: {text}" in section
    saved = json.loads(result.to_json())
    assert {(r["category"], r["message"]) for r in saved["warning_records"]} >= set(raised)
    if make is stopped_fit:
        assert result.success is False
        assert any(text.startswith("the fit did not converge") and "max_nfev=" in text
                   for _, text in raised)


def test_strict_turns_any_warning_into_exit_status_3(tmp_path):
    scans = synthetic_scans(exp=fast(), noise=0.002, seed=3)
    y = scans[0].transmittance.copy()
    y[2] = np.nan
    with quiet():
        scans[0] = zscanfit.Scan(scans[0].x_mm, y, scans[0].pulse_energy)
    path = write_scan_file(tmp_path / "masked.csv", scans, fast(), RSA_TRUTH)
    args = ["fit", path, "--free", "sigma_0", "--starts", "1", "--model", "on-axis"]
    lenient, strict = run_cli(*args), run_cli(*args, "--strict")
    assert lenient.returncode == 0 and strict.returncode == 3
    for done in (lenient, strict):
        closing = done.stderr.strip().splitlines()[-1]
        assert closing.startswith("zscanfit: done with 1 warning")
        assert "[[Warnings]]" in closing and "DataWarning: 1 of" in done.stdout
    assert "--strict: exit status 3" in strict.stderr
    clean = write_scan_file(tmp_path / "clean.csv", synthetic_scans(exp=fast(), noise=0.002,
                                                                    seed=4), fast(), RSA_TRUTH)
    quiet_run = run_cli("fit", clean, "--free", "sigma_0", "--starts", "1", "--strict",
                        "--model", "on-axis")
    assert quiet_run.returncode == 0, quiet_run.stderr
    assert quiet_run.stderr.strip().splitlines()[-1] == texts.CLI_DONE


# ---------------------------------------------------------------- the focus
def focus_records(result):
    return [r for r in result.warning_records if "pattern of a focus" in r.message]


def test_the_focus_check_fires_on_a_focus_one_grid_step_off():
    scans = synthetic_scans(exp=fast(), positions=GRID_2MM, noise=0.003, seed=5)
    off = fit_quietly(scans, center_mm=2.0)
    (record,) = focus_records(off)
    assert record.category == "FitWarning" and abs(off.focus_score) > 4.0
    # The offset it suggests points back to the true focus.
    offset = float(record.message.split("focus ")[1].split(" mm")[0])
    assert offset == pytest.approx(-2.0, abs=0.5)


def test_the_focus_check_stays_quiet_on_clean_data():
    scores = []
    for seed in range(20):
        scans = synthetic_scans(exp=fast(), positions=GRID_2MM, noise=0.003, seed=100 + seed)
        result = fit_quietly(scans, center_mm=0.0)
        assert focus_records(result) == []
        scores.append(result.focus_score)
    # The score is a standard normal variable on clean data.
    assert abs(np.mean(scores)) < 1.0 and 0.4 < np.std(scores) < 1.8


# ---------------------------------------------------------------- chi-square
def test_without_sigma_chi_square_is_the_sum_of_squares_and_shows_the_noise():
    noise = 0.003
    result = fit_quietly(synthetic_scans(exp=fast(), noise=noise, seed=8))
    assert result.weighting == "equal"
    assert result.redchi == pytest.approx(result.noise ** 2, rel=1e-12)
    assert result.noise == pytest.approx(noise, rel=0.3)
    assert f"(noise {result.noise:.4g} estimated from the residuals)" in result.report()


@pytest.mark.parametrize("sigma_factor, flagged", [(1.0, False), (1.0 / 3.0, True)])
def test_with_sigma_a_reduced_chi_square_far_from_1_is_flagged(sigma_factor, flagged):
    noise = 0.003
    scans = synthetic_scans(exp=fast(), noise=noise, seed=9, sigma=noise * sigma_factor)
    result = fit_quietly(scans)
    assert result.redchi == pytest.approx(1.0 / sigma_factor ** 2, rel=0.5)
    assert any("reduced chi-square" in t for t in result.warnings) is flagged


def test_the_exact_method_keeps_fit_zscan_weights_and_says_how_it_started():
    result = fit_quietly(synthetic_scans(exp=fast(), noise=0.002, seed=10), method="exact",
                         n_starts=3)
    assert result.weighting == "fit_zscan"
    report = result.report()
    assert "# starts           = 3 (fit_zscan keeps the best" in report
    assert "(best: -1)" not in report and "constant 5 to within 0.2 %" in report


# ---------------------------------------------------------------- results travel
def line_data(figure):
    return [np.asarray(line.get_xydata()) for ax in figure.axes for line in ax.get_lines()]


def test_a_result_round_trips_through_json_with_its_report_and_figure(tmp_path):
    scans = synthetic_scans(exp=fast(), noise=0.002, seed=11, sigma=0.002)
    result = fit_quietly(scans, bootstrap=3, seed=1)
    result.source = "scans.csv"
    back = zscanfit.FitResult.from_json(result.to_json(tmp_path / "fit.json"))
    again = zscanfit.FitResult.from_json(tmp_path / "fit.json")
    assert back.report() == result.report() == again.report()
    saved = json.loads((tmp_path / "fit.json").read_text())
    assert saved["zscanfit_version"] == zscanfit.__version__
    assert saved["inputs"]["file"] == "scans.csv" and saved["inputs"]["bounds"]["sigma_0"] == [
        0.0, None]
    assert len(saved["curves"]) == 2 and len(saved["data"][0]["x_mm"]) == scans[0].n_points
    for before, after in zip(line_data(result.plot()), line_data(back.plot())):
        np.testing.assert_array_equal(before, after)


def test_the_figure_draws_into_given_axes_and_writes_vector_formats(tmp_path):
    from matplotlib.figure import Figure
    result = fit_quietly(synthetic_scans(exp=fast(), noise=0.002, seed=12))
    figure = Figure()
    ax = figure.subplots()
    assert result.plot(ax=ax) is figure and len(ax.get_lines()) == 4
    for suffix, magic in (("svg", b"<?xml"), ("pdf", b"%PDF")):
        result.plot(tmp_path / f"fit.{suffix}")
        assert (tmp_path / f"fit.{suffix}").read_bytes()[:5].startswith(magic)
    # The curve passes through the fitted model at the data points.
    np.testing.assert_array_equal(result.curve(1, result.scans[1].x_mm), result.models[1])


# ---------------------------------------------------------------- checked before fitting
def test_output_paths_are_checked_before_fitting(tmp_path):
    path = write_scan_file(tmp_path / "s.csv", synthetic_scans(exp=fast()), fast(), RSA_TRUTH)
    done = run_cli("fit", path, "--free", "sigma_0", "--plot", tmp_path / "nodir" / "fit.png",
                   "--json", tmp_path / "ok.json")
    assert done.returncode == 2 and "does not exist" in done.stderr
    assert "[[Variables]]" not in done.stdout and not (tmp_path / "ok.json").exists()
    wrong = run_cli("fit", path, "--free", "sigma_0", "--plot", tmp_path / "fit.xyz")
    assert wrong.returncode == 2 and "unknown figure format 'xyz'" in wrong.stderr


def test_batch_options_are_checked_before_any_job_is_dispatched():
    job = zscanfit.FitJob(synthetic_scans(exp=fast()), fast(),
                          zscanfit.make_params(RSA_TRUTH, free=["sigma_0"]))
    with pytest.raises(TypeError, match="'n_strats' is not an option of fit .*'n_starts'"):
        zscanfit.fit_many([job] * 3, n_strats=3, model="on-axis")
    with pytest.raises(ValueError, match="^n_starts must be at least 1"):
        zscanfit.fit_many([job, zscanfit.FitJob(job.scans, job.experiment, job.params,
                                                {"n_starts": 0})], model="on-axis")


def test_integrator_messages_are_summarised_in_words():
    with quiet():
        exp = zscanfit.Experiment(**TALKATIVE)
        x = np.linspace(-20.0, 20.0, 11)
        scans = [zscanfit.Scan(x, 1.0 + 0.1 * np.exp(-x ** 2 / 10), TALKATIVE_ENERGY)]
        result = zscanfit.fit(scans, exp, zscanfit.make_params(RSA_TRUTH, free=["sigma_0"]),
                              n_starts=1, max_nfev=2, model="on-axis")
    (text,) = [r.message for r in result.warning_records if r.category == "IntegratorWarning"]
    assert "x an integration reached its step limit" in text and "may be affected" in text
    assert result.messages.affects_results
    section = result.report().split("[[Integrator messages]]")[1]
    assert "reached its step limit" in section and "R1" not in section.split("first:")[0]
