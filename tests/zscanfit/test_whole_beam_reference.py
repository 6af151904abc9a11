# Physics checks of the slow whole-beam reference (whole_beam_reference.py)
# and of the converged figures it stored (tests/data/whole_beam_converged.json):
# the incident pulse carries the pulse energy and the time window loses none
# of it; without cross-sections nothing is absorbed; the populations keep
# their sum, follow the pumping law of a pulse without decay and sit at the
# adiabatic value of a picosecond level; the dark-stationarity convention
# makes the window's start irrelevant, keeps every level between zero and
# the total, differs from a constant compensation by no more than the drained
# levels lost and not at all for a true dark steady state, and refuses a
# drained level that starts empty; a linear absorber gives
# exp(-(s0 N0 + s1 N1 + s2 N3) L) and a deviation proportional to tau_21;
# the fast two-level absorber meets its quasi-steady closed form; the stored
# values are met by the live code at a cheap resolution within the error that
# resolution claims, and only with the lag of the picosecond levels behind
# the flux. Relies on NumPy and the reference module only.
import json
import math
import pathlib
import sys

import numpy as np
import pytest

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import whole_beam_reference as ref  # noqa: E402

# Pure Python (no compiled code): the Makefile runs these on the reference
# CPython only.
pytestmark = pytest.mark.pure_reference

STORED = HERE.parent / "data" / "whole_beam_converged.json"
# Cheap resolutions: without the lag correction of the fast levels, and with a
# coarse one.
CHEAP = ref.Resolution(time_steps=70, depth_steps=2, panels=2, nodes=6, extra_nodes=2, lag=False)
CHEAP_LAG = ref.Resolution(time_steps=70, depth_steps=2, panels=2, nodes=6, extra_nodes=2,
                           lag_resolved=3.2, lag_window=2.0, lag_depth_steps=2, lag_nodes=2)


def stored_case(name):
    cases = json.loads(STORED.read_text())["cases"]
    return next(c for c in cases if c["name"] == name)


def settings_of(record):
    return ref.Settings(**record["settings"])


# ------------------------------------------------------------ the pulse

@pytest.mark.parametrize("changes, z_mm", [({}, 0.0), ({}, 3.0), (dict(M2=1.7, tau=1e-13), -7.5)])
def test_incident_pulse_carries_the_pulse_energy(changes, z_mm):
    s = ref.DEMO.replace(**changes)
    energy = 1.3e-6
    peak = ref.peak_intensity(s, energy, z_mm)
    w_cm = float(s.beam_radius(z_mm)) * 100.0
    x, wx = np.polynomial.legendre.leggauss(80)
    r = 3.0 * w_cm * (x + 1.0)                        # 0 ... 6 w
    radial = (wx * 3.0 * w_cm * np.exp(-2.0 * r ** 2 / w_cm ** 2) * 2.0 * np.pi * r).sum()
    t = np.linspace(-6.0, 6.0, 2001) * s.tau
    pulse = np.exp(-4.0 * math.log(2.0) * (t / s.tau) ** 2)
    temporal = (pulse[1:] + pulse[:-1]).sum() * 0.5 * (t[1] - t[0])
    assert peak * radial * temporal == pytest.approx(energy, rel=1e-12)


def test_time_window_keeps_the_whole_pulse():
    # The mid-point sum over the window against the full time integral.
    s = ref.DEMO
    for steps in (70, 280):
        t, dt = ref._time_nodes(s, ref.Grid(steps, 1))
        fluence = np.exp(-4.0 * math.log(2.0) * (t / s.tau) ** 2).sum() * dt
        assert fluence == pytest.approx(s.tau * math.sqrt(math.pi / (4.0 * math.log(2.0))),
                                        rel=1e-14)


# ------------------------------------------------------- populations

def gaussian_history(s, peak, steps=560, window=3.5):
    t, dt = ref._time_nodes(s, ref.Grid(steps, 1, window))
    return t, dt, peak * np.exp(-4.0 * math.log(2.0) * (t / s.tau) ** 2)


def test_populations_keep_their_sum_and_sign():
    s = ref.DEMO.replace(populations=(2e17, 5e16, 0.0, 5e16, 0.0),
                         spec_pars=(1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 3e-9, 1e-12))
    _, dt, intensity = gaussian_history(s, np.array([[1e6], [5e7], [2e9]]))
    pops = ref.population_history(s, intensity, dt)
    total = sum(s.populations)
    assert np.abs(pops.sum(axis=-1) / total - 1.0).max() < 1e-12
    assert pops.min() > -1e-12 * total
    assert pops[2, :, 0].min() < 0.05 * total         # the strongest pulse empties level 0


