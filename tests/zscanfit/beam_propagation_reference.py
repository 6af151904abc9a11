"""Slow, converged evaluation of the z-scan signal of a thick sample, in which
the beam diffracts while the rate equations run, for the tests of a compiled
beam-propagation model to be checked against.

The model. Beam and pulse as in the whole-beam model (whole_beam_reference.py):
a Gaussian pulse of intensity FWHM tau carrying exactly the pulse energy E,
I0(z) = 1e-4 E / ((pi w(z)^2 / 2) tau sqrt(pi / (4 ln 2))) W/cm^2, w(z) = w0
sqrt(1 + (z/z0)^2), z0 = pi w0^2 / (M2 lambda). Field ~ exp(i(kz - wt)), z
the position of the sample's front face (z < 0 before the focus); incident
field sqrt(I0 g(t)) exp(i K r^2 / (2q)), q = z - i z0, K = k / M2, g(t) =
exp(-4 ln2 t^2 / tau^2): for M2 != 1 the embedded Gaussian, a genuine
Gaussian beam of Rayleigh range z0 (diffraction with K instead of k). At the
flat entrance face (refractive index n0 = refractive_index, reflections
ignored) the field is continuous, so inside q becomes n0 q + z': the waist
stays w0, the Rayleigh range is n0 z0 and the focus lies at the depth -n0 z.
Inside, in retarded time, at every time t:
    dE/dz' = (i / (2 K n0)) lap E - (1/2)(s0 N0 + s1 N1 + s2 N3 + beta f0 I) E
             + i (k n2 I + sr1 N1 + sr3 N3) E,        I = |E|^2 (W/cm^2),
k the vacuum wavenumber, with the five rate equations of the whole-beam model
plus two-photon excitation W2 = beta f0 I^2 / (2 h nu) from level 0 to level 2
(f0 = N0 / N_total, 1 without absorber population) at every (r, z', t). The
initial populations must be a true dark steady state (only levels without
decay populated): the plain rate equations, no dark convention. Open
aperture: T = (transmitted energy) / (the linear one, E exp(-alpha0 L));
closed aperture (far field): the exit field's angular spectrum E^(kappa) =
int E J0(kappa r) 2 pi r dr (continuous across the exit face) integrated
over kappa < kappa_a, kappa_a w0 = sqrt(-2 ln(1 - S)), so that the linear
beam puts exactly S of its energy through (S = 1 - exp(-2 r_a^2 / w_a^2)),
divided by the same of the linear exit field.

Discretisation (the choices a compiled engine would make differently):
- radius: the quasi-discrete Hankel transform (Fourier-Bessel series on [0,
  R], nodes r_n = j_n R / j_(N+1) at the zeros of J0). Chosen because the
  fields are smooth and Gaussian-decaying, so the radial error falls
  exponentially with N and needs no extrapolation, and r = 0 needs no
  special treatment; diffraction is then exact for the band-limited field.
  The transform matrix is orthogonal only to about 1e-10; its orthogonal
  polar factor (the signs of its eigenvalues) is used instead, so the
  diffraction step is unitary and energy is conserved to rounding. R is
  `radius` times the widest linear beam in the sample, N gives the
  band limit kappa_max w0 = `band` (the angular spectrum of the beam
  in the medium is exp(-kappa^2 w0^2 / 4));
- depth: classical RK4 in the interaction picture (the diffraction, the
  linear absorption and the linear phase exactly, as one unitary-times-
  scalar matrix over half a step; the nonlinear remainder by RK4): order 4;
  the whole field E(r_n, t_i) is marched in depth at once, the populations
  at every stage recomputed from the intensity history at that depth (they
  depend on earlier light at the same (r, z') only, so depth-first order is
  the same problem as marching the pulse in time);
- time: panels of the three-node Radau IIA collocation over +-WINDOW tau
  for the rate equations at every radial node (one 15 x 15 solve per node
  and panel; L-stable and stiffly accurate: picosecond levels sit on their
  slow manifold with their lag behind the flux on steps of a tenth of a
  nanosecond, which frozen-flux exponential steps miss), the energy by the
  Radau weights: order 5 (the energy is the augmented quadrature variable of
  the collocation).
Richardson extrapolation in the time panels (orders 5 and 6) at the base
depth step and in the depth steps (orders 4 and 5) at the base time panels,
their cross term and a finer radial grid (larger R and band) give the value
and an estimate of its error.

Relies on NumPy, scipy.special (j0, j1, jn_zeros) and whole_beam_reference
(the beam, the pulse, the rate matrices, and the thin model for comparison).
"""
import dataclasses
import json
import math
import pathlib
import sys
import time

