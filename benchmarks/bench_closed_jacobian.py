"""Why a fit with closed-aperture scans takes forward differences as its
Jacobian: the cost of the closed-aperture engine's own derivatives (by
differences of evaluations a hundred times tighter) against one
evaluation, for the demo's pair of scans (open and S = 0.3, 25 points
each, normalised on their wings) and three free optical parameters. The
fit's forward differences cost one evaluation per free parameter. Ratios
within one run: python benchmarks/bench_closed_jacobian.py
"""
import time

import numpy as np

import zscanfit
from zscanfit.evaluation.models import ModelSpec, ScanRequest, scans_values

EXPERIMENT = zscanfit.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=30e-12,
                                 sample_width=0.1, populations=[2e18, 0, 0, 0, 0])
SPEC = np.array((0.0, 2e-17, 1e-17, 1e-9, 1e-8, 1e-12, 1e-5, 1e-12))
OPTICS = dict(beta=1e-9, n2=5e-15, sigma_r1=-1e-17)
X = np.linspace(-12.0, 12.0, 25)
REQUESTS = [ScanRequest(X, X, 1e-6, None), ScanRequest(X, X, 1e-6, 0.3)]


def best_of(repeats, work):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    spec = ModelSpec()
    one = best_of(3, lambda: scans_values(spec, EXPERIMENT, SPEC, REQUESTS, optics=OPTICS))
    slopes = best_of(2, lambda: scans_values(spec, EXPERIMENT, SPEC, REQUESTS, optics=OPTICS,
                                             derivatives=tuple(OPTICS)))
    print(f"closed-aperture evaluation of 2 x 25 points: {one:.3f} s")
    print(f"with the engine's derivatives of {len(OPTICS)} parameters: {slopes:.3f} s "
          f"= {slopes / one:.1f} evaluations (forward differences: {len(OPTICS)})")


if __name__ == "__main__":
    main()
