# The linear spectrum as input: the concentration (mol/L) gives the
# populations and the absorbance or the extinction coefficient sigma_0, by
# the textbook identities (sigma = 3.82e-21 eps cm^2; A = eps c L); a fit
# with them equals the fit with the converted values bit for bit; a free
# sigma_0 keeps alpha0 of the absorbance, the concentration following it;
# their uncertainties enter the error budget as refits say; they travel in
# files and JSON. Relies on the installed zscanfit and the shared helpers.
import dataclasses
import math
import pickle

import pytest

import zscanfit
from zscanfit import texts
from zscanfit.inputs.linear_absorption import AVOGADRO
from zscanfit.inputs.parameters import read_params

from conftest import COARSE, RSA_TRUTH, quiet, synthetic_scans, write_scan_file

C, A = 5e-4, 0.2                        # mol/L and decadic absorbance of the 1 mm cell
N0 = C * AVOGADRO / 1000.0               # cm^-3
SIGMA = math.log(10.0) * A / (N0 * 0.1)  # cm^2
TRUTH = (SIGMA,) + RSA_TRUTH[1:]


def linear(**changes):
    return zscanfit.Experiment(**{**COARSE, "populations": None, "concentration": C,
                                  "absorbance": A, **changes})


def plain():
    return zscanfit.Experiment(**dict(COARSE, populations=[N0, 0.0, 0.0, 0.0, 0.0]))


@pytest.fixture(scope="module")
def scans():
    return synthetic_scans(TRUTH, plain(), noise=0.003, seed=11)


def fitted(scans, exp, free, **options):
    with quiet():
        return zscanfit.fit(scans, exp, zscanfit.make_params(TRUTH, free=free), n_starts=1,
                            model="on-axis", fix_focus=True, **options)


# ---------------------------------------------------------------- conversions
def test_the_conversions_follow_the_textbook_identities():
    # 1 mol/L is N_A / 1000 molecules per cm^3.
    assert zscanfit.Experiment(**dict(COARSE, populations=None, concentration=1.0)) \
        .populations == (6.02214076e20, 0.0, 0.0, 0.0, 0.0)
    # sigma (cm^2) = 3.8235e-21 eps (L mol^-1 cm^-1).
    eps = 1.0e4
    by_eps = zscanfit.Experiment(**dict(COARSE, extinction=eps)).linear_sigma_0
    assert by_eps == pytest.approx(3.8235e-21 * eps, rel=1e-4)
    # Beer-Lambert: the absorbance eps c L gives the same sigma_0.
    by_a = zscanfit.Experiment(**dict(COARSE, populations=None, concentration=C,
                                      absorbance=eps * C * COARSE["sample_width"]))
    assert by_a.linear_sigma_0 == pytest.approx(by_eps, rel=1e-12)
    assert by_a.ground_concentration == C


@pytest.mark.parametrize("changes, text", [
    (dict(concentration=1e-4), texts.POPULATIONS_AND_CONCENTRATION),
    (dict(populations=None), texts.NO_POPULATIONS),
    (dict(absorbance=0.1, extinction=1e4), texts.ABSORBANCE_AND_EXTINCTION),
    (dict(populations=[0.0, 1e17, 0.0, 0.0, 0.0], absorbance=0.1), texts.ABSORBANCE_WITHOUT_N0),
    (dict(uncertainties={"absorbance": 0.01}),
     texts.UNCERTAINTY_WITHOUT_SETTING.format(name="absorbance")),
    (dict(populations=None, concentration=1e-4,
          uncertainties={"concentration": "3%", "populations": "3%"}),
     texts.UNCERTAINTY_POPULATIONS_TWICE),
], ids=["both", "neither", "two-spectra", "no-ground-state", "uncertainty-alone", "twice"])
def test_contradictory_linear_settings_are_refused(changes, text):
    with pytest.raises(ValueError) as caught:
        zscanfit.Experiment(**dict(COARSE, **changes))
    assert str(caught.value) == text


# ---------------------------------------------------------------- fits
def test_a_fit_with_concentration_and_absorbance_is_the_converted_fit(scans):
    given = fitted(scans, linear(), ["sigma_1"])
    by_hand = fitted(scans, plain(), ["sigma_1"])
    assert given.values == by_hand.values and given.chisqr == by_hand.chisqr
    assert given.stderr == by_hand.stderr
    assert given.values["sigma_0"] == SIGMA
    assert "linear spectrum    = absorbance 0.2: sigma_0 = " in given.report()


