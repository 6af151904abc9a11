"""Slow, converged evaluation of the whole-beam z-scan transmittance, for the
tests of the compiled whole-beam model to be checked against.

Computes, straight from the model's definition: the peak intensity of the
Gaussian pulse at a position; the local fluence transmittance Tloc of a thin
sample under a pulse of given peak intensity (five-level rate equations with
the initial populations stationary in the dark, Beer-type propagation in
retarded time); the whole-beam energy transmittance Te(z) by
Gauss-Legendre quadrature over u = exp(-2 r^2 / w^2) at every position,
normalised by its low-energy limit or by the scan's wings; and the
quasi-steady closed form of a fast two-level saturable absorber.

Discretisation (different from a table over intensity): uniform time steps
over +-3.5 tau (the neglected fluence is 1e-16 of the pulse); at every depth
the populations are advanced by the exact exponential of the rate matrix
frozen at the step's mid-point flux (affine, batched Pade-13 exponentials),
and sampled at the step mid-points, where the intensity lives; the
log-intensity history is carried through the sample by classical RK4 in
depth. Each step is exact for a constant flux, so picosecond lifetimes do not
limit the step; Richardson extrapolation in the time step (orders 2 and 4), in
the depth step (orders 4 and 5), their cross term and a finer transverse rule
give the value and an estimate of its error. On such long steps the fast
levels sit at their adiabatic values, without their lag behind the flux
(relative order tau_21 / tau, about 1e-7 on the demo); a correction from a
ladder of steps shorter than the fastest lifetime, at coarse depth and
transverse resolution, puts it back.

The dark-stationarity convention: c = -R(N_init, 0) is added to the rate
equations, so that the initial populations stay put in the dark, but in
proportion to the populations it acts on. A level with c_l < 0 is drained:
its term is c_l N_l / N_l,init, vanishing as the level empties. The total
drained, D = sum over drained l of -c_l N_l / N_l,init, goes to the filled
levels (c_l > 0) in the proportions c_l / (sum of the filled c). At N =
N_init this is c itself (a true dark steady state, c = 0, keeps the plain
rate equations), the total is conserved, no level is driven below zero, and
the terms are linear in N: a matrix C added to the dark rate matrix K. A
drained level that starts empty cannot be compensated and is refused. (A
constant c instead lets a drained level go negative once the pulse has moved
its population elsewhere.)

Relies on NumPy only (einsum and batched linalg.solve).
"""
import argparse
import dataclasses
import json
import math
import pathlib
import sys
import time

import numpy as np

PLANCK = 6.62607015e-34      # J s
LIGHT_SPEED = 299792458.0    # m / s
# Time integral of exp(-4 ln2 t^2 / tau^2) over t, in units of tau.
PULSE_AREA = math.sqrt(math.pi / (4.0 * math.log(2.0)))
GAUSS_RATE = 4.0 * math.log(2.0)

SPEC_NAMES = ("sigma_0", "sigma_1", "sigma_2", "tau_10", "tau_13", "tau_21", "tau_30", "tau_43")


# ------------------------------------------------------------------ settings

@dataclasses.dataclass(frozen=True)
class Settings:
    """One experiment and absorber, in the units of the documented model:
    wavelength, w0 in m; tau in s; sample_width in cm; populations in cm^-3;
    spec_pars = (sigma_0, sigma_1, sigma_2 [cm^2], tau_10, tau_13, tau_21,
    tau_30, tau_43 [s]), a lifetime of inf meaning no decay."""
    wavelength: float = 532e-9
    w0: float = 20e-6
    M2: float = 1.0
    tau: float = 4e-9
    sample_width: float = 0.1
    populations: tuple = (3e17, 0.0, 0.0, 0.0, 0.0)
    spec_pars: tuple = (1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12)

    def __post_init__(self):
        object.__setattr__(self, "populations", tuple(float(v) for v in self.populations))
        object.__setattr__(self, "spec_pars", tuple(float(v) for v in self.spec_pars))
        if len(self.populations) != 5 or len(self.spec_pars) != 8:
            raise ValueError("populations needs 5 values and spec_pars 8")

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)

    @property
    def photon_energy(self):
        """h nu in J."""
        return PLANCK * LIGHT_SPEED / self.wavelength

    @property
    def rayleigh_range(self):
        """z0 in m."""
        return math.pi * self.w0 ** 2 / (self.M2 * self.wavelength)

    def beam_radius(self, z_mm):
        """w(z) in m at z in mm from the focus."""
        z = np.asarray(z_mm, dtype=float) * 1e-3
        return self.w0 * np.sqrt(1.0 + (z / self.rayleigh_range) ** 2)

    @property
    def linear_absorption(self):
        """sigma_0 N0 + sigma_1 N1 + sigma_2 N3 at the initial populations, cm^-1."""
        s0, s1, s2 = self.spec_pars[:3]
        n = self.populations
        return s0 * n[0] + s1 * n[1] + s2 * n[3]

    @property
    def te_lin(self):
        """Low-energy limit of Te under the dark-stationarity convention."""
        return math.exp(-self.linear_absorption * self.sample_width)

    def as_dict(self):
        return dataclasses.asdict(self)