def test_pumping_without_decay_follows_the_exponential_law():
    # No decay and no excited-state absorption: N0 = N0(0) exp(-sigma_0 F / h nu)
    # after the pulse, F the fluence.
    s = ref.DEMO.replace(spec_pars=(1e-17, 0.0, 0.0, math.inf, math.inf, 1e-12, 1e-5, 1e-12))
    peaks = np.array([1e6, 3e7, 2e8])
    _, dt, intensity = gaussian_history(s, peaks[:, None])
    pops = ref.population_history(s, intensity, dt)
    photons = peaks * s.tau * math.sqrt(math.pi / (4.0 * math.log(2.0))) / s.photon_energy
    expected = s.populations[0] * np.exp(-1e-17 * photons)
    # (to 1e-12 of the total: the solver carries the change of the populations)
    atol = 1e-11 * s.populations[0]
    np.testing.assert_allclose(pops[:, -1, 0], expected, rtol=1e-11, atol=atol)
    np.testing.assert_allclose(pops[:, -1, 1], s.populations[0] - expected, rtol=1e-11, atol=atol)


def test_picosecond_level_sits_at_its_adiabatic_value():
    # tau_21 = 1 ps against a 4 ns pulse: N2 = sigma_1 phi N1 tau_21 at every instant,
    # to relative order tau_21 / (time scale of the pulse) and sigma_1 phi tau_21.
    s = ref.DEMO
    _, dt, intensity = gaussian_history(s, np.array([[5.6e7]]))
    pops = ref.population_history(s, intensity, dt)[0]
    phi = intensity[0] / s.photon_energy
    adiabatic = s.spec_pars[1] * phi * pops[:, 1] * s.spec_pars[5]
    live = adiabatic > 1e-6 * adiabatic.max()
    np.testing.assert_allclose(pops[live, 2], adiabatic[live], rtol=1e-2)


def test_dark_stationarity_makes_the_window_start_irrelevant():
    # Excited levels with finite lifetimes before the pulse: the same time step,
    # a window of 3.5 tau or of 5 tau on each side.
    s = ref.DEMO.replace(populations=(2e17, 5e16, 0.0, 5e16, 0.0),
                         spec_pars=(1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 3e-9, 1e-12))
    peaks = np.array([1e7, 5.6e7])
    short = ref.local_transmittance_at(s, peaks, ref.Grid(140, 2, 3.5))
    long_ = ref.local_transmittance_at(s, peaks, ref.Grid(200, 2, 5.0))
    np.testing.assert_allclose(short, long_, rtol=1e-12)
    # The plain equations instead let the excited levels decay before the pulse.
    _, dt, intensity = gaussian_history(s, np.array([[0.0]]), steps=140)
    plain = ref.population_history(s, intensity, dt, dark="none")[0]
    assert plain[-1, 1] < 0.1 * s.populations[1]


# ------------------------------------------- the dark-stationarity convention

def test_proportional_compensation_keeps_every_level_between_zero_and_the_total():
    # Level 3 decays to level 0 in 0.4 ns in the dark, compensated by draining
    # level 0. At the focus of 10 uJ the pulse moves level 3's population to
    # level 4 (1 us): a constant drain then empties level 0 far below zero,
    # the proportional one stops as level 0 empties.
    s = ref.DEMO.replace(populations=(1.5e17, 0.0, 0.0, 1.5e17, 0.0),
                         spec_pars=(1e-17, 4e-17, 5e-17, 5e-9, 1e-8, 1e-12, 4e-10, 1e-6))
    _, dt, intensity = gaussian_history(s, np.array([[ref.peak_intensity(s, 10e-6, 0.0)]]))
    total = sum(s.populations)
    pops = ref.population_history(s, intensity, dt)[0] / total
    assert pops.min() > -1e-12 and pops.max() < 1.0 + 1e-12
    assert np.abs(pops.sum(axis=-1) - 1.0).max() < 1e-12
    assert pops[:, 4].max() > 0.9                       # the pulse did move level 3's population
    constant = ref.population_history(s, intensity, dt, dark="constant")[0] / total
    assert constant[:, 0].min() < -1.0


