"""A whole fit with the beam-propagation model against the same fit with the
thin whole-beam model, same run.

The whole-beam demo data (examples/demo_whole_beam.csv, its 1 mm sample),
sigma_0 and sigma_1 free from start values 1.5 times the truth, the focus
fitted too, 3 starts, the default tolerance (1e-5). Two fits: the thin
model's, and the beam-propagation model's (its starts screened with the
thin model, the best refined), which may take at most LIMIT times the thin
fit (exit status 1 beyond). Also the beam-propagation fit from one start at
the thin fit's optimum (the focus moved by L / (2 n0)), which must give the
same values within a tenth of a standard error. Each fit is timed --repeat
times, alternating, and the fastest of each compared. Relies on the
installed zscanfit.
"""
import argparse
import pathlib
import sys
import time
import warnings

import numpy as np

import zscanfit

DEMO = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo_whole_beam.csv"
FREE = ("sigma_0", "sigma_1")
LIMIT = 20.0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args(argv)
    data = zscanfit.load_scans(DEMO)
    truth = np.array(data.settings.get("true_spec_pars", data.spec_pars))
    guess = truth.copy()
    for name in FREE:
        guess[zscanfit.PARAMETER_NAMES.index(name)] *= 1.5

    def run(model):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zscanfit.ZScanWarning)
            return zscanfit.fit(data.scans, data.experiment,
                                zscanfit.make_params(guess, free=FREE), n_starts=3,
                                model=model)

    def from_thin():
        thin = run("whole-beam")
        shift = 10.0 * data.experiment.sample_width / (2.0 * (
            data.experiment.refractive_index or 1.0))
        start = zscanfit.make_params(thin.spec_pars, free=FREE + ("center_mm",),
                                     center_mm=thin.values["center_mm"] + shift)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zscanfit.ZScanWarning)
            return zscanfit.fit(data.scans, data.experiment, start, n_starts=1,
                                model="beam-propagation")

    runs = {"whole-beam": lambda: run("whole-beam"),
            "beam-propagation": lambda: run("beam-propagation"),
            "b-p from thin": from_thin}
    times = {name: [] for name in runs}
    results = {}
    for _ in range(args.repeat):
        for name, fit in runs.items():
            started = time.perf_counter()
            results[name] = fit()
            times[name].append(time.perf_counter() - started)
    print(f"{'model':<18}{'fit (s)':>9}{'evals':>7}  " + "  ".join(
        f"{n:>22}" for n in FREE + ("center_mm",)))
    for model, result in results.items():
        cells = "  ".join(f"{result.values[n]:>11.5g} +- {result.stderr[n]:<8.2g}"
                          for n in FREE + ("center_mm",))
        print(f"{model:<18}{min(times[model]):>9.2f}{result.nfev:>7}  {cells}")
    ratio = min(times["beam-propagation"]) / min(times["whole-beam"])
    print(f"beam-propagation fit / whole-beam fit: {ratio:.1f} (limit {LIMIT:g})")
    a, b = results["beam-propagation"], results["b-p from thin"]
    same = all(abs(a.values[n] - b.values[n]) <= 0.1 * a.stderr[n]
               for n in FREE + ("center_mm",))
    print("the two beam-propagation fits agree within a tenth of a standard error: "
          + ("yes" if same else "NO"))
    return 0 if ratio <= LIMIT and same else 1


if __name__ == "__main__":
    sys.exit(main())
