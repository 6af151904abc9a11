# The compiled beam-propagation model for thick samples
# (zscanfit._native.beam_propagation_values) against the independent slow
# reference's converged figures (tests/data/beam_propagation_converged.json:
# every case and aperture, n0 = 1.5 included) within the tolerance and the
# model's own estimate; a linear sample transmits 1 and a Kerr sample keeps
# its energy through the open aperture; its derivatives meet wider central
# differences; its refusals (the thin limit is tested in C++). Relies on NumPy, zscanfit._native
# and the reference modules (their settings).
import json
import math
import pathlib
import sys

import numpy as np
import pytest

from zscanfit import _native

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import beam_propagation_reference as bp  # noqa: E402
from test_closed_aperture_values import _Experiment as _ThinExperiment  # noqa: E402

STORED = HERE.parent / "data" / "beam_propagation_converged.json"
CASES = {c["name"]: c for c in json.loads(STORED.read_text())["cases"]}


class _Experiment(_ThinExperiment):
    """A reference Settings as the compiled door reads an experiment, with
    the sample's refractive index."""

    def __init__(self, settings):
        super().__init__(settings)
        self.refractive_index = settings.refractive_index


def settings_of(case):
    return bp.Settings(**{k: (tuple(v) if isinstance(v, list) else v)
                          for k, v in case["settings"].items()})


def thick(settings, x_mm, energy, aperture=1.0, tolerance=1e-5, **extra):
    """(values, errors, stats) of one scan of the compiled model."""
    x = np.atleast_1d(np.asarray(x_mm, dtype=float))
    optics = {name: getattr(settings, name) for name in ("beta", "n2", "sigma_r1", "sigma_r3")}
    optics.update(extra)
    return _native.beam_propagation_values(
        x, [x.size], [energy], [aperture], np.array(settings.spec_pars, dtype=float),
        _Experiment(settings), tolerance, **optics)


# ----------------------------------------------------- converged figures

@pytest.mark.parametrize("name", sorted(CASES))
def test_converged_reference_within_tolerance_and_own_estimate(name):
    case = CASES[name]
    settings = settings_of(case)
    for aperture in case["apertures"]:
        values, errors, stats = thick(settings, case["positions_mm"], case["pulse_energy"],
                                      aperture["S"])
        deviation = np.abs(values - np.array(aperture["values_linear"]))
        assert deviation.max() <= 1e-5, aperture["label"]
        assert np.all(deviation <= errors + aperture["accuracy"]), aperture["label"]
        assert errors.max() <= 1e-5 and stats["unconverged_points"] == 0, aperture["label"]


# ------------------------------------------------------------- identities

def test_linear_sample_transmits_one_and_kerr_keeps_the_energy():
    # No absorber population and no instantaneous response: P = P_lin through
    # any aperture. Kerr refraction alone only moves light: the open aperture
    # passes all of it (the split step's factors are pure phases and the
    # transform is orthogonal, so to rounding).
    kerr = settings_of(CASES["kerr_z0"])
    linear = kerr.replace(n2=0.0)
    for aperture in (1.0, 0.3):
        values, _, _ = thick(linear, [-3.0, 0.0, 2.0], 1e-5, aperture)
        np.testing.assert_array_equal(values, 1.0)
    values, errors, _ = thick(kerr.replace(refractive_index=1.4), [-3.0, -0.4, 0.0, 1.0],
                              2e-5)
    np.testing.assert_allclose(values, 1.0, rtol=0.0, atol=1e-12)


def test_derivatives_meet_wider_central_differences():
    # The door's slopes (differences at a step of 1e-3, evaluations 100 times
    # tighter) against differences at a step of 3e-2 of the value: the two
    # agree to the wider step's second-order remainder.
    demo = settings_of(CASES["rsa_1mm"])
    x = np.array([-1.0, 0.5])
    _, _, slopes, _ = _native.beam_propagation_values(
        x, [2], [1.5e-6], [1.0], np.array(demo.spec_pars, dtype=float), _Experiment(demo),
        1e-5, derivatives=["sigma_1", "center_mm"])
    pars = np.array(demo.spec_pars, dtype=float)
    step = 3e-2 * pars[1]
    moved = np.array([0.0, step, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0])
    up = thick(demo.replace(spec_pars=tuple(pars + moved)), x, 1.5e-6, tolerance=1e-7)[0]
    down = thick(demo.replace(spec_pars=tuple(pars - moved)), x, 1.5e-6, tolerance=1e-7)[0]
    np.testing.assert_allclose(slopes[0], (up - down) / (2.0 * step), rtol=2e-3)
    shift = 2e-2
    ahead = thick(demo, x - shift, 1.5e-6, tolerance=1e-7)[0]
    behind = thick(demo, x + shift, 1.5e-6, tolerance=1e-7)[0]
    np.testing.assert_allclose(slopes[1], (ahead - behind) / (2.0 * shift), rtol=2e-3,
                               atol=1e-4)


@pytest.mark.parametrize("change", [dict(refractive_index=0.0), dict(refractive_index=math.nan),
                                    dict(aperture=0.0), dict(tolerance=1e-12),
                                    dict(aperture_distance=1e-3)])
def test_refuses_what_breaks_a_rule(change):
    settings = settings_of(CASES["rsa_1mm"])
    index = change.pop("refractive_index", settings.refractive_index)
    experiment = _Experiment(settings)
    experiment.refractive_index = index
    aperture = change.pop("aperture", 1.0)
    tolerance = change.pop("tolerance", 1e-5)
    with pytest.raises(ValueError, match="beam_propagation_transmittance"):
        _native.beam_propagation_values(
            np.array([0.0]), [1], [1e-6], [aperture], np.array(settings.spec_pars),
            experiment, tolerance, **change)
