"""Slow, converged evaluation of the closed-aperture z-scan signal, for the
tests of the compiled closed-aperture model to be checked against.

The model (thin sample, whole beam). Beam and pulse as in the whole-beam
model (whole_beam_reference.py): z0 = pi w0^2 / (M2 lambda), w(z) = w0
sqrt(1 + (z/z0)^2), a Gaussian pulse of intensity FWHM tau carrying exactly
the pulse energy, I0(z) = 1e-4 E / ((pi w^2 / 2) tau sqrt(pi / (4 ln 2)))
W/cm^2. Field ~ exp(i(kz - wt)), z < 0 before the focus; incident field
sqrt(I) exp(+i k r^2 / (2 R(z))), R(z) = z (1 + (z0/z)^2). Through the
sample (depth z' in [0, L], no diffraction inside it), at every (r, t):
    dI/dz'   = -(s0 N0 + s1 N1 + s2 N3) I - beta f0 I^2
    dphi/dz' = k n2 I + sr1 N1 + sr3 N3
and the five rate equations of the whole-beam model plus two-photon
excitation W2 = beta f0 I^2 / (2 h nu) from level 0 to level 2, f0 = N0 /
N_total (1 without absorber population: a host's two-photon absorption).
The initial populations must be a true dark steady state. Exit field
sqrt(I_exit) exp(i k r^2 / (2R) + i phi); an aperture of radius r_a at D = d
- z behind the sample sees the radially symmetric Fresnel integral
    E_a(rho) = (k / (i D)) e^{i k rho^2 / 2D} int E_exit e^{i k r^2 / 2D} J0(k r rho / D) r dr
at every time; S = 1 - exp(-2 r_a^2 / w_a^2), w_a = w0 sqrt(1 + (d/z0)^2)
(the embedded Gaussian's radius at the aperture plane); d = inf is the far
field at fixed S: the aperture subtends the angle theta_a = (w0/z0)
sqrt(-ln(1 - S) / 2) seen from the sample. Signal P = int dt int_0^r_a
|E_a|^2 2 pi rho drho; T = P / P_lin, P_lin the same with every nonlinear
response switched off (the exit field sqrt(Te_lin) E_in e^{i phi_lin}).
S = 1 is the open aperture (P the energy leaving the sample); S = 0 the
on-axis limit (the ratio of the on-axis fluences). With M2 = 1 the linear
beam puts exactly S of its energy through the aperture at every position
and distance; with M2 != 1 the incident field is no free-space mode of that
z0, and P_lin (computed, like P) is not S E Te_lin.

Dimensionless form. With s = r^2 / w^2 and the exit field sqrt(I0) a(s, t)
e^{i q s}, q = k w^2 (1/R + 1/D) / 2 (1/D = 0 in the far field), and b = k w
rho / D (b = k w theta in the far field):
    P(t) = I0 (pi w^2 / 2) int_0^b_a |G(b, t)|^2 b db,
    G(b, t) = int_0^inf a(s, t) e^{i q s} J0(b sqrt(s)) ds,
whose integrands are entire functions of s and b^2. The linear beam has G =
exp(-b^2 / 4p) / p, p = 1 - i q.

Discretisation (different from a table over intensity, a closed-form
aperture kernel or a Gaussian decomposition):
- the sample plane: Gauss-Legendre in s on [0, INNER_EDGE] (the local
  problem solved at every node) and on [INNER_EDGE, OUTER_EDGE] (the field
  there is the linear one: the nonlinear change of the field, of order
  exp(-3s) times the response at the focus, is below 1e-17 there; the field
  itself below 5e-18 beyond), with more nodes the larger |q| (the phase
  e^{i q s} oscillates); positions +-z share the local problem;
- time: panels of the three Radau IIA nodes over +-WINDOW tau (the pulse's
  intensity is 6e-20 of its peak at the ends), the signal integrated with
  the Radau weights (order 5);
- populations: Radau IIA collocation on the same panels (the equations are
  linear in N given the intensity; one 15 x 15 solve per panel; L-stable
  and stiffly accurate, so picosecond levels sit on their slow manifold,
  lag included, on steps of a tenth of a nanosecond);
- depth: classical RK4 for log I and phi at every time node, the
  populations recomputed at every stage;
- the Fresnel integral: the sample-plane rule against the J0 kernel at every
  aperture node and time node; the aperture: Gauss-Legendre in b^2 over [0,
  b_a^2].
Richardson extrapolation in the time panels (order 5) and the depth steps
(order 4), their cross term, and finer sample-plane and aperture rules give
the value and an estimate of its error. The Kerr-only signal is also given
by its Gaussian-decomposition series with a closed-form aperture integral
and Gauss-Hermite in time, and the open two-photon signal by its series:
independent closed forms for the tests.

Relies on NumPy, scipy.special.j0 and whole_beam_reference (the beam, the
pulse and the rate matrices).
"""
import argparse
import dataclasses
import json
import math
import pathlib
import sys
import time