import numpy as np
from scipy.special import j0, j1, jn_zeros

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import closed_aperture_reference as ca  # noqa: E402
import whole_beam_reference as wb  # noqa: E402

INF = math.inf
WINDOW = 4.0          # the pulse is followed over +-WINDOW tau (intensity 6e-20 at the ends)
TIME_ORDERS = (5, 6)  # leading orders of the error in the time panel
DEPTH_ORDERS = (4, 5)  # and in the depth step
DARK_NODE = 1e-10     # radial nodes lit less than this (of the brightest) keep their populations

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


# ------------------------------------------------------------------ settings

@dataclasses.dataclass(frozen=True)
class Settings(ca.Settings):
    """The closed-aperture reference's settings (the whole-beam experiment
    and absorber with n2, beta, sigma_r1 and sigma_r3; the initial
    populations a dark steady state) with the sample's linear refractive
    index."""
    refractive_index: float = 1.0

    def __post_init__(self):
        super().__post_init__()
        object.__setattr__(self, "refractive_index", float(self.refractive_index))
        if not self.refractive_index > 0.0 or not self.sample_width > 0.0:
            raise ValueError("refractive_index and sample_width must be positive")

    @property
    def linear_phase_rate(self):
        """sr1 N1 + sr3 N3 at the initial populations (rad/cm)."""
        n = self.populations
        return self.sigma_r1 * n[1] + self.sigma_r3 * n[3]

    def beam_in_sample(self, z_mm, depth_cm):
        """The radius (cm) of the linear beam at depth_cm inside the sample whose
        front face is at z_mm: w0 sqrt(1 + ((n0 z + z') / (n0 z0))^2)."""
        n0, z0 = self.refractive_index, self.rayleigh_range * 100.0
        zeta = n0 * z_mm * 0.1 + np.asarray(depth_cm, dtype=float)
        return self.w0 * 100.0 * np.sqrt(1.0 + (zeta / (n0 * z0)) ** 2)

    def thin(self):
        """The same experiment and absorber for whole_beam_reference."""
        fields = {f.name: getattr(self, f.name) for f in dataclasses.fields(wb.Settings)}
        return wb.Settings(**fields)


@dataclasses.dataclass(frozen=True)
class Aperture:
    """S: the far-field aperture's linear transmittance (1: open)."""
    S: float

    def __post_init__(self):
        object.__setattr__(self, "S", float(self.S))
        if not 0.0 < self.S <= 1.0:
            raise ValueError("S must lie in (0, 1]")

    @property
    def label(self):
        return "open" if self.S == 1.0 else f"S={self.S:g},far"


OPEN = Aperture(1.0)


# ------------------------------------------------------------------ grids

@dataclasses.dataclass(frozen=True)
class Grid:
    """One discretisation: Radau panels over +-WINDOW tau, RK4 steps in depth,
    and the radial grid: its radius, ``radius`` widest linear beam radii in
    the sample plus the distance light of wavenumber reach / w0 drifts
    sideways through the sample (reach w0 L / (2 n0 z0)), and its band limit
    kappa_max w0 = ``band``."""
    time_panels: int
    depth_steps: int
    radius: float
    reach: float
    band: float

    def time_rule(self):
        """Nodes (units of tau) and weights of the composite Radau rule."""
        h = 2.0 * WINDOW / self.time_panels
        starts = -WINDOW + h * np.arange(self.time_panels)
        return ((starts[:, None] + h * RADAU_C[None, :]).ravel(),
                np.tile(h * RADAU_B, self.time_panels))


