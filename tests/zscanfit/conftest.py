# Shared set-up of the tests of the zscanfit package: a coarse experiment
# (few slices, so a fit takes a second), synthetic scans made by the model
# entry at known parameters, the bundled demo file, and runners for the
# command line and for child interpreters whose standard output is checked.
# Relies on the installed zscanfit and kesp_wrapper.
import contextlib
import os
import pathlib
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import zscanfit

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEMO_CSV = ROOT / "examples" / "demo_rsa.csv"

RSA_TRUTH = (1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)
SA_TRUTH = (4e-17, 5e-18, 0.0, 2e-9, 1e-6, 1e-12, 1e-5, 1e-12)
ENERGIES = (0.5e-6, 1.5e-6)
POSITIONS = np.linspace(-20.0, 20.0, 17)
COARSE = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9, sample_width=0.1,
              populations=[3e17, 0.0, 0.0, 0.0, 0.0], t_slices=3, z_slices=3)
# Populations so dense and a pulse so energetic that the integrations reach
# their step limit: the integrator then reports on standard output.
TALKATIVE = dict(COARSE, populations=[3e21, 0.0, 0.0, 0.0, 0.0])
TALKATIVE_ENERGY = 2e3


def experiment(**changes):
    """The coarse experiment, with ``changes``."""
    return zscanfit.Experiment(**dict(COARSE, **changes))


@contextlib.contextmanager
def quiet():
    """Ignore zscanfit's warnings inside the block."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", zscanfit.ZScanWarning)
        yield


def synthetic_scans(truth=RSA_TRUTH, exp=None, energies=ENERGIES, positions=POSITIONS,
                    noise=0.0, seed=0, sigma=None, model="on-axis"):
    """Scans of the model at ``truth`` (plus seeded Gaussian noise); the
    on-axis model on the coarse grids unless ``model`` says otherwise."""
    exp = exp or experiment()
    rng = np.random.default_rng(seed)
    scans = []
    with quiet():
        for energy in energies:
            # Normalised on the scan's own wings, as experimenters normalise data.
            values = zscanfit.model(exp, truth, positions, energy, normalise_to=positions,
                                    model=model)
            if noise:
                values = values + rng.normal(0.0, noise, values.shape)
            scans.append(zscanfit.Scan(positions, values, energy,
                                       sigma=None if sigma is None else np.full(values.shape, sigma)))
    return scans


def start_from(truth, free, factors):
    """Parameters whose single robust start (n_starts=1) lands on
    ``factors`` times the truth for the free ones."""
    first = zscanfit.start_factors(1, method="robust")[0]
    named = {name: truth[zscanfit.PARAMETER_NAMES.index(name)] * f / first
             for name, f in zip(free, factors)}
    return zscanfit.make_params(truth, free=free, **named)


def relative_errors(result, truth):
    """Of the free spectroscopic parameters (a fitted focus has no relative error)."""
    return {name: abs(result.values[name] / truth[zscanfit.PARAMETER_NAMES.index(name)] - 1.0)
            for name in result.free if name in zscanfit.PARAMETER_NAMES}


def write_scan_file(path, scans, exp, spec_pars):
    """A data file in the layout of examples/demo_rsa.csv with every setting
    of ``exp`` (values by repr, so they read back exactly)."""
    lines = [f"# {name} = {value!r}" for name, value in exp.as_settings().items()
             if name not in ("populations", "uncertainties")]
    lines.append("# populations = " + " ".join(repr(float(v)) for v in exp.populations))
    lines.append("# spec_pars = " + " ".join(repr(float(v)) for v in spec_pars))
    lines.append("dataset,pulse_energy,x_mm,transmittance")
    for k, scan in enumerate(scans):
        lines += [f"{k},{scan.pulse_energy!r},{x!r},{y!r}"
                  for x, y in zip(scan.x_mm.tolist(), scan.transmittance.tolist())]
    path.write_text("\n".join(lines) + "\n")
    return path


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def run_cli(*args, cwd=None):
    """``python -m zscanfit args`` in a child; the CompletedProcess."""
    return subprocess.run([sys.executable, "-m", "zscanfit", *map(str, args)],
                          capture_output=True, text=True, env=child_env(), cwd=cwd, timeout=300)


def run_python(code):
    """Run ``code`` in a child interpreter; the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=child_env(), timeout=300)


@pytest.fixture(scope="session")
def rsa_scans():
    return synthetic_scans()
