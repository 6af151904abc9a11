"""Fits the open- and closed-aperture scans of examples/demo_open.csv and
examples/demo_closed.csv together (made by make_closed_aperture_demo.py):
beta, n2 and sigma_r1 shared by both, from starts 1.5 times the values
the data were made with, and prints the report (the scans' kinds, the
phase at the focus, chi(3) and the two-photon cross-section). Run it with
the package installed: python examples/closed_aperture_demo.py
"""
import pathlib

import zscanfit

HERE = pathlib.Path(__file__).resolve().parent


def main():
    opened = zscanfit.load_scans(HERE / "demo_open.csv")
    closed = zscanfit.load_scans(HERE / "demo_closed.csv")
    starts = dict(beta=1.5e-9, n2=7.5e-15, sigma_r1=-1.5e-17)
    params = zscanfit.make_params(opened.spec_pars, free=list(starts), **starts)
    result = zscanfit.fit(opened.scans + closed.scans, opened.experiment, params,
                          n_starts=1, center_mm=0.0)
    print(result.report())


if __name__ == "__main__":
    main()