import numpy as np
from scipy.special import j0

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import whole_beam_reference as wb  # noqa: E402

INF = math.inf
WINDOW = 4.0          # the pulse is followed over +-WINDOW tau
INNER_EDGE = 14.0     # s beyond which the exit field is the linear one
OUTER_EDGE = 40.0     # s beyond which the field is dropped (e^-40 = 4e-18)
# Sample-plane nodes added per unit of |q| on the inner and outer panels
# (Gauss-Legendre meets G to 1e-13 with 24 + 4.2 |q| and 15 + 7.4 |q|).
NODES_PER_Q = (5.0, 8.0)

_SQ6 = math.sqrt(6.0)
# Radau IIA, three stages (order 5, stage order 3): nodes c, matrix a, weights
# b (the last row of a: stiffly accurate).
RADAU_C = np.array([(4.0 - _SQ6) / 10.0, (4.0 + _SQ6) / 10.0, 1.0])
RADAU_A = np.array([[(88.0 - 7.0 * _SQ6) / 360.0, (296.0 - 169.0 * _SQ6) / 1800.0,
                     (-2.0 + 3.0 * _SQ6) / 225.0],
                    [(296.0 + 169.0 * _SQ6) / 1800.0, (88.0 + 7.0 * _SQ6) / 360.0,
                     (-2.0 - 3.0 * _SQ6) / 225.0],
                    [(16.0 - _SQ6) / 36.0, (16.0 + _SQ6) / 36.0, 1.0 / 9.0]])
RADAU_B = RADAU_A[2]
TIME_ORDER = 5
DEPTH_ORDER = 4


# ------------------------------------------------------------------ settings

@dataclasses.dataclass(frozen=True)
class Settings(wb.Settings):
    """The whole-beam experiment and absorber (wavelength, w0 in m; tau in s;
    sample_width in cm; populations in cm^-3; spec_pars as there) with the
    sample's instantaneous nonlinearities and excited-state refraction:
    n2 (cm^2/W, dn = n2 I), beta (cm/W), sigma_r1 and sigma_r3 (cm^2, the
    refractive cross-sections of levels 1 and 3 relative to the ground
    state: dn = (sigma_r1 N1 + sigma_r3 N3) / k). The initial populations
    must be a dark steady state (populated levels without decay)."""
    n2: float = 0.0
    beta: float = 0.0
    sigma_r1: float = 0.0
    sigma_r3: float = 0.0

    def __post_init__(self):
        super().__post_init__()
        for name in ("n2", "beta", "sigma_r1", "sigma_r3"):
            object.__setattr__(self, name, float(getattr(self, name)))
        K, _ = wb.rate_matrices(self)
        pops = np.asarray(self.populations)
        if np.any(np.abs(K @ pops) > 1e-12 * (np.abs(K).max() + 1.0) * pops.sum()):
            raise ValueError("the initial populations must be a dark steady state: only "
                             "levels without decay may be populated")
        if self.beta < 0.0:
            raise ValueError("beta must not be negative")

    @property
    def wavenumber(self):
        """k in cm^-1."""
        return 2.0 * math.pi / (self.wavelength * 100.0)

    @property
    def total_population(self):
        return float(sum(self.populations))

    @property
    def linear_phase(self):
        """(sigma_r1 N1 + sigma_r3 N3) L at the initial populations (rad)."""
        n = self.populations
        return (self.sigma_r1 * n[1] + self.sigma_r3 * n[3]) * self.sample_width

    def kerr_phase(self, pulse_energy, z_mm=0.0):
        """k n2 I0 L at z_mm (rad): the on-axis peak phase of the Kerr effect."""
        return self.wavenumber * self.n2 * float(wb.peak_intensity(self, pulse_energy, z_mm)) \
            * self.sample_width

    def two_photon_depth(self, pulse_energy, z_mm=0.0):
        """beta I0 L at z_mm."""
        return self.beta * float(wb.peak_intensity(self, pulse_energy, z_mm)) * self.sample_width


