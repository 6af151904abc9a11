// The local fluence transmittance of one peak intensity and its parameter
// derivatives; see whole_beam_local.h. The unknowns are the populations'
// departures x from the initial state at every depth node (levels 1 to 4;
// level 0 holds the rest, so the total is kept exactly) and the absorbed
// fraction beyond the linear one, Q(s) = int p(s) (1 - exp(-E(L, s))) ds,
// E(z, s) the optical depth at z beyond the linear one, whose final value
// gives Tloc / Te_lin = 1 - Q / (pulse integral) with full relative accuracy
// however thick the sample. The integration ends where the pulse's
// remaining fluence no longer matters; the tail crosses the sample as the
// sample then is. At node j the light is g_j = p(s) q_j
// exp(-E_j), q_j the linear light of the depth grid, and
//   dx_j/ds = K x_j + g_j a(n_j),
// K the dark matrix (decays and the compensation that keeps the initial
// state stationary), a(n) the absorption's transfers between the levels per
// unit light. The forward sensitivities s = dy/dp follow the variational
// equations s' = J s + df/dp beside the state, in the same integrator call:
// the augmented system's Newton matrix is block-diagonal, each depth node's
// levels a block, and every parameter shares the state's blocks (the
// coupling across depth and the terms of J's change with the state are left
// to the corrector),
// and the sensitivities' error weights are zero (infinite absolute
// tolerance), so that the integrator's norms, and with them every step, are
// those of the state alone. The populations are checked at every step.
// Relies on the integrator, the depth grid, the pulse, the absorber and one
// thread_local record that the right-hand side and the Jacobian read.
#include "zscan/whole_beam_local.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "lsoda/lsoda.h"

