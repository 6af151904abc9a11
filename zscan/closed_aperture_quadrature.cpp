// Gauss rules and mode overlaps of the closed-aperture model; see
// closed_aperture_quadrature.h. The nodes of an n-point Gauss rule are the
// eigenvalues of the symmetric tridiagonal Jacobi matrix of its orthonormal
// polynomials (diagonal a_j, off-diagonal b_j), found one by one by
// bisection on the Sturm count (the number of eigenvalues below x is the
// number of negative pivots of J - x I); the weight of node x is 1 / sum_j
// p_j(x)^2 over the orthonormal polynomials of degree < n. Laguerre: a_j =
// 2j + 1, b_j = j, p_j = L_j (their values carried with e^{-x/2}, so that
// nothing overflows); Hermite: a_j = 0, b_j = sqrt(j / 2). Relies on the
// pulse and the Gauss-Legendre rule of the Chebyshev helpers.
#include "zscan/closed_aperture_quadrature.h"

#include <cmath>
#include <cstddef>

#include "zscan/whole_beam_chebyshev.h"

namespace zscan {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kGaussScale = 1.6651092223153954;  // sqrt(4 ln 2)
constexpr double kSech2Rate = 1.7627471740390860;   // 2 acosh(sqrt 2)
// Gauss-Legendre points of the overlaps beyond the modes' count: the
// integrand is a polynomial of degree 2n - 2 times e^-v on [0, v_a].
constexpr int kOverlapExtraPoints = 48;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// The eigenvalues of the Jacobi matrix (diagonal a[0..n-1], off-diagonal
// squares b2[1..n-1]) in increasing order, within [low, high].
std::vector<double> jacobi_eigenvalues(const std::vector<double>& a, const std::vector<double>& b2,
                                       double low, double high) {
  const int n = static_cast<int>(a.size());
  // Eigenvalues below x.
  auto count_below = [&](double x) {
    int count = 0;
    double q = a[0] - x;
    if (q < 0.0) ++count;
    for (int j = 1; j < n; ++j) {
      if (q == 0.0) q = 1e-300;
      q = (a[at(j)] - x) - b2[at(j)] / q;
      if (q < 0.0) ++count;
    }
    return count;
  };
  std::vector<double> out(at(n));
  double from = low;
  for (int k = 0; k < n; ++k) {
    double lo = from, hi = high;
    for (int iteration = 0; iteration < 200; ++iteration) {
      const double mid = 0.5 * (lo + hi);
      if (mid <= lo || mid >= hi) break;
      if (count_below(mid) > k)
        hi = mid;
      else
        lo = mid;
    }
    out[at(k)] = 0.5 * (lo + hi);
    from = lo;
  }
  return out;
}

}  // namespace

LaguerreRule laguerre_rule(int n) {
  LaguerreRule rule;
  rule.n = n;
  std::vector<double> a(at(n)), b2(at(n), 0.0);
  for (int j = 0; j < n; ++j) {
    a[at(j)] = 2.0 * j + 1.0;
    b2[at(j)] = static_cast<double>(j) * j;
  }
  // Gershgorin: every eigenvalue lies in [0, 4n].
  rule.nodes = jacobi_eigenvalues(a, b2, 0.0, 4.0 * n + 2.0);
  rule.scaled_weights.assign(at(n), 0.0);
  rule.functions.assign(at(n) * at(n), 0.0);
  for (int k = 0; k < n; ++k) {
    const double v = rule.nodes[at(k)];
    double* l = &rule.functions[at(k) * at(n)];
    // (j + 1) L_{j+1} = (2j + 1 - v) L_j - j L_{j-1}.
    double previous = 0.0, current = std::exp(-0.5 * v);
    double sum = 0.0;
    for (int j = 0; j < n; ++j) {
      l[j] = current;
      sum += current * current;
      const double next = ((2.0 * j + 1.0 - v) * current - j * previous) / (j + 1.0);
      previous = current;
      current = next;
    }
    rule.scaled_weights[at(k)] = 1.0 / sum;
  }
  return rule;
}

TimeRule time_rule(const Pulse& pulse, int n) {
  TimeRule rule;
  rule.nodes.resize(at(n));
  rule.weights.resize(at(n));
  if (pulse.shape == PulseShape::sech2) {
    // sech^2(a s) ds = du / a with u = tanh(a s) = 2t - 1, t in [0, 1]:
    // s = ln(t / (1 - t)) / (2a).
    std::vector<double> t(at(n)), w(at(n));
    gauss_legendre(n, t.data(), w.data());
    for (int k = 0; k < n; ++k) {
      rule.nodes[at(k)] = std::log(t[at(k)] / (1.0 - t[at(k)])) / (2.0 * kSech2Rate);
      rule.weights[at(k)] = 2.0 * w[at(k)] / kSech2Rate;
    }
    return rule;
  }
  std::vector<double> a(at(n), 0.0), b2(at(n), 0.0);
  for (int j = 1; j < n; ++j) b2[at(j)] = 0.5 * j;
  const double edge = std::sqrt(2.0 * n + 2.0);
  const std::vector<double> x = jacobi_eigenvalues(a, b2, -edge, edge);
  for (int k = 0; k < n; ++k) {
    // x p_j = b_{j+1} p_{j+1} + b_j p_{j-1}, p_0 = pi^{-1/4}.
    double previous = 0.0, current = std::pow(kPi, -0.25), sum = 0.0;
    for (int j = 0; j < n; ++j) {
      sum += current * current;
      const double next =
          (x[at(k)] * current - std::sqrt(0.5 * j) * previous) / std::sqrt(0.5 * (j + 1.0));
      previous = current;
      current = next;
    }
    rule.nodes[at(k)] = x[at(k)] / kGaussScale;
    rule.weights[at(k)] = 1.0 / (sum * kGaussScale);
  }
  return rule;
}

std::vector<double> aperture_overlaps(int n, double share) {
  std::vector<double> m(at(n) * at(n), 0.0);
  if (!(share < 1.0)) {
    for (int p = 0; p < n; ++p) m[at(p) * at(n) + at(p)] = 1.0;
    return m;
  }
  const double edge = -std::log1p(-share);
  const int points = n + kOverlapExtraPoints;
  std::vector<double> t(at(points)), w(at(points)), l(at(n));
  gauss_legendre(points, t.data(), w.data());
  for (int k = 0; k < points; ++k) {
    const double v = edge * t[at(k)];
    double previous = 0.0, current = 1.0;
    for (int j = 0; j < n; ++j) {
      l[at(j)] = current;
      const double next = ((2.0 * j + 1.0 - v) * current - j * previous) / (j + 1.0);
      previous = current;
      current = next;
    }
    const double weight = edge * w[at(k)] * std::exp(-v);
    for (int p = 0; p < n; ++p) {
      const double lp = weight * l[at(p)];
      double* row = &m[at(p) * at(n)];
      for (int q = 0; q <= p; ++q) row[q] += lp * l[at(q)];
    }
  }
  for (int p = 0; p < n; ++p)
    for (int q = p + 1; q < n; ++q) m[at(p) * at(n) + at(q)] = m[at(q) * at(n) + at(p)];
  return m;
}

}  // namespace zscan