@dataclasses.dataclass(frozen=True)
class Aperture:
    """S: the aperture's linear transmittance (1: open, 0: the on-axis
    limit); distance_mm: d, from the focus to the aperture plane (inf: the
    far field at fixed S)."""
    S: float
    distance_mm: float = INF

    def __post_init__(self):
        object.__setattr__(self, "S", float(self.S))
        object.__setattr__(self, "distance_mm", float(self.distance_mm))
        if not 0.0 <= self.S <= 1.0:
            raise ValueError("S must lie in [0, 1]")
        if not self.distance_mm > 0.0:
            raise ValueError("distance_mm must be positive")

    @property
    def label(self):
        where = "far" if math.isinf(self.distance_mm) else f"d={self.distance_mm:g}mm"
        return "open" if self.S == 1.0 else f"S={self.S:g},{where}"


OPEN = Aperture(1.0)


@dataclasses.dataclass(frozen=True)
class Geometry:
    """One sample position and one aperture in the dimensionless form: the
    beam radius w (m), the incident peak intensity (W/cm^2), the quadratic
    phase q = k w^2 (1/R + 1/D) / 2 and the aperture's edge b_a = k w r_a / D
    (k w theta_a in the far field)."""
    w: float
    peak: float
    q: float
    b_edge: float


def geometry(settings, pulse_energy, z_mm, aperture):
    """The Geometry of the sample at z_mm (mm from the focus) and the aperture:
    the far field when the aperture's distance is infinite, otherwise the
    aperture at d - z behind the sample (which must be positive)."""
    z = z_mm * 1e-3
    z0 = settings.rayleigh_range
    w = float(settings.beam_radius(z_mm))
    k = 2.0 * math.pi / settings.wavelength                   # 1/m
    inv_r = z / (z * z + z0 * z0)                               # 1/R, 0 at the focus
    clip = math.sqrt(-math.log1p(-min(aperture.S, 1.0 - 1e-16)) / 2.0)  # r_a / w_a
    if math.isinf(aperture.distance_mm):
        inv_d, b_edge = 0.0, k * w * (settings.w0 / z0) * clip
    else:
        d = aperture.distance_mm * 1e-3
        if d - z <= 0.0:
            raise ValueError("the aperture must lie behind the sample")
        w_a = settings.w0 * math.sqrt(1.0 + (d / z0) ** 2)
        inv_d, b_edge = 1.0 / (d - z), k * w * w_a * clip / (d - z)
    q = 0.5 * k * w * w * (inv_r + inv_d)
    return Geometry(w, float(wb.peak_intensity(settings, pulse_energy, z_mm)), q, b_edge)


# ------------------------------------------------------------------ rules

def gauss_legendre(a, b, n):
    """Gauss-Legendre nodes and weights on [a, b]."""
    x, w = np.polynomial.legendre.leggauss(n)
    return 0.5 * (b - a) * x + 0.5 * (b + a), 0.5 * (b - a) * w


@dataclasses.dataclass(frozen=True)
class Grid:
    """One discretisation: Radau panels over +-WINDOW tau, RK4 steps in depth,
    Gauss-Legendre nodes in s on the inner and outer panels (the counts at
    q = 0; see sample_rule) and in b^2 over the aperture."""
    time_panels: int
    depth_steps: int
    inner_nodes: int
    outer_nodes: int
    aperture_nodes: int

    def time_rule(self):
        """Nodes (units of tau) and weights of the composite Radau rule."""
        h = 2.0 * WINDOW / self.time_panels
        starts = -WINDOW + h * np.arange(self.time_panels)
        return (starts[:, None] + h * RADAU_C[None, :]).ravel(), np.tile(h * RADAU_B,
                                                                          self.time_panels)

    def sample_rule(self, q=0.0):
        """Nodes and weights in s on [0, INNER_EDGE] and [INNER_EDGE,
        OUTER_EDGE] for fields carrying the quadratic phase e^{i q s}: the
        base counts plus NODES_PER_Q times |q| (the phase turns q INNER_EDGE
        radians over the inner panel)."""
        inner = self.inner_nodes + int(math.ceil(NODES_PER_Q[0] * abs(q)))
        outer = self.outer_nodes + int(math.ceil(NODES_PER_Q[1] * abs(q)))
        s1, w1 = gauss_legendre(0.0, INNER_EDGE, inner)
        s2, w2 = gauss_legendre(INNER_EDGE, OUTER_EDGE, outer)
        return s1, w1, s2, w2


