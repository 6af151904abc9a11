"""Synthetic scans shared by the coverage checks (validate_uncertainties.py,
validate_bootstrap.py): a known reverse saturable absorber and a known
saturable absorber at two pulse energies, the model entry's noise-free
scans of them, seeded Gaussian noise added, and a single start placed on
the truth. Relies on the installed zscanfit.
"""
import numpy as np

import zscanfit

CENTER_MM = 0.0  # the focus, known here
NOISE_SD = 0.005
ENERGIES_J = (0.5e-6, 1.5e-6)
EXPERIMENT = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9, sample_width=0.1,
                  populations=[3e17, 0.0, 0.0, 0.0, 0.0], t_slices=6, z_slices=6)
RSA_TRUTH = (1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)
SA_TRUTH = (4e-17, 5e-18, 0.0, 2e-9, 1e-6, 1e-12, 1e-5, 1e-12)


def true_values(truth, free):
    """The true value of every free parameter, by name."""
    return {p: truth[zscanfit.PARAMETER_NAMES.index(p)] for p in free}


def clean_values(experiment, truth, positions_mm, model="whole-beam"):
    """The model at ``truth`` at every energy of ENERGIES_J, each scan
    normalised on its own wings as data are (the whole-beam model computed
    to 1e-9)."""
    options = dict(tolerance=1e-9) if model == "whole-beam" else {}
    return [zscanfit.model(experiment, list(truth), positions_mm, e, normalise_to=positions_mm,
                           model=model, **options) for e in ENERGIES_J]


def noisy_scans(clean, positions_mm, rng):
    """One noise realisation of the clean scans (sd NOISE_SD, drawn from ``rng``)."""
    return [zscanfit.Scan(positions_mm, v + rng.normal(0.0, NOISE_SD, v.shape), e)
            for v, e in zip(clean, ENERGIES_J)]


def start_at_truth(truth, free):
    """Parameters whose single robust start lies on the truth."""
    factor = zscanfit.start_factors(1, method="robust")[0]
    return zscanfit.make_params(list(truth), free=free, **{
        p: value / factor for p, value in true_values(truth, free).items()})
