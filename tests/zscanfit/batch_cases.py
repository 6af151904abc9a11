# Small fit problems shared by the tests of fit_many and of the bootstrap,
# made with the package tests' shared helpers (conftest.py) at the coarsest
# resolution (2 time slices, 2 slabs), so that a fit takes a fraction of a
# second: noisy RSA scans at two energies, jobs built from them, a job that
# fails, and a bit-for-bit comparison of fit results. Relies on the
# installed zscanfit.
import numpy as np

import zscanfit
from zscanfit import FitJob

from conftest import RSA_TRUTH, experiment as coarse_experiment, synthetic_scans

FREE = ("sigma_0", "sigma_1")
NOISE = 0.002
POSITIONS = np.linspace(-20.0, 20.0, 15)


def experiment():
    return coarse_experiment(t_slices=2, z_slices=2)


def noisy_scans(seed, sigma=None):
    """The model at RSA_TRUTH plus noise of standard deviation NOISE drawn
    with ``seed``; with ``sigma`` every point carries that uncertainty."""
    return synthetic_scans(RSA_TRUTH, experiment(), positions=POSITIONS, noise=NOISE,
                           seed=seed, sigma=sigma)


def start_params(factor=1.5):
    """RSA_TRUTH with the free cross-sections ``factor`` times too large."""
    return zscanfit.make_params(RSA_TRUTH, free=FREE, **{
        name: factor * RSA_TRUTH[zscanfit.PARAMETER_NAMES.index(name)] for name in FREE})


def jobs(seeds):
    """One job per noise seed, each with its own data."""
    return [FitJob(noisy_scans(seed), experiment(), start_params(), label=f"seed {seed}")
            for seed in seeds]


def failing_job():
    """A job whose fit raises ValueError: no parameter is free."""
    return FitJob(noisy_scans(0), experiment(), zscanfit.make_params(RSA_TRUTH),
                  label="nothing free")


def same_bits(a, b):
    """Whether two fit results agree to the last bit in every fitted figure."""
    names = zscanfit.PARAMETER_NAMES
    pairs = [([a.params[n].value for n in names], [b.params[n].value for n in names]),
             ([a.params[n].stderr for n in a.free], [b.params[n].stderr for n in b.free]),
             ([a.chisqr], [b.chisqr]),
             (np.concatenate(a.models), np.concatenate(b.models)),
             (a.covariance, b.covariance)]
    arrays = [(np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)) for x, y in pairs]
    return (a.free == b.free and a.nfev == b.nfev
            and all(x.shape == y.shape and x.tobytes() == y.tobytes() for x, y in arrays))