@dataclasses.dataclass(frozen=True)
class Resolution:
    """The base grid and its refinements: time panels and depth steps
    doubled twice (Richardson); the radial grid's radius, reach and band
    raised by the extra_ amounts (its check); the aperture's Gauss-Legendre
    rule and one with 16 nodes more (its check)."""
    time_panels: int = 32
    depth_steps: int = 8
    radius: float = 6.0
    reach: float = 8.0
    band: float = 16.0
    extra_radius: float = 1.5
    extra_reach: float = 3.0
    extra_band: float = 6.0
    aperture_nodes: int = 24

    def grid(self, time_factor=1, depth_factor=1, finer_radial=False):
        extra = 1.0 if finer_radial else 0.0
        return Grid(self.time_panels * time_factor, self.depth_steps * depth_factor,
                    self.radius + extra * self.extra_radius, self.reach + extra * self.extra_reach,
                    self.band + extra * self.extra_band)


@dataclasses.dataclass
class RadialGrid:
    """The quasi-discrete Hankel transform's grid on [0, radius] (cm): nodes
    r_n = j_n radius / edge (j_n the zeros of J0, edge = j_(N+1)), the
    weights of int . 2 pi r dr on them (cm^2), the radial wavenumbers
    kappa_m = j_m / radius (cm^-1) and the orthogonal symmetric transform
    between the weighted field sqrt(weight) E(r_n) and the angular spectrum
    E^(kappa_m) / (sqrt(pi) radius |J1(j_m)|)."""
    r: np.ndarray
    weight: np.ndarray
    kappa: np.ndarray
    transform: np.ndarray
    radius: float
    edge: float

    @property
    def size(self):
        return self.r.size

    def energy(self, field):
        """int |E|^2 2 pi r dr of field (nodes first), per remaining index."""
        return self.weight @ np.abs(field.reshape(self.size, -1)) ** 2

    def series_at(self, field, r):
        """The field (nodes first) at the radii r (cm) by its Fourier-Bessel
        series sum_m c_m J0(kappa_m r), c_m = E^(kappa_m) / (pi radius^2
        J1(j_m)^2)."""
        root = np.sqrt(self.weight)[:, None]
        coef = (self.transform @ (root * field.reshape(self.size, -1))) * root \
            * (self.edge / (2.0 * math.pi * self.radius ** 2))
        return j0(np.outer(np.atleast_1d(r), self.kappa)) @ coef

    def spectrum_at(self, field, kappa):
        """The angular spectrum int E J0(kappa r) 2 pi r dr of field (nodes
        first) at the wavenumbers kappa (cm^-1)."""
        return j0(np.outer(np.atleast_1d(kappa), self.r)) @ (self.weight[:, None]
                                                             * field.reshape(self.size, -1))

    def step(self, settings, length):
        """The linear part of the propagation over length (cm) in the sample,
        acting on fields at the nodes: diffraction (exact on the grid, the
        transform's orthogonality making it unitary), the linear absorption
        and the linear phase."""
        n0 = settings.refractive_index
        diffraction = -self.kappa ** 2 * settings.M2 / (2.0 * settings.wavenumber * n0)
        phase = np.exp(1j * length * (diffraction + settings.linear_phase_rate))
        root = np.sqrt(self.weight)
        core = (self.transform * phase[None, :]) @ self.transform
        return math.exp(-0.5 * settings.linear_absorption * length) \
            * (core / root[:, None]) * root[None, :]


def radial_grid(settings, z_mm, grid):
    """The radial grid of the sample at z_mm: radius = grid.radius times the
    widest linear beam in the sample, N the fewest nodes whose band limit
    j_N / radius reaches grid.band / w0."""
    widest = float(np.max(settings.beam_in_sample(z_mm, [0.0, settings.sample_width])))
    w0 = settings.w0 * 100.0
    spread = settings.sample_width / (2.0 * settings.refractive_index * settings.rayleigh_range
                                      * 100.0)
    radius = grid.radius * widest + grid.reach * w0 * spread
    n = int(math.ceil(grid.band * radius / (math.pi * w0) + 0.25))
    zeros = jn_zeros(0, n + 1)
    j, edge = zeros[:n], zeros[n]
    j1_abs = np.abs(j1(j))
    t = 2.0 * j0(np.outer(j, j) / edge) / (np.outer(j1_abs, j1_abs) * edge)
    lam, vec = np.linalg.eigh(t)
    transform = (vec * np.sign(lam)) @ vec.T
    weight = 4.0 * math.pi * radius ** 2 / (edge ** 2 * j1_abs ** 2)
    return RadialGrid(j * radius / edge, weight, j / radius, transform, radius, edge)


