"""The two models side by side for the demo's reverse saturable absorber at
0.5 and 1.5 uJ: the whole-beam model (what an open-aperture detector
measures) and the on-axis model of fit_zscan at 10 x 10 slices, both
normalised on the scan's wings. Writes models_compared.png."""
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

import zscanfit

exp = zscanfit.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9,
                          sample_width=0.1, populations=[3e17, 0, 0, 0, 0])
truth = [1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12]
x_mm = np.linspace(-20, 20, 401)
energies = [5e-7, 1.5e-6]
whole = zscanfit.model(exp, truth, x_mm, energies, normalise_to=x_mm)   # one row per energy
on_axis = zscanfit.model(exp, truth, x_mm, energies, normalise_to=x_mm, model="on-axis")

figure = Figure(figsize=(6.4, 3.6), constrained_layout=True)
FigureCanvasAgg(figure)
ax = figure.subplots()
for k, energy in enumerate(energies):
    ax.plot(x_mm, whole[k], color=f"C{k}", label=f"whole-beam, {energy * 1e6:g} µJ")
    ax.plot(x_mm, on_axis[k], "--", color=f"C{k}", label=f"on-axis 10 × 10, {energy * 1e6:g} µJ")
ax.set_xlabel("sample position z (mm)")
ax.set_ylabel("normalised transmittance")
ax.legend(fontsize="small", frameon=False)
figure.savefig("models_compared.png", dpi=110)
