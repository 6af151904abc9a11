"""The figures of "Which model" in docs/models.md: what the on-axis model (the
documented one, fit_zscan's) makes of what an open-aperture detector
measures, the whole-beam model's converged values.

1. Dip depths, 1 - min T, of the demo absorber at 1.5 uJ: the whole-beam
   model, the on-axis model at 10 x 10 slices, and the on-axis model
   averaged over the Gaussian transverse profile (its point values at the
   peak intensities I0 u, u = exp(-2 r^2/w^2), averaged over u).
2. Noise-free whole-beam data (tolerance 1e-9) of a reverse saturable
   absorber (the demo's, 0.5 and 1.5 uJ) and of a saturable absorber,
   fitted with the on-axis model at several slice counts and with the
   whole-beam model: fitted / true and the rms misfit.

Run: python benchmarks/which_model.py [--quick] (minutes; --quick leaves out
the finest on-axis grids).
"""
import argparse
import time
import warnings

import numpy as np

import zscanfit

EXPERIMENT = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9, sample_width=0.1,
                  populations=[3e17, 0.0, 0.0, 0.0, 0.0])
RSA = (1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)
SA = (4e-17, 5e-18, 0.0, 2e-9, 1e-6, 1e-12, 1e-5, 1e-12)
CASES = (("RSA", RSA, (0.5e-6, 1.5e-6), ("sigma_0", "sigma_1"), False),
         ("SA", SA, (0.5e-6, 1.5e-6), ("sigma_0", "tau_10"), True))
POSITIONS = np.arange(-20.0, 20.5, 1.0)


def experiment(slices=10):
    return zscanfit.Experiment(**EXPERIMENT, t_slices=slices, z_slices=slices)


def dips():
    exp = experiment()
    whole = zscanfit.model(exp, RSA, POSITIONS, 1.5e-6, normalise_to=POSITIONS, tolerance=1e-9)
    on_axis = zscanfit.model(exp, RSA, POSITIONS, 1.5e-6, model="on-axis")
    # The on-axis model's point values averaged over the beam's profile:
    # the energy at u is u times that at the centre, Gauss-Legendre in u.
    nodes, weights = np.polynomial.legendre.leggauss(24)
    u, w = 0.5 * (nodes + 1.0), 0.5 * weights
    averaged = np.zeros_like(POSITIONS)
    for ui, wi in zip(u, w):
        averaged += wi * zscanfit.model(exp, RSA, POSITIONS, 1.5e-6 * ui, model="on-axis")
    averaged /= (averaged[:5].sum() + averaged[-5:].sum()) / 10.0
    print("dip depth 1 - min T of the demo absorber at 1.5 uJ:")
    print(f"  whole-beam model                         {1 - whole.min():.3f}")
    print(f"  on-axis model, 10 x 10 slices            {1 - on_axis.min():.3f}")
    print(f"  on-axis model averaged over the profile  {1 - averaged.min():.3f}")


def fits(slice_counts):
    for name, truth, energies, free, is_sa in CASES:
        exp = experiment()
        scans = [zscanfit.Scan(POSITIONS, zscanfit.model(exp, truth, POSITIONS, e,
                                                          normalise_to=POSITIONS,
                                                          tolerance=1e-9), e)
                 for e in energies]
        start = zscanfit.make_params(truth, free=list(free))
        print(f"\n{name} (free {', '.join(free)}), noise-free whole-beam data at "
              f"{', '.join(f'{e * 1e6:g}' for e in energies)} uJ:")
        print(f"  {'model':<22}" + "".join(f"{n + ' fit/true':>18}" for n in free)
              + f"{'rms misfit':>12}{'seconds':>9}")
        rows = [("whole-beam", dict(model="whole-beam"), exp)]
        rows += [(f"on-axis {n} x {n}", dict(model="on-axis"), experiment(n))
                 for n in slice_counts]
        for label, options, fit_exp in rows:
            started = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", zscanfit.ZScanWarning)
                result = zscanfit.fit(scans, fit_exp, start, is_sa=is_sa, n_starts=3,
                                      **options)
            seconds = time.perf_counter() - started
            ratios = [result.values[n] / truth[zscanfit.PARAMETER_NAMES.index(n)]
                      for n in free]
            misfit = float(np.sqrt(np.nanmean(np.concatenate(result.residuals) ** 2)))
            print(f"  {label:<22}" + "".join(f"{r:>18.3f}" for r in ratios)
                  + f"{misfit:>12.2g}{seconds:>9.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="leave out 20 x 20 and 40 x 40")
    args = parser.parse_args()
    dips()
    fits((5, 10) if args.quick else (5, 10, 20, 40))


if __name__ == "__main__":
    main()
