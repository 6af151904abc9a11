"""Do the bootstrap's percentile intervals cover the truth as often as they
should? A coverage check on synthetic data.

A known reverse saturable absorber (sigma_0 and sigma_1 free) at two pulse
energies: the model entry makes noise-free scans, realisations of Gaussian
noise (fixed seeds) are added, each is fitted with the robust method and
bootstrapped (B residual resamplings, refitted on all cores through
fit_many). The 68 % interval should contain the truth in about 68 % of the
realisations; the check passes when the fraction of each parameter lies
within two binomial standard deviations of 0.68. The 95 % interval and the
covariance errors (+-1 standard error) are shown beside it. Run by `make
validate`; exits 1 when a fraction falls outside. The batch is the
parallelism here, so the model runs single-threaded (OMP_NUM_THREADS=1
unless set). Relies on the installed zscanfit.
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")  # read once, at the first model evaluation
# The bootstrap's machinery does not depend on the model; the on-axis
# model at coarse slices keeps the 2,000 refits to minutes.
MODEL = "on-axis"

import argparse  # noqa: E402
import math  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

import zscanfit  # noqa: E402
from zscanfit import bootstrap_fit  # noqa: E402

from coverage_cases import (CENTER_MM, ENERGIES_J, EXPERIMENT as FINE, NOISE_SD,  # noqa: E402
                            RSA_TRUTH, clean_values, noisy_scans, start_at_truth, true_values)

LEVEL = 0.68
POSITIONS_MM = np.linspace(-15.0, 15.0, 21)
EXPERIMENT = dict(FINE, t_slices=3, z_slices=3)  # B refits per realisation: coarser
FREE = ("sigma_0", "sigma_1")


def band(realisations):
    """Two binomial standard deviations about LEVEL for this many trials."""
    half = 2.0 * math.sqrt(LEVEL * (1.0 - LEVEL) / realisations)
    return LEVEL - half, LEVEL + half


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--realisations", type=int, default=50)
    parser.add_argument("--bootstrap", type=int, default=40, metavar="B")
    parser.add_argument("--seed", type=int, default=20261209)
    args = parser.parse_args(argv)
    experiment = zscanfit.Experiment(**EXPERIMENT)
    clean = clean_values(experiment, RSA_TRUTH, POSITIONS_MM, MODEL)
    truth = true_values(RSA_TRUTH, FREE)
    params = start_at_truth(RSA_TRUTH, FREE)
    rng = np.random.default_rng(args.seed)
    counts = {(p, kind): 0 for p in FREE for kind in ("68", "95", "se")}
    failed_refits = not_converged = 0
    lo_band, hi_band = band(args.realisations)
    print(f"{args.realisations} noise realisations, B = {args.bootstrap} refits each, noise sd "
          f"{NOISE_SD}, {len(POSITIONS_MM)} points x {len(ENERGIES_J)} energies, t_slices = "
          f"z_slices = {EXPERIMENT['t_slices']}, seed {args.seed}")
    started = time.perf_counter()
    for index in range(args.realisations):
        scans = noisy_scans(clean, POSITIONS_MM, rng)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zscanfit.ZScanWarning)
            result = zscanfit.fit(scans, experiment, params, n_starts=1, center_mm=CENTER_MM,
                                  model=MODEL)
            boot = bootstrap_fit(result, args.bootstrap, seed=args.seed + 1 + index,
                                 center_mm=CENTER_MM)
        not_converged += result.success is False
        failed_refits += boot.n_failed
        for p in FREE:
            for kind, level in (("68", 0.68), ("95", 0.95)):
                low, high = boot.intervals[p][level]
                counts[(p, kind)] += low <= truth[p] <= high
            counts[(p, "se")] += abs(result.values[p] - truth[p]) <= result.stderr[p]
    seconds = time.perf_counter() - started
    print(f"{'parameter':<10}{'68 % interval':>15}{'95 % interval':>15}{'+-1 stderr':>12}  verdict")
    passed = True
    for p in FREE:
        fractions = [counts[(p, kind)] / args.realisations for kind in ("68", "95", "se")]
        ok = lo_band <= fractions[0] <= hi_band
        passed &= ok
        print(f"{p:<10}{fractions[0]:>15.2f}{fractions[1]:>15.2f}{fractions[2]:>12.2f}  "
              f"{'ok' if ok else 'OUTSIDE'}")
    print(f"({not_converged} fits and {failed_refits} of {args.realisations * args.bootstrap} "
          f"refits not converged or failed; {seconds:.0f} s)")
    print(f"68 % interval coverage within ({lo_band:.2f}, {hi_band:.2f}) for every parameter:",
          "yes" if passed else "NO")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
