"""Scans made in the script instead of read from a file: the whole-beam model
at known parameters plus noise, two scans of different lengths, one missing
point, per-point uncertainties and a bound. Prints what the fit found."""
import numpy as np
import zscanfit

exp = zscanfit.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9,
                          sample_width=0.1, populations=[3e17, 0, 0, 0, 0])
truth = [1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12]
x_mm = np.linspace(-20, 20, 41)
rng = np.random.default_rng(1)
t1 = zscanfit.model(exp, truth, x_mm, 5e-7, normalise_to=x_mm) + rng.normal(0, 3e-3, 41)
t1[7] = np.nan                                                      # NaN = missing point
x2_mm = np.linspace(-15, 15, 31)
t2 = zscanfit.model(exp, truth, x2_mm, 1.5e-6, normalise_to=x2_mm) + rng.normal(0, 3e-3, 31)
scans = [zscanfit.Scan(x_mm, t1, pulse_energy=5e-7, sigma=np.full(41, 3e-3)),
         zscanfit.Scan(x2_mm, t2, 1.5e-6, sigma=np.full(31, 3e-3))]   # lengths may differ
params = zscanfit.make_params(sigma_0=1.5e-17, sigma_1=6e-17, sigma_2=6e-17, tau_10=5e-9,
                              tau_13=1e-8, tau_21=1e-12, tau_30=1e-5, tau_43=1e-12,
                              free=["sigma_0", "sigma_1"],
                              bounds={"sigma_1": (1e-18, 1e-15)})  # default (0, inf)
result = zscanfit.fit(scans, exp, params, is_sa=False, n_starts=3)
print(result.values["sigma_1"], result.stderr["sigma_1"], result.redchi, result.success)
