"""Makes examples/demo_whole_beam.csv, the data zscanfit's demo fits: a
reverse saturable absorber at two pulse energies, computed by the
whole-beam model (what an open-aperture detector measures) to a tolerance
of 1e-9, each scan normalised on its own wings as experimenters normalise
data, with seeded Gaussian noise of standard deviation 0.003.

The file's '# spec_pars' line holds start values (the cross-sections 1.5
times the truth), '# true_spec_pars' the parameters the data were made
with. Run it with the package installed: python examples/make_whole_beam_demo.py
"""
import pathlib

import numpy as np

import zscanfit

HERE = pathlib.Path(__file__).resolve().parent
SETTINGS = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9, sample_width=0.1,
                populations=[3e17, 0.0, 0.0, 0.0, 0.0])
TRUTH = (1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)
START = (1.5e-17, 6e-17) + TRUTH[2:]
ENERGIES = (0.5e-6, 1.5e-6)
POSITIONS = np.arange(-20.0, 20.5, 1.0)
NOISE = 0.003
SEED = 20261209


def main():
    experiment = zscanfit.Experiment(**SETTINGS)
    rng = np.random.default_rng(SEED)
    lines = [
        "# Reverse saturable absorber at two pulse energies, made by the whole-beam model",
        f"# (tolerance 1e-9), each scan normalised on its wings, with Gaussian noise of "
        f"standard deviation {NOISE} (seed {SEED}).",
        "# spec_pars are start values (cross-sections 1.5 times the truth); true_spec_pars",
        "# the parameters the data were made with.",
    ]
    for name in ("sample_width", "tau", "wavelength", "w0", "M2"):
        lines.append(f"# {name} = {SETTINGS[name]:g}")
    lines.append("# populations = " + " ".join(f"{v:g}" for v in SETTINGS["populations"]))
    lines.append("# spec_pars = " + " ".join(f"{v:g}" for v in START))
    lines.append("# true_spec_pars = " + " ".join(f"{v:g}" for v in TRUTH))
    lines.append(f"# noise_sd = {NOISE:g}")
    lines.append("dataset,pulse_energy,x_mm,transmittance")
    for k, energy in enumerate(ENERGIES):
        values = zscanfit.model(experiment, TRUTH, POSITIONS, energy, normalise_to=POSITIONS,
                                tolerance=1e-9)
        noisy = values + rng.normal(0.0, NOISE, values.shape)
        lines += [f"{k},{energy:g},{x:g},{y:.10f}" for x, y in zip(POSITIONS, noisy)]
    path = HERE / "demo_whole_beam.csv"
    path.write_text("\n".join(lines) + "\n")
    print(f"written {path}")


if __name__ == "__main__":
    main()
