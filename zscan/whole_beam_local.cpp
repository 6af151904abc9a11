// The local fluence transmittance of one peak intensity; see
// whole_beam_local.h. The unknowns are the populations' departures from the
// initial state at every depth node (levels 1 to 4; level 0 holds the rest,
// so the total is kept exactly) and the absorbed fraction beyond the linear
// one, Q(s) = int exp(-4 ln2 s^2) (1 - exp(-(OD(L, s) - OD_lin))) ds, whose
// final value gives Tloc / Te_lin = 1 - Q / kPulseIntegral with full relative
// accuracy however thick the sample. The rate equations are taken relative to
// the dark initial state, dN/dt = R(N, phi) - R(N_init, 0). The optical depth
// at each node is the integral of the absorption coefficient from the front
// face through the depth grid's integration matrix. Relies on the
// integrator, the Chebyshev-Lobatto helpers and one thread_local record that
// the right-hand side and the Jacobian read.
#include "zscan/whole_beam_local.h"

#include <cmath>
#include <cstddef>

#include "lsoda/lsoda.h"
#include "zscan/whole_beam_chebyshev.h"

namespace zscan {

namespace {

constexpr double kPulseRate = 2.772588722239781;  // 4 ln 2
constexpr int kPerNode = 4;  // unknowns per depth node: levels 1..4
constexpr int kMaxSteps = 100000;

// The problem the right-hand side and the Jacobian of this thread integrate.
struct LocalProblem {
  const Absorber* absorber = nullptr;
  const DepthGrid* depth = nullptr;
  int nodes = 0;                   // depth nodes
  double r0 = 0.0, r1 = 0.0, r2 = 0.0;  // peak absorption rates of levels 0, 1, 3
  std::vector<double> linear_od;   // [nodes] linear optical depth at each node
  std::vector<double> alpha;       // [nodes] scratch: absorption beyond the linear one
  std::vector<double> light;       // [nodes] scratch: local intensity / incident peak
  std::vector<double> extra_od;    // [nodes] scratch: optical depth beyond the linear one
};

thread_local LocalProblem t_problem;

// Absorption coefficients beyond the linear one, times L, at every node, and
// from them the optical depths and the light at every node.
void light_at_nodes(LocalProblem& p, double s, const double* y) {
  const Absorber& a = *p.absorber;
  const int m = p.nodes;
  for (int k = 0; k < m; ++k) {
    const double* x = y + kPerNode * k;
    const double d0 = -(((x[0] + x[1]) + x[2]) + x[3]);
    p.alpha[static_cast<std::size_t>(k)] = (a.c0 * d0 + a.c1 * x[0]) + a.c3 * x[2];
  }
  const double pulse = std::exp(-(kPulseRate * s) * s);
  const double* w = p.depth->integration.data();
  for (int j = 0; j < m; ++j) {
    double od = 0.0;
    const double* row = w + static_cast<std::size_t>(j) * static_cast<std::size_t>(m);
    for (int k = 0; k < m; ++k) od += row[k] * p.alpha[static_cast<std::size_t>(k)];
    p.extra_od[static_cast<std::size_t>(j)] = od;
    p.light[static_cast<std::size_t>(j)] =
        pulse * std::exp(-(p.linear_od[static_cast<std::size_t>(j)] + od));
  }
}

void local_rhs(int* /*neq*/, double* t, double* y, double* ydot) {
  LocalProblem& p = t_problem;
  const Absorber& a = *p.absorber;
  light_at_nodes(p, *t, y);
  const int m = p.nodes;
  const double k1 = a.k10 + a.k13;
  for (int j = 0; j < m; ++j) {
    const double* x = y + kPerNode * j;
    double* f = ydot + kPerNode * j;
    const double g = p.light[static_cast<std::size_t>(j)];
    const double n0 = a.n_init[0] - (((x[0] + x[1]) + x[2]) + x[3]);
    const double n1 = a.n_init[1] + x[0];
    const double n3 = a.n_init[3] + x[2];
    const double a0 = (p.r0 * g) * n0;  // absorption 0 -> 1
    const double a1 = (p.r1 * g) * n1;  // absorption 1 -> 2
    const double a2 = (p.r2 * g) * n3;  // absorption 3 -> 4
    f[0] = (a0 - a1) + (a.k21 * x[1] - k1 * x[0]);
    f[1] = a1 - a.k21 * x[1];
    f[2] = (a.k13 * x[0] - a.k30 * x[2]) + (a.k43 * x[3] - a2);
    f[3] = a2 - a.k43 * x[3];
  }
  const double pulse = std::exp(-(kPulseRate * *t) * *t);
  ydot[kPerNode * m] = pulse * -std::expm1(-p.extra_od[static_cast<std::size_t>(m - 1)]);
}

// d(dx_j/ds)/dx_k = [j == k] D_j - g_j W_jk a_j beta^T, with D_j the
// derivative at fixed light, a_j = d(dx_j/ds)/dg and beta the change of the
// absorption coefficient with x; the absorbed fraction's row is
// pulse exp(-extra_od(L)) W_Lk beta^T. Full storage (ml = mu = 0 on entry)
// or band storage of each node's own block (ml = mu = kPerNode - 1).
void local_jacobian(int* /*neq*/, double* t, double* y, int* ml, int* mu, double* pd,
                    int* nrowpd) {
  LocalProblem& p = t_problem;
  const Absorber& a = *p.absorber;
  light_at_nodes(p, *t, y);
  const int m = p.nodes;
  const int ld = *nrowpd;
  const bool band = *ml > 0;
  const double beta[kPerNode] = {a.c1 - a.c0, -a.c0, a.c3 - a.c0, -a.c0};
  const double* w = p.depth->integration.data();
  const double k1 = a.k10 + a.k13;
  // Element (row, col), 0-based, in full or band storage.
  auto at = [&](int row, int col) -> double& {
    const int r = band ? row - col + *mu : row;
    return pd[static_cast<std::size_t>(r) + static_cast<std::size_t>(col) * static_cast<std::size_t>(ld)];
  };
  for (int j = 0; j < m; ++j) {
    const double* x = y + kPerNode * j;
    const double g = p.light[static_cast<std::size_t>(j)];
    const double n0 = a.n_init[0] - (((x[0] + x[1]) + x[2]) + x[3]);
    const double n1 = a.n_init[1] + x[0];
    const double n3 = a.n_init[3] + x[2];
    const double s0 = p.r0 * g, s1 = p.r1 * g, s2 = p.r2 * g;
    const double dg[kPerNode] = {p.r0 * n0 - p.r1 * n1, p.r1 * n1, -(p.r2 * n3), p.r2 * n3};
    const double own[kPerNode][kPerNode] = {
        {-s0 - s1 - k1, -s0 + a.k21, -s0, -s0},
        {s1, -a.k21, 0.0, 0.0},
        {a.k13, 0.0, -a.k30 - s2, a.k43},
        {0.0, 0.0, s2, -a.k43},
    };
    const int r0 = kPerNode * j;
    const int k_first = band ? j : 0, k_last = band ? j : m - 1;
    for (int k = k_first; k <= k_last; ++k) {
      const double coupling = -g * w[static_cast<std::size_t>(j) * static_cast<std::size_t>(m) +
                                     static_cast<std::size_t>(k)];
      const int c0 = kPerNode * k;
      for (int r = 0; r < kPerNode; ++r) {
        for (int c = 0; c < kPerNode; ++c) {
          double v = coupling * dg[r] * beta[c];
          if (k == j) v += own[r][c];
          at(r0 + r, c0 + c) = v;
        }
      }
    }
  }
  if (!band) {
    const double pulse = std::exp(-(kPulseRate * *t) * *t);
    const double fade = pulse * std::exp(-p.extra_od[static_cast<std::size_t>(m - 1)]);
    const double* last = w + static_cast<std::size_t>(m - 1) * static_cast<std::size_t>(m);
    for (int k = 0; k < m; ++k)
      for (int c = 0; c < kPerNode; ++c)
        at(kPerNode * m, kPerNode * k + c) = fade * last[k] * beta[c];
  }
}

}  // namespace

DepthGrid make_depth_grid(int degree) {
  DepthGrid grid;
  grid.degree = degree;
  grid.nodes.resize(static_cast<std::size_t>(degree + 1));
  for (int j = 0; j <= degree; ++j) grid.nodes[static_cast<std::size_t>(j)] = lobatto_node(j, degree);
  grid.integration = lobatto_integration_matrix(degree);
  return grid;
}

LocalOutcome local_transmittance(const Absorber& absorber, double intensity,
                                 const LocalSettings& settings, LocalWork& work) {
  LocalProblem& p = t_problem;
  const DepthGrid& depth = *settings.depth;
  const int m = depth.degree + 1;
  p.absorber = &absorber;
  p.depth = &depth;
  p.nodes = m;
  p.r0 = absorber.rate_per_intensity[0] * intensity;
  p.r1 = absorber.rate_per_intensity[1] * intensity;
  p.r2 = absorber.rate_per_intensity[2] * intensity;
  p.linear_od.resize(static_cast<std::size_t>(m));
  p.alpha.resize(static_cast<std::size_t>(m));
  p.light.resize(static_cast<std::size_t>(m));
  p.extra_od.resize(static_cast<std::size_t>(m));
  for (int j = 0; j < m; ++j)
    p.linear_od[static_cast<std::size_t>(j)] = absorber.linear_depth * depth.nodes[static_cast<std::size_t>(j)];

  int neq = kPerNode * m + 1;
  const bool band = !settings.full_jacobian;
  const int ml = band ? kPerNode - 1 : 0;
  const int matrix = band ? (3 * ml + 1) * neq : neq * neq;
  int lrw = 22 + 16 * neq + matrix;
  int liw = 20 + neq;
  work.y.assign(static_cast<std::size_t>(neq), 0.0);
  work.atol.resize(static_cast<std::size_t>(neq));
  work.rwork.assign(static_cast<std::size_t>(lrw), 0.0);
  work.iwork.assign(static_cast<std::size_t>(liw), 0);

  // Populations are weighed by the largest optical depth they could change.
  const double largest_depth = std::fmax(absorber.c0, std::fmax(absorber.c1, absorber.c3));
  const double population_tol = settings.accuracy / std::fmax(1.0, largest_depth);
  for (int i = 0; i < neq - 1; ++i) work.atol[static_cast<std::size_t>(i)] = population_tol;
  work.atol[static_cast<std::size_t>(neq - 1)] = settings.accuracy;

  double s = -kPulseHalfWindow;
  double s_end = kPulseHalfWindow;
  int itol = 2;
  double rtol = settings.accuracy;
  int itask = 1;
  int istate = 1;
  int iopt = 1;
  work.rwork[5] = settings.max_step;  // RWORK(6) = HMAX
  work.iwork[0] = ml;                 // IWORK(1), IWORK(2): ML, MU
  work.iwork[1] = ml;
  work.iwork[5] = kMaxSteps;          // IWORK(6) = MXSTEP
  int jt = band ? 4 : 1;
  lsoda::DLSODA(local_rhs, &neq, work.y.data(), &s, &s_end, &itol, &rtol, work.atol.data(),
                &itask, &istate, &iopt, work.rwork.data(), &lrw, work.iwork.data(), &liw,
                local_jacobian, &jt);
  LocalOutcome out;
  out.completed = istate == 2;
  out.steps = work.iwork[10];
  out.rhs_calls = work.iwork[11];
  out.jacobians = work.iwork[12];
  out.value = 1.0 - work.y[static_cast<std::size_t>(neq - 1)] / kPulseIntegral;
  return out;
}

}  // namespace zscan