@pytest.mark.parametrize("peak, most_apart", [(1e4, 1e-3), (5.6e7, None)], ids=["weak", "focus"])
def test_conventions_differ_by_no_more_than_what_the_drained_levels_lost(peak, most_apart):
    # Both are rate equations of one generator A = K + phi B, which contracts
    # the 1-norm; their difference is driven by C (N - N_init), whose 1-norm
    # is at most 2 sum_drained |c_l| |N_l / N_l,init - 1|. So the 1-norm of
    # the difference stays below twice the time integral of that sum.
    s = next(c for c in ref.CASES if c.name == "excited_initial").settings
    n_init = np.array(s.populations)
    c = -ref.rate_matrices(s)[0] @ n_init
    drained = c < 0.0
    _, dt, intensity = gaussian_history(s, np.array([[peak]]))
    proportional = ref.population_history(s, intensity, dt)[0]
    constant = ref.population_history(s, intensity, dt, dark="constant")[0]
    lost = np.abs(proportional[:, drained] / n_init[drained] - 1.0) @ np.abs(c[drained])
    bound = 2.0 * np.cumsum(lost) * dt
    apart = np.abs(proportional - constant).sum(axis=-1)
    assert np.all(apart <= bound + 1e-12 * n_init.sum())
    if most_apart is not None:                          # nothing drained appreciably
        assert apart.max() < most_apart * n_init.sum()
    else:                                               # level 0 strongly pumped
        assert apart.max() > 0.1 * n_init.sum()


def test_a_true_dark_steady_state_keeps_the_plain_rate_equations():
    # Level 3 populated with an infinite lifetime: nothing to compensate, the
    # three conventions are the same equations. So is every stored case but
    # excited_initial, whose figures therefore hold under either convention.
    s = next(c for c in ref.CASES if c.name == "excited_initial_inf").settings
    _, dt, intensity = gaussian_history(s, np.array([[1e6], [5.6e7]]), steps=140)
    plain = ref.population_history(s, intensity, dt, dark="none")
    for dark in ("proportional", "constant"):
        np.testing.assert_array_equal(ref.population_history(s, intensity, dt, dark=dark), plain)
    compensated = {c["name"] for c in json.loads(STORED.read_text())["cases"]
                   if ref.dark_compensation(settings_of(c)).any()}
    assert compensated == {"excited_initial"}


@pytest.mark.parametrize("populations, level", [((2e17, 5e16, 0.0, 0.0, 0.0), 3),
                                                 ((0.0, 1e17, 0.0, 0.0, 0.0), 0)])
def test_a_drained_level_that_starts_empty_is_refused(populations, level):
    s = ref.DEMO.replace(populations=populations)
    with pytest.raises(ValueError, match=f"level {level} is drained"):
        ref.population_history(s, np.zeros((1, 4)), 1e-10)


# --------------------------------------------------------- whole beam

def test_without_cross_sections_everything_is_transmitted():
    s = ref.DEMO.replace(populations=(2e17, 5e16, 0.0, 5e16, 0.0),
                         spec_pars=(0.0, 0.0, 0.0, 5e-9, 1e-8, 1e-12, 3e-9, 1e-12))
    r = ref.whole_beam_detail(s, [0.0, 1.0], 5e-6, "none", CHEAP)
    np.testing.assert_allclose(r.te, 1.0, rtol=0, atol=1e-14)


def test_low_energy_limit_is_the_linear_absorption_of_the_initial_populations():
    # sigma_2 multiplies N3; finite lifetimes of the populated excited levels.
    s = ref.DEMO.replace(populations=(2e17, 5e16, 1e16, 5e16, 1e16),
                         spec_pars=(1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 3e-9, 1e-12))
    tloc = ref.local_transmittance_at(s, [1e-4, 1e-2], ref.Grid(70, 2))
    expected = math.exp(-(1e-17 * 2e17 + 4e-17 * 5e16 + 6e-17 * 5e16) * 0.1)
    np.testing.assert_allclose(tloc, expected, rtol=1e-9)


def linear_absorber(tau_fast):
    return ref.DEMO.replace(spec_pars=(1e-17, 1e-17, 1e-17, 5e-9, 1e-8, tau_fast, 1e-5, tau_fast))


