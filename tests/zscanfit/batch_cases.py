# Small fit problems shared by the tests of fit_many and of the bootstrap:
# a coarse experiment (2 time slices, 2 slabs), synthetic RSA scans made by
# the model at known parameters plus seeded Gaussian noise, and jobs built
# from them. Each fit takes a fraction of a second. Relies on the installed
# zscanfit.
import warnings

import numpy as np

import zscanfit
from zscanfit.batch import FitJob

TRUTH = (1e-17, 4e-17, 0.0, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)
FREE = ("sigma_0", "sigma_1")
ENERGIES = (0.5e-6, 1.5e-6)
NOISE = 0.002
POSITIONS = np.linspace(-20.0, 20.0, 15)


def experiment():
    return zscanfit.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9,
                               sample_width=0.1, populations=[3e17, 0, 0, 0, 0],
                               t_slices=2, z_slices=2)


def true_curves(exp=None):
    """The model at TRUTH at every position, one curve per energy."""
    exp = exp or experiment()
    return [zscanfit.model(exp, TRUTH, POSITIONS, energy) for energy in ENERGIES]


def noisy_scans(seed, curves=None, sigma=None):
    """Scans of the true curves plus noise of standard deviation NOISE drawn
    with ``seed``; with ``sigma`` every point carries that uncertainty."""
    rng = np.random.default_rng(seed)
    curves = curves if curves is not None else true_curves()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", zscanfit.ZScanWarning)
        return [zscanfit.Scan(POSITIONS, curve + rng.normal(0.0, NOISE, curve.shape), energy,
                              sigma=None if sigma is None else np.full(curve.shape, sigma))
                for curve, energy in zip(curves, ENERGIES)]


def start_params(factor=1.5):
    """TRUTH with the free cross-sections ``factor`` times too large."""
    return zscanfit.make_params(TRUTH, free=FREE, **{name: factor * TRUTH[k]
                                                     for k, name in enumerate(FREE)})


def jobs(seeds, exp=None):
    """One job per noise seed, each with its own data."""
    exp = exp or experiment()
    curves = true_curves(exp)
    return [FitJob(noisy_scans(seed, curves), exp, start_params(), label=f"seed {seed}")
            for seed in seeds]


def failing_job(exp=None):
    """A job whose fit raises ValueError: no parameter is free."""
    params = zscanfit.make_params(TRUTH)
    return FitJob(noisy_scans(0), exp or experiment(), params, label="nothing free")


def same_bits(a, b):
    """Whether two fit results agree to the last bit in every fitted figure."""
    arrays = [(np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)) for x, y in (
        ([a.params[n].value for n in zscanfit.PARAMETER_NAMES],
         [b.params[n].value for n in zscanfit.PARAMETER_NAMES]),
        ([a.params[n].stderr for n in a.free], [b.params[n].stderr for n in b.free]),
        ([a.chisqr], [b.chisqr]),
        (np.concatenate(a.models), np.concatenate(b.models)),
        (a.covariance, b.covariance))]
    return (a.free == b.free and a.nfev == b.nfev
            and all(x.shape == y.shape and x.tobytes() == y.tobytes() for x, y in arrays))
