"""Times a batch of demo-sized fits three ways: one after another, on two
local threads (fit_many's pool), and on a two-worker Dask LocalCluster
(two processes, one thread each, on the loopback interface), and prints
the speedups. Every fit is the bundled whole-beam demo data (41 points at
two pulse energies), sigma_0 and sigma_1 fitted by the robust method with
the whole-beam model from a guess 1.5 times too large. The three ways take turns
in rounds, so that a change of the machine's load falls on all of them
alike. The results must agree bit for bit.

The batch is the parallelism here: the model runs single-threaded
(OMP_NUM_THREADS=1, set before zscanfit is imported; Dask sets the same in
its worker processes), so that the fits' own worker threads do not compete
with the batch for the cores. Relies on the installed zscanfit and on
dask.distributed.
"""
import os

os.environ["OMP_NUM_THREADS"] = "1"  # read once, at the first model evaluation

import argparse  # noqa: E402
import pathlib  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import zscanfit  # noqa: E402
from zscanfit import FitJob, fit_many  # noqa: E402

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo_whole_beam.csv"
FREE = ("sigma_0", "sigma_1")
WORKERS = 2


def demo_job():
    """The whole-beam demo data from their start values (1.5 times the truth)."""
    data = zscanfit.load_scans(DEMO)
    return FitJob(data.scans, data.experiment, data.params(free=FREE))


def run_checked(label, run):
    results = run()
    failures = [r for r in results if not isinstance(r, zscanfit.FitResult)]
    if failures:
        raise SystemExit(f"{label}: {failures[0]}")
    return results


def bits(result):
    return tuple(float(result.params[name].value).hex() for name in FREE) + (result.chisqr.hex(),)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fits", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=4,
                        help="the three ways take turns, fits/rounds fits each per round, so "
                             "that a change of the machine's load falls on all three alike")
    parser.add_argument("--starts", type=int, default=1,
                        help="starts per fit (default 1; the demo itself uses 3)")
    args = parser.parse_args(argv)
    from distributed import Client, LocalCluster

    job = demo_job()
    options = dict(n_starts=args.starts)
    warnings.simplefilter("ignore", zscanfit.ZScanWarning)
    print(f"{args.fits} demo fits ({args.starts} start each) per way, in {args.rounds} rounds; "
          f"model single-threaded; {os.cpu_count()} CPUs; load average "
          f"{os.getloadavg()[0]:.1f} at the start")
    started = time.perf_counter()
    with LocalCluster(n_workers=WORKERS, processes=True, threads_per_worker=1,
                      host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("zscanfit"))
        start_up = time.perf_counter() - started
        ways = {
            "serial": lambda jobs: [zscanfit.fit(j.scans, j.experiment, j.params, **options)
                                    for j in jobs],
            f"fit_many, {WORKERS} threads": lambda jobs: fit_many(jobs, workers=WORKERS,
                                                                  **options),
            f"fit_many, LocalCluster {WORKERS} workers": lambda jobs: fit_many(
                jobs, client=client, **options),
        }
        seconds = {label: 0.0 for label in ways}
        results = {label: [] for label in ways}
        for round_index in range(args.rounds):
            jobs = [job] * (args.fits // args.rounds + (round_index < args.fits % args.rounds))
            for label, run in ways.items():
                began = time.perf_counter()
                results[label] += run_checked(label, lambda: run(jobs))
                seconds[label] += time.perf_counter() - began
    reference = results["serial"][0]
    same = all(bits(r) == bits(reference) for rs in results.values() for r in rs)
    serial = seconds["serial"]
    print(f"{'way':<34}{'seconds':>9}{'per fit':>9}{'speedup':>9}")
    for label, total in seconds.items():
        print(f"{label:<34}{total:>9.1f}{total / args.fits:>9.2f}{serial / total:>8.2f}x")
    print(f"(cluster start and worker imports, not timed above: {start_up:.1f} s; load "
          f"average {os.getloadavg()[0]:.1f} at the end)")
    print("results bit-identical in every run:", "yes" if same else "NO")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
