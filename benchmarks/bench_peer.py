"""The compiled whole-beam engine against its NumPy/SciPy peer, same run.

For each case of peer_cases.py (the demo reverse saturable absorber at 0.5
and 1.5 uJ, the saturable absorber at 0.5 and 1 uJ, 41 points each): one
evaluation of both scans by the engine at tolerance 1e-5 on one thread
(zscanfit's door to it, both energies in one call) and by the peer
(whole_beam_peer.py at its default resolution, one table for both
energies), alternating, best of --repeat each. Prints both times, their
ratio and both largest errors against the converged values
(peer_converged.json). Exit status 1 when the engine is less than 10 times
faster than the peer on a case, or when either misses 1e-5.

The engine reads OMP_NUM_THREADS once, at its first evaluation: this script
sets it to 1 before anything is imported, and so keeps NumPy's own threads
at one as well. Relies on the installed zscanfit, NumPy and SciPy.
"""
import os

os.environ["OMP_NUM_THREADS"] = "1"  # read once, at the first model evaluation
os.environ["OPENBLAS_NUM_THREADS"] = "1"

import argparse  # noqa: E402
import dataclasses  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import zscanfit  # noqa: E402
from zscanfit import _native  # noqa: E402

import peer_cases  # noqa: E402
import whole_beam_peer  # noqa: E402

TOLERANCE = 1e-5
LEAST_RATIO = 10.0


@dataclasses.dataclass
class Comparison:
    """One case: best times (s), largest errors against the converged values,
    the engine's largest error estimate and the peer's table counts."""
    name: str
    engine_seconds: float
    peer_seconds: float
    engine_error: float
    peer_error: float
    engine_estimate: float
    peer_counts: str

    @property
    def ratio(self):
        return self.peer_seconds / self.engine_seconds


def engine_call(case):
    """A function evaluating both scans of ``case`` with the engine: Te/Te_lin
    (energies, positions) and the largest error estimate."""
    s = case.settings
    exp = zscanfit.Experiment(wavelength=s.wavelength, w0=s.w0, M2=s.M2, tau=s.tau,
                              sample_width=s.sample_width, populations=list(s.populations))
    positions = np.tile(np.array(case.positions_mm), len(case.pulse_energies))
    counts = [len(case.positions_mm)] * len(case.pulse_energies)
    spec_pars = np.array(s.spec_pars)

    def run():
        values, errors, _ = _native.whole_beam_values(positions, counts, case.pulse_energies,
                                                      spec_pars, exp, TOLERANCE)
        return values.reshape(len(counts), -1), float(np.max(errors))
    return run


def peer_call(case):
    """A function evaluating both scans of ``case`` with the peer."""
    scans = [(case.positions_mm, e) for e in case.pulse_energies]

    def run():
        return whole_beam_peer.whole_beam_scans(case.settings, scans)
    return run


def compare(case, converged, repeat):
    engine, peer = engine_call(case), peer_call(case)
    times = {"engine": [], "peer": []}
    for _ in range(repeat):
        for name, run in (("engine", engine), ("peer", peer)):
            started = time.perf_counter()
            outcome = run()
            times[name].append(time.perf_counter() - started)
            if name == "engine":
                engine_values, estimate = outcome
            else:
                peer_result = outcome
    peer_values = np.array(peer_result.values)
    return Comparison(
        case.name, min(times["engine"]), min(times["peer"]),
        float(np.abs(engine_values - converged).max()),
        float(np.abs(peer_values - converged).max()), estimate,
        f"{peer_result.table_intensity.size} table points, {peer_result.steps} BDF steps, "
        f"{peer_result.factorisations} LU")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9, help="evaluations per side (best kept)")
    args = parser.parse_args(argv)
    converged = peer_cases.converged_values()
    print(f"one evaluation of two 41-point scans, tolerance {TOLERANCE:g}, one thread; "
          f"best of {args.repeat}; errors: largest |Te/Te_lin - converged|")
    print(f"{'case':<6}{'engine s':>10}{'peer s':>10}{'peer/engine':>13}{'engine error':>14}"
          f"{'(estimate)':>12}{'peer error':>12}  peer")
    failed = False
    for case in peer_cases.cases():
        c = compare(case, converged[case.name], args.repeat)
        print(f"{c.name:<6}{c.engine_seconds:>10.4f}{c.peer_seconds:>10.4f}{c.ratio:>13.2f}"
              f"{c.engine_error:>14.1e}{c.engine_estimate:>12.1e}{c.peer_error:>12.1e}  "
              f"{c.peer_counts}")
        failed |= c.ratio < LEAST_RATIO or max(c.engine_error, c.peer_error) > TOLERANCE
    print(f"the engine must be at least {LEAST_RATIO:g} times faster than the peer, and both "
          f"within {TOLERANCE:g}: {'not met' if failed else 'met'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