def incident_field(settings, z_mm, pulse_energy, radial):
    """The incident field's radial profile at the front face (sqrt(W/cm^2)):
    sqrt(I0(z)) exp(i K r^2 / (2q)), q = z - i z0, K = k / M2 (the pulse's
    time profile sqrt(g(t)) multiplies it)."""
    z0 = settings.rayleigh_range * 100.0
    q = z_mm * 0.1 - 1j * z0
    big_k = settings.wavenumber / settings.M2
    peak = float(wb.peak_intensity(settings, pulse_energy, z_mm))
    return math.sqrt(peak) * np.exp(1j * big_k * radial.r ** 2 / (2.0 * q))


# ------------------------------------------------------- populations

def _two_photon_matrix():
    """dN/dt += psi C N with psi = beta I^2 / (2 h nu N_total): level 0 to 2."""
    c = np.zeros((5, 5))
    c[0, 0], c[2, 0] = -1.0, 1.0
    return c


_BATCH = 8192  # (node, panel) systems per batched solve


def _stage_matrices(settings, h):
    """The constant parts of the Radau stage systems on a panel of length h
    (s): I - h (A x M_j)_j = G[0] + sum_j phi_j G[1 + j] + sum_j psi_j G[4 + j]
    for M_j = K + phi_j B + psi_j C, as a (7, 225) matrix."""
    K, B = wb.rate_matrices(settings)
    C = _two_photon_matrix()
    parts = [np.eye(15) - h * np.kron(RADAU_A, K)]
    for rate in (B, C):
        for j in range(3):
            column = np.zeros((3, 3))
            column[:, j] = RADAU_A[:, j]
            parts.append(-h * np.kron(column, rate))
    return np.array(parts).reshape(7, 225)