namespace zscan {

namespace {

constexpr int kPerNode = 4;  // unknowns per depth node: levels 1..4
// Steps one integration may take.
constexpr int kMaxSteps = 100000;
// The method-switching test runs from the first step: the light reaching
// the fast levels makes the problem stiff a few steps into the pulse's
// head, where explicit steps stall at their stability limit for as long as
// the default hold of 20 steps lasts. (Demo: a tenth fewer steps, and of
// the instructions, than with the default hold; starting in the stiff
// method instead costs more, the quiet head taking stiff steps.)
constexpr int kFirstSwitchHold = 0;
// Steps one Newton matrix serves at most. The light's terms in it follow the
// pulse: with the integrator's default of 20 the corrector's leftover
// iteration error reached the error estimate, and steps failed the error
// test twice in a row and restarted at a sixth of their size (five times in
// one integration of the demo). With 6 the demo takes 14 % fewer steps and
// 7 % fewer instructions (the saturable absorber 2 % more); 5, 8, 10 and 12
// measured no better.
constexpr int kMatrixAge = 6;

// The problem the right-hand side and the Jacobian of this thread integrate.
struct LocalProblem {
  const Absorber* absorber = nullptr;
  const DepthGrid* depth = nullptr;
  const std::vector<Absorber>* derivatives = nullptr;
  Pulse pulse;
  double intensity = 0.0;
  int nodes = 0;       // depth nodes m
  int state = 0;       // unknowns of the state, 4 m + 1
  int parameters = 0;  // sensitivities integrated beside it
  double rate[3] = {};  // peak absorption rates of levels 0, 1, 3
  double beta[4] = {};  // the absorption coefficient's change per departure
  std::vector<double> alpha;   // [m] scratch: absorption beyond the linear one
  std::vector<double> extra;   // [m] scratch: optical depth beyond the linear one
  std::vector<double> light;   // [m] scratch: local intensity / incident peak
  std::vector<double> change;  // [m] scratch: a sensitivity's change of alpha
  // [4 m] scratch: the state's transfers per unit light at every node, which
  // every sensitivity reuses.
  std::vector<double> transfer;
};

thread_local LocalProblem t_problem;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// The absorption's transfers per unit light into levels 1..4 from the
// populations n0, n1, n3: 0 -> 1 at rate r0, 1 -> 2 at r1, 3 -> 4 at r2.
void transfers(const double r[3], double n0, double n1, double n3, double out[4]) {
  const double a0 = r[0] * n0, a1 = r[1] * n1, a2 = r[2] * n3;
  out[0] = a0 - a1;
  out[1] = a1;
  out[2] = -a2;
  out[3] = a2;
}

// The populations of levels 0, 1 and 3 at a node from its departures.
struct Absorbing {
  double n0, n1, n3;
};
Absorbing absorbing(const Absorber& a, const double* x) {
  return {a.n_init[0] - (((x[0] + x[1]) + x[2]) + x[3]), a.n_init[1] + x[0], a.n_init[3] + x[2]};
}

double dot4(const double* u, const double* v) {
  return ((u[0] * v[0] + u[1] * v[1]) + u[2] * v[2]) + u[3] * v[3];
}

// The optical depths beyond the linear one at every node, and the light.
void light_at_nodes(LocalProblem& p, double pulse, const double* y) {
  const int m = p.nodes;
  for (int k = 0; k < m; ++k) p.alpha[at(k)] = dot4(p.beta, y + kPerNode * k);
  const double* w = p.depth->integration.data();
  for (int j = 0; j < m; ++j) {
    double od = 0.0;
    const double* row = w + at(j) * at(m);
    for (int k = 0; k < m; ++k) od += row[k] * p.alpha[at(k)];
    p.extra[at(j)] = od;
    p.light[at(j)] = (pulse * p.depth->light[at(j)]) * std::exp(-od);
  }
}

// The sensitivity to parameter `q`: s' = J s + df/dp, with the light, the
// optical depths and the transfers of the state already in p.
void sensitivity_rhs(LocalProblem& p, int q, double pulse, const double* y, double* ydot) {
  const Absorber& a = *p.absorber;
  const Absorber& da = (*p.derivatives)[at(q)];
  const int m = p.nodes;
  const double* s = y + at(p.state) * at(q + 1);
  double* ds = ydot + at(p.state) * at(q + 1);
  double dbeta[4], drate[3];
  absorption_change(da, dbeta);
  for (int l = 0; l < 3; ++l) drate[l] = da.rate_per_intensity[l] * p.intensity;
  // d(alpha_k)/dp and d(E_j)/dp.
  for (int k = 0; k < m; ++k)
    p.change[at(k)] = dot4(p.beta, s + kPerNode * k) + dot4(dbeta, y + kPerNode * k);
  const double* w = p.depth->integration.data();
  double last_change = 0.0;
  for (int j = 0; j < m; ++j) {
    double dod = 0.0;
    const double* row = w + at(j) * at(m);
    for (int k = 0; k < m; ++k) dod += row[k] * p.change[at(k)];
    if (j == m - 1) last_change = dod;
    const double* x = y + kPerNode * j;
    const double* sj = s + kPerNode * j;
    double* f = ds + kPerNode * j;
    const double g = p.light[at(j)];
    // g = p q exp(-E), q = exp(-D z): d ln g = -z dD - dE.
    const double dg = g * (-(p.depth->depth[at(j)] * da.linear_depth) - dod);
    const Absorbing n = absorbing(a, x);
    const double dn0 = -(((sj[0] + sj[1]) + sj[2]) + sj[3]);
    const double* t = &p.transfer[at(kPerNode * j)];
    double ts[4], tp[4];
    transfers(p.rate, dn0, sj[0], sj[2], ts);
    transfers(drate, n.n0, n.n1, n.n3, tp);
    for (int l = 0; l < kPerNode; ++l)
      f[l] = (dot4(a.dark[l], sj) + dot4(da.dark[l], x)) + (g * (ts[l] + tp[l]) + t[l] * dg);
  }
  const double fade = pulse * std::exp(-p.extra[at(m - 1)]);
  ds[kPerNode * m] = fade * last_change;
}

void local_rhs(int* /*neq*/, double* t, double* y, double* ydot) {
  LocalProblem& p = t_problem;
  const Absorber& a = *p.absorber;
  const double pulse = pulse_value(p.pulse, *t);
  light_at_nodes(p, pulse, y);
  const int m = p.nodes;
  for (int j = 0; j < m; ++j) {
    const double* x = y + kPerNode * j;
    double* f = ydot + kPerNode * j;
    const double g = p.light[at(j)];
    const Absorbing n = absorbing(a, x);
    double* t4 = &p.transfer[at(kPerNode * j)];
    transfers(p.rate, n.n0, n.n1, n.n3, t4);
    for (int l = 0; l < kPerNode; ++l) f[l] = dot4(a.dark[l], x) + g * t4[l];
  }
  ydot[kPerNode * m] = pulse * -std::expm1(-p.extra[at(m - 1)]);
  for (int q = 0; q < p.parameters; ++q) sensitivity_rhs(p, q, pulse, y, ydot);
}

// d(dx_j/ds)/dx_k = [j == k] (K + g_j A) - g_j W_jk t_j beta^T, A the change
// of the transfers with x and t_j the transfers; the absorbed fraction's
// row is p exp(-E(L)) W_Lk beta^T. block(j, k, b) receives the 4 x 4
// blocks of one group (the state's; every sensitivity repeats them), b[i][c]
// the entry of level i at node j and level c at node k: all of them or
// those on the diagonal only; element(row, col) the absorbed fraction's row.
template <typename Block, typename Element>
void jacobian_entries(LocalProblem& p, double t, const double* y, bool blocks_only,
                      const Block& block, const Element& element) {
  const Absorber& a = *p.absorber;
  const double pulse = pulse_value(p.pulse, t);
  light_at_nodes(p, pulse, y);
  const int m = p.nodes;
  const double* w = p.depth->integration.data();
  const double* r = p.rate;
  const double change[kPerNode][kPerNode] = {
      {-(r[0] + r[1]), -r[0], -r[0], -r[0]},
      {r[1], 0.0, 0.0, 0.0},
      {0.0, 0.0, -r[2], 0.0},
      {0.0, 0.0, r[2], 0.0},
  };
  for (int j = 0; j < m; ++j) {
    const double* x = y + kPerNode * j;
    const double g = p.light[at(j)];
    const Absorbing n = absorbing(a, x);
    double t4[4];
    transfers(r, n.n0, n.n1, n.n3, t4);
    const int k_first = blocks_only ? j : 0, k_last = blocks_only ? j : m - 1;
    for (int k = k_first; k <= k_last; ++k) {
      const double coupling = -g * w[at(j) * at(m) + at(k)];
      double b[kPerNode][kPerNode];
#pragma GCC unroll 4
      for (int i = 0; i < kPerNode; ++i) {
#pragma GCC unroll 4
        for (int c = 0; c < kPerNode; ++c) b[i][c] = coupling * t4[i] * p.beta[c];
      }
      if (k == j) {
#pragma GCC unroll 4
        for (int i = 0; i < kPerNode; ++i) {
#pragma GCC unroll 4
          for (int c = 0; c < kPerNode; ++c) b[i][c] += a.dark[i][c] + g * change[i][c];
        }
      }
      block(j, k, b);
    }
  }
  if (blocks_only) return;
  const double fade = pulse * std::exp(-p.extra[at(m - 1)]);
  const double* last = w + at(m - 1) * at(m);
  for (int k = 0; k < m; ++k)
    for (int c = 0; c < kPerNode; ++c) element(kPerNode * m, kPerNode * k + c, fade * last[k] * p.beta[c]);
}

// The blocks of each depth node's own levels, column-major one after the
// other, then the absorbed fraction's diagonal entry (zero): the state's
// group, which every sensitivity shares.
void local_blocks(int* /*neq*/, double* t, double* y, double* pd) {
  LocalProblem& p = t_problem;
  jacobian_entries(
      p, *t, y, true,
      [pd](int j, int /*k*/, const double (&b)[kPerNode][kPerNode]) {
        double* out = pd + at(j) * at(kPerNode * kPerNode);
        for (int c = 0; c < kPerNode; ++c)
          for (int i = 0; i < kPerNode; ++i) out[c * kPerNode + i] = b[i][c];
      },
      [](int, int, double) {});
}

// The full matrix, column-major (the fall-back when the blocks alone do not
// carry the corrector): every sensitivity repeats the state's matrix on the
// diagonal.
void local_jacobian(int* /*neq*/, double* t, double* y, int* /*ml*/, int* /*mu*/, double* pd,
                    int* nrowpd) {
  LocalProblem& p = t_problem;
  const std::size_t ld = at(*nrowpd);
  for (int segment = 0; segment <= p.parameters; ++segment) {
    const int base = segment * p.state;
    const auto element = [&](int row, int col, double v) {
      pd[at(base + row) + at(base + col) * ld] = v;
    };
    jacobian_entries(
        p, *t, y, false,
        [&](int j, int k, const double (&b)[kPerNode][kPerNode]) {
          for (int i = 0; i < kPerNode; ++i)
            for (int c = 0; c < kPerNode; ++c) element(kPerNode * j + i, kPerNode * k + c, b[i][c]);
        },
        element);
  }
}

// The lowest and highest population of each level an integration visited.
struct Extremes {
  double low[kLevels], high[kLevels];