DEMO = Settings()


def peak_intensity(settings, pulse_energy, z_mm):
    """I0 in W/cm^2 of the pulse of energy pulse_energy (J) at z_mm from the focus."""
    w = settings.beam_radius(z_mm)
    return 1e-4 * pulse_energy / ((math.pi * w ** 2 / 2.0) * settings.tau * PULSE_AREA)


# ------------------------------------------------------------ rate equations

def rate_matrices(settings):
    """(K, B): dN/dt = (K + phi B) N is the five rate equations, K the dark
    decays, B the absorptions per unit photon flux (cm^2)."""
    s0, s1, s2 = settings.spec_pars[:3]
    k10, k13, k21, k30, k43 = (0.0 if math.isinf(t) else 1.0 / t for t in settings.spec_pars[3:])
    K = np.zeros((5, 5))
    B = np.zeros((5, 5))
    K[0, 1] += k10; K[1, 1] -= k10 + k13; K[3, 1] += k13
    K[1, 2] += k21; K[2, 2] -= k21
    K[0, 3] += k30; K[3, 3] -= k30
    K[3, 4] += k43; K[4, 4] -= k43
    B[0, 0] -= s0; B[1, 0] += s0
    B[1, 1] -= s1; B[2, 1] += s1
    B[3, 3] -= s2; B[4, 3] += s2
    return K, B


EMPTY_DRAINED_LEVEL = ("level {level} is drained in the dark (compensation {rate:.3g} cm^-3/s) "
                       "but starts empty: the dark-stationarity compensation, proportional "
                       "to the level's population, cannot hold the initial populations")
DARK_CONVENTIONS = ("proportional", "constant", "none")


def dark_compensation(settings):
    """C (1/s): dN/dt = (K + C + phi B) N keeps the initial populations
    stationary in the dark (see the module's description), C N_init =
    -K N_init. ValueError for a drained level that starts empty."""
    K, _ = rate_matrices(settings)
    n_init = np.asarray(settings.populations, dtype=float)
    c = -K @ n_init
    drained, filled = c < 0.0, c > 0.0
    C = np.zeros((5, 5))
    if not drained.any():
        return C
    for level in np.flatnonzero(drained):
        if n_init[level] <= 0.0:
            raise ValueError(EMPTY_DRAINED_LEVEL.format(level=int(level), rate=c[level]))
    # Column l (drained): c_l / N_l,init leaves level l and is shared among
    # the filled levels in proportion to their c.
    drain = c[drained] / n_init[drained]
    C[np.flatnonzero(drained), np.flatnonzero(drained)] = drain
    C[np.ix_(filled, drained)] = -np.outer(c[filled] / c[filled].sum(), drain)
    return C


_PADE13 = (64764752532480000.0, 32382376266240000.0, 7771770303897600.0, 1187353796428800.0,
           129060195264000.0, 10559470521600.0, 670442572800.0, 33522128640.0, 1323241920.0,
           40840800.0, 960960.0, 16380.0, 182.0, 1.0)
_THETA13 = 5.371920351148152


def _mm(a, b):
    """Products of stacks of matrices stored (n, n, batch)."""
    return np.einsum("ijb,jkb->ikb", a, b)


def expm_stack(a):
    """exp of every matrix of a stack stored (n, n, batch): scaling and
    squaring with the [13/13] Pade approximant."""
    n = a.shape[0]
    norm = float(np.abs(a).sum(axis=0).max()) if a.size else 0.0
    s = max(0, int(math.ceil(math.log2(norm / _THETA13)))) if norm > 0.0 else 0
    a = a * 0.5 ** s
    b = _PADE13
    eye = np.eye(n)[:, :, None]
    a2 = _mm(a, a)
    a4 = _mm(a2, a2)
    a6 = _mm(a4, a2)
    u = _mm(a, _mm(a6, b[13] * a6 + b[11] * a4 + b[9] * a2)
            + b[7] * a6 + b[5] * a4 + b[3] * a2 + b[1] * eye)
    v = (_mm(a6, b[12] * a6 + b[10] * a4 + b[8] * a2)
         + b[6] * a6 + b[4] * a4 + b[2] * a2 + b[0] * eye)
    r = np.linalg.solve(np.moveaxis(v - u, 2, 0), np.moveaxis(v + u, 2, 0))
    r = np.ascontiguousarray(np.moveaxis(r, 0, 2))
    for _ in range(s):
        r = _mm(r, r)
    return r