def population_history(settings, intensity, panels):
    """Populations (cm^-3), shape (n, 3 panels, 5), at the nodes of the
    composite Radau rule over +-WINDOW tau under the intensities (W/cm^2)
    given there, shape (n, 3 panels), from the initial populations: Radau IIA
    collocation of dN/dt = (K + phi B + psi C) N. The stage equations of
    every (node, panel) are solved for the panel's start as a 15 x 5
    propagator at once; the panels are then chained."""
    intensity = np.asarray(intensity, dtype=float)
    n = intensity.shape[0]
    total = settings.total_population
    h = 2.0 * WINDOW / panels * settings.tau
    phi = (intensity / settings.photon_energy).reshape(n, panels, 3)
    psi = settings.beta * intensity.reshape(n, panels, 3) ** 2 \
        / (2.0 * settings.photon_energy * total)
    coef = np.concatenate([np.ones((n, panels, 1)), phi, psi], axis=2)
    parts = _stage_matrices(settings, h)
    rhs = np.tile(np.eye(5), (3, 1))
    props = np.empty((n, panels, 15, 5))
    per = max(1, _BATCH // max(n, 1))
    for first in range(0, panels, per):
        last = min(panels, first + per)
        big = (coef[:, first:last] @ parts).reshape(n, last - first, 15, 15)
        props[:, first:last] = np.linalg.solve(big, rhs)
    state = np.tile(np.asarray(settings.populations) / total, (n, 1))
    out = np.empty((n, panels, 15))
    for p in range(panels):
        out[:, p] = np.einsum("nij,nj->ni", props[:, p], state)
        state = out[:, p, 10:]
    return total * out.reshape(n, 3 * panels, 5)


def nonlinear_rate(settings, field, panels):
    """c(r, t) of the nonlinear part c E of dE/dz' for the field at one depth
    (nodes x time nodes): -(1/2)(alpha(N) - alpha0 + beta f0 I) + i (k n2 I +
    rho(N) - rho0), alpha0 and rho0 the linear absorption and phase (taken
    exactly in the interaction picture)."""
    intensity = field.real ** 2 + field.imag ** 2
    total = settings.total_population
    s0, s1, s2 = settings.spec_pars[:3]
    loss = settings.beta * intensity
    phase = settings.wavenumber * settings.n2 * intensity
    if total > 0.0:
        alpha = np.zeros(intensity.shape)
        rho = np.zeros(intensity.shape)
        f0 = np.ones(intensity.shape)
        # Nodes whose light never exceeds DARK_NODE of the brightest keep their
        # initial populations (their response, of the order of that ratio,
        # changes the signal by its square).
        live = intensity.max(axis=1) > DARK_NODE * intensity.max()
        if live.any():
            pops = population_history(settings, intensity[live], panels)
            alpha[live] = s0 * pops[..., 0] + s1 * pops[..., 1] + s2 * pops[..., 3] \
                - settings.linear_absorption
            rho[live] = settings.sigma_r1 * pops[..., 1] + settings.sigma_r3 * pops[..., 3] \
                - settings.linear_phase_rate
            f0[live] = pops[..., 0] / total
        loss = loss * f0 + alpha
        phase = phase + rho
    return -0.5 * loss + 1j * phase


def is_linear(settings):
    """Whether nothing in the sample depends on the light: no instantaneous
    nonlinearity, and no absorber population or no cross-section to move it
    (equal cross-sections are not enough: levels 2 and 4 are transparent)."""
    still = settings.total_population == 0.0 or not any(settings.spec_pars[:3])
    return settings.n2 == 0.0 and settings.beta == 0.0 and still


# ------------------------------------------------------- propagation

def exit_field(settings, field, radial, grid, nonlinear=True):
    """The field (nodes x time nodes) at the back face for ``field`` at the
    front face: RK4 in the interaction picture of the linear step (Hult's
    arrangement, the picture's origin at every step's mid-depth), grid's
    depth steps; without nonlinear (or in a linear sample) the linear step
    over the whole sample."""
    length = settings.sample_width
    if not nonlinear or is_linear(settings):
        return radial.step(settings, length) @ field
    h = length / grid.depth_steps
    half = radial.step(settings, 0.5 * h)
    panels = grid.time_panels

    def rhs(u):
        return nonlinear_rate(settings, u, panels) * u

    u = field
    for _ in range(grid.depth_steps):
        mid = half @ u
        k1 = half @ rhs(u)
        k2 = rhs(mid + 0.5 * h * k1)
        k3 = rhs(mid + 0.5 * h * k2)
        k4 = rhs(half @ (mid + h * k3))
        u = half @ (mid + (h / 6.0) * (k1 + 2.0 * k2 + 2.0 * k3)) + (h / 6.0) * k4
    return u


def aperture_power(settings, radial, field, aperture, nodes):
    """The power through the aperture of field (nodes first, per remaining
    index): the energy for the open aperture, otherwise (1 / 4 pi) int_0^ka^2
    |E^(kappa)|^2 d(kappa^2) by Gauss-Legendre in kappa^2, ka w0 =
    sqrt(-2 ln(1 - S))."""
    if aperture.S == 1.0:
        return radial.energy(field)
    edge = math.sqrt(-2.0 * math.log1p(-aperture.S)) / (settings.w0 * 100.0)
    x, w = np.polynomial.legendre.leggauss(nodes)
    spectrum = radial.spectrum_at(field, edge * np.sqrt(0.5 * (x + 1.0)))
    return (0.5 * edge ** 2 * w / (4.0 * math.pi)) @ np.abs(spectrum) ** 2


def evaluate(settings, z_mm, pulse_energy, apertures, grid, aperture_rules=(24,)):
    """T = P / P_lin at one position on one grid, shape (len(aperture_rules),
    len(apertures)): every aperture rule's value from the same exit field.
    P and P_lin are the time integrals (Radau weights) of the power through
    the aperture of the exit field and of the linear exit field."""
    radial = radial_grid(settings, z_mm, grid)
    t, wt = grid.time_rule()
    pulse = np.exp(-wb.GAUSS_RATE * t ** 2)
    profile = incident_field(settings, z_mm, pulse_energy, radial)
    out = exit_field(settings, profile[:, None] * np.sqrt(pulse)[None, :], radial, grid)
    linear = exit_field(settings, profile[:, None], radial, grid, nonlinear=False)
    values = np.empty((len(aperture_rules), len(apertures)))
    for i, nodes in enumerate(aperture_rules):
        for j, ap in enumerate(apertures):
            signal = wt @ aperture_power(settings, radial, out, ap, nodes)
            reference = (wt @ pulse) * aperture_power(settings, radial, linear, ap, nodes)[0]
            values[i, j] = signal / reference
    return values


# ------------------------------------------------------- extrapolation

Extrapolated = wb.Extrapolated


def _richardson(v1, v2, v4, orders):
    """Richardson over three grids, the step halved each time, for an error
    c1 h^p + c2 h^(p+1) + ...: the value (both orders removed) and the size of
    its last correction (the error of the value extrapolated one order less)."""
    p, q = orders
    a = v2 + (v2 - v1) / (2.0 ** p - 1.0)
    b = v4 + (v4 - v2) / (2.0 ** p - 1.0)
    best = b + (b - a) / (2.0 ** q - 1.0)
    return best, np.abs(best - b)


def converged(settings, positions_mm, pulse_energy, apertures=(OPEN,), resolution=Resolution(),
              log=None):
    """T at every aperture and position in both normalisations, extrapolated:
    Richardson in the time panels (TIME_ORDERS) at the base depth step and in
    the depth steps (DEPTH_ORDERS) at the base time panels, the cross term
    c dt^5 h^4 from the mixed difference of the grids (2, 2), (2, 1), (1, 2),
    (1, 1), and the changes to the finer radial grid and the finer aperture
    rule at the base grid (applied, and counted in the error). The error
    estimate sums the last Richardson corrections, half the cross term and
    the two changes. Value and error have shape (apertures, 2, positions),
    axis 1 being (linear, wings)."""
    positions = np.atleast_1d(np.asarray(positions_mm, dtype=float))
    apertures = tuple(apertures)
    rules = (resolution.aperture_nodes, resolution.aperture_nodes + 16)
    start = time.time()

    def at(tf, zf, finer=False):
        grid = resolution.grid(tf, zf, finer)
        v = np.stack([evaluate(settings, z, pulse_energy, apertures, grid, rules)
                      for z in positions], axis=-1)                # (rules, apertures, positions)
        if log:
            log(f"  grid t x{tf} z x{zf}{' finer radial' if finer else ''}: "
                f"{time.time() - start:.0f} s")
        return ca.with_wings(v)

    base = at(1, 1)
    v = {(1, 1): base[0]}
    for f in ((2, 1), (4, 1), (1, 2), (1, 4), (2, 2)):
        v[f] = at(*f)[0]
    radial = at(1, 1, True)[0] - v[1, 1]
    t_best, e_time = _richardson(v[1, 1], v[2, 1], v[4, 1], TIME_ORDERS)
    z_best, e_depth = _richardson(v[1, 1], v[1, 2], v[1, 4], DEPTH_ORDERS)
    mixed = v[2, 2] - v[2, 1] - v[1, 2] + v[1, 1]
    cross = mixed / ((1.0 - 2.0 ** -TIME_ORDERS[0]) * (1.0 - 2.0 ** -DEPTH_ORDERS[0]))
    aperture = base[1] - base[0]
    value = t_best + z_best - v[1, 1] + cross + radial + aperture
    parts = dict(time=e_time, depth=e_depth, cross=0.5 * np.abs(cross),
                 radial=np.abs(radial), aperture=np.abs(aperture),
                 raw_time_change=np.abs(v[4, 1] - v[2, 1]),
                 raw_depth_change=np.abs(v[1, 4] - v[1, 2]))
    error = parts["time"] + parts["depth"] + parts["cross"] + parts["radial"] \
        + parts["aperture"]
    return Extrapolated(value, error, parts)


# ------------------------------------------------------- the thin model

THIN_RESOLUTION = wb.Resolution(time_steps=140, depth_steps=2, panels=2, nodes=8, extra_nodes=2,
                                lag_resolved=3.2, lag_window=2.0, lag_depth_steps=2,
                                lag_nodes=3)


def thin_values(settings, positions_mm, pulse_energy, resolution=THIN_RESOLUTION):
    """The thin whole-beam model's Te/Te_lin (whole_beam_reference) at the
    positions of the front face and of the sample's optical centre z + L /
    (2 n0) (where the linear beam inside has the same parameter q / n0 as in
    air), with their error estimates; None for samples with an instantaneous
    nonlinearity or excited-state refraction, which that model lacks."""
    if settings.n2 or settings.beta or settings.sigma_r1 or settings.sigma_r3:
        return None
    positions = np.asarray(positions_mm, dtype=float)
    shift = 10.0 * settings.sample_width / (2.0 * settings.refractive_index)
    front, front_error = wb.whole_beam(settings.thin(), positions, pulse_energy,
                                       resolution=resolution, with_error=True)
    centre, centre_error = wb.whole_beam(settings.thin(), positions + shift, pulse_energy,
                                         resolution=resolution, with_error=True)
    return dict(thin_values_linear=front.tolist(), thin_values_centre=centre.tolist(),
                thin_centre_positions_mm=(positions + shift).tolist(),
                thin_accuracy=float(max(front_error.max(), centre_error.max())))


# ----------------------------------------------------------- stored cases

POSITIONS = wb.POSITIONS
DEMO = Settings()                          # the demo RSA absorber in its 1 mm sample
Z0_CM = DEMO.rayleigh_range * 100.0        # 0.2362 cm: L / z0 = 0.42 for the demo
SATURABLE = Settings(populations=(1e17, 0.0, 0.0, 0.0, 0.0),
                     spec_pars=(4e-17, 2e-18, 1e-18, 2e-9, 1e8, 1e-12, 1e-5, 1e-12))
# A sample without absorber population: only the Kerr effect acts (fused
# silica's n2, a 30 ps pulse).
KERR_HOST = Settings(populations=(0.0, 0.0, 0.0, 0.0, 0.0),
                     spec_pars=(0.0, 0.0, 0.0, INF, INF, 1e-12, INF, 1e-12),
                     tau=30e-12, n2=2.5e-16, sample_width=Z0_CM)


def thickened(settings, length):
    """settings in a sample of thickness length (cm) with the populations
    scaled to keep the optical depth alpha0 L (and the nonlinear absorption
    per unit fluence) of the original."""
    scale = settings.sample_width / length
    return settings.replace(sample_width=length,
                            populations=tuple(p * scale for p in settings.populations))


@dataclasses.dataclass(frozen=True)
class Case(wb.Case):
    """A stored case: name, description, settings, pulse energy and
    positions as in the whole-beam reference, with this reference's
    resolution and the apertures."""
    resolution: Resolution = Resolution()
    apertures: tuple = (OPEN,)


CASES = (
    Case("rsa_1mm", "The demo RSA absorber in its own 1 mm sample (L / z0 = 0.42, "
         "alpha0 L = 0.3), n0 = 1, 1.5 uJ.", DEMO, 1.5e-6, Resolution(depth_steps=8)),
    Case("rsa_z0", "The demo RSA absorber with L = z0 = 2.362 mm, the density scaled to keep "
         "alpha0 L = 0.3 (1.27e17 cm^-3), n0 = 1, 1.5 uJ.",
         thickened(DEMO, Z0_CM), 1.5e-6, Resolution(depth_steps=16)),
    Case("rsa_2z0", "The demo RSA absorber with L = 2 z0 = 4.724 mm, alpha0 L = 0.3 kept "
         "(6.35e16 cm^-3), n0 = 1, 1.5 uJ.",
         thickened(DEMO, 2.0 * Z0_CM), 1.5e-6, Resolution(depth_steps=16)),
    Case("sa_z0", "Saturable absorber (the whole-beam reference's sa case) with L = z0, "
         "alpha0 L = 0.4 kept (4.23e16 cm^-3), n0 = 1, 1 uJ.",
         thickened(SATURABLE, Z0_CM), 1.0e-6, Resolution(depth_steps=16)),
    Case("rsa_z0_index", "As rsa_z0 with n0 = 1.5: Rayleigh range 1.5 z0 inside, the focus "
         "at the depth -1.5 z.",
         thickened(DEMO, Z0_CM).replace(refractive_index=1.5), 1.5e-6,
         Resolution(depth_steps=12)),
    Case("kerr_z0", "Kerr refraction alone (n2 = 2.5e-16 cm^2/W, no absorber), L = z0, n0 = 1, "
         "30 ps, 14.4 uJ: k n2 I0 L = 0.50 at the focus; far-field aperture S = 0.1 and the "
         "open aperture (1 in the continuum: energy conserved).",
         KERR_HOST, 14.4e-6, Resolution(depth_steps=16), apertures=(OPEN, Aperture(0.1))),
)


def compute_case(case, log=None):
    """The stored record of one case."""
    start = time.time()
    s = case.settings
    positions = np.asarray(case.positions_mm, dtype=float)
    r = converged(s, positions, case.pulse_energy, case.apertures, case.resolution, log)
    apertures = []
    for j, ap in enumerate(case.apertures):
        apertures.append(dict(
            S=ap.S, label=ap.label,
            values_linear=r.value[j, 0].tolist(), values_wings=r.value[j, 1].tolist(),
            accuracy=float(r.error[j, 0].max()), accuracy_wings=float(r.error[j, 1].max()),
            accuracy_per_position=r.error[j, 0].tolist(),
            accuracy_parts={k: v[j, 0].tolist() for k, v in r.parts.items()}))
    base = case.resolution.grid()
    record = dict(
        name=case.name, description=case.description,
        settings=s.as_dict(), pulse_energy=case.pulse_energy,
        positions_mm=list(case.positions_mm), apertures=apertures,
        accuracy=max(a["accuracy"] for a in apertures),
        te_lin=s.te_lin, alpha0_L=s.linear_absorption * s.sample_width,
        rayleigh_range=s.rayleigh_range, length_over_z0=s.sample_width / Z0_CM,
        peak_intensity_focus=float(wb.peak_intensity(s, case.pulse_energy, 0.0)),
        kerr_phase_focus=s.wavenumber * s.n2 * float(wb.peak_intensity(s, case.pulse_energy, 0.0))
        * s.sample_width,
        radial_nodes=[radial_grid(s, z, base).size for z in positions],
        resolution=dataclasses.asdict(case.resolution))
    if log:
        log(f"{case.name}: accuracy {record['accuracy']:.2e}; the thin model")
    thin = thin_values(s, positions, case.pulse_energy) if OPEN in case.apertures else None
    if thin is not None:
        record.update(thin)
    record["seconds"] = round(time.time() - start, 1)
    if log:
        log(f"{case.name}: done ({record['seconds']} s)")
    return record


def _same_case(record, case):
    def plain(x):
        return json.loads(json.dumps(x))
    return (record.get("name") == case.name and record.get("pulse_energy") == case.pulse_energy
            and record.get("settings") == plain(case.settings.as_dict())
            and record.get("resolution") == plain(dataclasses.asdict(case.resolution))
            and record.get("positions_mm") == list(case.positions_mm)
            and [a["S"] for a in record.get("apertures", [])] == [a.S for a in case.apertures])


ABOUT = (__doc__.splitlines()[0] + " Written by tests/zscanfit/beam_propagation_reference.py "
         "--write; an infinite lifetime is written as Infinity. Per aperture (S = 1: open; "
         "otherwise the far field): values_linear is P/P_lin, values_wings P over the mean of "
         "P at the first and last five positions, accuracy the largest error estimate of "
         "values_linear (accuracy_wings: of values_wings). thin_values_linear: the thin "
         "whole-beam model's Te/Te_lin at the same positions (the front face), "
         "thin_values_centre at the sample's optical centre z + L/(2 n0).")


def main(argv=None):
    args, known = wb.figures_command_line(__doc__.splitlines()[0], argv)
    chosen = [c for c in CASES if not args.cases or c.name in args.cases]
    log = lambda msg: print(msg, file=sys.stderr, flush=True)  # noqa: E731
    records = []
    for case in chosen:
        old = next((r for r in known if _same_case(r, case)), None)
        records.append(old if old is not None else compute_case(case, log))
        # Written after every case: a long run keeps what it has finished.
        args.write.parent.mkdir(parents=True, exist_ok=True)
        args.write.write_text(json.dumps(dict(about=ABOUT, cases=records), indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