  explicit Extremes(const Absorber& a) {
    for (int l = 0; l < kLevels; ++l) low[l] = high[l] = a.n_init[l];
  }
  // The populations of every node at an accepted step.
  void track(const Absorber& a, int m, const double* y) {
    double least[kLevels], most[kLevels];
#pragma GCC unroll 5
    for (int l = 0; l < kLevels; ++l) {
      least[l] = low[l];
      most[l] = high[l];
    }
    for (int j = 0; j < m; ++j) {
      const double* x = y + kPerNode * j;
      const double n[kLevels] = {a.n_init[0] - (((x[0] + x[1]) + x[2]) + x[3]), a.n_init[1] + x[0],
                                 a.n_init[2] + x[1], a.n_init[3] + x[2], a.n_init[4] + x[3]};
#pragma GCC unroll 5
      for (int l = 0; l < kLevels; ++l) {
        least[l] = std::min(least[l], n[l]);
        most[l] = std::max(most[l], n[l]);
      }
    }
#pragma GCC unroll 5
    for (int l = 0; l < kLevels; ++l) {
      low[l] = least[l];
      high[l] = most[l];
    }
  }
  PopulationRange range() const {
    PopulationRange r;
    r.low = low[0];
    r.high = high[0];
    for (int l = 1; l < kLevels; ++l) {
      if (low[l] < r.low) {
        r.low = low[l];
        r.low_level = l;
      }
      if (high[l] > r.high) {
        r.high = high[l];
        r.high_level = l;
      }
    }
    return r;
  }
};

}  // namespace

LocalOutcome local_transmittance(const Absorber& absorber, double intensity,
                                 const LocalSettings& settings, LocalWork& work,
                                 double* derivatives) {
  LocalProblem& p = t_problem;
  const DepthGrid& depth = *settings.depth;
  const int m = depth.degree + 1;
  p.absorber = &absorber;
  p.depth = &depth;
  p.derivatives = settings.derivatives;
  p.pulse = settings.pulse;
  p.intensity = intensity;
  p.nodes = m;
  p.state = kPerNode * m + 1;
  p.parameters = settings.derivatives != nullptr ? static_cast<int>(settings.derivatives->size()) : 0;
  for (int l = 0; l < 3; ++l) p.rate[l] = absorber.rate_per_intensity[l] * intensity;
  absorption_change(absorber, p.beta);
  p.alpha.resize(at(m));
  p.extra.resize(at(m));
  p.light.resize(at(m));
  p.change.resize(at(m));
  p.transfer.resize(at(kPerNode * m));

  int neq = p.state * (p.parameters + 1);
  const bool blocks = !settings.full_jacobian;
  lsoda::BlockLayout layout;
  layout.block_size = kPerNode;
  layout.blocks = m;
  layout.singles = 1;
  layout.groups = p.parameters + 1;
  layout.shared = true;
  layout.first_switch_hold = kFirstSwitchHold;
  layout.matrix_age = kMatrixAge;
  const int matrix = blocks ? kPerNode * kPerNode * m + 1 : neq * neq;
  int lrw = 22 + 16 * neq + matrix;
  int liw = 20 + neq;
  work.y.assign(at(neq), 0.0);
  work.atol.resize(at(neq));
  work.rwork.assign(at(lrw), 0.0);
  work.iwork.assign(at(liw), 0);

  // A departure at node k moves the optical depth at the back face by up to
  // (dz/dv)_k |beta| times the node's weight (<= 1): populations are
  // weighed by that, never more loosely than the absorbed fraction.
  double largest_change = 0.0;
  for (double b : p.beta) largest_change = std::fmax(largest_change, std::fabs(b));
  for (int k = 0; k < m; ++k) {
    const double reach = depth.stretch[at(k)] * largest_change;
    const double tol = settings.accuracy / std::fmax(1.0, reach);
    for (int i = 0; i < kPerNode; ++i) work.atol[at(kPerNode * k + i)] = tol;
  }
  work.atol[at(p.state - 1)] = settings.accuracy;
  for (int i = p.state; i < neq; ++i) work.atol[at(i)] = std::numeric_limits<double>::infinity();
  // The absorbed fraction sums its local errors over the steps: it is held
  // to an absolute tolerance only.
  work.rtol.assign(at(neq), settings.accuracy);
  work.rtol[at(p.state - 1)] = 0.0;

  LocalOutcome out;
  Extremes extremes(absorber);
  double s = -settings.pulse.half_window;
  double s_end = settings.end;
  int itol = 4;
  int itask = 5;  // one step at a time, never beyond TCRIT = s_end
  int istate = 1;
  int iopt = 1;
  work.rwork[0] = s_end;              // RWORK(1) = TCRIT
  work.rwork[5] = settings.max_step;  // RWORK(6) = HMAX
  int jt = 1;  // the Jacobian from local_blocks or local_jacobian
  while (true) {
    if (blocks) {
      lsoda::DLSODA_BLOCKS(local_rhs, &neq, work.y.data(), &s, &s_end, &itol, work.rtol.data(),
                           work.atol.data(), &itask, &istate, &iopt, work.rwork.data(), &lrw,
                           work.iwork.data(), &liw, local_blocks, &layout, &jt);
    } else {
      lsoda::DLSODA(local_rhs, &neq, work.y.data(), &s, &s_end, &itol, work.rtol.data(),
                    work.atol.data(), &itask, &istate, &iopt, work.rwork.data(), &lrw,
                    work.iwork.data(), &liw, local_jacobian, &jt);
    }
    if (istate != 2) break;
    extremes.track(absorber, m, work.y.data());
    if (s == s_end || work.iwork[10] >= kMaxSteps) break;
  }
  out.range = extremes.range();
  out.completed = istate == 2 && s == s_end;
  out.steps = work.iwork[10];
  out.rhs_calls = work.iwork[11];
  out.jacobians = work.iwork[12];
  // The tail: dQ/ds / p(s) at the end is what the sample then absorbs per
  // unit of the pulse.
  std::vector<double>& slope = work.atol;  // no longer needed
  local_rhs(&neq, &s, work.y.data(), slope.data());
  const double tail = pulse_tail(settings.pulse, s_end) / pulse_value(settings.pulse, s_end);
  for (int q = 0; q <= p.parameters; ++q) {
    const std::size_t last = at(p.state) * at(q + 1) - 1;
    const double absorbed = work.y[last] + slope[last] * tail;
    if (q == 0)
      out.value = 1.0 - absorbed / settings.pulse.integral;
    else
      derivatives[q - 1] = -absorbed / settings.pulse.integral;
  }
  return out;
}

}  // namespace zscan
