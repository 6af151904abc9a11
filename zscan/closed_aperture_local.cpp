// The exit field of the closed-aperture model's local problem; see
// closed_aperture_local.h. The unknowns are the populations' departures x
// from the initial state at every depth node (levels 1 to 4; level 0 holds
// the rest). At node j the light relative to the incident peak is
//   g_j = p(s) q_j e^{-E_j} / (1 + b p(s) B_j),
// q_j the linear light of the depth grid, E_j the optical depth beyond the
// linear one (the integration matrix applied to the absorption's change),
// B_j = int_0^{z_j} n0 q e^{-E} dz (the same matrix), b = beta L I_p; and
//   dx_j/ds = K x_j + g_j a(n_j) + w2 n0_j g_j^2 e_2,
// K the dark matrix, a(n) the one-photon transfers per unit light, w2 the
// two-photon excitation rate at unit light, e_2 level 2. The integrator
// takes the Newton matrix as the blocks of each node's own levels by
// difference quotients (the coupling across depth left to the corrector),
// the full matrix when that fails. At each requested time the exit field
// follows from the state: amplitude^2 = e^{-E_L} / (1 + b p B_L), phase =
// int (kappa g + r1 x_1 + r3 x_3) dz by the matrix's last row. Relies on
// the integrator and on one thread_local record the right-hand side reads.
#include "zscan/closed_aperture_local.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "lsoda/lsoda.h"

