// Chebyshev-Lobatto nodes, interpolation coefficients and integrals on
// [0, 1]; see whole_beam_chebyshev.h. The node values are mapped to
// Chebyshev coefficients by the discrete cosine sums of the Lobatto grid and
// integrated term by term, with the integral of T_m from -1 written out.
// Relies only on the C++ standard library.
#include "zscan/whole_beam_chebyshev.h"

#include <cmath>
#include <cstddef>

namespace zscan {

namespace {

constexpr double kPi = 3.141592653589793;

// cos(pi m / n) for m = 0 .. 2n - 1: T_k at the nodes of degree n is
// (-1)^k cos(pi k j / n), read at m = k j mod 2n.
std::vector<double> cosine_table(int n) {
  std::vector<double> c(static_cast<std::size_t>(2 * n));
  for (int m = 0; m < 2 * n; ++m) c[static_cast<std::size_t>(m)] = std::cos((kPi * m) / n);
  return c;
}

// T_k(x_j) at node j of degree n, x_j = 2 z_j - 1 = -cos(pi j / n).
double chebyshev_at_node(const std::vector<double>& cosines, int n, int k, int j) {
  const double c = cosines[static_cast<std::size_t>((static_cast<long long>(k) * j) % (2 * n))];
  return (k % 2 == 0) ? c : -c;
}

// The integral of T_m from -1 to the point where T_{m-1}, T_m, T_{m+1} take
// the values t_below, x (the point itself, for m < 2) and t_above.
double chebyshev_term_integral(int m, double x, double t_below, double t_above) {
  if (m == 0) return x + 1.0;
  if (m == 1) return (x * x - 1.0) * 0.5;
  const double mm = static_cast<double>(m);
  const double at_minus_one = ((m % 2 == 0) ? 1.0 : -1.0) / (mm * mm - 1.0);
  return (t_above / (2.0 * (mm + 1.0)) - t_below / (2.0 * (mm - 1.0))) - at_minus_one;
}

}  // namespace

double lobatto_node(int j, int n) {
  const double s = std::sin((kPi * j) / (2 * n));
  return s * s;
}

void lobatto_coefficients(const double* f, int n, double* a) {
  const std::vector<double> cosines = cosine_table(n);
  for (int k = 0; k <= n; ++k) {
    double sum = 0.0;
    for (int j = 0; j <= n; ++j) {
      const double weight = (j == 0 || j == n) ? 0.5 : 1.0;
      sum += weight * f[j] * chebyshev_at_node(cosines, n, k, j);
    }
    const double ck = (k == 0 || k == n) ? 0.5 : 1.0;
    a[k] = sum * (2.0 * ck / n);
  }
}

std::vector<double> lobatto_integration_matrix(int n) {
  const std::size_t size = static_cast<std::size_t>(n + 1);
  const std::vector<double> cosines = cosine_table(n);
  // integral[j][m]: integral of T_m from -1 to x_j.
  std::vector<double> integral(size * (size + 1));
  for (int j = 0; j <= n; ++j) {
    const double x = 2.0 * lobatto_node(j, n) - 1.0;
    for (int m = 0; m <= n; ++m) {
      const double below = m >= 1 ? chebyshev_at_node(cosines, n, m - 1, j) : 0.0;
      const double above = chebyshev_at_node(cosines, n, m + 1, j);
      integral[static_cast<std::size_t>(j) * size + static_cast<std::size_t>(m)] =
          chebyshev_term_integral(m, x, below, above);
    }
  }
  std::vector<double> w(size * size, 0.0);
  for (int j = 1; j <= n; ++j) {
    for (int k = 0; k <= n; ++k) {
      // Cardinal function of node k: sum_m 2/(n c_m c_k) T_m(x_k) T_m(x); dz = dx / 2.
      const double ck = (k == 0 || k == n) ? 0.5 : 1.0;
      double sum = 0.0;
      for (int m = 0; m <= n; ++m) {
        const double cm = (m == 0 || m == n) ? 0.5 : 1.0;
        sum += cm * chebyshev_at_node(cosines, n, m, k) *
               integral[static_cast<std::size_t>(j) * size + static_cast<std::size_t>(m)];
      }
      w[static_cast<std::size_t>(j) * size + static_cast<std::size_t>(k)] = sum * (ck / n);
    }
  }
  return w;
}

double chebyshev_value(const double* a, int n, double x) {
  const double y = 2.0 * x - 1.0;
  double b1 = 0.0, b2 = 0.0;
  for (int k = n; k >= 1; --k) {
    const double b0 = (2.0 * y * b1 - b2) + a[k];
    b2 = b1;
    b1 = b0;
  }
  return (y * b1 - b2) + a[0];
}

void gauss_legendre(int m, double* nodes, double* weights) {
  // Newton's iteration on P_m from the Chebyshev-like first guesses; the
  // nodes are symmetric, so half of them are found and mirrored.
  for (int i = 0; i < (m + 1) / 2; ++i) {
    double x = std::cos(kPi * (i + 0.75) / (m + 0.5));
    double derivative = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= m; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      derivative = m * (x * p1 - p0) / (x * x - 1.0);
      const double step = p1 / derivative;
      x -= step;
      if (std::fabs(step) <= 1e-16) break;
    }
    // Nodes on [-1, 1] at +-x with weight 2 / ((1 - x^2) P_m'(x)^2); on
    // [0, 1] halved.
    const double w = 1.0 / ((1.0 - x * x) * derivative * derivative);
    nodes[i] = 0.5 * (1.0 - x);
    nodes[m - 1 - i] = 0.5 * (1.0 + x);
    weights[i] = w;
    weights[m - 1 - i] = w;
  }
  if (m % 2 == 1) nodes[m / 2] = 0.5;
}

}  // namespace zscan
