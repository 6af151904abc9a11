// The populations and the nonlinear rate at one depth; see
// beam_propagation_rates.h. Per node and panel the stage values X_i = x0 +
// h sum_j a_ij (M_j X_j + g_j), M_j and g_j the affine rate equations at the
// stage's intensity, are one 12 x 12 system solved by Gaussian elimination
// with partial pivoting; the panel's end is its last stage (stiffly
// accurate). Panels where a node's light is below the quiet share of its
// own peak before its pulse arrives leave it at rest; once the pulse has
// passed it, its populations are kept. Relies on the absorber's rate
// coefficients.
#include "zscan/beam_propagation_rates.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace zscan {

namespace {

constexpr int kUnknowns = 4 * kRadauStages;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

const double kSq6 = std::sqrt(6.0);
const double kRadauC[3] = {(4.0 - kSq6) / 10.0, (4.0 + kSq6) / 10.0, 1.0};
const double kRadauA[3][3] = {
    {(88.0 - 7.0 * kSq6) / 360.0, (296.0 - 169.0 * kSq6) / 1800.0, (-2.0 + 3.0 * kSq6) / 225.0},
    {(296.0 + 169.0 * kSq6) / 1800.0, (88.0 + 7.0 * kSq6) / 360.0, (-2.0 - 3.0 * kSq6) / 225.0},
    {(16.0 - kSq6) / 36.0, (16.0 + kSq6) / 36.0, 1.0 / 9.0}};

// The affine rate equations dx/ds = M x + g at intensity I (W/cm^2).
void rate_system(const Absorber& a, double excitation, double intensity, double m[4][4],
                 double g[4]) {
  const double r0 = a.rate_per_intensity[0] * intensity;
  const double r1 = a.rate_per_intensity[1] * intensity;
  const double r2 = a.rate_per_intensity[2] * intensity;
  const double e = (excitation * intensity) * intensity;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m[i][j] = a.dark[i][j];
  // n0 = n_init0 - sum x, n1 = n_init1 + x_1, n3 = n_init3 + x_3.
  for (int j = 0; j < 4; ++j) {
    m[0][j] -= r0;
    m[1][j] -= e;
  }
  m[0][0] -= r1;
  m[1][0] += r1;
  m[2][2] -= r2;
  m[3][2] += r2;
  g[0] = r0 * a.n_init[0] - r1 * a.n_init[1];
  g[1] = r1 * a.n_init[1] + e * a.n_init[0];
  g[2] = -r2 * a.n_init[3];
  g[3] = r2 * a.n_init[3];
}

// Solves s x = rhs in place (rhs becomes x) for the 12 x 12 system s.
void solve(double s[kUnknowns][kUnknowns], double rhs[kUnknowns]) {
  for (int col = 0; col < kUnknowns; ++col) {
    int pivot = col;
    for (int r = col + 1; r < kUnknowns; ++r)
      if (std::fabs(s[r][col]) > std::fabs(s[pivot][col])) pivot = r;
    if (pivot != col) {
      for (int c = col; c < kUnknowns; ++c) std::swap(s[col][c], s[pivot][c]);
      std::swap(rhs[col], rhs[pivot]);
    }
    const double inv = 1.0 / s[col][col];
    for (int r = col + 1; r < kUnknowns; ++r) {
      const double f = s[r][col] * inv;
      if (f == 0.0) continue;
      for (int c = col + 1; c < kUnknowns; ++c) s[r][c] -= f * s[col][c];
      rhs[r] -= f * rhs[col];
    }
  }
  for (int r = kUnknowns - 1; r >= 0; --r) {
    double v = rhs[r];
    for (int c = r + 1; c < kUnknowns; ++c) v -= s[r][c] * rhs[c];
    rhs[r] = v / s[r][r];
  }
}

// One panel of length h from x0 under the stage intensities: the stage
// departures into stages[3][4].
void radau_panel(const Absorber& a, double excitation, double h, const double* intensity,
                 const double x0[4], double stages[3][4]) {
  double m[3][4][4], g[3][4];
  for (int j = 0; j < 3; ++j) rate_system(a, excitation, intensity[j], m[j], g[j]);
  double s[kUnknowns][kUnknowns];
  double rhs[kUnknowns];
  for (int i = 0; i < 3; ++i) {
    for (int r = 0; r < 4; ++r) {
      double v = x0[r];
      for (int j = 0; j < 3; ++j) v += (h * kRadauA[i][j]) * g[j][r];
      rhs[4 * i + r] = v;
      for (int j = 0; j < 3; ++j) {
        const double f = h * kRadauA[i][j];
        for (int c = 0; c < 4; ++c)
          s[4 * i + r][4 * j + c] = (i == j && r == c ? 1.0 : 0.0) - f * m[j][r][c];
      }
    }
  }
  solve(s, rhs);
  for (int i = 0; i < 3; ++i)
    for (int r = 0; r < 4; ++r) stages[i][r] = rhs[4 * i + r];
}

}  // namespace