@dataclasses.dataclass(frozen=True)
class Resolution:
    """The base grid and how it is refined: the time panels and depth steps
    doubled twice (Richardson), each sample-plane panel and the aperture rule
    given ``extra_nodes`` more nodes."""
    base: Grid = Grid(time_panels=60, depth_steps=8, inner_nodes=48, outer_nodes=24,
                      aperture_nodes=24)
    extra_nodes: int = 16

    def grid(self, time_factor=1, depth_factor=1, extra=0):
        b = self.base
        return dataclasses.replace(b, time_panels=b.time_panels * time_factor,
                                   depth_steps=b.depth_steps * depth_factor,
                                   inner_nodes=b.inner_nodes + extra,
                                   outer_nodes=b.outer_nodes + extra)


# ------------------------------------------------------- local problem

def _two_photon_matrix():
    """dN/dt += psi C N with psi = beta I^2 / (2 h nu N_total): level 0 to 2."""
    c = np.zeros((5, 5))
    c[0, 0], c[2, 0] = -1.0, 1.0
    return c


def population_history(settings, intensity, grid):
    """Populations (cm^-3), shape (n, nodes, 5), at the time nodes of the
    grid's Radau panels, under the intensities (W/cm^2) given at those
    nodes, shape (n, nodes), from the initial populations at -WINDOW tau:
    Radau IIA collocation of dN/dt = (K + phi B + psi C) N on every panel."""
    intensity = np.asarray(intensity, dtype=float)
    n = intensity.shape[0]
    total = settings.total_population
    K, B = wb.rate_matrices(settings)
    C = _two_photon_matrix()
    phi = intensity / settings.photon_energy
    psi = settings.beta * intensity ** 2 / (2.0 * settings.photon_energy * total)
    h = 2.0 * WINDOW / grid.time_panels * settings.tau
    eye = np.eye(15)
    state = np.tile(np.asarray(settings.populations) / total, (n, 1))
    out = np.empty((n, grid.time_panels, 3, 5))
    for p in range(grid.time_panels):
        f = phi[:, 3 * p:3 * p + 3, None, None]
        g = psi[:, 3 * p:3 * p + 3, None, None]
        m = K + f * B + g * C                                  # (n, 3, 5, 5)
        big = eye - h * np.einsum("ij,njab->niajb", RADAU_A, m).reshape(n, 15, 15)
        stages = np.linalg.solve(big, np.tile(state, 3)[:, :, None])[:, :, 0]
        out[:, p] = stages.reshape(n, 3, 5)
        state = out[:, p, 2]
    return total * out.reshape(n, 3 * grid.time_panels, 5)


@dataclasses.dataclass
class LocalExit:
    """The exit intensity (W/cm^2) and phase (rad) at every (node, time node)."""
    intensity: np.ndarray
    phase: np.ndarray


def local_exit(settings, peaks, grid):
    """The local problem at every radius node of incident peak intensity
    ``peaks`` (W/cm^2, shape (n,)): the log-intensity and phase histories at
    the time nodes carried through the depth by classical RK4, the
    populations recomputed at every stage."""
    peaks = np.asarray(peaks, dtype=float)
    t, _ = grid.time_rule()
    log_in = np.log(peaks)[:, None] - wb.GAUSS_RATE * t[None, :] ** 2
    s0, s1, s2 = settings.spec_pars[:3]
    k = settings.wavenumber
    populated = settings.total_population > 0.0

    def rhs(y):
        intensity = np.exp(y)
        if populated:
            pops = population_history(settings, intensity, grid)
            alpha = s0 * pops[..., 0] + s1 * pops[..., 1] + s2 * pops[..., 3]
            f0 = pops[..., 0] / settings.total_population
            dphi = settings.sigma_r1 * pops[..., 1] + settings.sigma_r3 * pops[..., 3]
        else:
            alpha, f0, dphi = 0.0, 1.0, 0.0
        return -alpha - settings.beta * f0 * intensity, k * settings.n2 * intensity + dphi

    h = settings.sample_width / grid.depth_steps
    y, phase = log_in.copy(), np.zeros_like(log_in)
    for _ in range(grid.depth_steps):
        k1 = rhs(y)
        k2 = rhs(y + 0.5 * h * k1[0])
        k3 = rhs(y + 0.5 * h * k2[0])
        k4 = rhs(y + h * k3[0])
        y = y + (h / 6.0) * (k1[0] + 2.0 * k2[0] + 2.0 * k3[0] + k4[0])
        phase = phase + (h / 6.0) * (k1[1] + 2.0 * k2[1] + 2.0 * k3[1] + k4[1])
    return LocalExit(np.exp(y), phase)


# ------------------------------------------------------- aperture signal

