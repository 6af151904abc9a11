"""A peer of the compiled whole-beam model in NumPy and SciPy: the same model
(the energy transmittance Te / Te_lin of a Gaussian pulse and beam through a
thin five-level absorber), written as a scientist would write it with these
tools, for the benchmark that times the compiled engine against it.

The local fluence transmittance Tloc depends on the local peak intensity
alone, so one table of it serves every position of every scan: Tloc at the
Chebyshev points of ln I over the top ``table_span`` e-folds below the
largest peak intensity of the scans, all computed in one stiff integration.
Each table point is a method of lines in depth: the populations at
Gauss-Legendre collocation points z_j of the sample, the intensity at z_j
from the optical depth integrated exactly over the polynomial through the
points' absorption, and the transmitted fluence as one more state. SciPy's
BDF integrates the table's system in time (t / tau over +-window) with the
analytic Jacobian, block by block. Below the table Tloc is extrapolated
linearly in I towards Te_lin. Over the beam, u = exp(-2 r^2 / w^2) = e^v:
Te = int_0^1 Tloc(I0 u) du = Te_lin e^-U + int_-U^0 Tloc(I0 e^v) e^v dv,
Gauss-Legendre in v.

The initial populations are stationary in the dark with the model's
proportional compensation (the reference's dark_compensation). The
experiment, the rate matrices and the peak intensity come from the tests'
reference module (tests/zscanfit/whole_beam_reference.py), whose Settings
describe an experiment; the numerical scheme is this file's own. Relies on
NumPy, SciPy (solve_ivp's BDF, sparse LU) and that module.
"""
import dataclasses
import math
import pathlib
import sys

import numpy as np
from scipy import sparse
from scipy.integrate import solve_ivp

REFERENCE_DIR = pathlib.Path(__file__).resolve().parents[1] / "tests" / "zscanfit"
if str(REFERENCE_DIR) not in sys.path:
    sys.path.insert(0, str(REFERENCE_DIR))

import whole_beam_reference as ref  # noqa: E402

__all__ = ["PeerResolution", "PeerValues", "whole_beam_scans", "local_transmittance_table"]

GAUSS_RATE = 4.0 * math.log(2.0)


@dataclasses.dataclass(frozen=True)
class PeerResolution:
    """How finely the peer computes; the defaults are the coarsest that
    meet 1e-5 on the benchmark's cases (benchmarks/README.md).

    table_nodes Chebyshev points of ln I over the top table_span e-folds;
    depth_nodes collocation points in depth; transverse_nodes Gauss-Legendre
    nodes in v = ln u over [-transverse_span, 0]; the time window +-window
    tau; BDF's longest step (in tau: the system is at rest where the pulse
    starts, so without it the first steps can jump over the pulse) and its
    relative and absolute tolerances (populations in units of the total,
    fluence in units of peak intensity times tau)."""
    table_nodes: int = 12
    table_span: float = 6.0
    depth_nodes: int = 2
    transverse_nodes: int = 8
    transverse_span: float = 6.0
    window: float = 2.0
    max_step: float = 2.0
    rtol: float = 2e-5
    atol: float = 4.8e-8


@dataclasses.dataclass
class PeerValues:
    """Te / Te_lin of every scan (a list of arrays), the table's peak
    intensities (W/cm^2) and Tloc there, and the integration's counts."""
    values: list
    table_intensity: np.ndarray
    table_tloc: np.ndarray
    steps: int
    jacobians: int
    factorisations: int


def _depth_rule(nodes, width):
    """Gauss-Legendre points z_j of [0, width], their weights, and Q with
    int_0^z_j f dz = sum_k Q[j, k] f(z_k) for the polynomial through the points."""
    x, w = np.polynomial.legendre.leggauss(nodes)
    vander = np.polynomial.legendre.legvander(x, nodes - 1)           # (point, degree)
    lagrange = np.linalg.inv(vander)                                   # column k: l_k's coefficients
    integrals = np.polynomial.legendre.legint(lagrange, lbnd=-1.0, axis=0)
    q = np.polynomial.legendre.legval(x, integrals).T                  # (point j, basis k)
    scale = 0.5 * width
    return scale * (x + 1.0), scale * w, scale * q


