# Closed-aperture z-scans through the package: the public model entry
# against the converged reference's figures (tests/data), fits of open and
# closed scans made by the model that give the sample back (noise-free to
# 1e-3, noisy within two standard errors), the error budget and profile
# intervals of n2, the classic division of closed by open against the pure
# refraction curve, files and the command line with an aperture, and the
# inputs' refusals. Relies on the installed zscanfit, NumPy and the
# conftest's helpers.
import dataclasses
import json
import math
import pathlib
import warnings

import numpy as np
import pytest

import zscanfit

from conftest import quiet, run_cli

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
ZERO_OPTICS = {"beta": 0.0, "n2": 0.0, "sigma_r1": 0.0, "sigma_r3": 0.0}
# An absorber excited by two photons (sigma_0 = 0) whose excited level
# absorbs and refracts, in a host with n2: 30 ps pulses at 532 nm.
ESA = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=30e-12, sample_width=0.1,
           populations=[2e18, 0.0, 0.0, 0.0, 0.0])
ESA_SPEC = (0.0, 2e-17, 1e-17, 1e-9, 1e-8, 1e-12, 1e-5, 1e-12)
ESA_OPTICS = dict(beta=1e-9, n2=5e-15, sigma_r1=-1e-17)
# A transparent host (fused silica's n2), no absorber.
HOST = dict(ESA, populations=[0.0] * 5)
HOST_SPEC = (0.0, 0.0, 0.0, math.inf, math.inf, 1e-12, math.inf, 1e-12)
POSITIONS = np.linspace(-12.0, 12.0, 25)


def named(spec, **optics):
    return dict(zip(zscanfit.PARAMETER_NAMES, spec), **optics)


def scans_of(experiment, params, apertures, energy=1e-6, noise=0.0, seed=1,
             tolerance=1e-9, positions=POSITIONS):
    """Scans of the model at ``params`` through each aperture (None: open),
    normalised on their wings, with seeded noise (and sigma) if asked."""
    rng = np.random.default_rng(seed)
    scans = []
    with quiet():
        for aperture in apertures:
            values = zscanfit.model(experiment, params, positions, energy,
                                    normalise_to=positions, aperture=aperture,
                                    tolerance=tolerance)
            sigma = None
            if noise:
                values = values + rng.normal(0.0, noise, values.shape)
                sigma = np.full(values.shape, noise)
            scans.append(zscanfit.Scan(positions, values, energy, sigma=sigma,
                                       aperture=aperture))
    return scans


def test_the_public_entry_meets_the_converged_reference():
    """zscanfit.model with an aperture, normalised by the linear signal,
    within 1e-5 of the converged figures and within its own estimate, in
    the far field and at a finite distance (Experiment.aperture_distance)."""
    cases = json.loads((DATA / "closed_aperture_converged.json").read_text())["cases"]
    for case in cases:
        s = case["settings"]
        experiment = zscanfit.Experiment(**{k: s[k] for k in (
            "wavelength", "w0", "M2", "tau", "sample_width", "populations")})
        params = named(s["spec_pars"], **{k: s[k] for k in ZERO_OPTICS})
        for aperture in case["apertures"]:
            distance = aperture["distance_mm"]
            here = (experiment if distance is None or math.isinf(distance) else
                    dataclasses.replace(experiment, aperture_distance=distance * 1e-3))
            values, errors = zscanfit.model(
                here, params, case["positions_mm"], case["pulse_energy"], model="whole-beam",
                normalise="linear", aperture=aperture["S"], tolerance=1e-5, with_error=True,
                center_mm=0.0)
            deviation = np.abs(values - np.array(aperture["values_linear"]))
            label = f"{case['name']} {aperture['label']}"
            assert deviation.max() <= 1e-5, label
            assert np.all(deviation <= errors), label