def aperture_integral(a, s, ws, geo, aperture, m_nodes):
    """int_0^b_a |G(b, t)|^2 b db at every time for the field a (shape (nodes,
    times)) on the sample-plane rule (s, ws); the open aperture by Parseval
    (2 int |a|^2 ds), the on-axis limit as |G(0, t)|^2."""
    if aperture.S == 1.0:
        return 2.0 * (ws[:, None] * np.abs(a) ** 2).sum(axis=0)
    if aperture.S == 0.0:
        b2, wb2 = np.zeros(1), np.ones(1)
    else:
        b2, wb2 = gauss_legendre(0.0, geo.b_edge ** 2, m_nodes)
        wb2 = 0.5 * wb2                                         # b db = d(b^2) / 2
    kernel = j0(np.sqrt(b2)[:, None] * np.sqrt(s)[None, :]) * (ws * np.exp(1j * geo.q * s))[None, :]
    g = kernel @ a
    return wb2 @ (g.real ** 2 + g.imag ** 2)


def evaluate(settings, positions_mm, pulse_energy, apertures, grid, aperture_rules):
    """T = P / P_lin on one grid, shape (len(aperture_rules), len(apertures),
    positions): every aperture rule's value from the same exit fields.
    Positions of equal peak intensity (+-z) share the local problem, on the
    sample-plane rule of the largest |q| among them and the apertures."""
    positions = np.asarray(positions_mm, dtype=float)
    t, wt = grid.time_rule()
    pulse = np.exp(-wb.GAUSS_RATE * t ** 2)
    geos = [[geometry(settings, pulse_energy, z, ap) for ap in apertures] for z in positions]
    peaks = np.array([g[0].peak for g in geos]) if apertures else np.zeros(0)
    unique, where = np.unique(peaks, return_inverse=True)
    rules = []
    for u in range(unique.size):
        q = max([abs(g.q) for i in np.flatnonzero(where == u)
                 for g, ap in zip(geos[i], apertures) if ap.S != 1.0], default=0.0)
        rules.append(grid.sample_rule(q))
    local = local_exit(settings, np.concatenate([unique[u] * np.exp(-2.0 * rule[0])
                                                 for u, rule in enumerate(rules)]), grid)
    lin = math.sqrt(settings.te_lin) * np.exp(1j * settings.linear_phase)
    fields, first = [], 0
    for u, (s1, w1, s2, w2) in enumerate(rules):
        part = slice(first, first + s1.size)
        first += s1.size
        inner = np.sqrt(local.intensity[part] / unique[u]) * np.exp(1j * local.phase[part])
        outer = lin * np.exp(-s2)[:, None] * np.sqrt(pulse)[None, :]
        fields.append((np.concatenate([inner, outer]), np.concatenate([s1, s2]),
                       np.concatenate([w1, w2])))
    out = np.empty((len(aperture_rules), len(apertures), positions.size))
    for i in range(positions.size):
        a, s, ws = fields[where[i]]
        linear = np.exp(-s)[:, None]
        for j, ap in enumerate(apertures):
            for r, m in enumerate(aperture_rules):
                signal = wt @ aperture_integral(a, s, ws, geos[i][j], ap, m)
                reference = settings.te_lin * (wt @ pulse) * aperture_integral(
                    linear, s, ws, geos[i][j], ap, m)[0]
                out[r, j, i] = signal / reference
    return out


def with_wings(values):
    """Stack T (normalised by the linear signal) and T over the mean of the
    first and last five positions, along a new axis before the positions."""
    wings = np.concatenate([values[..., :5], values[..., -5:]], axis=-1).mean(axis=-1)
    return np.stack([values, values / wings[..., None]], axis=-2)


# ------------------------------------------------------- extrapolation

Extrapolated = wb.Extrapolated


def _richardson(v1, v2, v4, order):
    """Extrapolations from (v1, v2) and (v2, v4), step halved each time; the
    second is the value, their difference its error."""
    f = 1.0 / (2.0 ** order - 1.0)
    first, second = v2 + f * (v2 - v1), v4 + f * (v4 - v2)
    return second, np.abs(second - first)