class _TableSystem:
    """The table's stiff system: for every table point, the populations at
    the depth points (in units of the total) and the transmitted fluence."""

    def __init__(self, settings, intensities, resolution):
        s = settings
        K, B = ref.rate_matrices(s)
        K = K + ref.dark_compensation(s)
        n_init = np.asarray(s.populations, dtype=float)
        total = n_init.sum()
        _, self.depth_w, self.depth_q = _depth_rule(resolution.depth_nodes, s.sample_width)
        self.points, self.depth = len(intensities), resolution.depth_nodes
        self.block = 5 * self.depth + 1
        self.tau = s.tau
        self.K, self.B = K * s.tau, B
        # alpha = total * sigma . n (cm^-1): levels 0, 1 and 3 absorb.
        sig = np.zeros(5)
        sig[[0, 1, 3]] = s.spec_pars[:3]
        self.sigma = total * sig
        # Photon flux x tau at the peak of every table point (cm^-2).
        self.peak_flux = np.asarray(intensities, dtype=float) * s.tau / s.photon_energy
        y0 = np.zeros((self.points, self.block))
        y0[:, :-1] = np.tile(n_init / total if total > 0.0 else n_init, self.depth)
        self.y0 = y0.ravel()
        blocks = np.arange(self.points)
        self.pattern = (blocks, np.arange(self.points + 1))

    def _parts(self, s, y):
        y = y.reshape(self.points, self.block)
        n = y[:, :-1].reshape(self.points, self.depth, 5)
        alpha = n @ self.sigma                                           # (point, depth)
        pulse = math.exp(-GAUSS_RATE * s * s)
        flux = self.peak_flux[:, None] * pulse * np.exp(-alpha @ self.depth_q.T)
        out = pulse * np.exp(-alpha @ self.depth_w)                     # (point,)
        return n, flux, out

    def rhs(self, s, y):
        n, flux, out = self._parts(s, y)
        dn = n @ self.K.T + flux[..., None] * (n @ self.B.T)
        return np.concatenate([dn.reshape(self.points, -1), out[:, None]], axis=1).ravel()

    def jacobian(self, s, y):
        n, flux, out = self._parts(s, y)
        p, m, b = self.points, self.depth, self.block
        jac = np.zeros((p, b, b))
        core = jac[:, :-1, :-1].reshape(p, m, 5, m, 5)
        eye = np.arange(m)
        # d(flux_j B n_j)/dn_k = -flux_j Q_jk (B n_j) sigma^T; the diagonal
        # blocks add K + flux_j B.
        bn = n @ self.B.T                                                # (point, depth, 5)
        coupling = -(flux[:, :, None] * self.depth_q[None])              # (point, j, k)
        core += (coupling[:, :, None, :, None] * bn[:, :, :, None, None]
                 * self.sigma[None, None, None, None, :])
        core[:, eye, :, eye, :] += self.K + flux.T[:, :, None, None] * self.B
        jac[:, :-1, :-1] = core.reshape(p, b - 1, b - 1)
        jac[:, -1, :-1] = -(out[:, None, None] * self.depth_w[None, :, None]
                            * self.sigma[None, None, :]).reshape(p, -1)
        return sparse.bsr_matrix((jac, *self.pattern), shape=(p * b, p * b))


def local_transmittance_table(settings, intensities, resolution=PeerResolution()):
    """Tloc at the given peak intensities (W/cm^2), all in one integration;
    also the solver's counts (steps, Jacobians, LU factorisations)."""
    system = _TableSystem(settings, intensities, resolution)
    w = resolution.window
    sol = solve_ivp(system.rhs, (-w, w), system.y0, method="BDF", jac=system.jacobian,
                    max_step=resolution.max_step, rtol=resolution.rtol, atol=resolution.atol)
    if not sol.success:
        raise RuntimeError(f"the table's integration failed: {sol.message}")
    fluence_in = math.sqrt(math.pi / GAUSS_RATE) * math.erf(math.sqrt(GAUSS_RATE) * w)
    tloc = sol.y[:, -1].reshape(system.points, system.block)[:, -1] / fluence_in
    return tloc, (sol.t.size - 1, sol.njev, sol.nlu)


def whole_beam_scans(settings, scans, resolution=PeerResolution()):
    """Te / Te_lin at every position of every scan, from one table.

    Parameters
    ----------
    settings : whole_beam_reference.Settings
        The experiment and absorber.
    scans : sequence of (positions_mm, pulse_energy)
        Positions in mm from the focus and the pulse energy in J.
    resolution : PeerResolution

    Returns
    -------
    PeerValues
    """
    peaks = [np.asarray(ref.peak_intensity(settings, e, np.asarray(x, dtype=float)))
             for x, e in scans]
    top = math.log(max(float(p.max()) for p in peaks))
    lo, span = top - resolution.table_span, resolution.table_span
    cheb = np.cos(np.pi * (np.arange(resolution.table_nodes) + 0.5) / resolution.table_nodes)
    x_nodes = lo + 0.5 * span * (cheb + 1.0)
    tloc, counts = local_transmittance_table(settings, np.exp(x_nodes), resolution)
    te_lin = settings.te_lin
    coef = np.polynomial.chebyshev.chebfit(cheb, tloc, resolution.table_nodes - 1)
    bottom = np.polynomial.chebyshev.chebval(-1.0, coef)
    v, wv = np.polynomial.legendre.leggauss(resolution.transverse_nodes)
    v = 0.5 * resolution.transverse_span * (v - 1.0)
    wv = 0.5 * resolution.transverse_span * wv * np.exp(v)
    values = []
    for p in peaks:
        x = np.log(p)[:, None] + v[None, :]
        inside = x >= lo
        t = np.where(inside, np.polynomial.chebyshev.chebval(
                         np.clip(2.0 * (x - lo) / span - 1.0, -1.0, 1.0), coef),
                     te_lin + (bottom - te_lin) * np.exp(np.minimum(x - lo, 0.0)))
        te = te_lin * math.exp(-resolution.transverse_span) + t @ wv
        values.append(te / te_lin)
    return PeerValues(values, np.exp(x_nodes), tloc, *counts)