_CHUNK = 1 << 16   # matrices per batch of exponentials


def population_history(settings, intensity, dt, dark="proportional"):
    """Populations (cm^-3), shape (..., steps, 5), at the mid-points of
    ``steps`` uniform time steps of length dt (s), starting from the initial
    populations, under the intensity (W/cm^2) given at those mid-points,
    shape (..., steps). Each step applies the exact solution for the flux
    frozen at its mid-point value, in two halves (the first half gives the
    mid-point populations). The initial populations are stationary in the
    dark by the compensation proportional to the drained levels' populations
    (dark='proportional', the model's convention), by the constant
    compensation R(N, phi) - R(N_init, 0) ('constant'), or not at all, the
    plain rate equations ('none')."""
    if dark not in DARK_CONVENTIONS:
        raise ValueError(f"dark must be one of {DARK_CONVENTIONS}")
    intensity = np.asarray(intensity, dtype=float)
    lead, steps = intensity.shape[:-1], intensity.shape[-1]
    phi = intensity.reshape(-1, steps) / settings.photon_energy      # (n, steps)
    n = phi.shape[0]
    pops = np.asarray(settings.populations, dtype=float)
    total = pops.sum()
    start = pops / total if total > 0.0 else pops
    K, B = rate_matrices(settings)
    if dark == "proportional":
        K = K + dark_compensation(settings)
    # Deviation m = N/total - start: dm/dt = (K + phi B) m + phi B start
    # (stationary: K start is cancelled, by K's compensation part or by the
    # constant) or + (K + phi B) start (plain), as one affine 6x6 system.
    drive_flux = B @ start
    drive_dark = K @ start if dark == "none" else np.zeros(5)
    flux_by_step = phi.T.reshape(-1)                                   # step-major
    out = np.empty((steps, 5, n))
    m = np.zeros((6, n))
    m[5] = 1.0
    per_chunk = max(1, _CHUNK // max(n, 1))
    half = 0.5 * dt
    for first in range(0, steps, per_chunk):
        last = min(steps, first + per_chunk)
        f = flux_by_step[first * n:last * n]
        a = np.zeros((6, 6, f.size))
        a[:5, :5] = half * (K[:, :, None] + B[:, :, None] * f)
        a[:5, 5] = half * (drive_flux[:, None] * f + drive_dark[:, None])
        e = expm_stack(a).reshape(6, 6, last - first, n)
        for k in range(last - first):
            ek = e[:, :, k]
            mid = np.einsum("ijn,jn->in", ek, m)
            out[first + k] = mid[:5]
            m = np.einsum("ijn,jn->in", ek, mid)
    hist = total * (start[None, :, None] + out)                       # (steps, 5, n)
    return np.moveaxis(hist, 2, 0).reshape(lead + (steps, 5))


# ------------------------------------------------------- local transmittance

@dataclasses.dataclass(frozen=True)
class Grid:
    """One discretisation: time steps over [-window tau, +window tau] and RK4
    steps in depth."""
    time_steps: int
    depth_steps: int
    window: float = 3.5

    @property
    def dt_over_tau(self):
        return 2.0 * self.window / self.time_steps


@dataclasses.dataclass(frozen=True)
class Resolution:
    """How finely to compute.

    The stiff ladder: time_steps and depth_steps on the coarsest grid of the
    extrapolations (each doubled twice) over +-window tau; the transverse rule:
    Gauss-Legendre with ``nodes`` nodes on each of the panels [0, 4^-panels],
    [4^-j, 4^-(j-1)] of u, checked against one panel and ``extra_nodes``
    nodes per panel more.

    The lag correction (lag=True): on steps of the stiff ladder the levels
    whose rates exceed 1/dt sit at their adiabatic values, without the lag
    behind the flux that the rate equations give them (of relative order
    tau_21 / tau; 1e-7 on the demo's Tloc at the focus). The correction is
    the difference between a resolved ladder (lag_resolved = largest rate x
    dt / 2 on its coarsest grid) and the stiff ladder, both over
    +-lag_window tau (the lag lives in the core of the pulse) with
    lag_depth_steps RK4 steps and ``lag_nodes`` Gauss-Legendre nodes on
    u in [0, 1], checked against half the depth steps and one node fewer."""
    time_steps: int = 280
    depth_steps: int = 4
    window: float = 3.5
    panels: int = 3
    nodes: int = 8
    extra_nodes: int = 4
    lag: bool = True
    lag_resolved: float = 1.6
    lag_window: float = 2.5
    lag_depth_steps: int = 4
    lag_nodes: int = 4

    def grid(self, time_factor=1, depth_factor=1):
        return Grid(self.time_steps * time_factor, self.depth_steps * depth_factor, self.window)


def _time_nodes(settings, grid):
    dt = grid.dt_over_tau * settings.tau
    t = -grid.window * settings.tau + (np.arange(grid.time_steps) + 0.5) * dt
    return t, dt


def _absorption(settings, log_intensity, dt):
    """alpha (cm^-1) at the mid-points under the intensity exp(log_intensity)."""
    s0, s1, s2 = settings.spec_pars[:3]
    pops = population_history(settings, np.exp(log_intensity), dt)
    return s0 * pops[..., 0] + s1 * pops[..., 1] + s2 * pops[..., 3]


def local_transmittance_at(settings, peak_intensity, grid):
    """Tloc of every peak intensity (W/cm^2) on one discretisation."""
    peaks = np.atleast_1d(np.asarray(peak_intensity, dtype=float))
    t, dt = _time_nodes(settings, grid)
    with np.errstate(divide="ignore"):
        log_in = np.log(peaks)[:, None] - GAUSS_RATE * (t / settings.tau) ** 2
    ok = peaks > 0.0
    result = np.full(peaks.shape, settings.te_lin)
    if not ok.any():
        return result
    log_in = log_in[ok]
    h = settings.sample_width / grid.depth_steps
    y = log_in.copy()
    for _ in range(grid.depth_steps):
        k1 = -_absorption(settings, y, dt)
        k2 = -_absorption(settings, y + 0.5 * h * k1, dt)
        k3 = -_absorption(settings, y + 0.5 * h * k2, dt)
        k4 = -_absorption(settings, y + h * k3, dt)
        y = y + (h / 6.0) * (k1 + 2.0 * k2 + 2.0 * k3 + k4)
    # Ratio of the mid-point sums of output and input (the common exp(peak) cancels).
    shift = np.log(peaks[ok])[:, None]
    result[ok] = np.exp(y - shift).sum(axis=1) / np.exp(log_in - shift).sum(axis=1)
    return result


def fastest_rate(settings, peak_intensity):
    """The largest |eigenvalue| (1/s) of the rate matrix in the dark and at the
    flux of peak_intensity."""
    K, B = rate_matrices(settings)
    phi = float(peak_intensity) / settings.photon_energy
    return max(float(np.abs(np.linalg.eigvals(K + f * B)).max()) for f in (0.0, phi))


@dataclasses.dataclass
class Extrapolated:
    """A converged value, its error estimate and the parts of the estimate."""
    value: np.ndarray
    error: np.ndarray
    parts: dict


def _time_ladder(evaluate, grid):
    """Richardson (orders 2 and 4) over time_steps x 1, 2, 4: the value and
    the size of the last correction."""
    v = [evaluate(Grid(grid.time_steps * f, grid.depth_steps, grid.window)) for f in (1, 2, 4)]
    a = (4.0 * v[1] - v[0]) / 3.0
    b = (4.0 * v[2] - v[1]) / 3.0
    return b + (b - a) / 15.0, np.abs(b - a) / 15.0


def extrapolate(evaluate, resolution):
    """Combine ``evaluate(grid)`` (an array) on six grids around the coarsest:
    Richardson in the time step (error dt^2 + dt^4 + ..., the scheme being
    symmetric on the slow dynamics) at the coarsest depth step, Richardson in
    the depth step (h^4 + h^5 + ...) at the coarsest time step, and the cross
    term c dt^2 h^4 that the two leave, from the mixed difference of the
    grids (2, 2), (2, 1), (1, 2), (1, 1) (which is 45/64 of it). The error
    estimate is the size of the last Richardson correction in each direction
    (the error of the values extrapolated one order less, which bounds the
    final one's in the asymptotic range) plus half the cross correction."""
    v = {f: evaluate(resolution.grid(*f)) for f in ((1, 1), (2, 1), (4, 1), (1, 2), (1, 4), (2, 2))}
    t_a = (4.0 * v[2, 1] - v[1, 1]) / 3.0
    t_b = (4.0 * v[4, 1] - v[2, 1]) / 3.0
    t_best = (16.0 * t_b - t_a) / 15.0
    z_a = (16.0 * v[1, 2] - v[1, 1]) / 15.0
    z_b = (16.0 * v[1, 4] - v[1, 2]) / 15.0
    z_best = (32.0 * z_b - z_a) / 31.0
    cross = (64.0 / 45.0) * (v[2, 2] - v[2, 1] - v[1, 2] + v[1, 1])
    value = t_best + z_best - v[1, 1] + cross
    parts = dict(time=np.abs(t_best - t_b), depth=np.abs(z_best - z_b), cross=0.5 * np.abs(cross),
                 raw_time_change=np.abs(v[4, 1] - v[2, 1]),
                 raw_depth_change=np.abs(v[1, 4] - v[1, 2]), coarse=v[1, 1])
    error = parts["time"] + parts["depth"] + parts["cross"]
    return Extrapolated(value, error, parts)


def lag_correction(evaluate, settings, resolution, peak_max):
    """The lag correction of the stiff ladder (see Resolution) for
    ``evaluate(grid, check)`` (an array; check selects the coarser transverse
    rule), or None when the stiff ladder's coarsest grid already resolves
    every rate. Its error: the last Richardson corrections of both ladders
    and the change of the correction on the coarser depth and transverse
    rules."""
    rate = fastest_rate(settings, peak_max)
    if not resolution.lag or rate * resolution.window * settings.tau / resolution.time_steps \
            <= resolution.lag_resolved:
        return None
    window = resolution.lag_window
    stiff_steps = max(2, int(round(resolution.time_steps * window / resolution.window)))
    resolved_steps = int(math.ceil(rate * window * settings.tau / resolution.lag_resolved))
    depth = resolution.lag_depth_steps
    found = {}
    for check, m in ((False, depth), (True, max(1, depth // 2))):
        stiff, e_stiff = _time_ladder(lambda g: evaluate(g, check), Grid(stiff_steps, m, window))
        resolved, e_res = _time_ladder(lambda g: evaluate(g, check),
                                       Grid(resolved_steps, m, window))
        found[check] = (resolved - stiff, e_stiff + e_res * (15.0 / 7.0))
    delta, e_ladders = found[False]
    change = np.abs(delta - found[True][0])
    return Extrapolated(delta, e_ladders + change,
                        dict(lag_ladders=e_ladders, lag_rules=change, lag_steps=resolved_steps))


def local_transmittance(settings, peak_intensity, resolution=Resolution(), with_error=False):
    """Tloc, the fluence transmittance at one radius whose incident peak
    intensity (W/cm^2, scalar or array) is given, extrapolated to zero time
    and depth steps and corrected for the lag of the fast levels; with_error:
    (Tloc, error estimate)."""
    peaks = np.atleast_1d(np.asarray(peak_intensity, dtype=float))
    ex = extrapolate(lambda g: local_transmittance_at(settings, peaks, g), resolution)
    lag = lag_correction(lambda g, check: local_transmittance_at(settings, peaks, g),
                         settings, resolution, peaks.max())
    value, error = ex.value, ex.error
    if lag is not None:
        value, error = value + lag.value, error + lag.error
    shape = np.shape(peak_intensity)
    value, error = value.reshape(shape), error.reshape(shape)
    return (value, error) if with_error else value


# ------------------------------------------------------------ whole beam

def transverse_rule(panels, nodes):
    """Nodes and weights on u in [0, 1]: Gauss-Legendre with ``nodes`` nodes
    on [0, 4^-panels] and on each [4^-j, 4^-(j-1)], j = panels ... 1
    (graded towards u = 0, where a strongly nonlinear focus puts the
    intensities of the absorber's own scale); panels = 0 is plain
    Gauss-Legendre on [0, 1]."""
    x, w = np.polynomial.legendre.leggauss(nodes)
    edges = [0.0] + [4.0 ** -j for j in range(panels, 0, -1)] + [1.0]
    us, ws = [], []
    for a, b in zip(edges[:-1], edges[1:]):
        us.append(0.5 * (b - a) * x + 0.5 * (b + a))
        ws.append(0.5 * (b - a) * w)
    return np.concatenate(us), np.concatenate(ws)


def _normalised(settings, te, normalise):
    if normalise == "linear":
        return te / settings.te_lin
    if normalise == "wings":
        if te.size < 10:
            raise ValueError("normalise='wings' needs at least 10 positions")
        return te / np.mean(np.concatenate([te[:5], te[-5:]]))
    if normalise in (None, "none"):
        return te
    raise ValueError("normalise must be 'linear', 'wings' or 'none'")


@dataclasses.dataclass
class WholeBeam:
    """Te at every position (raw), its error estimate, the normalised values
    (with the error divided by the same normalisation) and the estimate's parts."""
    te: np.ndarray
    te_error: np.ndarray
    values: np.ndarray
    error: np.ndarray
    parts: dict


def whole_beam_detail(settings, positions_mm, pulse_energy, normalise="linear",
                      resolution=Resolution()):
    """The whole-beam transmittance at every position: Te = int_0^1 Tloc(I0(z) u) du
    by Gauss-Legendre rules in u, with Tloc on the nodes of every position
    (positions with equal I0 are computed once): the stiff ladder
    extrapolated on the graded rule, the change to the finer graded rule at
    the coarsest grid (applied, and added to the error) and the lag
    correction on plain rules."""
    positions = np.asarray(positions_mm, dtype=float)
    peaks = peak_intensity(settings, pulse_energy, positions)
    unique, where = np.unique(peaks, return_inverse=True)
    rules = [transverse_rule(resolution.panels, resolution.nodes),
             transverse_rule(resolution.panels + 1, resolution.nodes + resolution.extra_nodes)]
    lag_rules = [transverse_rule(0, resolution.lag_nodes),
                 transverse_rule(0, max(1, resolution.lag_nodes - 1))]

    def integrate(grid, rule):
        u, w = rule
        tloc = local_transmittance_at(settings, (unique[:, None] * u[None, :]).ravel(), grid)
        return tloc.reshape(unique.size, u.size) @ w

    ex = extrapolate(lambda g: integrate(g, rules[0]), resolution)
    transverse = integrate(resolution.grid(), rules[1]) - ex.parts["coarse"]
    lag = lag_correction(lambda g, check: integrate(g, lag_rules[check]),
                         settings, resolution, unique.max())
    te_u = ex.value + transverse
    err_u = ex.error + np.abs(transverse)
    parts = dict(ex.parts, transverse=np.abs(transverse))
    if lag is not None:
        te_u, err_u = te_u + lag.value, err_u + lag.error
        parts.update(lag=lag.value, lag_ladders=lag.parts["lag_ladders"],
                     lag_rules=lag.parts["lag_rules"])
    te, te_error = te_u[where], err_u[where]
    values = _normalised(settings, te, normalise)
    scale = np.abs(values / te) if np.all(te != 0.0) else np.ones_like(te)
    parts = {k: np.asarray(v)[where] for k, v in parts.items()}
    return WholeBeam(te, te_error, values, te_error * scale, parts)


def whole_beam(settings, positions_mm, pulse_energy, normalise="linear",
               resolution=Resolution(), with_error=False):
    """Te/Te_lin (normalise='linear'), Te divided by the mean of Te at the
    first and last five positions ('wings'), or Te ('none') at every position
    (mm); with_error: (values, error estimate of the values)."""
    r = whole_beam_detail(settings, positions_mm, pulse_energy, normalise, resolution)
    return (r.values, r.error) if with_error else r.values


# ------------------------------------------------- two-level closed form

def _two_level_ratio(x0, optical_depth):
    """Iout/Iin of ln(Iout/Iin) + (Iout - Iin)/Is = -optical_depth at Iin = x0 Is:
    y = ln(Iout/Iin) solves y + x0 (e^y - 1) + optical_depth = 0, convex and
    increasing in y, so Newton from y = 0 (where it is positive) converges
    monotonically."""
    y = np.zeros_like(x0)
    for _ in range(100):
        ey = np.exp(y)
        step = (y + x0 * (ey - 1.0) + optical_depth) / (1.0 + x0 * ey)
        y = y - step
        if np.all(np.abs(step) <= 1e-16 * (1.0 + np.abs(y))):
            break
    return np.exp(y)


def two_level_quasi_steady(settings, positions_mm, pulse_energy, time_nodes=801,
                           panels=6, nodes=16, with_error=False):
    """Te / exp(-alpha0 L) of a fast two-level saturable absorber (sigma_1 =
    sigma_2 = 0, tau_13 = inf, all population in level 0, tau_10 << tau) in
    the quasi-steady limit, Is = h nu / (sigma_0 tau_10): Iout from the
    closed form at every (t, u), integrated by the mid-point rule in t over
    +-5 tau and the graded Gauss-Legendre rule in u; with_error: the change
    on halving the time spacing and refining the rule."""
    s0, s1, s2, tau10, tau13 = settings.spec_pars[:5]
    pops = settings.populations
    if s1 != 0.0 or s2 != 0.0 or not math.isinf(tau13) or any(p != 0.0 for p in pops[1:]):
        raise ValueError("the closed form is for sigma_1 = sigma_2 = 0, tau_13 = inf, "
                         "and all population in level 0")
    depth = s0 * pops[0] * settings.sample_width
    i_sat = settings.photon_energy / (s0 * tau10)
    peaks = peak_intensity(settings, pulse_energy, np.asarray(positions_mm, dtype=float))

    def evaluate(n_t, p, m):
        t = -5.0 + (np.arange(n_t) + 0.5) * (10.0 / n_t)
        g = np.exp(-GAUSS_RATE * t ** 2)
        u, w = transverse_rule(p, m)
        out = []
        for peak in np.atleast_1d(peaks):
            x0 = (peak / i_sat) * u[:, None] * g[None, :]
            ratio = _two_level_ratio(x0, depth)
            out.append((w @ (ratio * g).sum(axis=1)) / g.sum())
        return np.array(out) / math.exp(-depth)

    value = evaluate(time_nodes, panels, nodes)
    if not with_error:
        return value
    finer = evaluate(2 * time_nodes + 1, panels + 1, nodes + 4)
    return finer, np.abs(finer - value)


# ----------------------------------------------------------- stored cases

POSITIONS = (-20.0, -5.0, -2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0, 5.0, 20.0)
INF = math.inf


@dataclasses.dataclass(frozen=True)
class Case:
    name: str
    description: str
    settings: Settings
    pulse_energy: float
    resolution: Resolution = Resolution()
    positions_mm: tuple = POSITIONS


def _demo(**changes):
    return DEMO.replace(**changes)


def _spec(**changes):
    pars = dict(zip(SPEC_NAMES, DEMO.spec_pars))
    pars.update(changes)
    return tuple(pars[n] for n in SPEC_NAMES)


CASES = (
    Case("rsa_demo_low", "The demo RSA experiment (bundled data) at 0.5 uJ.", DEMO, 0.5e-6),
    Case("rsa_demo_high", "The demo RSA experiment at 1.5 uJ: ground state strongly pumped "
         "at the focus (photon fluence x sigma_0 = 6.4).", DEMO, 1.5e-6),
    Case("sa", "Saturable absorber, I0 = 8 Is at the focus (fluence 17 saturation fluences): "
         "strong saturation, transmittance well above Te_lin.",
         _demo(populations=(1e17, 0, 0, 0, 0),
               spec_pars=(4e-17, 2e-18, 1e-18, 2e-9, 1e8, 1e-12, 1e-5, 1e-12)), 1.0e-6,
         Resolution(time_steps=560)),
    Case("thick", "The demo RSA with ten times the density: optical depth alpha0 L = 3, the "
         "pulse reshaped strongly along the depth.",
         _demo(populations=(3e18, 0, 0, 0, 0)), 1.5e-6,
         Resolution(time_steps=280, depth_steps=16, lag_depth_steps=16)),
    Case("depletion", "The demo RSA at 10 uJ (photon fluence x sigma_0 = 43 at the focus): the "
         "ground state emptied early in the pulse, excited-state absorption only; "
         "tau_21 = tau_43 = 0.1 ps keeps the fast levels far faster than the pumping.",
         _demo(spec_pars=_spec(tau_21=1e-13, tau_43=1e-13)), 10e-6,
         Resolution(time_steps=700, lag_depth_steps=2)),
    Case("short_pulse", "tau = 0.1 ps, far shorter than every lifetime (tau_21 = 1 ps "
         "included): populations only accumulate during the pulse.",
         _demo(tau=1e-13), 0.5e-6),
    Case("long_pulse", "tau = 100 ns, far longer than every lifetime (tau_30 shortened to "
         "20 ns): populations follow the pulse quasi-statically.",
         _demo(tau=1e-7, spec_pars=_spec(tau_30=2e-8)), 10e-6,
         Resolution(time_steps=560, lag_depth_steps=2)),
    Case("excited_initial", "Levels 1 and 3 populated before the pulse with finite "
         "lifetimes (3.3 ns and 3 ns): the dark-stationarity convention holds them "
         "at their initial values outside the pulse, draining level 0, which the "
         "pulse pumps strongly at the focus.",
         _demo(populations=(2e17, 5e16, 0, 5e16, 0), spec_pars=_spec(tau_30=3e-9)), 1.5e-6),
    Case("excited_initial_inf", "Level 3 populated before the pulse with an infinite "
         "lifetime: a true dark steady state (the convention changes nothing).",
         _demo(populations=(2e17, 0, 0, 1e17, 0), spec_pars=_spec(tau_30=INF)), 1.5e-6),
    Case("linear", "sigma_0 = sigma_1 = sigma_2 with tau_21 = tau_43 = 0.1 ps: a linear absorber "
         "up to the population parked in levels 2 and 4, a deviation proportional "
         "to tau_21 / tau.",
         _demo(spec_pars=(1e-17, 1e-17, 1e-17, 5e-9, 1e-8, 1e-13, 1e-5, 1e-13)), 1.5e-6,
         Resolution(lag_depth_steps=2)),
    Case("two_level", "Fast two-level saturable absorber (sigma_1 = sigma_2 = 0, tau_13 = inf, "
         "tau_10 = 1 ps), I0 = 10 Is at the focus; closed_form_values are its "
         "quasi-steady limit.",
         _demo(populations=(1e17, 0, 0, 0, 0),
               spec_pars=(4e-17, 0.0, 0.0, 1e-12, INF, 1e-12, 1e-5, 1e-12)), 2.5e-3,
         Resolution(lag_depth_steps=2)),
)


def compute_case(case, log=None):
    """The stored record of one case."""
    start = time.time()
    s = case.settings
    r = whole_beam_detail(s, case.positions_mm, case.pulse_energy, "linear", case.resolution)
    focus = float(peak_intensity(s, case.pulse_energy, 0.0))
    sample_peaks = focus * np.array([1e-3, 1e-2, 0.1, 0.3, 1.0])
    tloc, tloc_err = local_transmittance(s, sample_peaks, case.resolution, with_error=True)
    lag = r.parts.pop("lag", None)
    record = dict(
        name=case.name, description=case.description,
        settings=s.as_dict(), pulse_energy=case.pulse_energy,
        positions_mm=list(case.positions_mm),
        values_linear=r.values.tolist(),
        values_wings=_normalised(s, r.te, "wings").tolist(),
        te_lin=s.te_lin, te=r.te.tolist(),
        accuracy=float(r.error.max()), accuracy_per_position=r.error.tolist(),
        accuracy_parts={k: (np.asarray(v) / s.te_lin).tolist() for k, v in r.parts.items()
                        if k != "coarse"},
        lag_correction=None if lag is None else (np.asarray(lag) / s.te_lin).tolist(),
        tloc_samples=[[float(i), float(t)] for i, t in zip(sample_peaks, tloc)],
        tloc_accuracy=float(tloc_err.max()),
        peak_intensity_focus=focus,
        resolution=dataclasses.asdict(case.resolution),
        dark=DARK_CONVENTIONS[0],
    )
    if case.name == "two_level":
        closed, closed_err = two_level_quasi_steady(s, case.positions_mm, case.pulse_energy,
                                                    with_error=True)
        record["closed_form_values"] = closed.tolist()
        record["closed_form_accuracy"] = float(closed_err.max())
        record["i_sat"] = s.photon_energy / (s.spec_pars[0] * s.spec_pars[3])
    record["seconds"] = round(time.time() - start, 1)
    if log:
        log(f"{case.name}: focus {record['values_linear'][list(case.positions_mm).index(0.0)]!r} "
            f"accuracy {record['accuracy']:.2e} ({record['seconds']} s)")
    return record


def _same_case(record, case):
    """Whether a stored record holds the figures of ``case``: the same inputs,
    computed under the model's dark convention or with nothing to compensate."""
    convention = record.get("dark") == DARK_CONVENTIONS[0] \
        or not dark_compensation(case.settings).any()
    return (convention and record.get("name") == case.name
            and record.get("pulse_energy") == case.pulse_energy
            and record.get("settings") == json.loads(json.dumps(case.settings.as_dict()))
            and record.get("resolution") == dataclasses.asdict(case.resolution)
            and record.get("positions_mm") == list(case.positions_mm))


def figures_command_line(description, argv=None):
    """The options of a command that writes converged figures (--write,
    --cases, --reuse), parsed, and the records of the files to reuse."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--write", type=pathlib.Path, required=True, help="JSON file to write")
    parser.add_argument("--cases", nargs="*", help="only these cases (default all)")
    parser.add_argument("--reuse", nargs="*", type=pathlib.Path, default=[],
                        help="JSON files written before: their records of unchanged cases "
                             "are taken over instead of computed")
    args = parser.parse_args(argv)
    return args, [r for path in args.reuse for r in json.loads(path.read_text())["cases"]]


def main(argv=None):
    args, known = figures_command_line(__doc__.splitlines()[0], argv)
    chosen = [c for c in CASES if not args.cases or c.name in args.cases]
    log = lambda msg: print(msg, file=sys.stderr, flush=True)
    records = []
    for case in chosen:
        old = next((r for r in known if _same_case(r, case)), None)
        records.append(old if old is not None else compute_case(case, log))
        args.write.parent.mkdir(parents=True, exist_ok=True)
        args.write.write_text(json.dumps(dict(
            about=__doc__.splitlines()[0] + " Written by tests/zscanfit/whole_beam_reference.py "
                  "--write; an infinite lifetime is written as Infinity; values_linear is "
                  "Te/Te_lin, values_wings Te over the mean of the first and last five, "
                  "accuracy the largest error estimate of values_linear, dark the dark-stationarity "
                  "convention (records without it have nothing to compensate).",
            cases=records), indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