def converged(settings, positions_mm, pulse_energy, apertures, resolution=Resolution(),
              log=None):
    """T at every aperture and position, both normalisations, extrapolated:
    Richardson in the time panels (order 5) at the base depth step and in
    the depth steps (order 4) at the base time panels, the cross term
    c dt^5 h^4 from the mixed difference of the grids (2, 2), (2, 1), (1, 2),
    (1, 1), and the changes to the finer sample-plane and aperture rules at
    the base grid (applied, and counted in the error). The error estimate
    sums the differences of the last two extrapolations in time and depth,
    half the cross term and the two rule changes. Value and error have
    shape (apertures, 2, positions), axis 1 being (linear, wings)."""
    m = resolution.base.aperture_nodes
    rules = (m, m + resolution.extra_nodes)
    start = time.time()

    def at(tf, zf, extra=0):
        v = evaluate(settings, positions_mm, pulse_energy, apertures,
                     resolution.grid(tf, zf, extra), rules)
        if log:
            log(f"  grid t x{tf} z x{zf} +{extra}: {time.time() - start:.0f} s")
        return with_wings(v)

    base = at(1, 1)
    v = {(1, 1): base[0]}
    for f in ((2, 1), (4, 1), (1, 2), (1, 4), (2, 2)):
        v[f] = at(*f)[0]
    finer_sample = at(1, 1, resolution.extra_nodes)[0]
    t_best, e_time = _richardson(v[1, 1], v[2, 1], v[4, 1], TIME_ORDER)
    z_best, e_depth = _richardson(v[1, 1], v[1, 2], v[1, 4], DEPTH_ORDER)
    mixed = v[2, 2] - v[2, 1] - v[1, 2] + v[1, 1]
    cross = mixed / ((1.0 - 2.0 ** -TIME_ORDER) * (1.0 - 2.0 ** -DEPTH_ORDER))
    sample = finer_sample - v[1, 1]
    aperture = base[1] - base[0]
    value = t_best + z_best - v[1, 1] + cross + sample + aperture
    parts = dict(time=e_time, depth=e_depth, cross=0.5 * np.abs(cross),
                 sample=np.abs(sample), aperture=np.abs(aperture),
                 raw_time_change=np.abs(v[4, 1] - v[2, 1]),
                 raw_depth_change=np.abs(v[1, 4] - v[1, 2]))
    error = parts["time"] + parts["depth"] + parts["cross"] + parts["sample"] + parts["aperture"]
    return Extrapolated(value, error, parts)


# --------------------------------------------------------- closed forms

def kerr_series(settings, positions_mm, pulse_energy, aperture, hermite_nodes=160, terms=60):
    """T of a Kerr-only sample (no absorber population, beta = 0) by the
    Gaussian decomposition: at every time the exit field is sum_m
    (i dphi)^m / m! exp(-(1 + 2m) s), whose G is sum_m c_m exp(-b^2 / 4p_m),
    c_m = (i dphi)^m / (m! p_m), p_m = 1 + 2m - i q; the aperture integral
    is the double sum of c_m conj(c_n) (1 - exp(-b_a^2 c_mn)) / (2 c_mn),
    c_mn = 1/(4 p_m) + 1/(4 conj(p_n)); time by Gauss-Hermite quadrature
    (the pulse is exp(-u^2) in u = sqrt(4 ln 2) t / tau)."""
    if settings.total_population > 0.0 or settings.beta != 0.0:
        raise ValueError("the series is for a Kerr-only sample")
    positions = np.atleast_1d(np.asarray(positions_mm, dtype=float))
    if aperture.S == 1.0:
        return np.ones(positions.shape)
    u, wu = np.polynomial.hermite.hermgauss(hermite_nodes)
    # (the Hermite weights carry the pulse: sum wu f(u) = int exp(-u^2) f(u) du)
    m = np.arange(terms)
    factorial = np.array([math.factorial(k) for k in m], dtype=float)
    out = []
    for z in positions:
        geo = geometry(settings, pulse_energy, z, aperture)
        p = 1.0 + 2.0 * m - 1j * geo.q
        dphi = settings.kerr_phase(pulse_energy, z) * np.exp(-u ** 2)
        coef = (1j * dphi[:, None]) ** m[None, :] / (factorial * p)[None, :]
        if aperture.S == 0.0:
            kern = np.ones((terms, terms))
        else:
            c = 0.25 / p[:, None] + 0.25 / np.conj(p)[None, :]
            kern = -np.expm1(-geo.b_edge ** 2 * c) / (2.0 * c)
        value = np.einsum("tm,mn,tn->t", coef, kern, np.conj(coef)).real
        linear = kern[0, 0].real / abs(p[0]) ** 2
        out.append(wu @ value / (wu.sum() * linear))
    return np.array(out)


def two_photon_open_series(settings, positions_mm, pulse_energy, terms=200):
    """Open-aperture T of a sample with two-photon absorption only (f0 = 1)
    for a Gaussian beam and pulse: sum_m (-q0)^m / (m + 1)^(3/2), q0 = beta
    I0(z) L (the space integral at every time is ln(1 + q) / q); for q0 < 1."""
    q0 = settings.beta * wb.peak_intensity(settings, pulse_energy,
                                           np.asarray(positions_mm, dtype=float)) \
        * settings.sample_width
    if np.any(q0 >= 1.0):
        raise ValueError("the series needs beta I0 L < 1")
    m = np.arange(terms)
    return ((-np.asarray(q0)[..., None]) ** m / (m + 1.0) ** 1.5).sum(axis=-1)


