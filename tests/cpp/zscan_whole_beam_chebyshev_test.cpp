// The Chebyshev-Lobatto and Gauss-Legendre helpers of the whole-beam model
// against exact integrals: polynomials up to the degree integrated exactly
// from the front face to every node, spectral convergence on an analytic
// function, positive Clenshaw-Curtis weights, nested nodes that keep their
// bits, and Gauss rules exact to degree 2m - 1.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "zscan/whole_beam_chebyshev.h"

namespace {

TEST(WholeBeamChebyshev, IntegrationMatrixIsExactForPolynomialsOfItsDegree) {
  for (int n : {1, 2, 5, 8, 16, 33}) {
    const std::vector<double> w = zscan::lobatto_integration_matrix(n);
    for (int power = 0; power <= n; ++power) {
      for (int j = 0; j <= n; ++j) {
        double sum = 0.0;
        for (int k = 0; k <= n; ++k)
          sum += w[static_cast<size_t>(j * (n + 1) + k)] * std::pow(zscan::lobatto_node(k, n), power);
        EXPECT_NEAR(sum, std::pow(zscan::lobatto_node(j, n), power + 1) / (power + 1), 2e-15)
            << "n " << n << " power " << power << " node " << j;
      }
    }
  }
}

TEST(WholeBeamChebyshev, ClenshawCurtisWeightsArePositiveAndConverge) {
  double previous = 1.0;
  for (int n : {4, 8, 16}) {
    const std::vector<double> w = zscan::lobatto_integration_matrix(n);
    double integral = 0.0;
    for (int k = 0; k <= n; ++k) {
      const double weight = w[static_cast<size_t>(n * (n + 1) + k)];
      EXPECT_GT(weight, 0.0);
      integral += weight * std::exp(-3.0 * zscan::lobatto_node(k, n));
    }
    const double error = std::fabs(integral - (1.0 - std::exp(-3.0)) / 3.0);
    EXPECT_LT(error, previous * 1e-2) << n;
    previous = std::fmax(error, 1e-16);
  }
  EXPECT_LT(previous, 1e-15);
}

TEST(WholeBeamChebyshev, NodesOfADegreeAreTheEvenNodesOfTwiceIt) {
  for (int n : {1, 4, 8, 16}) {
    EXPECT_EQ(zscan::lobatto_node(0, n), 0.0);
    EXPECT_EQ(zscan::lobatto_node(n, n), 1.0);
    for (int j = 0; j <= n; ++j) EXPECT_EQ(zscan::lobatto_node(j, n), zscan::lobatto_node(2 * j, 2 * n));
  }
}

TEST(WholeBeamChebyshev, CoefficientsReproduceTheInterpolant) {
  const int n = 12;
  std::vector<double> f(n + 1), a(n + 1);
  for (int j = 0; j <= n; ++j) f[static_cast<size_t>(j)] = 1.0 / (1.0 + 2.0 * zscan::lobatto_node(j, n));
  zscan::lobatto_coefficients(f.data(), n, a.data());
  for (int j = 0; j <= n; ++j)
    EXPECT_NEAR(zscan::chebyshev_value(a.data(), n, zscan::lobatto_node(j, n)), f[static_cast<size_t>(j)], 1e-15);
  // Between the nodes, the interpolation error of an analytic function.
  for (double x : {0.03, 0.31, 0.77}) EXPECT_NEAR(zscan::chebyshev_value(a.data(), n, x), 1.0 / (1.0 + 2.0 * x), 2e-7);
}

TEST(WholeBeamChebyshev, GaussLegendreIsExactToDegreeTwoMMinusOne) {
  for (int m : {1, 2, 3, 5, 9}) {
    std::vector<double> x(static_cast<size_t>(m)), w(static_cast<size_t>(m));
    zscan::gauss_legendre(m, x.data(), w.data());
    for (int i = 1; i < m; ++i) EXPECT_LT(x[static_cast<size_t>(i - 1)], x[static_cast<size_t>(i)]);
    for (int power = 0; power < 2 * m; ++power) {
      double sum = 0.0;
      for (int q = 0; q < m; ++q) sum += w[static_cast<size_t>(q)] * std::pow(x[static_cast<size_t>(q)], power);
      EXPECT_NEAR(sum, 1.0 / (power + 1), 1e-15) << "m " << m << " power " << power;
    }
  }
}

}  // namespace