def test_open_and_closed_scans_give_the_sample_back():
    """Noise-free scans at tolerance 1e-9 fitted from starts 1.5 times off:
    n2, beta and sigma_r1 within 1e-3; the report names the scans' kinds
    and the phase at the focus k n2 I0 L, the JSON and the figure the
    scans' kinds."""
    experiment = zscanfit.Experiment(**ESA)
    scans = scans_of(experiment, named(ESA_SPEC, **ESA_OPTICS), [None, 0.3])
    start = zscanfit.make_params(ESA_SPEC, free=list(ESA_OPTICS),
                                 **{k: 1.5 * v for k, v in ESA_OPTICS.items()})
    with quiet():
        result = zscanfit.fit(scans, experiment, start, n_starts=1, center_mm=0.0,
                              tolerance=1e-7)
    for name, truth in ESA_OPTICS.items():
        assert abs(result.values[name] / truth - 1.0) < 1e-3, name
    report = result.report()
    assert "open, closed S=0.3" in report
    # I0 = 2E / (pi w0^2) over the Gaussian pulse's tau sqrt(pi / (4 ln 2)), W/cm^2.
    fluence = 2.0 * 1e-6 / (math.pi * 2e-3 ** 2)
    intensity = fluence / (30e-12 * math.sqrt(math.pi / (4 * math.log(2))))
    phase = 2.0 * math.pi / 532e-7 * result.values["n2"] * intensity * 0.1
    assert f"{phase:.5g} +/-" in report
    data = result.to_dict()
    assert data["nonlinear_optics"]["scan_kinds"] == ["open", "closed S=0.3"]
    assert [s.get("aperture") for s in data["data"]] == [None, 0.3]
    back = zscanfit.FitResult.from_json(result.to_json())
    assert [s.kind for s in back.scans] == ["open", "closed S=0.3"]
    legend = [t.get_text() for t in result.plot().axes[0].get_legend().get_texts()]
    assert any("closed S=0.3" in text for text in legend)


def test_noisy_scans_within_two_standard_errors():
    experiment = zscanfit.Experiment(**ESA)
    scans = scans_of(experiment, named(ESA_SPEC, **ESA_OPTICS), [None, 0.3], noise=0.003)
    start = zscanfit.make_params(ESA_SPEC, free=list(ESA_OPTICS),
                                 **{k: 1.5 * v for k, v in ESA_OPTICS.items()})
    with quiet():
        result = zscanfit.fit(scans, experiment, start, n_starts=1, center_mm=0.0)
    for name, truth in ESA_OPTICS.items():
        assert abs(result.values[name] - truth) <= 2.0 * result.stderr[name], name


def test_error_budget_and_profile_cover_n2():
    """A pure Kerr medium (no population: no warning about it), one closed
    scan, n2 free: the error budget has n2's row, and its profile interval
    at one sigma is the standard error's within a fifth (the signal is
    nearly linear in n2 at this phase)."""
    experiment = zscanfit.Experiment(**HOST, uncertainties={"w0": "5%"})
    truth = dict(n2=5e-15)
    scans = scans_of(experiment, named(HOST_SPEC, **truth), [0.1], noise=0.003)
    start = zscanfit.make_params(HOST_SPEC, free=["n2"], n2=4e-15)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = zscanfit.fit(scans, experiment, start, n_starts=1, center_mm=0.0)
    assert not [w for w in caught if "populations are zero" in str(w.message)]
    assert abs(result.values["n2"] - truth["n2"]) <= 2.0 * result.stderr["n2"]
    budget = result.error_budget.to_dict()
    assert "n2" in json.dumps(budget)
    with quiet():
        intervals = result.conf_interval(sigmas=(1,))
    low, high = intervals.intervals["n2"][1]
    stderr = result.stderr["n2"]
    assert low < result.values["n2"] < high
    assert abs((high - low) / 2.0 / stderr - 1.0) < 0.2


def test_division_by_the_open_scan_leaves_the_refraction():
    """The classic separation: the closed scan divided by the open one
    comes closer to the closed scan of the refraction alone than the closed
    scan does (by about half the two-photon part at this phase, 0.12 rad),
    and what remains shrinks in proportion to beta."""
    experiment = zscanfit.Experiment(**HOST)
    pure = zscanfit.model(experiment, named(HOST_SPEC, n2=2e-15), POSITIONS, 1e-6,
                          normalise_to=POSITIONS, aperture=0.3)
    height = pure.max() - pure.min()
    left = []
    for beta in (1e-10, 1e-11):
        both = named(HOST_SPEC, n2=2e-15, beta=beta)
        divided, closed = (zscanfit.model(experiment, both, POSITIONS, 1e-6,
                                          normalise_to=POSITIONS, aperture=0.3, divided=d)
                           for d in (True, False))
        left.append(np.max(np.abs(divided - pure)) / height)
        assert left[-1] < 0.6 * np.max(np.abs(closed - pure)) / height
    assert left[1] < 0.025
    assert 0.08 < left[1] / left[0] < 0.12