# ----------------------------------------------------------- stored cases

POSITIONS = wb.POSITIONS
# A sample without absorber population: only its instantaneous nonlinearities act.
HOST = dict(populations=(0.0, 0.0, 0.0, 0.0, 0.0),
            spec_pars=(0.0, 0.0, 0.0, INF, INF, 1e-12, INF, 1e-12))
FAR = (Aperture(0.01), Aperture(0.1), Aperture(0.4))
RSA_APERTURES = (OPEN, Aperture(0.1), Aperture(0.4))


@dataclasses.dataclass(frozen=True)
class Case(wb.Case):
    """A stored case: name, description, settings, pulse energy and
    positions as in the whole-beam reference, with this reference's
    resolution and the apertures."""
    resolution: Resolution = Resolution()
    apertures: tuple = (OPEN,)


def _rsa(sigma_r1):
    """The demo absorber (whole-beam reference) with excited-state refraction."""
    return Settings(sigma_r1=sigma_r1, sigma_r3=5e-18)


# Settings of the samples (w0 = 20 um, 532 nm, L = 1 mm as in the demo):
# fused silica, a host with two-photon absorption, and an absorber excited by
# two photons and absorbing from level 1.
FUSED_SILICA = dict(HOST, tau=30e-12, n2=2.5e-16)
TWO_PHOTON_HOST = dict(HOST, tau=30e-12, beta=5e-9)
_ESA = Settings(tau=30e-12, beta=1e-9, sigma_r1=-1e-17, populations=(2e18, 0.0, 0.0, 0.0, 0.0),
                spec_pars=(0.0, 2e-17, 1e-17, 1e-9, 1e-8, 1e-12, 1e-5, 1e-12))

CASES = (
    Case("kerr_small", "1 mm of fused silica (n2 = 2.5e-16 cm^2/W) at 532 nm, w0 = 20 um, "
         "30 ps, 6.8 uJ: k n2 I0 L = 0.1 at the focus (I0 = 34 GW/cm^2).",
         Settings(**FUSED_SILICA), 6.8e-6,
         apertures=FAR + (Aperture(0.1, 200.0), Aperture(0.1, 50.0))),
    Case("kerr_large", "The same sample with a 100 fs pulse of 0.7116 uJ: k n2 I0 L = pi at "
         "the focus (I0 = 1.06 TW/cm^2).",
         Settings(**dict(FUSED_SILICA, tau=1e-13)), 7.116e-7,
         apertures=FAR + (Aperture(0.1, 200.0),)),
    Case("two_photon", "Two-photon absorption of the host only (beta = 5 cm/GW), 30 ps, "
         "0.2 uJ: beta I0 L = 0.498 at the focus; closed_form_values: the open aperture's "
         "series.", Settings(**TWO_PHOTON_HOST), 0.2e-6, apertures=(OPEN, Aperture(0.1))),
    Case("kerr_two_photon", "Self-defocusing with two-photon absorption (n2 = -5e-14 cm^2/W, "
         "beta = 5 cm/GW), 30 ps, 0.2 uJ: k n2 I0 L = -0.589, beta I0 L = 0.498.",
         Settings(**dict(TWO_PHOTON_HOST, n2=-5e-14)), 0.2e-6,
         apertures=(OPEN, Aperture(0.1), Aperture(0.4))),
    Case("rsa_refraction_low", "The demo RSA absorber at 0.5 uJ with excited-state refraction "
         "sigma_r1 = 1e-17, sigma_r3 = 5e-18 cm^2; open values: the whole-beam model's.",
         _rsa(1e-17), 0.5e-6, apertures=RSA_APERTURES),
    Case("rsa_refraction_high", "As rsa_refraction_low at 1.5 uJ.",
         _rsa(1e-17), 1.5e-6, apertures=RSA_APERTURES),
    Case("rsa_negative_low", "The demo RSA absorber at 0.5 uJ with sigma_r1 = -1e-17, "
         "sigma_r3 = 5e-18 cm^2.", _rsa(-1e-17), 0.5e-6, apertures=RSA_APERTURES),
    Case("rsa_negative_high", "As rsa_negative_low at 1.5 uJ.",
         _rsa(-1e-17), 1.5e-6, apertures=RSA_APERTURES),
    Case("two_photon_esa", "Two-photon-induced excited-state absorption: 2e18 cm^-3 of an "
         "absorber transparent to one photon (sigma_0 = 0), beta = 1 cm/GW of its ground "
         "state (f0 = N0 / N_total), level 2 relaxing to level 1 in 1 ps, sigma_1 = 2e-17 "
         "cm^2, sigma_r1 = -1e-17 cm^2; 30 ps, 1 uJ: beta I0 L = 0.498.",
         _ESA, 1e-6, apertures=(OPEN, Aperture(0.1))),
)


