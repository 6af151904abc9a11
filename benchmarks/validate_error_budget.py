"""Does the error budget hold? Coverage checks of the combined standard
uncertainty and of the profile-likelihood intervals on synthetic data.

1. Combined uncertainty. For a known reverse saturable absorber (sigma_0 and
   sigma_1 free) and a known saturable absorber (sigma_0 and tau_10 free),
   each at two pulse energies, every realisation draws the experiment's
   true settings from their stated uncertainties (w0 +- 5 %, pulse-energy
   calibration +- 5 %), computes the scans with those true settings, adds
   Gaussian noise, and fits them with the nominal settings and their
   uncertainties (Experiment(uncertainties=...)). About 68 % of the fitted
   values should lie within +-1 combined standard uncertainty of the truth
   (and far fewer within +-1 statistical error alone, which ignores the
   settings).
2. Profile intervals. Noise-only realisations of the saturable absorber,
   whose tau_10 is the skewed case, fitted and profiled: the 68 % profile
   interval should hold the truth in about 68 % of them.

Each fraction passes within 0.58-0.78 (two binomial standard deviations
of 100 trials); the sd and mean of z = (fit - truth) / error are shown.
Run by `make validate` (the whole-beam model; --model on-axis for the
other); exits 1 when a fraction falls outside. Relies on the installed
zscanfit.
"""
import argparse
import sys
import time
import warnings

import numpy as np

import zscanfit
from coverage_cases import (ENERGIES_J, EXPERIMENT, NOISE_SD, RSA_TRUTH, SA_TRUTH,
                            start_at_truth, true_values)

BAND = (0.58, 0.78)
POSITIONS_MM = np.linspace(-15.0, 15.0, 31)
UNCERTAINTIES = {"w0": "5%", "pulse_energy_scale": 0.05}
CASES = (
    ("RSA", False, RSA_TRUTH, ("sigma_0", "sigma_1")),
    ("SA", True, SA_TRUTH, ("sigma_0", "tau_10")),
)


def _quiet_fit(*args, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", zscanfit.ZScanWarning)
        return zscanfit.fit(*args, **options)


def _scans(experiment, truth, scale, rng, model):
    options = dict(tolerance=1e-9) if model == "whole-beam" else {}
    scans = []
    for energy in ENERGIES_J:
        clean = zscanfit.model(experiment, list(truth), POSITIONS_MM, energy * scale,
                               normalise_to=POSITIONS_MM, model=model, **options)
        scans.append(zscanfit.Scan(POSITIONS_MM, clean + rng.normal(0.0, NOISE_SD, clean.shape),
                                   energy))
    return scans


def combined_coverage(name, is_sa, truth, free, realisations, seed, model):
    nominal = zscanfit.Experiment(**EXPERIMENT, uncertainties=UNCERTAINTIES)
    params = start_at_truth(truth, free)
    true = true_values(truth, free)
    rng = np.random.default_rng(seed)
    z_combined = {p: [] for p in free}
    z_statistical = {p: [] for p in free}
    for _ in range(realisations):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zscanfit.ZScanWarning)
            actual = zscanfit.Experiment(**dict(EXPERIMENT, w0=EXPERIMENT["w0"] *
                                                (1.0 + 0.05 * rng.normal())))
            scale = 1.0 + 0.05 * rng.normal()
            scans = _scans(actual, truth, scale, rng, model)
        result = _quiet_fit(scans, nominal, params, is_sa=is_sa, n_starts=1, center_mm=0.0,
                            model=model)
        for p in free:
            z_combined[p].append((result.values[p] - true[p]) / result.error_budget.combined[p])
            z_statistical[p].append((result.values[p] - true[p]) / result.stderr[p])
    return z_combined, z_statistical


def profile_coverage(realisations, seed, model):
    name, is_sa, truth, free = CASES[1]
    experiment = zscanfit.Experiment(**EXPERIMENT)
    params = start_at_truth(truth, free)
    true = true_values(truth, free)
    rng = np.random.default_rng(seed)
    inside = {p: 0 for p in free}
    z_linear = {p: [] for p in free}
    for _ in range(realisations):
        scans = _scans(experiment, truth, 1.0, rng, model)
        result = _quiet_fit(scans, experiment, params, is_sa=is_sa, n_starts=1, center_mm=0.0,
                            model=model)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            found = result.conf_interval(sigmas=(1,))
        for p in free:
            low, high = found.intervals[p][1.0]
            inside[p] += low <= true[p] <= high
            z_linear[p].append((result.values[p] - true[p]) / result.stderr[p])
    return inside, z_linear


def _row(case, p, label, fraction, z, judged=True):
    ok = BAND[0] <= fraction <= BAND[1]
    verdict = ("ok" if ok else "OUTSIDE " + str(BAND)) if judged else "(for comparison)"
    print(f"{case:<5}{p:<10}{label:<26}{fraction:>8.2f}{np.std(z):>9.2f}{np.mean(z):>9.2f}  "
          + verdict)
    return ok


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--realisations", type=int, default=100)
    parser.add_argument("--profile-realisations", type=int, default=100)
    parser.add_argument("--seed", type=int, default=20261209)
    parser.add_argument("--model", choices=("whole-beam", "on-axis"), default="whole-beam")
    args = parser.parse_args(argv)
    print(f"{args.model} model; {args.realisations} realisations per case, noise sd {NOISE_SD}, "
          f"true w0 and energy scale drawn from +-5 %, fitted with those uncertainties")
    print(f"{'case':<5}{'parameter':<10}{'within +-1':<26}{'fraction':>8}{'sd z':>9}{'mean z':>9}")
    passed = True
    for name, is_sa, truth, free in CASES:
        started = time.perf_counter()
        combined, statistical = combined_coverage(name, is_sa, truth, free, args.realisations,
                                                  args.seed, args.model)
        for p in free:
            z = np.array(combined[p])
            passed &= _row(name, p, "combined uncertainty", float(np.mean(np.abs(z) <= 1.0)), z)
            zs = np.array(statistical[p])
            _row(name, p, "statistical error alone", float(np.mean(np.abs(zs) <= 1.0)), zs,
                 judged=False)
        print(f"      ({time.perf_counter() - started:.0f} s)")
    started = time.perf_counter()
    inside, z_linear = profile_coverage(args.profile_realisations, args.seed + 1, args.model)
    print(f"\nprofile-likelihood 68 % intervals, {args.profile_realisations} noise realisations "
          f"of the SA (z of the linear errors beside them):")
    for p in inside:
        fraction = inside[p] / args.profile_realisations
        passed &= _row("SA", p, "profile 68 % interval", fraction, np.array(z_linear[p]))
    print(f"      ({time.perf_counter() - started:.0f} s)")
    print("coverage within", BAND, "for every check:", "yes" if passed else "NO")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