TimePanels time_panels(const Pulse& pulse, double window, int panels) {
  TimePanels t;
  t.panels = panels;
  t.step = 2.0 * window / panels;
  for (int p = 0; p < panels; ++p) {
    const double start = -window + t.step * p;
    for (int i = 0; i < 3; ++i) {
      const double s = start + t.step * kRadauC[i];
      t.times.push_back(s);
      t.weights.push_back(t.step * kRadauA[2][i]);
      t.pulse.push_back(pulse_value(pulse, s));
    }
  }
  return t;
}

RateCounts nonlinear_rates(const SampleResponse& r, const TimePanels& panels, int n,
                           const double* intensity, double* c_re, double* c_im) {
  RateCounts counts;
  const int m = panels.size();
  double brightest = 0.0;
  for (std::size_t k = 0; k < at(n) * at(m); ++k) brightest = std::max(brightest, intensity[k]);
  for (int node = 0; node < n; ++node) {
    const double* in = intensity + at(node) * at(m);
    double* cr = c_re + at(node) * at(m);
    double* ci = c_im + at(node) * at(m);
    double peak = 0.0;
    for (int q = 0; q < m; ++q) peak = std::max(peak, in[q]);
    const bool live = r.absorber != nullptr && peak > r.dark * brightest && peak > 0.0;
    if (!live) {
      for (int q = 0; q < m; ++q) {
        cr[q] = -0.5 * (r.two_photon * r.ground) * in[q];
        ci[q] = r.kerr * in[q];
      }
      continue;
    }
    ++counts.live_nodes;
    const Absorber& a = *r.absorber;
    double x[4] = {0.0, 0.0, 0.0, 0.0};
    bool started = false, ended = false;
    for (int p = 0; p < panels.panels; ++p) {
      const double* stage_light = in + 3 * p;
      const double panel_peak = std::max(std::max(stage_light[0], stage_light[1]), stage_light[2]);
      ended = ended || (started && panel_peak < r.quiet * peak && panels.times[at(3 * p)] > 0.0);
      double stages[3][4];
      if (!started && panel_peak < r.quiet * peak) {
        for (int i = 0; i < 3; ++i)
          for (int l = 0; l < 4; ++l) stages[i][l] = 0.0;
      } else if (ended) {
        for (int i = 0; i < 3; ++i)
          for (int l = 0; l < 4; ++l) stages[i][l] = x[l];
      } else {
        started = true;
        radau_panel(a, r.excitation, panels.step, stage_light, x, stages);
        ++counts.solves;
        for (int l = 0; l < 4; ++l) x[l] = stages[2][l];
      }
      for (int i = 0; i < 3; ++i) {
        const double* xs = stages[i];
        const double light = stage_light[i];
        const double change = ((r.absorption[0] * xs[0] + r.absorption[1] * xs[1]) +
                               r.absorption[2] * xs[2]) + r.absorption[3] * xs[3];
        const double ground = a.n_init[0] - (((xs[0] + xs[1]) + xs[2]) + xs[3]);
        const double re = -0.5 * (change + (r.two_photon * ground) * light);
        const double im = r.kerr * light + (r.refraction[0] * xs[0] + r.refraction[1] * xs[2]);
        cr[3 * p + i] = re;
        ci[3 * p + i] = im;
      }
    }
  }
  return counts;
}

}  // namespace zscan
