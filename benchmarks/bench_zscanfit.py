"""zscanfit's robust fits against fit_zscan, same run.

Two comparisons, each fitting sigma_0 and sigma_1 with 3 starts:
1. The documented demo data (examples/demo_rsa.csv, from a guess 1.5 times
   too large): the robust fit of the on-axis model (standard errors
   included) may take at most twice fit_zscan's time.
2. The whole-beam demo data (examples/demo_whole_beam.csv, from its start
   values 1.5 times the truth): the robust fit of the whole-beam model may
   take no longer than fit_zscan with 3 starts on the same data.
Each fit is timed --repeat times, alternating, and the fastest of each
compared (exit status 1 when a ratio exceeds its limit). Also prints the
models' integration noise at the truth (zscanfit.estimate_model_noise),
the figure the robust method's finite-difference step is matched to.
Relies on the installed zscanfit and kesp_wrapper.
"""
import argparse
import pathlib
import sys
import time
import warnings

import numpy as np

import kesp_wrapper
import zscanfit
from zscanfit import _core

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
FREE = ("sigma_0", "sigma_1")
CASES = (("demo_rsa.csv", "on-axis", 2.0), ("demo_whole_beam.csv", "whole-beam", 1.0))


def compare(path, model, limit, repeat):
    data = zscanfit.load_scans(path)
    exp = data.experiment
    truth = np.array(data.settings.get("true_spec_pars", data.spec_pars))
    guess = np.array(data.spec_pars)
    indices = np.array([zscanfit.PARAMETER_NAMES.index(n) for n in FREE], dtype=np.int32)
    if "true_spec_pars" not in data.settings:
        guess[indices] *= 1.5
    params = zscanfit.make_params(guess, free=FREE)
    x = np.concatenate([s.x_mm for s in data.scans])
    y = np.concatenate([s.transmittance for s in data.scans])
    energies = np.array([s.pulse_energy for s in data.scans])

    def run_fit_zscan():
        with _core.MessageCapture():
            return kesp_wrapper.fit_zscan(
                x, y, exp.populations_array(), exp.t_slices, exp.z_slices, exp.sample_width,
                exp.tau, exp.wavelength, exp.w0, exp.M2, energies, guess.copy(), indices,
                data.scans[0].n_points, len(data.scans), is_sa=False, n_starts=3)

    def run_robust():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zscanfit.ZScanWarning)
            # The free list of fit_zscan's: sigma_0 and sigma_1, the focus at
            # the data's extremum as fit_zscan keeps it.
            return zscanfit.fit(data.scans, exp, params, n_starts=3, model=model,
                                fix_focus=True)

    times = {"fit_zscan": [], "robust": []}
    for _ in range(repeat):
        for name, run in (("fit_zscan", run_fit_zscan), ("robust", run_robust)):
            started = time.perf_counter()
            outcome = run()
            times[name].append(time.perf_counter() - started)
            if name == "fit_zscan":
                _, error, fitted = outcome
            else:
                result = outcome
    best = {name: min(values) for name, values in times.items()}
    ratio = best["robust"] / best["fit_zscan"]
    print(f"\n{path.name}: {len(y)} points, 2 pulse energies, free {', '.join(FREE)}, 3 starts, "
          f"best of {repeat}")
    print(f"{'':<30}{'seconds':>9}{'evaluations':>13}{'chi-square':>14}"
          f"{'sigma_0':>12}{'sigma_1':>12}")
    print(f"{'fit_zscan (on-axis, 10 x 10)':<30}{best['fit_zscan']:>9.2f}{'-':>13}"
          f"{error ** 2:>14.7g}{fitted[0]:>12.5g}{fitted[1]:>12.5g}")
    print(f"{'zscanfit robust, ' + model:<30}{best['robust']:>9.2f}{result.nfev:>13}"
          f"{result.chisqr:>14.7g}{result.values['sigma_0']:>12.5g}"
          f"{result.values['sigma_1']:>12.5g}")
    print(f"robust ({model}) / fit_zscan = {ratio:.2f} (limit {limit:g}); true values "
          f"{truth[0]:.4g}, {truth[1]:.4g}")
    print(f"integration noise of the {model} model at the truth (relative change of one "
          "parameter):")
    print(f"{'parameter':<10}{'noise':>10}{'slope':>10}{'curvature':>11}{'best step':>11}"
          f"{'error there':>13}{'error at 1.5e-8':>17}")
    for name in FREE:
        noise = zscanfit.estimate_model_noise(data.scans, exp, zscanfit.make_params(truth),
                                              name, model=model)
        print(f"{name:<10}{noise.noise:>10.2g}{noise.slope:>10.3g}{noise.curvature:>11.3g}"
              f"{noise.forward_step:>11.2g}{noise.derivative_error:>13.2g}"
              f"{noise.lmdif_error:>17.2g}")
    return ratio <= limit


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args(argv)
    passed = all([compare(EXAMPLES / name, model, limit, args.repeat)
                  for name, model, limit in CASES])
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
