# The compiled closed-aperture model (zscanfit._native.closed_aperture_values)
# against physics and the independent slow reference: the converged figures
# of tests/data/closed_aperture_converged.json within the tolerance and the
# model's own estimate (at 1e-5 and 1e-7); the Kerr signal against its
# Gaussian-decomposition series at small and large phase; the small-phase
# on-axis formula with a second-order remainder; the peak-valley separation
# of 1.717 z0 and the 0.406 (1 - S)^0.25 <dPhi0> rule; two-photon
# absorption's open-aperture series; self-focusing puts the valley first,
# refraction does nothing to the open aperture, nothing nonlinear gives T =
# 1; and the refusals. Relies on NumPy, zscanfit._native and the reference
# module (its settings and closed forms).
import math
import pathlib
import sys

import numpy as np
import pytest

from zscanfit import _native

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import closed_aperture_reference as ref  # noqa: E402
from test_closed_aperture_reference import STORED, stored_cases  # noqa: E402

SILICA = ref.Settings(**ref.FUSED_SILICA)
Z0_MM = SILICA.rayleigh_range * 1e3
CASES = stored_cases(STORED)


class _Experiment:
    """A reference Settings as the compiled door reads an experiment."""

    def __init__(self, settings):
        for name in ("populations", "wavelength", "w0", "M2", "tau", "sample_width"):
            setattr(self, name, getattr(settings, name))
        self.t_slices = self.z_slices = 10


def model(settings, x_mm, energy, aperture, tolerance=1e-5, distance_mm=math.inf, **optics):
    """(values, errors, stats) of one scan of the compiled model; the
    sample's optics from the settings unless given."""
    x = np.atleast_1d(np.asarray(x_mm, dtype=float))
    pars = {name: getattr(settings, name) for name in ("beta", "n2", "sigma_r1", "sigma_r3")}
    pars.update(optics)
    return _native.closed_aperture_values(
        x, [x.size], [energy], [aperture], np.array(settings.spec_pars, dtype=float),
        _Experiment(settings), tolerance,
        aperture_distance=None if math.isinf(distance_mm) else distance_mm * 1e-3, **pars)


def energy_for_phase(settings, phase):
    return phase / settings.kerr_phase(1.0)


def settings_of(case):
    s = dict(case["settings"])
    return ref.Settings(**{k: (tuple(v) if isinstance(v, list) else v) for k, v in s.items()})


# ----------------------------------------------------- converged figures

@pytest.mark.parametrize("tolerance", [1e-5, 1e-7])
@pytest.mark.parametrize("name", sorted(CASES))
def test_converged_reference_within_tolerance_and_own_estimate(name, tolerance):
    case = CASES[name]
    settings = settings_of(case)
    for aperture in case["apertures"]:
        values, errors, _ = model(settings, case["positions_mm"], case["pulse_energy"],
                                  aperture["S"], tolerance, aperture["distance_mm"])
        deviation = np.abs(values - np.array(aperture["values_linear"]))
        assert deviation.max() <= tolerance, aperture["label"]
        assert np.all(deviation <= errors), aperture["label"]
        assert errors.max() <= tolerance, aperture["label"]


@pytest.mark.parametrize("phase", [1.0, math.pi])
def test_kerr_signal_meets_the_gaussian_decomposition(phase):
    energy = energy_for_phase(SILICA, phase)
    x_mm = np.array([-3.0, -1.0, -0.4, 0.0, 0.6, 1.5, 6.0]) * Z0_MM
    for S in (0.01, 0.4):
        aperture = ref.Aperture(S)
        series = ref.kerr_series(SILICA, x_mm, energy, aperture)
        values, errors, _ = model(SILICA, x_mm, energy, S, 1e-8)
        assert np.all(np.abs(values - series) <= errors + 1e-12), S
        assert np.abs(values - 1.0).max() > 0.05 * phase


# ------------------------------------------------------ Kerr closed forms