namespace zscan {

namespace {

constexpr int kPerNode = 4;  // unknowns per depth node: levels 1..4
// Steps one integration may take.
constexpr int kMaxSteps = 100000;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

struct FieldProblem {
  const Absorber* absorber = nullptr;
  const DepthGrid* depth = nullptr;
  Pulse pulse;
  int nodes = 0;
  double rate[3] = {};   // peak absorption rates of levels 0, 1, 3
  double beta[4] = {};   // the optical depth's change per departure
  double b = 0.0;        // beta L I_p
  double w2 = 0.0;       // two-photon excitations per pulse duration at unit light
  double kappa = 0.0;    // k n2 L I_p
  double refraction[2] = {};
  std::vector<double> alpha, extra, light, ground, reach;  // [m] scratch
};

thread_local FieldProblem t_field;

double dot4(const double* u, const double* v) {
  return ((u[0] * v[0] + u[1] * v[1]) + u[2] * v[2]) + u[3] * v[3];
}

double ground_of(const Absorber& a, const double* x) {
  return a.n_init[0] - (((x[0] + x[1]) + x[2]) + x[3]);
}

// The optical depths beyond the linear one, the two-photon integrals and
// the light at every node.
void light_at_nodes(FieldProblem& p, double pulse, const double* y) {
  const int m = p.nodes;
  const double* w = p.depth->integration.data();
  for (int k = 0; k < m; ++k) p.alpha[at(k)] = dot4(p.beta, y + kPerNode * k);
  for (int j = 0; j < m; ++j) {
    double od = 0.0;
    const double* row = w + at(j) * at(m);
    for (int k = 0; k < m; ++k) od += row[k] * p.alpha[at(k)];
    p.extra[at(j)] = od;
    p.ground[at(j)] = p.depth->light[at(j)] * std::exp(-od);  // q e^-E
  }
  for (int k = 0; k < m; ++k) p.alpha[at(k)] = ground_of(*p.absorber, y + kPerNode * k) * p.ground[at(k)];
  for (int j = 0; j < m; ++j) {
    double reach = 0.0;
    const double* row = w + at(j) * at(m);
    for (int k = 0; k < m; ++k) reach += row[k] * p.alpha[at(k)];
    p.reach[at(j)] = reach;
    p.light[at(j)] = pulse * p.ground[at(j)] / (1.0 + (p.b * pulse) * reach);
  }
}

void transfers(const double r[3], double n0, double n1, double n3, double out[4]) {
  const double a0 = r[0] * n0, a1 = r[1] * n1, a2 = r[2] * n3;
  out[0] = a0 - a1;
  out[1] = a1;
  out[2] = -a2;
  out[3] = a2;
}

void field_rhs(int* /*neq*/, double* t, double* y, double* ydot) {
  FieldProblem& p = t_field;
  const Absorber& a = *p.absorber;
  light_at_nodes(p, pulse_value(p.pulse, *t), y);
  for (int j = 0; j < p.nodes; ++j) {
    const double* x = y + kPerNode * j;
    double* f = ydot + kPerNode * j;
    const double g = p.light[at(j)];
    const double n0 = ground_of(a, x);
    double t4[4];
    transfers(p.rate, n0, a.n_init[1] + x[0], a.n_init[3] + x[2], t4);
    for (int l = 0; l < kPerNode; ++l) f[l] = dot4(a.dark[l], x) + g * t4[l];
    f[1] += (p.w2 * n0) * (g * g);
  }
}

// The exit field from the state at time s.
FieldValue field_of_state(FieldProblem& p, double s, const double* y) {
  const double pulse = pulse_value(p.pulse, s);
  light_at_nodes(p, pulse, y);
  const int m = p.nodes;
  const double* last = p.depth->integration.data() + at(m - 1) * at(m);
  double phase = 0.0;
  for (int k = 0; k < m; ++k) {
    const double* x = y + kPerNode * k;
    phase += last[k] * ((p.kappa * p.light[at(k)] + p.refraction[0] * x[0]) + p.refraction[1] * x[2]);
  }
  FieldValue v;
  v.amplitude = std::sqrt(std::exp(-p.extra[at(m - 1)]) / (1.0 + (p.b * pulse) * p.reach[at(m - 1)]));
  v.phase = phase;
  return v;
}

}  // namespace

FieldValue host_field(const SampleOptics& optics, double intensity, double light) {
  const double bp = optics.two_photon * intensity * light;
  const double kerr = optics.kerr * intensity * light;
  FieldValue v;
  v.amplitude = 1.0 / std::sqrt(1.0 + bp);
  v.phase = bp > 0.0 ? kerr * (std::log1p(bp) / bp) : kerr;
  return v;
}

FieldOutcome exit_field(const Absorber& absorber, const SampleOptics& optics, double intensity,
                        const FieldSettings& settings, FieldWork& work, FieldValue* out) {
  FieldOutcome outcome;
  if (!optics.populated) {
    for (int i = 0; i < settings.n_times; ++i)
      out[i] = host_field(optics, intensity, pulse_value(settings.pulse, settings.times[i]));
    outcome.completed = true;
    return outcome;
  }
  FieldProblem& p = t_field;
  const DepthGrid& depth = *settings.depth;
  const int m = depth.degree + 1;
  p.absorber = &absorber;
  p.depth = &depth;
  p.pulse = settings.pulse;
  p.nodes = m;
  for (int l = 0; l < 3; ++l) p.rate[l] = absorber.rate_per_intensity[l] * intensity;
  absorption_change(absorber, p.beta);
  p.b = optics.two_photon * intensity;
  p.w2 = optics.excitation * intensity * intensity;
  p.kappa = optics.kerr * intensity;
  p.refraction[0] = optics.refraction[0];
  p.refraction[1] = optics.refraction[1];
  for (std::vector<double>* v : {&p.alpha, &p.extra, &p.light, &p.ground, &p.reach}) v->resize(at(m));

  int neq = kPerNode * m;
  const bool blocks = !settings.full_jacobian;
  lsoda::BlockLayout layout;
  layout.block_size = kPerNode;
  layout.blocks = m;
  const int matrix = blocks ? kPerNode * kPerNode * m : neq * neq;
  int lrw = 22 + 16 * neq + matrix;
  int liw = 20 + neq;
  work.y.assign(at(neq), 0.0);
  work.rwork.assign(at(lrw), 0.0);
  work.iwork.assign(at(liw), 0);
  work.rtol.assign(at(neq), settings.accuracy);
  work.atol.resize(at(neq));
  // A departure at node k moves the exit's optical depth or phase by up to
  // (dz/dv)_k times the largest of their changes per departure.
  double largest = std::max(std::fabs(p.refraction[0]), std::fabs(p.refraction[1]));
  for (double b : p.beta) largest = std::max(largest, std::fabs(b));
  for (int k = 0; k < m; ++k) {
    const double tol = settings.accuracy / std::max(1.0, depth.stretch[at(k)] * largest);
    for (int i = 0; i < kPerNode; ++i) work.atol[at(kPerNode * k + i)] = tol;
  }
  double s = std::min(-settings.pulse.half_window, settings.times[0] - 1.0);
  int itol = 4, itask = 1, istate = 1, iopt = 1, jt = 2;
  work.rwork[5] = settings.max_step;  // HMAX
  work.iwork[5] = kMaxSteps;          // MXSTEP
  for (int i = 0; i < settings.n_times; ++i) {
    double tout = settings.times[i];
    if (tout > s) {
      if (blocks) {
        lsoda::DLSODA_BLOCKS(field_rhs, &neq, work.y.data(), &s, &tout, &itol, work.rtol.data(),
                             work.atol.data(), &itask, &istate, &iopt, work.rwork.data(), &lrw,
                             work.iwork.data(), &liw, nullptr, &layout, &jt);
      } else {
        lsoda::DLSODA(field_rhs, &neq, work.y.data(), &s, &tout, &itol, work.rtol.data(),
                      work.atol.data(), &itask, &istate, &iopt, work.rwork.data(), &lrw,
                      work.iwork.data(), &liw, nullptr, &jt);
      }
      if (istate != 2) {
        outcome.steps = work.iwork[10];
        return outcome;
      }
    }
    out[i] = field_of_state(p, settings.times[i], work.y.data());
  }
  outcome.steps = work.iwork[10];
  outcome.completed = true;
  for (int i = 0; i < settings.n_times; ++i)
    outcome.completed = outcome.completed && std::isfinite(out[i].amplitude) && std::isfinite(out[i].phase);
  return outcome;
}

}  // namespace zscan
