// The Chebyshev-Lobatto and Gauss-Legendre helpers of the whole-beam model
// against exact integrals: polynomials up to the degree integrated exactly
// from the front face to every node, nested nodes that keep their bits, and
// Gauss rules exact to degree 2m - 1.
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

TEST(WholeBeamChebyshev, NodesOfADegreeAreTheEvenNodesOfTwiceIt) {
  for (int n : {1, 4, 8, 16}) {
    EXPECT_EQ(zscan::lobatto_node(0, n), 0.0);
    EXPECT_EQ(zscan::lobatto_node(n, n), 1.0);
    for (int j = 0; j <= n; ++j) EXPECT_EQ(zscan::lobatto_node(j, n), zscan::lobatto_node(2 * j, 2 * n));
  }
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
