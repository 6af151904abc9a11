"""Are zscanfit's standard errors honest? A coverage check on synthetic data.

For a known reverse saturable absorber (sigma_0 and sigma_1 free) and a
known saturable absorber (sigma_0 and tau_10 free), each at two pulse
energies, the model makes noise-free scans; 100 realisations of Gaussian
noise (fixed seed) are added and each is fitted with the robust method and
the same model (the whole-beam and the on-axis model in turn, --model to
choose one), the focus given (it is known here; --centre-from-data takes it
from the data as fit_zscan does, which adds the error of that choice).
With honest errors about 68 % of the fitted values lie within one
standard error of the truth; the check passes when the fraction of every
parameter lies within 0.58-0.78 (two binomial standard deviations of 100
trials). Run by `make validate`; exits 1 when a fraction falls outside.
Relies on the installed zscanfit.
"""
import argparse
import sys
import time
import warnings

import numpy as np

import zscanfit
from coverage_cases import (CENTER_MM, ENERGIES_J, EXPERIMENT, NOISE_SD, RSA_TRUTH, SA_TRUTH,
                            clean_values, noisy_scans, start_at_truth, true_values)

BAND = (0.58, 0.78)
POSITIONS_MM = np.linspace(-15.0, 15.0, 31)
CASES = (
    ("RSA", False, RSA_TRUTH, ("sigma_0", "sigma_1")),
    ("SA", True, SA_TRUTH, ("sigma_0", "tau_10")),
)


def run_case(name, is_sa, truth, free, realisations, seed, center_mm=CENTER_MM,
             model="whole-beam"):
    experiment = zscanfit.Experiment(**EXPERIMENT)
    clean = clean_values(experiment, truth, POSITIONS_MM, model)
    true = true_values(truth, free)
    params = start_at_truth(truth, free)
    rng = np.random.default_rng(seed)
    inside = {p: 0 for p in free}
    z_scores = {p: [] for p in free}
    failures = 0
    started = time.perf_counter()
    for _ in range(realisations):
        scans = noisy_scans(clean, POSITIONS_MM, rng)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zscanfit.ZScanWarning)
            result = zscanfit.fit(scans, experiment, params, is_sa=is_sa, n_starts=1,
                                  center_mm=center_mm, model=model)
        if not result.success:
            failures += 1
        for p in free:
            z = (result.values[p] - true[p]) / result.stderr[p]
            z_scores[p].append(z)
            inside[p] += abs(z) <= 1.0
    seconds = time.perf_counter() - started
    rows = []
    for p in free:
        fraction = inside[p] / realisations
        z = np.array(z_scores[p])
        rows.append((name, p, fraction, float(np.std(z)), float(np.mean(z)),
                     BAND[0] <= fraction <= BAND[1]))
    return rows, failures, seconds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--realisations", type=int, default=100)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--model", choices=("whole-beam", "on-axis"), action="append",
                        help="the model to check (default: both)")
    parser.add_argument("--centre-from-data", action="store_true",
                        help="centre on the extremum of the noisy data (fit_zscan's rule) "
                             "instead of the known focus; shows what that costs")
    args = parser.parse_args(argv)
    center_mm = None if args.centre_from_data else CENTER_MM
    print(f"{args.realisations} noise realisations per case, noise sd {NOISE_SD}, "
          f"{len(POSITIONS_MM)} points x {len(ENERGIES_J)} energies, seed {args.seed}, focus "
          + ("from the data" if center_mm is None else f"given ({center_mm:g} mm)"))
    passed = True
    for model in args.model or ("whole-beam", "on-axis"):
        resolution = ("tolerance 1e-5" if model == "whole-beam" else
                      f"t_slices = z_slices = {EXPERIMENT['t_slices']}")
        print(f"\n{model} model ({resolution})")
        print(f"{'case':<5}{'parameter':<10}{'inside +-1 se':>15}{'sd of z':>10}{'mean z':>9}"
              "  verdict")
        for name, is_sa, truth, free in CASES:
            rows, failures, seconds = run_case(name, is_sa, truth, free, args.realisations,
                                               args.seed, center_mm, model)
            for case, p, fraction, sd, mean, ok in rows:
                passed &= ok
                print(f"{case:<5}{p:<10}{fraction:>15.2f}{sd:>10.2f}{mean:>9.2f}  "
                      f"{'ok' if ok else 'OUTSIDE ' + str(BAND)}")
            print(f"      ({failures} fits not converged; {seconds:.0f} s)")
    print("coverage within", BAND, "for every parameter:", "yes" if passed else "NO")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
