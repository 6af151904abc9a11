# The experimentalist's error budget: a propagated systematic error equals
# what refits at the setting +- its uncertainty give; a fitted focus and a
# fitted beam waist recover the truth within their errors; profile
# intervals of a linear-in-parameters toy are the standard errors (and a
# curved toy's are flagged lopsided); a global fit of two files whose
# settings agree is the fit of their scans pooled; the budget travels in
# the report, the JSON and the figure. Relies on the installed zscanfit and
# the shared helpers.
import dataclasses
import json
import math

import numpy as np
import pytest
from scipy.stats import f as f_distribution

import zscanfit
from zscanfit.fitting.coordinates import Coordinates
from zscanfit.fitting.profile import profile_intervals

from conftest import (ENERGIES, RSA_TRUTH, experiment, quiet, run_cli, synthetic_scans,
                      write_scan_file)

FREE = ["sigma_0", "sigma_1"]
X = np.arange(-20.0, 20.5, 1.0)


def demo(**changes):
    return experiment(**changes)


def start(**named):
    return zscanfit.make_params(RSA_TRUTH, free=named.pop("free", FREE), **named)


def fitted(scans, exp, params, **options):
    # The budget's tests keep the focus at the extremum unless they fit it.
    options.setdefault("fix_focus", "center_mm" not in params)
    with quiet():
        return zscanfit.fit(scans, exp, params, n_starts=1, **options)


@pytest.fixture(scope="module")
def demo_scans():
    return synthetic_scans(RSA_TRUTH, demo(), positions=X, noise=0.003, seed=31,
                           model="whole-beam")


# ---------------------------------------------------------------- propagation
@pytest.mark.parametrize("setting, uncertainty", [
    ("w0", "5%"), ("pulse_energy_scale", 0.05), ("sample_width", "3%"), ("populations", "4%"),
], ids=["w0", "energy-scale", "thickness", "concentration"])
def test_a_propagated_systematic_error_is_what_refits_give(demo_scans, setting, uncertainty):
    exp = dataclasses.replace(demo(), uncertainties={setting: uncertainty})
    result = fitted(demo_scans, exp, start())
    (contribution,) = result.error_budget.contributions
    u = contribution.uncertainty

    def refit(sign):
        if setting == "pulse_energy_scale":
            scans = [zscanfit.Scan(s.x_mm, s.transmittance, s.pulse_energy * (1 + sign * u))
                     for s in demo_scans]
            return fitted(scans, demo(), start())
        if setting == "populations":
            total = sum(demo().populations)
            moved = dict(populations=[p * (1 + sign * u / total) for p in demo().populations])
        else:
            moved = {setting: getattr(demo(), setting) + sign * u}
        return fitted(demo_scans, demo(**moved), start())

    up, down = refit(+1), refit(-1)
    for name in FREE:
        by_refits = (up.values[name] - down.values[name]) / 2.0
        assert contribution.effects[name] == pytest.approx(by_refits, rel=0.10)
    combined = result.error_budget.combined
    for name in FREE:
        assert combined[name] == pytest.approx(math.hypot(result.stderr[name],
                                                          contribution.effects[name]))


def test_the_budget_travels_in_report_json_and_figure(demo_scans, tmp_path):
    exp = dataclasses.replace(demo(), uncertainties={"w0": 1e-6, "pulse_energy": "2%"})
    result = fitted(demo_scans, exp, start())
    settings = [c.setting for c in result.error_budget.contributions]
    assert settings == ["w0"] + [f"pulse_energy ({s.label})" for s in demo_scans]
    report = result.report()
    assert "[[Error budget]]" in report and "from +/- 1e-06" in report
    back = zscanfit.FitResult.from_json(result.to_json())
    assert back.report() == report
    assert back.error_budget.combined == result.error_budget.combined
    text = zscanfit.fitting.plot.value_text(result)
    assert "combined" in text
    # Settings the fit frees are determined by it and contribute nothing.
    free_w0 = fitted(demo_scans, exp, start(free=FREE + ["w0"]))
    assert [c.setting for c in free_w0.error_budget.contributions][0].startswith("pulse_energy")


