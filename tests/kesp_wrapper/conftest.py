# Shared set-up of the Python tests of kesp_wrapper: a small scan, argument
# builders for fit_zscan, the model transmittance obtained from calls whose
# fit cannot move, fits that do move, and the bit-for-bit comparison of
# results. Relies on the installed kesp_wrapper module and on the reference
# cases in tests/reference/model_reference.json.
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kesp_wrapper

REFERENCE_DIR = pathlib.Path(__file__).resolve().parents[1] / "reference"
MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")   # bytes

PARAM_NAMES = (
    "x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width",
    "tau", "wavelength", "w0", "M2", "pulse_energy", "spec_pars",
    "fit_indices", "num_x_pts", "num_datasets", "is_sa", "n_starts",
)

# The start factors 10**(1.04*i/max(n-1, 1) - 0.52) for 1 to 5 starts, to the last digit.
START_FACTORS = {
    1: (0.3019951720402016,),
    2: (0.3019951720402016, 3.311311214825911),
    3: (0.3019951720402016, 1.0, 3.311311214825911),
    4: (0.3019951720402016, 0.6709137099554112, 1.4905046433861961, 3.311311214825911),
    5: (0.3019951720402016, 0.5495408738576245, 1.0, 1.8197008586099834, 3.311311214825911),
}

# Scan positions in mm: 11 points, the focus (0 mm) at index 5.
X11 = np.arange(-20.0, 21.0, 4.0)
CENTRE = 5

# A reverse saturable absorber whose level 3 does not absorb (sigma_2 = 0):
# level 4 never fills, so the lifetime 4 -> 3 (entry 7) has no effect on the
# model. A fit of entry 7 alone cannot move: its start value comes back.
RSA_PARS = (1e-17, 4e-17, 0.0, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)
SA_PARS = (3e-17, 3e-18, 0.0, 2e-9, 5e-8, 1e-12, 1e-6, 1e-12)
IDLE = 7

RSA_SETUP = dict(populations=(3e17, 0.0, 0.0, 0.0, 0.0), t_slices=2, z_slices=2,
                 sample_width=0.1, tau=4e-9, wavelength=5.32e-7, w0=2e-5, M2=1.0,
                 pulse_energy=(1e-6,), is_sa=False)
SA_SETUP = dict(populations=(2e17, 0.0, 0.0, 0.0, 0.0), t_slices=2, z_slices=2,
                sample_width=0.1, tau=5e-9, wavelength=8e-7, w0=2.5e-5, M2=1.2,
                pulse_energy=(2e-6,), is_sa=True)


def f64(values):
    return np.array(values, dtype=np.float64)


def i32(values):
    return np.array(values, dtype=np.int32)


def dip(x):
    """Measured-looking RSA transmittance: a dip of depth 0.1 at 0 mm."""
    return 1.0 - 0.1 * np.exp(-(np.asarray(x) / 8.0) ** 2)


def call_args(**overrides):
    """All seventeen arguments of a cheap, valid call, by keyword.

    The fit varies entry 7 of RSA_PARS only, which has no effect, so every
    start stops at once."""
    args = dict(RSA_SETUP)
    args.update(x_data=X11, y_data=dip(X11), spec_pars=RSA_PARS, fit_indices=(IDLE,),
                num_x_pts=11, num_datasets=1, n_starts=3)
    args.update(overrides)
    for name in ("x_data", "y_data", "populations", "pulse_energy", "spec_pars"):
        if isinstance(args[name], (tuple, list)):
            args[name] = f64(args[name])
    if isinstance(args["fit_indices"], (tuple, list)):
        args["fit_indices"] = i32(args["fit_indices"])
    return args


def positional(args):
    return [args[name] for name in PARAM_NAMES]


def fit(**overrides):
    return kesp_wrapper.fit_zscan(**call_args(**overrides))


def model(pars, x=X11, num_datasets=1, extremum_at=CENTRE, **setup):
    """The model transmittance at `pars`, exactly.

    `pars` must leave entry 7 without effect (sigma_2 = 0). A fit of entry 7
    returns y - model at `pars`; with a probe y whose only extremum lies at
    `extremum_at` of every data set (so the scan is centred there) and model
    values within a factor 2 of the probe, y - (y - model) is model exactly.
    """
    assert pars[2] == 0.0
    is_sa = setup.get("is_sa", False)
    n = len(x)
    probe = np.ones(n * num_datasets)
    probe[extremum_at::n] = 1.01 if is_sa else 0.99
    residuals, _, _ = kesp_wrapper.fit_zscan(**call_args(
        **setup, x_data=np.tile(x, num_datasets), y_data=probe, spec_pars=pars,
        fit_indices=(IDLE,), num_x_pts=n, num_datasets=num_datasets, n_starts=1))
    values = probe - residuals
    assert np.all((values > probe / 2) & (values < probe * 2))
    return values


def moving_fit(n_starts, index=1, factor=2.0, **setup):
    """Arguments of a fit whose parameter moves: entry `index` of RSA_PARS
    starts at `factor` times the value the data were made with."""
    setup = dict(RSA_SETUP, **setup)
    y = model(RSA_PARS, **setup)
    pars = list(RSA_PARS)
    pars[index] *= factor
    return call_args(**setup, y_data=y, spec_pars=pars, fit_indices=(index,), n_starts=n_starts)


def result_bits(result):
    """A result (residuals, error, spec_pars) as the hex text of its bytes:
    two results give the same text exactly when they agree bit for bit."""
    residuals, error, pars = result
    return residuals.tobytes().hex(), np.float64(error).tobytes().hex(), pars.tobytes().hex()


def same_bits(a, b):
    return result_bits(a) == result_bits(b)


class IndexOnly:
    """An integer through __index__ only (no __int__, no __float__)."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture(scope="session")
def reference_cases():
    with open(REFERENCE_DIR / "model_reference.json") as stream:
        return {case["name"]: case for case in json.load(stream)}


def run_python(code, tmp_path, *options):
    """Runs `code` in a fresh interpreter (outside the source tree, so that
    `import kesp_wrapper` finds the installed module); returns its output."""
    completed = subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)], cwd=tmp_path,
        capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    return completed.stdout
