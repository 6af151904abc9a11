# A result in a notebook: the DataFrame holds the values, errors, combined
# uncertainties and bounds of every parameter (no relative error for a
# position), a missing pandas names its extra, the HTML shows the table,
# the budget, the warnings and the figure as a PNG; a setting whose two
# sides move a value differently (as refits at both ends confirm) is shown
# as +a/-b and warned about; the figure names the experiment. Relies on the
# installed zscanfit and the shared helpers.
import base64
import dataclasses
import re
import sys

import numpy as np
import pytest

import zscanfit
from zscanfit import texts
from zscanfit.fitting.experiment_summary import experiment_summaries
from zscanfit.fitting.notebook import COLUMNS
from zscanfit.fitting.plot import value_text

from conftest import RSA_TRUTH, experiment, quiet, synthetic_scans

FREE = ["sigma_0", "sigma_1"]
W0_SPREAD = "10%"   # enough for sigma_1 to depend on w0 in a curved way


def fitted(exp, **options):
    with quiet():
        return zscanfit.fit(synthetic_scans(noise=0.003, seed=12), exp,
                            zscanfit.make_params(RSA_TRUTH, free=FREE), n_starts=1,
                            model="on-axis", **options)


@pytest.fixture(scope="module")
def budgeted():
    return fitted(experiment(uncertainties={"w0": W0_SPREAD}))


def test_the_dataframe_holds_every_parameter_with_its_uncertainties(budgeted):
    frame = budgeted.to_dataframe()
    assert tuple(frame.columns) == COLUMNS
    assert list(frame.index) == list(budgeted.values)
    for name in budgeted.free:
        row = frame.loc[name]
        assert row["value"] == budgeted.values[name] and row["stderr"] == budgeted.stderr[name]
        assert row["free"]
    for name in FREE:
        assert frame.loc[name, "combined_uncertainty"] == budgeted.error_budget.combined[name]
        assert frame.loc[name, "relative_error"] == budgeted.stderr[name] / \
            budgeted.values[name]
    assert np.isnan(frame.loc["center_mm", "relative_error"])     # a position
    assert np.isnan(frame.loc["tau_10", "stderr"]) and not frame.loc["tau_10", "free"]
    assert (frame.loc["sigma_0", "min"], frame.loc["sigma_0", "unit"]) == (0.0, "cm^2")


def test_without_pandas_the_dataframe_names_its_extra(budgeted, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError) as caught:
        budgeted.to_dataframe()
    assert str(caught.value) == texts.PANDAS_MISSING
    assert "kesp_wrapper[pandas]" in str(caught.value)


def test_the_notebook_view_shows_values_budget_warnings_and_figure(budgeted):
    page = budgeted._repr_html_()
    assert "<table>" in page and f"{budgeted.values['sigma_1']:.6g}" in page
    assert texts.HTML_BUDGET in page and "from +/- 2e-06" in page
    for text in budgeted.warnings:
        assert text.replace("'", "&#x27;") in page
    (png,) = re.findall(r'src="data:image/png;base64,([^"]+)"', page)
    assert base64.b64decode(png).startswith(b"\x89PNG\r\n\x1a\n")


def test_a_curved_setting_shows_both_sides_as_refits_do(budgeted):
    (contribution,) = budgeted.error_budget.contributions
    assert budgeted.error_budget.lopsided(contribution, "sigma_1")
    up, down = contribution.up["sigma_1"], contribution.down["sigma_1"]
    u = contribution.uncertainty
    refits = [fitted(experiment(w0=experiment().w0 + sign * u), fix_focus=False)
              for sign in (+1, -1)]
    by_refits = [r.values["sigma_1"] - budgeted.values["sigma_1"] for r in refits]
    # The refits move sigma_1 the same ways, and as unequally.
    assert np.sign(up) == np.sign(by_refits[0]) and np.sign(down) == np.sign(by_refits[1])
    assert max(abs(v) for v in by_refits) > 4.0 / 3.0 * min(abs(v) for v in by_refits)
    value = budgeted.values["sigma_1"]
    (warning,) = [w for w in budgeted.warnings if w.startswith("w0: ") and "of sigma_1" in w]
    assert warning.startswith(f"w0: {100 * up / value:+.2g} % / {100 * down / value:+.2g} % "
                              "of sigma_1")
    line = [x for x in budgeted.report().splitlines() if "(the two sides differ)" in x]
    assert line and f"+{max(up, down):.3g}/-{-min(up, down):.3g}" in line[0]
    back = zscanfit.FitResult.from_json(budgeted.to_json())
    assert back.report() == budgeted.report()


def test_the_figure_names_the_experiment(budgeted):
    text = value_text(budgeted)
    # F0 = 2E / (pi w0^2): 0.0796 J/cm^2 at 0.5 uJ in a 20 um waist.
    assert ("E = 0.5, 1.5 $\\mu$J; $z_0$ = 2.36 mm\n$F_0$ = 0.0796, 0.239 J/cm$^2$ at the "
            "focus") in text
    # Once an experiment states its refractive index, n0 z0 is shown too.
    (summary,) = experiment_summaries(budgeted)
    inside = dataclasses.replace(summary, settings=dict(summary.settings, refractive_index=1.5))
    assert inside.rayleigh_in_sample_mm == 1.5 * summary.rayleigh_range_mm
    assert "$z_0$ = 2.36 mm, $n_0 z_0$ = 3.54 mm\n" in inside.compact_text()
    assert "n0 z0 = 3.543 mm" in "\n".join(inside.report_lines())