def test_files_and_command_line_take_the_aperture(tmp_path):
    """A file's '# aperture = S' makes closed scans; --aperture overrides
    it; the command line fits n2 of a closed scan."""
    experiment = zscanfit.Experiment(**HOST)
    scans = scans_of(experiment, named(HOST_SPEC, n2=5e-15), [0.2], positions=POSITIONS[::2])
    lines = [f"# {name} = {value!r}" for name, value in experiment.as_settings().items()
             if name not in ("populations", "uncertainties")]
    lines += ["# populations = 0 0 0 0 0", "# aperture = 0.2",
              "# spec_pars = " + " ".join(repr(v) for v in HOST_SPEC),
              "# pulse_energy = 1e-6", "x_mm,transmittance"]
    lines += [f"{x!r},{y!r}" for x, y in zip(scans[0].x_mm.tolist(),
                                              scans[0].transmittance.tolist())]
    path = tmp_path / "closed.csv"
    path.write_text("\n".join(lines) + "\n")
    loaded = zscanfit.load_scans(path)
    assert [s.kind for s in loaded.scans] == ["closed S=0.2"]
    done = run_cli("fit", path, "--free", "n2", "--set", "n2=4e-15", "--set", "center_mm=0",
                   "--json", tmp_path / "fit.json")
    assert done.returncode == 0, done.stderr
    fitted = json.loads((tmp_path / "fit.json").read_text())
    assert abs(fitted["values"]["n2"] / 5e-15 - 1.0) < 1e-3
    assert fitted["data"][0]["aperture"] == 0.2
    done = run_cli("fit", path, "--free", "n2", "--set", "n2=4e-15", "--aperture", "1.5")
    assert done.returncode == 2 and "aperture" in done.stderr


def test_inputs_refused_and_defaults():
    """n2 and the refraction cross-sections take either sign, beta not; a
    free optical parameter needs a start; an open fit with the optical
    parameters named at 0 is the fit without them, bit for bit; the
    on-axis model has no aperture; apertures outside (0, 1] are refused."""
    params = zscanfit.make_params(ESA_SPEC, n2=-1e-15, sigma_r1=-1e-17, sigma_r3=2e-17)
    assert params["n2"].min == -np.inf and not params["n2"].vary
    with pytest.raises(ValueError, match="beta"):
        zscanfit.make_params(ESA_SPEC, beta=-1e-9)
    experiment = zscanfit.Experiment(**ESA)
    scans = scans_of(experiment, named(ESA_SPEC, **ESA_OPTICS), [0.3],
                     positions=POSITIONS[::2])
    with pytest.raises(ValueError, match="start value of n2 is 0"):
        zscanfit.fit(scans, experiment, zscanfit.make_params(ESA_SPEC, free=["n2"]),
                     n_starts=1, center_mm=0.0)
    with quiet():
        plain = zscanfit.model(experiment, ESA_SPEC, POSITIONS, 1e-6)
        zeros = zscanfit.model(experiment, named(ESA_SPEC, **ZERO_OPTICS), POSITIONS, 1e-6,
                               aperture=1.0)
    assert np.array_equal(plain, zeros)
    with pytest.raises(ValueError, match="on-axis"):
        zscanfit.model(experiment, ESA_SPEC, POSITIONS, 1e-6, model="on-axis", aperture=0.3)
    with pytest.raises(ValueError, match="robust"):
        zscanfit.fit(scans, experiment, zscanfit.make_params(ESA_SPEC, free=["sigma_1"]),
                     method="exact")
    for bad in (0.0, 1.2, "wide", math.nan):
        with pytest.raises(ValueError, match="aperture"):
            zscanfit.Scan(POSITIONS, np.ones(POSITIONS.size), 1e-6, aperture=bad)
    with pytest.raises(ValueError, match="divided"):
        zscanfit.Scan(POSITIONS, np.ones(POSITIONS.size), 1e-6, divided=True)