def test_linear_absorber_deviates_in_proportion_to_the_fast_lifetimes():
    # Equal cross-sections: only the population parked in the non-absorbing
    # levels 2 and 4 (about sigma phi tau_21 of the excited ones) changes Te.
    resolution = ref.Resolution(time_steps=70, depth_steps=1, panels=1, nodes=6, extra_nodes=1,
                                lag=False)
    dev = {}
    for tau_fast in (1e-13, 2e-13):
        values, error = ref.whole_beam(linear_absorber(tau_fast), [0.0], 1.5e-6,
                                       resolution=resolution, with_error=True)
        assert error[0] < 1e-9
        dev[tau_fast] = values[0] - 1.0
    assert 2e-6 < dev[1e-13] < 3e-5
    assert dev[2e-13] / dev[1e-13] == pytest.approx(2.0, rel=2e-3)


def test_fast_two_level_absorber_meets_the_quasi_steady_closed_form():
    # Steps far longer than tau_10 put level 1 at its quasi-steady value: the
    # stiff scheme alone is the closed form. The rate equations proper (the
    # stored values, with the lag of level 1 behind the flux) differ from it
    # at second order in tau_10 / tau only (6e-8 here).
    record = stored_case("two_level")
    s, energy = settings_of(record), record["pulse_energy"]
    live = ref.whole_beam(s, [0.0, 2.0], energy, resolution=CHEAP)
    closed = ref.two_level_quasi_steady(s, [0.0, 2.0], energy)
    assert closed[0] > 1.25                           # strongly saturated at the focus
    np.testing.assert_allclose(live, closed, rtol=0, atol=1e-9)
    np.testing.assert_allclose(record["values_linear"], record["closed_form_values"],
                               rtol=0, atol=1e-8)


def test_two_level_closed_form_limits():
    s = settings_of(stored_case("two_level"))
    # Far below saturation the closed form is the linear absorber; its
    # quadrature error estimate is honest against a finer rule.
    assert ref.two_level_quasi_steady(s, [0.0], 1e-12)[0] == pytest.approx(1.0, abs=1e-9)
    value, error = ref.two_level_quasi_steady(s, [0.0], 2.5e-3, with_error=True)
    finer = ref.two_level_quasi_steady(s, [0.0], 2.5e-3, time_nodes=3201, panels=8, nodes=24)
    assert abs(finer[0] - value[0]) <= max(error[0], 1e-13)
    with pytest.raises(ValueError):
        ref.two_level_quasi_steady(ref.DEMO, [0.0], 1e-6)


# ------------------------------------------------------ stored figures

def test_stored_values_are_met_within_the_error_claimed_at_a_cheap_resolution():
    record = stored_case("rsa_demo_low")
    s = settings_of(record)
    picks = [record["positions_mm"].index(z) for z in (0.0, 20.0)]
    r = ref.whole_beam_detail(s, [0.0, 20.0], record["pulse_energy"], "linear", CHEAP_LAG)
    stored = np.array(record["values_linear"])[picks]
    assert np.all(np.abs(r.values - stored) <= r.error + record["accuracy"])
    assert r.error.max() < 1e-7                        # the claim is not vacuous
    assert np.array(record["te"])[picks] == pytest.approx(stored * record["te_lin"], rel=1e-14)


def test_picosecond_levels_lag_behind_the_flux():
    # At the demo's focus the stiff steps alone miss the lag of levels 2 and 4
    # (about 1e-7 of Tloc) by several times their own error estimate; with the
    # resolved correction the stored Tloc is met within the claimed error.
    record = stored_case("rsa_demo_high")
    s = settings_of(record)
    peak, stored = record["tloc_samples"][-1]
    with_lag, err_lag = ref.local_transmittance(s, peak, CHEAP_LAG, with_error=True)
    without, err = ref.local_transmittance(s, peak, CHEAP, with_error=True)
    assert abs(with_lag - stored) <= err_lag + record["tloc_accuracy"]
    assert err_lag < 2e-8
    assert 5e-8 < stored - without and stored - without > 5 * (err + record["tloc_accuracy"])


def test_stored_cases_claim_the_accuracy_the_engine_tests_need():
    cases = json.loads(STORED.read_text())["cases"]
    assert {c["name"] for c in cases} >= {
        "rsa_demo_low", "rsa_demo_high", "sa", "thick", "depletion", "short_pulse",
        "long_pulse", "excited_initial", "excited_initial_inf", "linear", "two_level"}
    for c in cases:
        assert c["accuracy"] <= 1e-9, c["name"]
        assert 0.0 in c["positions_mm"]
        assert c["te_lin"] == pytest.approx(settings_of(c).te_lin, rel=1e-15)
