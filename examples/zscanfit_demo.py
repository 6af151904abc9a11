"""Fits the bundled whole-beam z-scan data with zscanfit: report and figure.

The data (demo_whole_beam.csv, made by make_whole_beam_demo.py) are what an
open-aperture detector measures of a reverse saturable absorber at two
pulse energies: the whole-beam model at known parameters, with seeded
Gaussian noise. Its '#' lines give the experiment, start values 1.5 times
the true cross-sections (spec_pars) and the truth (true_spec_pars). The fit
frees the ground-state and excited-state cross-sections with the
whole-beam model, prints the report (the model named, values with standard
errors, correlations, convergence, warnings) beside the true values, and
draws data, fitted curves and residuals to examples/output/zscanfit_fit.png.
"""
import pathlib
import time

import zscanfit

HERE = pathlib.Path(__file__).resolve().parent
FREE = ("sigma_0", "sigma_1")


def main():
    data = zscanfit.load_scans(HERE / "demo_whole_beam.csv")
    truth = dict(zip(zscanfit.PARAMETER_NAMES, data.settings["true_spec_pars"]))
    params = data.params(free=FREE)
    started = time.perf_counter()
    result = zscanfit.fit(data.scans, data.experiment, params, n_starts=3)
    seconds = time.perf_counter() - started
    print(result.report())
    print()
    print(f"model: {result.model.name} (tolerance {result.model.tolerance:g}; largest error "
          f"estimate at the fit {result.model_error:.2g}); fitted in {seconds:.1f} s")
    print(f"{'parameter':<10}{'true':>12}{'fitted':>12}{'std error':>12}{'(fit-true)/error':>18}")
    for name in FREE:
        value, error = result.values[name], result.stderr[name]
        print(f"{name:<10}{truth[name]:>12.4g}{value:>12.4g}{error:>12.2g}"
              f"{(value - truth[name]) / error:>18.2f}")
    print(f"noise estimated from the residuals: {result.noise:.4f} "
          f"(added: {data.settings['noise_sd'][0]:g})")
    output = HERE / "output"
    output.mkdir(exist_ok=True)
    result.plot(output / "zscanfit_fit.png")
    print(f"plot written to {output / 'zscanfit_fit.png'}")


if __name__ == "__main__":
    main()
