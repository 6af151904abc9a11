# The pulse's shape in time: a sech^2 pulse (tau its intensity FWHM, the
# pulse carrying exactly its energy) through the whole-beam model against
# the closed form of a fast two-level saturable absorber integrated over
# that pulse (which a wrong energy or width would miss), clearly apart from
# the Gaussian pulse's value; the shape as
# a setting of the experiment, a data file and the command line, in the
# report and the JSON, and refused by the on-axis model.
import json

import numpy as np
import pytest

import zscanfit

import whole_beam_reference as ref
from conftest import quiet, run_cli, synthetic_scans, write_scan_file

TWO_LEVEL = ref.DEMO.replace(populations=(1e17, 0.0, 0.0, 0.0, 0.0),
                             spec_pars=(4e-17, 0.0, 0.0, 1e-12, np.inf, 1e-12, 1e-5, 1e-12))
POSITIONS = np.array([0.0, 1.0, 2.0, 5.0])
ENERGY = 2.5e-3     # ten times the saturation intensity at the focus


def experiment_of(settings, **changes):
    return zscanfit.Experiment(wavelength=settings.wavelength, w0=settings.w0, M2=settings.M2,
                               tau=settings.tau, sample_width=settings.sample_width,
                               populations=list(settings.populations), **changes)


@pytest.mark.parametrize("shape", ["gaussian", "sech2"])
def test_a_fast_two_level_absorber_meets_its_closed_form_over_either_pulse(shape):
    closed, error = ref.two_level_quasi_steady(TWO_LEVEL, POSITIONS, ENERGY, with_error=True,
                                               pulse_shape=shape)
    assert np.all(error < 1e-9)
    values, estimates = zscanfit.model(experiment_of(TWO_LEVEL, pulse_shape=shape),
                                       list(TWO_LEVEL.spec_pars), POSITIONS, ENERGY,
                                       tolerance=1e-7, with_error=True)
    # The rate equations lag the quasi-steady limit at second order in
    # tau_10 / tau only (below 1e-7 here).
    assert np.all(np.abs(values - closed) <= 2e-7 + estimates)
    other = ref.two_level_quasi_steady(TWO_LEVEL, POSITIONS, ENERGY,
                                       pulse_shape="gaussian" if shape == "sech2" else "sech2")
    assert np.max(np.abs(values - other)) > 1e-3       # the shape matters at this saturation


def test_the_shape_as_a_setting(tmp_path):
    exp = experiment_of(TWO_LEVEL, pulse_shape=" SECH2 ")
    assert exp.pulse_shape == "sech2"
    assert exp.as_settings()["pulse_shape"] == "sech2"
    assert "pulse_shape" not in experiment_of(TWO_LEVEL).as_settings()
    with pytest.raises(ValueError, match=r"pulse_shape must be one of 'gaussian', 'sech2'; "
                                         r"got 'lorentzian'"):
        experiment_of(TWO_LEVEL, pulse_shape="lorentzian")
    with pytest.raises(ValueError, match=r"the on-axis model \(fit_zscan's\) samples its own "
                                         r"Gaussian pulse and cannot take pulse_shape='sech2'"):
        zscanfit.model(exp, list(TWO_LEVEL.spec_pars), np.linspace(-5.0, 5.0, 11), ENERGY,
                       model="on-axis")
    # Read back from a data file as written, and from the command line.
    with quiet():
        scans = synthetic_scans(list(TWO_LEVEL.spec_pars), exp=exp, energies=(1e-4,),
                                positions=np.linspace(-10.0, 10.0, 21), model="whole-beam")
    path = write_scan_file(tmp_path / "sech.csv", scans, exp, list(TWO_LEVEL.spec_pars))
    assert zscanfit.load_scans(path).experiment.pulse_shape == "sech2"
    plain = write_scan_file(tmp_path / "plain.csv", scans, experiment_of(TWO_LEVEL),
                            list(TWO_LEVEL.spec_pars))
    out = tmp_path / "fit.json"
    done = run_cli("fit", plain, "--free", "sigma_0", "--fix-focus", "--set", "pulse_shape=sech2",
                   "--json", out)
    assert done.returncode == 0, done.stderr
    assert "pulse shape = sech2 (tau the intensity FWHM)" in done.stdout
    saved = json.loads(out.read_text())
    assert saved["experiment"]["pulse_shape"] == "sech2"
    # The data were made with the sech^2 pulse: the fit finds sigma_0 again.
    assert saved["values"]["sigma_0"] == pytest.approx(4e-17, rel=1e-4)
    refused = run_cli("fit", plain, "--free", "sigma_0", "--set", "pulse_shape=square")
    assert refused.returncode == 2
    assert "--set pulse_shape=square: pulse_shape must be one of" in refused.stderr