def test_uncertainties_come_from_data_files_and_the_command_line(demo_scans, tmp_path):
    path = write_scan_file(tmp_path / "wb.csv", demo_scans, demo(), RSA_TRUTH)
    text = path.read_text().replace("# w0 = 2e-05", "# w0 = 2e-05 +- 1e-6")
    path.write_text(text)
    data = zscanfit.load_scans(path)
    assert data.experiment.uncertainty("w0", data.experiment.w0) == 1e-6
    done = run_cli("fit", path, "--free", *FREE, "--starts", "1", "--uncertainty",
                   "pulse_energy_scale=5%")
    assert done.returncode == 0, done.stderr
    section = done.stdout.split("[[Error budget]]")[1]
    assert "w0" in section and "pulse_energy_scale" in section


def test_settings_drawn_per_bootstrap_sample_widen_the_intervals(demo_scans):
    exp = dataclasses.replace(demo(), uncertainties={"w0": "5%"})
    with quiet():
        plain = zscanfit.fit(demo_scans, exp, start(), n_starts=1, bootstrap=8, seed=3)
        drawn = zscanfit.fit(demo_scans, exp, start(), n_starts=1, bootstrap=8, seed=3,
                             bootstrap_settings=True)
    width = {name: np.std(drawn.bootstrap.samples[name]) / np.std(plain.bootstrap.samples[name])
             for name in FREE}
    assert min(width.values()) > 2.0  # w0 +- 5 % dominates the statistical error


# ---------------------------------------------------------------- beam in the fit
def test_a_fitted_focus_recovers_a_known_offset(demo_scans):
    offset = 0.7
    shifted = [zscanfit.Scan(s.x_mm + offset, s.transmittance, s.pulse_energy)
               for s in demo_scans]
    result = fitted(shifted, demo(), start(free=FREE + ["center_mm"]))
    assert abs(result.values["center_mm"] - offset) < 2.0 * result.stderr["center_mm"]
    assert result.stderr["center_mm"] < 0.05 and result.focus_score != result.focus_score
    assert "focus position     = " in result.report() and "(fitted)" in result.report()


def test_a_fitted_beam_waist_recovers_the_truth(demo_scans):
    scans = synthetic_scans(RSA_TRUTH, demo(w0=22e-6), positions=X, noise=0.003, seed=32,
                            model="whole-beam")
    result = fitted(scans, demo(), start(free=FREE + ["w0"]))
    assert abs(result.values["w0"] - 22e-6) < 2.0 * result.stderr["w0"]
    assert result.experiment.w0 == result.values["w0"] and result.given_experiment.w0 == 20e-6


def test_the_exact_method_refuses_beam_parameters(demo_scans):
    with pytest.raises(ValueError, match="cannot take center_mm among the parameters"):
        zscanfit.fit(synthetic_scans(), experiment(), start(free=FREE + ["center_mm"]),
                     method="exact")


# ---------------------------------------------------------------- profile intervals
class LineProblem:
    """A toy whose model is linear in sigma_0 and sigma_1: y = a + b x."""

    def __init__(self, seed):
        rng = np.random.default_rng(seed)
        self.x = np.linspace(-1.0, 1.0, 60)
        self.y = 2.0 + 0.5 * self.x + rng.normal(0.0, 0.1, self.x.shape)
        self.n_points = self.x.size

    def residuals_at(self, point):
        spec_pars, _ = point
        return self.y - (spec_pars[0] + spec_pars[1] * self.x)


def toy_fit(problem, free):
    design = np.column_stack([np.ones_like(problem.x), problem.x])[:, :len(free)]
    coef, *_ = np.linalg.lstsq(design, problem.y if len(free) == 2 else problem.y - 0.5 * problem.x,
                               rcond=None)
    values = dict(zip(free, coef))
    params = zscanfit.make_params([values.get("sigma_0", 2.0), values.get("sigma_1", 0.5)]
                                  + [1.0] * 6, free=free,
                                  bounds={n: (None, None) for n in free})
    residual = problem.residuals_at((np.array([params[n].value for n in
                                               zscanfit.PARAMETER_NAMES]), {}))
    chisqr = float(residual @ residual)
    s2 = chisqr / (problem.n_points - len(free))
    stderr = dict(zip(free, np.sqrt(np.diag(s2 * np.linalg.inv(design.T @ design)))))
    return params, values, stderr, chisqr