def test_small_phase_on_axis_follows_the_first_order_formula():
    # T = 1 + 4 <dPhi0> x / ((x^2 + 9)(x^2 + 1)), <dPhi0> = dPhi0 / sqrt(2)
    # for the Gaussian pulse, S -> 0; the remainder is second order.
    x = np.array([-3.0, -0.86, -0.3, 0.5, 0.86, 2.0])
    remainders = []
    for phase in (0.02, 0.01):
        values, _, _ = model(SILICA, x * Z0_MM, energy_for_phase(SILICA, phase), 1e-4, 1e-9)
        first = 4.0 * (phase / math.sqrt(2.0)) * x / ((x ** 2 + 9.0) * (x ** 2 + 1.0))
        remainders.append(values - 1.0 - first)
        assert np.all(np.abs(remainders[-1]) < 0.5 * phase ** 2)
        assert values[1] < 1.0 < values[4]
    ratio = np.linalg.norm(remainders[0]) / np.linalg.norm(remainders[1])
    assert ratio == pytest.approx(4.0, rel=0.03)


def extremum(energy, S, x_guess, lowest):
    """Position (units of z0) and value of the valley or peak near x_guess:
    a parabola through the best of samples 0.05 z0 apart and its neighbours."""
    x = x_guess + 0.05 * np.arange(-10, 11)
    t, _, _ = model(SILICA, x * Z0_MM, energy, S, 1e-8)
    i = int(np.argmin(t) if lowest else np.argmax(t))
    assert 0 < i < x.size - 1
    a, b, c = t[i - 1:i + 2]
    shift = 0.5 * (a - c) / (a - 2.0 * b + c)
    return x[i] + 0.05 * shift, b - 0.25 * (a - c) * shift


def test_peak_valley_separation_is_1_717_z0():
    energy = energy_for_phase(SILICA, 0.05)
    valley, _ = extremum(energy, 0.01, -0.86, lowest=True)
    peak, _ = extremum(energy, 0.01, 0.86, lowest=False)
    assert peak - valley == pytest.approx(1.717, rel=3e-3)


@pytest.mark.parametrize("phase", [0.5, math.pi])
def test_peak_valley_height_follows_the_rule_of_thumb(phase):
    energy = energy_for_phase(SILICA, phase)
    for S in (0.01, 0.1, 0.5):
        _, low = extremum(energy, S, -0.85, lowest=True)
        _, high = extremum(energy, S, 0.85, lowest=False)
        rule = 0.406 * (1.0 - S) ** 0.25 * phase / math.sqrt(2.0)
        assert high - low == pytest.approx(rule, rel=0.04), S


# ------------------------------------------------ two-photon absorption

def test_open_two_photon_absorption_meets_its_series():
    host = ref.Settings(**ref.TWO_PHOTON_HOST)
    x_mm = np.array([-20.0, -2.0, -0.5, 0.0, 0.3, 1.0, 5.0])
    energy = 0.35e-6  # beta I0 L = 0.87 at the focus
    series = ref.two_photon_open_series(host, x_mm, energy)
    for tolerance in (1e-5, 1e-9):
        values, errors, _ = model(host, x_mm, energy, 1.0, tolerance)
        assert np.all(np.abs(values - series) <= np.minimum(errors, tolerance) + 1e-13)
    assert series.min() < 0.8


# ------------------------------------------------ signs and identities

def test_self_focusing_puts_the_valley_before_the_focus():
    x = np.array([-0.86, 0.86]) * Z0_MM
    energy = energy_for_phase(SILICA, 0.3)
    focusing, _, _ = model(SILICA, x, energy, 0.1)
    defocusing, _, _ = model(SILICA, x, energy, 0.1, n2=-SILICA.n2)
    assert focusing[0] < 1.0 < focusing[1]
    assert defocusing[0] > 1.0 > defocusing[1]