def test_a_free_sigma_0_keeps_alpha0_and_fits_the_concentration(scans):
    result = fitted(scans, linear(), ["sigma_0", "sigma_1"])
    sigma, conc = result.values["sigma_0"], result.params["concentration"].value
    # alpha0 = sigma_0 N0 = ln 10 A / L holds at the fit.
    assert sigma * conc == pytest.approx(SIGMA * C, rel=1e-12)
    assert result.params["concentration"].stderr / conc == pytest.approx(
        result.stderr["sigma_0"] / sigma, rel=1e-12)
    assert result.experiment.concentration == pytest.approx(conc, rel=1e-12)
    # The curve is the fitted model: the populations follow sigma_0.
    assert (result.curve(0, scans[0].x_mm) == result.models[0]).all()
    # The tie is the one expression read_params takes (and leaves to the fit).
    again = read_params(result.params)
    assert "concentration" not in again
    result.params["sigma_1"].expr = "2 * sigma_0"
    with pytest.raises(ValueError, match="constraints by expression are not supported"):
        read_params(result.params)


def test_an_extinction_coefficient_is_freed_with_sigma_0(scans):
    eps = SIGMA * AVOGADRO / (1000.0 * math.log(10.0))
    exp = zscanfit.Experiment(**dict(COARSE, populations=[N0, 0, 0, 0, 0], extinction=eps))
    fixed = fitted(scans, exp, ["sigma_1"])
    assert fixed.values["sigma_0"] == pytest.approx(SIGMA, rel=1e-12)
    free = fitted(scans, exp, ["sigma_0", "sigma_1"])
    assert free.params["extinction"].value == pytest.approx(
        free.values["sigma_0"] * AVOGADRO / (1000.0 * math.log(10.0)), rel=1e-12)
    assert free.experiment.populations == exp.populations


@pytest.mark.parametrize("setting, uncertainty", [("absorbance", 0.01),
                                                  ("concentration", "4%")])
def test_the_linear_uncertainties_are_what_refits_give(scans, setting, uncertainty):
    exp = linear(uncertainties={setting: uncertainty})
    result = fitted(scans, exp, ["sigma_1"])
    (contribution,) = result.error_budget.contributions
    u = contribution.uncertainty
    moved = [fitted(scans, linear(**{setting: getattr(exp, setting) + sign * u}), ["sigma_1"])
             for sign in (+1, -1)]
    by_refits = (moved[0].values["sigma_1"] - moved[1].values["sigma_1"]) / 2.0
    assert contribution.effects["sigma_1"] == pytest.approx(by_refits, rel=0.10)
    # With sigma_0 free the absorbance keeps alpha0, so the concentration is
    # the fit's and its uncertainty contributes nothing.
    tied = fitted(scans, linear(uncertainties={"concentration": "4%"}), ["sigma_0", "sigma_1"])
    assert tied.error_budget.contributions == ()


# ---------------------------------------------------------------- files and JSON
def test_the_linear_settings_travel_in_files_and_json(scans, tmp_path):
    exp = linear(uncertainties={"absorbance": 0.01})
    path = write_scan_file(tmp_path / "linear.csv", scans, plain(), TRUTH)
    text = path.read_text().replace(f"# populations = {N0!r} 0.0 0.0 0.0 0.0",
                                    f"# concentration = {C!r}\n# absorbance = {A!r} +- 0.01")
    path.write_text(text)
    data = zscanfit.load_scans(path)
    assert data.experiment == exp
    assert zscanfit.Experiment.from_settings(exp.as_settings()) == exp
    assert "populations" not in exp.as_settings()
    result = fitted(scans, exp, ["sigma_0", "sigma_1"])
    back = zscanfit.FitResult.from_json(result.to_json())
    assert back.report() == result.report()
    assert back.params["concentration"].expr == result.params["concentration"].expr
    assert zscanfit.Experiment(**dict(dataclasses.asdict(exp))) == exp   # replace() passes both
    copy = pickle.loads(pickle.dumps(result))       # the tie pickles (batches on clusters)
    assert copy.params["concentration"].value == result.params["concentration"].value
