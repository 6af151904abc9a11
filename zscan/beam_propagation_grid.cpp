// The quasi-discrete Hankel transform of the beam-propagation model; see
// beam_propagation_grid.h. The sampled matrix is orthogonal only to about
// 1e-10 (its continuum's truncation); two Newton-Schulz steps X <- X (3 -
// X X) / 2, which keep it symmetric and converge quadratically to its
// orthogonal polar factor, bring it to rounding. Relies on C++17's
// std::cyl_bessel_j.
#include "zscan/beam_propagation_grid.h"

#include <cmath>
#include <cstddef>

namespace zscan {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Newton-Schulz steps: the sampled matrix's defect 1e-10 squares each step.
constexpr int kPolarSteps = 3;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// c = a b for n x n row-major matrices.
void multiply(int n, const double* a, const double* b, double* c) {
  for (int i = 0; i < n; ++i) {
    double* row = c + at(i) * at(n);
    for (int j = 0; j < n; ++j) row[j] = 0.0;
    for (int k = 0; k < n; ++k) {
      const double f = a[at(i) * at(n) + at(k)];
      const double* bk = b + at(k) * at(n);
      for (int j = 0; j < n; ++j) row[j] += f * bk[j];
    }
  }
}

}  // namespace

std::vector<double> bessel_zeros(int n) {
  std::vector<double> zeros(at(n));
  for (int s = 1; s <= n; ++s) {
    const double b = (s - 0.25) * kPi;
    const double e = 1.0 / (8.0 * b);
    double x = b + e - (124.0 / 3.0) * e * e * e;
    for (int it = 0; it < 6; ++it) {
      const double step = std::cyl_bessel_j(0.0, x) / std::cyl_bessel_j(1.0, x);
      x += step;
      if (std::fabs(step) < 1e-15 * x) break;
    }
    zeros[at(s - 1)] = x;
  }
  return zeros;
}

HankelTransform hankel_transform(int n) {
  HankelTransform t;
  t.n = n;
  std::vector<double> all = bessel_zeros(n + 1);
  t.edge = all[at(n)];
  all.resize(at(n));
  t.zeros = all;
  t.j1_abs.resize(at(n));
  for (int m = 0; m < n; ++m) t.j1_abs[at(m)] = std::fabs(std::cyl_bessel_j(1.0, t.zeros[at(m)]));
  std::vector<double> x(at(n) * at(n)), square(x.size()), next(x.size());
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j <= i; ++j) {
      const double v = 2.0 * std::cyl_bessel_j(0.0, t.zeros[at(i)] * t.zeros[at(j)] / t.edge) /
                       ((t.j1_abs[at(i)] * t.j1_abs[at(j)]) * t.edge);
      x[at(i) * at(n) + at(j)] = v;
      x[at(j) * at(n) + at(i)] = v;
    }
  }
  for (int step = 0; step < kPolarSteps; ++step) {
    multiply(n, x.data(), x.data(), square.data());
    for (std::size_t k = 0; k < square.size(); ++k) square[k] = -0.5 * square[k];
    for (int i = 0; i < n; ++i) square[at(i) * at(n) + at(i)] += 1.5;
    multiply(n, x.data(), square.data(), next.data());
    // Symmetric in exact arithmetic; kept symmetric to the bit.
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < i; ++j) {
        const double v = 0.5 * (next[at(i) * at(n) + at(j)] + next[at(j) * at(n) + at(i)]);
        next[at(i) * at(n) + at(j)] = v;
        next[at(j) * at(n) + at(i)] = v;
      }
    x.swap(next);
  }
  t.matrix = std::move(x);
  return t;
}

RadialGrid radial_grid(const HankelTransform& transform, double radius) {
  RadialGrid g;
  g.transform = &transform;
  g.radius = radius;
  const int n = transform.n;
  g.r.resize(at(n));
  g.root_weight.resize(at(n));
  g.kappa.resize(at(n));
  for (int k = 0; k < n; ++k) {
    const double j = transform.zeros[at(k)];
    g.r[at(k)] = j * radius / transform.edge;
    // w_k = 4 pi R^2 / (edge^2 J1(j_k)^2)
    g.root_weight[at(k)] = 2.0 * std::sqrt(kPi) * radius / (transform.edge * transform.j1_abs[at(k)]);
    g.kappa[at(k)] = j / radius;
  }
  return g;
}

namespace {

// out = T in for fields of m columns.
void transform_fields(const HankelTransform& t, int m, const double* in, double* out) {
  const int n = t.n;
  for (int i = 0; i < n; ++i) {
    double* row = out + at(i) * at(m);
    for (int q = 0; q < m; ++q) row[q] = 0.0;
    const double* ti = t.matrix.data() + at(i) * at(n);
    for (int k = 0; k < n; ++k) {
      const double f = ti[k];
      const double* src = in + at(k) * at(m);
      for (int q = 0; q < m; ++q) row[q] += f * src[q];
    }
  }
}

}  // namespace

void diffract(const RadialGrid& grid, double length, double wavenumber, double gain, int m,
              double* re, double* im, std::vector<double>& scratch) {
  const int n = grid.size();
  const std::size_t size = at(n) * at(m);
  if (scratch.size() < 2 * size) scratch.resize(2 * size);
  double* sr = scratch.data();
  double* si = sr + size;
  transform_fields(*grid.transform, m, re, sr);
  transform_fields(*grid.transform, m, im, si);
  for (int k = 0; k < n; ++k) {
    const double kappa = grid.kappa[at(k)];
    const double phase = -(kappa * kappa) * length / (2.0 * wavenumber);
    const double c = gain * std::cos(phase), s = gain * std::sin(phase);
    double* a = sr + at(k) * at(m);
    double* b = si + at(k) * at(m);
    for (int q = 0; q < m; ++q) {
      const double x = a[q], y = b[q];
      a[q] = c * x - s * y;
      b[q] = s * x + c * y;
    }
  }
  transform_fields(*grid.transform, m, sr, re);
  transform_fields(*grid.transform, m, si, im);
}

void series_coefficients(const RadialGrid& grid, int m, const double* re, const double* im,
                         double* c_re, double* c_im) {
  const HankelTransform& t = *grid.transform;
  transform_fields(t, m, re, c_re);
  transform_fields(t, m, im, c_im);
  const double scale = t.edge / (2.0 * kPi * grid.radius * grid.radius);
  for (int k = 0; k < t.n; ++k) {
    const double f = grid.root_weight[at(k)] * scale;
    for (int q = 0; q < m; ++q) {
      c_re[at(k) * at(m) + at(q)] *= f;
      c_im[at(k) * at(m) + at(q)] *= f;
    }
  }
}

}  // namespace zscan