def compute_case(case, log=None):
    """The stored record of one case."""
    start = time.time()
    s = case.settings
    positions = np.asarray(case.positions_mm, dtype=float)
    r = converged(s, positions, case.pulse_energy, case.apertures, case.resolution, log)
    apertures = []
    for j, ap in enumerate(case.apertures):
        entry = dict(S=ap.S, distance_mm=ap.distance_mm, label=ap.label,
                     values_linear=r.value[j, 0].tolist(), values_wings=r.value[j, 1].tolist(),
                     accuracy=float(r.error[j, 0].max()),
                     accuracy_wings=float(r.error[j, 1].max()),
                     accuracy_per_position=r.error[j, 0].tolist(),
                     accuracy_parts={k: v[j, 0].tolist() for k, v in r.parts.items()})
        if s.total_population == 0.0 and s.beta == 0.0:
            entry["closed_form_values"] = kerr_series(s, positions, case.pulse_energy,
                                                      ap).tolist()
        elif s.total_population == 0.0 and s.n2 == 0.0 and ap.S == 1.0:
            entry["closed_form_values"] = two_photon_open_series(s, positions,
                                                                 case.pulse_energy).tolist()
        apertures.append(entry)
    record = dict(
        name=case.name, description=case.description,
        settings=s.as_dict(), pulse_energy=case.pulse_energy,
        positions_mm=list(case.positions_mm), apertures=apertures,
        accuracy=max(a["accuracy"] for a in apertures),
        te_lin=s.te_lin, rayleigh_range=s.rayleigh_range,
        peak_intensity_focus=float(wb.peak_intensity(s, case.pulse_energy, 0.0)),
        kerr_phase_focus=s.kerr_phase(case.pulse_energy),
        two_photon_depth_focus=s.two_photon_depth(case.pulse_energy),
        resolution=dataclasses.asdict(case.resolution),
        seconds=round(time.time() - start, 1))
    if log:
        log(f"{case.name}: accuracy {record['accuracy']:.2e} ({record['seconds']} s)")
    return record


def _same_case(record, case):
    def plain(x):
        return json.loads(json.dumps(x))
    return (record.get("name") == case.name and record.get("pulse_energy") == case.pulse_energy
            and record.get("settings") == plain(case.settings.as_dict())
            and record.get("resolution") == plain(dataclasses.asdict(case.resolution))
            and record.get("positions_mm") == list(case.positions_mm)
            and [(a["S"], a["distance_mm"]) for a in record.get("apertures", [])]
            == [(a.S, a.distance_mm) for a in case.apertures])


ABOUT = (__doc__.splitlines()[0] + " Written by tests/zscanfit/closed_aperture_reference.py "
         "--write; an infinite lifetime or distance is written as Infinity. Per aperture: "
         "values_linear is P/P_lin, values_wings P over the mean of P at the first and last "
         "five positions, accuracy the largest error estimate of values_linear "
         "(accuracy_wings: of values_wings).")


def _earlier_records(paths):
    """The records of earlier runs, by case name (the first file naming a case wins)."""
    found = {}
    for path in paths:
        for record in json.loads(path.read_text())["cases"]:
            found.setdefault(record["name"], record)
    return found


def _log(message):
    print(message, file=sys.stderr, flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", type=pathlib.Path, required=True, help="JSON file to write")
    parser.add_argument("--cases", nargs="*", choices=[c.name for c in CASES],
                        help="only these cases (default all)")
    parser.add_argument("--reuse", nargs="*", type=pathlib.Path, default=[],
                        help="JSON files written before: their records of unchanged cases "
                             "are taken over instead of computed")
    args = parser.parse_args(argv)
    earlier = _earlier_records(args.reuse)
    records = []
    for case in CASES:
        if args.cases and case.name not in args.cases:
            continue
        old = earlier.get(case.name)
        reusable = old is not None and _same_case(old, case)
        records.append(old if reusable else compute_case(case, _log))
        # Written after every case: a long run keeps what it has finished.
        args.write.parent.mkdir(parents=True, exist_ok=True)
        args.write.write_text(json.dumps(dict(about=ABOUT, cases=records), indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
