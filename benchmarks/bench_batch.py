"""Times a batch of demo-sized fits three ways: one after another, on two
local threads (fit_many's pool), and on a two-worker Dask LocalCluster
(two processes, one thread each, on the loopback interface), and prints
the speedups. Every fit is the bundled demo data (41 points at two pulse
energies, 10 time slices, 10 slabs), sigma_0 and sigma_1 fitted by the
robust method from a guess 1.5 times too large. The results of the three
runs must agree bit for bit.

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
from zscanfit.batch import FitJob, fit_many  # noqa: E402

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo_rsa.csv"
FREE = ("sigma_0", "sigma_1")
WORKERS = 2


def demo_job():
    data = zscanfit.load_scans(DEMO)
    truth = data.spec_pars
    params = zscanfit.make_params(truth, free=FREE, **{
        name: 1.5 * truth[zscanfit.PARAMETER_NAMES.index(name)] for name in FREE})
    return FitJob(data.scans, data.experiment, params)


def timed(label, run):
    started = time.perf_counter()
    results = run()
    seconds = time.perf_counter() - started
    failures = [r for r in results if not isinstance(r, zscanfit.FitResult)]
    if failures:
        raise SystemExit(f"{label}: {failures[0]}")
    return seconds, results


def bits(result):
    return tuple(float(result.params[name].value).hex() for name in FREE) + (result.chisqr.hex(),)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fits", type=int, default=40)
    parser.add_argument("--starts", type=int, default=1,
                        help="starts per fit (default 1; the demo itself uses 3)")
    args = parser.parse_args(argv)
    from distributed import Client, LocalCluster

    jobs = [demo_job()] * args.fits
    options = dict(n_starts=args.starts)
    warnings.simplefilter("ignore", zscanfit.ZScanWarning)
    print(f"{args.fits} demo fits ({args.starts} start each), model single-threaded, "
          f"{os.cpu_count()} CPUs")
    serial, reference = timed("serial", lambda: [zscanfit.fit(j.scans, j.experiment, j.params,
                                                              **options) for j in jobs])
    threads, threaded = timed("threads", lambda: fit_many(jobs, workers=WORKERS, **options))
    started = time.perf_counter()
    with LocalCluster(n_workers=WORKERS, processes=True, threads_per_worker=1,
                      host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("zscanfit"))
        start_up = time.perf_counter() - started
        dask_seconds, clustered = timed("cluster", lambda: fit_many(jobs, client=client,
                                                                    **options))
    same = all(bits(a) == bits(b) == bits(c) for a, b, c in zip(reference, threaded, clustered))
    print(f"{'run':<34}{'seconds':>9}{'per fit':>9}{'speedup':>9}")
    for label, seconds in (("serial", serial), (f"fit_many, {WORKERS} threads", threads),
                           (f"fit_many, LocalCluster {WORKERS} workers", dask_seconds)):
        print(f"{label:<34}{seconds:>9.1f}{seconds / args.fits:>9.2f}{serial / seconds:>8.2f}x")
    print(f"(cluster start and worker imports, not timed above: {start_up:.1f} s)")
    print("results bit-identical in all three runs:", "yes" if same else "NO")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
