"""Makes examples/demo_open.csv and examples/demo_closed.csv, the pair of
scans examples/closed_aperture_demo.py fits together: one sample measured
at one pulse energy through an open aperture and through a far-field
aperture passing 30 % of the linear beam ('# aperture = 0.3'), computed by
the closed-aperture model to a tolerance of 1e-9, each scan normalised on
its own wings, with seeded Gaussian noise of standard deviation 0.003.

The sample: an absorber without linear absorption (sigma_0 = 0) pumped by
two-photon absorption (beta), whose excited level absorbs and refracts
(sigma_r1 < 0, self-defocusing), in a host with a positive n2; 30 ps
pulses at 532 nm. Run it with the package installed:
python examples/make_closed_aperture_demo.py
"""
import pathlib

import numpy as np

import zscanfit

HERE = pathlib.Path(__file__).resolve().parent
SETTINGS = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=30e-12, sample_width=0.1,
                populations=[2e18, 0.0, 0.0, 0.0, 0.0])
SPEC_PARS = (0.0, 2e-17, 1e-17, 1e-9, 1e-8, 1e-12, 1e-5, 1e-12)
TRUTH = dict(beta=1e-9, n2=5e-15, sigma_r1=-1e-17)
ENERGY = 1e-6
POSITIONS = np.linspace(-12.0, 12.0, 25)
NOISE = 0.003
SEED = 20261209
FILES = {None: "demo_open.csv", 0.3: "demo_closed.csv"}


def main():
    experiment = zscanfit.Experiment(**SETTINGS)
    params = dict(zip(zscanfit.PARAMETER_NAMES, SPEC_PARS), **TRUTH)
    rng = np.random.default_rng(SEED)
    for aperture, name in FILES.items():
        kind = "an open aperture" if aperture is None else f"a closed aperture S = {aperture:g}"
        lines = [
            f"# One z-scan through {kind}, made by the closed-aperture model (tolerance",
            f"# 1e-9), normalised on its wings, with Gaussian noise of standard deviation "
            f"{NOISE} (seed {SEED}).",
            "# Made with " + ", ".join(f"{k} {v:g}" for k, v in TRUTH.items()) +
            " (cm/W, cm^2/W, cm^2).",
        ]
        for setting in ("sample_width", "tau", "wavelength", "w0", "M2"):
            lines.append(f"# {setting} = {SETTINGS[setting]:g}")
        lines.append("# populations = " + " ".join(f"{v:g}" for v in SETTINGS["populations"]))
        lines.append("# spec_pars = " + " ".join(f"{v:g}" for v in SPEC_PARS))
        if aperture is not None:
            lines.append(f"# aperture = {aperture:g}")
        lines.append(f"# pulse_energy = {ENERGY:g}")
        lines.append("x_mm,transmittance")
        values = zscanfit.model(experiment, params, POSITIONS, ENERGY, normalise_to=POSITIONS,
                                aperture=aperture, tolerance=1e-9)
        noisy = values + rng.normal(0.0, NOISE, values.shape)
        lines += [f"{x:g},{y:.10f}" for x, y in zip(POSITIONS, noisy)]
        path = HERE / name
        path.write_text("\n".join(lines) + "\n")
        print(f"written {path}")


if __name__ == "__main__":
    main()