@pytest.mark.parametrize("free", [["sigma_0", "sigma_1"], ["sigma_0"]], ids=["two", "one"])
def test_profile_intervals_of_a_linear_toy_are_the_standard_errors(free):
    problem = LineProblem(seed=5)
    params, values, stderr, chisqr = toy_fit(problem, free)
    coords = Coordinates(params, free, logarithmic=False)
    found = profile_intervals(problem, coords, values, stderr, chisqr, sigmas=(1, 2))
    nfree = problem.n_points - len(free)
    for name in free:
        for sigma in (1.0, 2.0):
            low, high = found.intervals[name][sigma]
            scale = math.sqrt(f_distribution.ppf(math.erf(sigma / math.sqrt(2)), 1, nfree))
            assert (values[name] - low) == pytest.approx(scale * stderr[name], rel=2e-3)
            assert (high - values[name]) == pytest.approx(scale * stderr[name], rel=2e-3)
        assert not found.asymmetric(name)


def test_a_curved_models_profile_interval_is_flagged_lopsided():
    class Inverse(LineProblem):
        def residuals_at(self, point):
            spec_pars, _ = point
            return self.y - 1.0 / spec_pars[0] * np.ones_like(self.x)

    problem = Inverse(seed=6)
    problem.y = 1.0 / 0.05 + np.random.default_rng(6).normal(0.0, 4.0, problem.x.shape)
    p0 = 1.0 / problem.y.mean()
    params = zscanfit.make_params([p0, 1.0] + [1.0] * 6, free=["sigma_0"])
    r = problem.residuals_at((np.array([p0] + [1.0] * 7), {}))
    chisqr = float(r @ r)
    stderr = {"sigma_0": p0 * p0 * math.sqrt(chisqr / (problem.n_points - 1) / problem.n_points)}
    found = profile_intervals(problem, Coordinates(params, ["sigma_0"]), {"sigma_0": p0}, stderr,
                              chisqr, sigmas=(1, 2))
    low, high = found.intervals["sigma_0"][1.0]
    assert high - p0 > p0 - low and found.asymmetric("sigma_0") == (
        high - p0 > 1.5 * (p0 - low))


def test_the_fits_profile_intervals_reach_the_report_and_json(demo_scans):
    result = fitted(demo_scans, demo(), start())
    found = result.conf_interval(sigmas=(1,))
    for name in FREE:
        low, high = found.intervals[name][1.0]
        assert low < result.values[name] < high
        assert (high - low) / 2.0 == pytest.approx(result.stderr[name], rel=0.3)
    assert "[[Profile intervals]]" in result.report()
    saved = json.loads(result.to_json())["profile"]
    assert saved["intervals"]["sigma_1"]["1"] == [low, high]


# ---------------------------------------------------------------- global fits
def test_a_global_fit_of_two_files_whose_settings_agree_is_the_pooled_fit(tmp_path):
    exp = demo()
    files = []
    for k, seed in enumerate((41, 42)):
        scans = synthetic_scans(RSA_TRUTH, exp, energies=ENERGIES[k:k + 1], positions=X,
                                noise=0.003, seed=seed, model="whole-beam")
        files.append(write_scan_file(tmp_path / f"f{k}.csv", scans, exp, RSA_TRUTH))
    data = [zscanfit.load_scans(path) for path in files]
    pooled = fitted([s for d in data for s in d.scans], data[0].experiment, start(),
                    center_mm=0.0)
    with quiet():
        joint = zscanfit.fit_global([(d.scans, d.experiment, d.path) for d in data], start(),
                                    n_starts=1, fix_focus=True)
    assert joint.values == pooled.values and joint.chisqr == pooled.chisqr
    assert [d.label for d in joint.data_sets] == [str(p) for p in files]
    done = run_cli("fit", *files, "--free", *FREE, "--starts", "1", "--fix-focus")
    assert done.returncode == 0, done.stderr
    assert "# data sets        = 2" in done.stdout
    assert f"sigma_0:  {joint.values['sigma_0']:.4e}" in done.stdout


def test_a_global_fit_takes_each_files_own_experiment():
    thin, thick = demo(), demo(sample_width=0.2)
    scans_thin = synthetic_scans(RSA_TRUTH, thin, positions=X, model="whole-beam")
    scans_thick = synthetic_scans(RSA_TRUTH, thick, positions=X, model="whole-beam")
    with quiet():
        joint = zscanfit.fit_global([(scans_thin, thin), (scans_thick, thick)],
                                    start(sigma_0=1.3e-17, sigma_1=3e-17), n_starts=1,
                                    fix_focus=True)
    for name in FREE:
        truth = RSA_TRUTH[zscanfit.PARAMETER_NAMES.index(name)]
        assert joint.values[name] == pytest.approx(truth, rel=1e-3)
    np.testing.assert_array_equal(joint.curve(2, scans_thick[0].x_mm), joint.models[2])