def test_refraction_changes_nothing_through_the_open_aperture():
    case = CASES["rsa_refraction_high"]
    settings = settings_of(case)
    x = case["positions_mm"]
    without, errors, _ = model(settings, x, case["pulse_energy"], 1.0, sigma_r1=0.0,
                               sigma_r3=0.0)
    for optics in ({}, {"n2": 3e-14}, {"sigma_r1": -4e-17, "sigma_r3": 2e-17}):
        values, _, _ = model(settings, x, case["pulse_energy"], 1.0, **optics)
        assert np.all(np.abs(values - without) <= 2e-5)
    assert without.min() < 0.7


@pytest.mark.parametrize("S", [0.01, 0.3, 1.0])
def test_nothing_nonlinear_transmits_the_linear_signal(S):
    x = [-30.0, -1.0, 0.0, 0.4, 10.0]
    absorber = settings_of(CASES["rsa_refraction_low"])
    for settings, energy in ((SILICA, 1e-6), (absorber, 0.0)):
        values, _, _ = model(settings, x, energy, S, n2=0.0, beta=0.0, sigma_r1=0.0,
                             sigma_r3=0.0)
        np.testing.assert_allclose(values, 1.0, rtol=0, atol=1e-14)


def test_a_distant_aperture_sees_the_far_field():
    energy = energy_for_phase(SILICA, 1.0)
    x = [-2.0, 0.0, 3.0]
    far, errors, _ = model(SILICA, x, energy, 0.1, 1e-7)
    distant, _, _ = model(SILICA, x, energy, 0.1, 1e-7, distance_mm=1e7)
    np.testing.assert_allclose(distant, far, rtol=0, atol=1e-6)


@pytest.mark.parametrize("change", [{"aperture": 0.0}, {"aperture": 1.5}, {"beta": -1e-9},
                                    {"distance_mm": 5.0}, {"tolerance": 1e-12}])
def test_refuses_what_breaks_a_rule(change):
    args = dict(aperture=0.1, tolerance=1e-5, distance_mm=math.inf)
    optics = {}
    for key, value in change.items():
        (optics if key == "beta" else args)[key] = value
    with pytest.raises(ValueError, match="closed_aperture_transmittance"):
        model(SILICA, [-10.0, 0.0, 10.0], 1e-6, args["aperture"], args["tolerance"],
              args["distance_mm"], **optics)


# ------------------------------------------------------------ derivatives

def test_derivatives_follow_the_small_phase_scaling():
    # At small phase T - 1 is first order in n2 off the focus (dT/dn2 = (T -
    # 1) / n2) and second order at it (2 (T - 1) / n2); the focus moves the
    # signal: dT/dcenter = -dT/dz.
    x = np.array([-2.0, -0.86, 0.0, 0.86, 3.0]) * Z0_MM
    energy = energy_for_phase(SILICA, 0.01)
    values, _, slopes, _ = _native.closed_aperture_values(
        x, [x.size], [energy], [1e-4], np.array(SILICA.spec_pars), _Experiment(SILICA), 1e-8,
        n2=SILICA.n2, derivatives=["n2", "center_mm"])
    expected = (values - 1.0) / SILICA.n2 * np.array([1.0, 1.0, 2.0, 1.0, 1.0])
    np.testing.assert_allclose(slopes[0], expected, rtol=0.01)
    h = 1e-3 * Z0_MM
    up, _, _ = model(SILICA, x + h, energy, 1e-4, 1e-10)
    down, _, _ = model(SILICA, x - h, energy, 1e-4, 1e-10)
    np.testing.assert_allclose(slopes[1], -(up - down) / (2.0 * h), rtol=0.01, atol=1e-7)
    with pytest.raises(ValueError, match="no derivative"):
        _native.closed_aperture_values(
            x, [x.size], [energy], [1e-4], np.array(SILICA.spec_pars), _Experiment(SILICA),
            1e-5, derivatives=["kappa"])
