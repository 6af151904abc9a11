// Chebyshev-Lobatto interpolation on an interval, as the whole-beam model
// uses it twice: across the sample's depth (the optical depth at every depth
// node as the integral of the absorption coefficient from the front face)
// and across the local peak intensity (the table of the local transmittance,
// integrated to its running mean). Relies only on the C++ standard library.
#ifndef ZSCAN_WHOLE_BEAM_CHEBYSHEV_H
#define ZSCAN_WHOLE_BEAM_CHEBYSHEV_H

#include <vector>

namespace zscan {

// Position of Chebyshev-Lobatto node j of the n + 1 nodes of degree n on
// [0, 1], in increasing order: (1 - cos(pi j / n)) / 2; node 0 is 0 and node
// n is 1 exactly. The nodes of degree n are the even nodes of degree 2n.
double lobatto_node(int j, int n);

// The (n + 1) x (n + 1) matrix, row-major, whose row j applied to the values
// of a function at the nodes of degree n gives the integral of their
// interpolating polynomial from 0 to node j (on [0, 1]). Row 0 is zero; row n
// holds the Clenshaw-Curtis weights.
std::vector<double> lobatto_integration_matrix(int n);

// Chebyshev coefficients a_0..a_n of the polynomial of degree n through the
// values f[0..n] at the nodes of degree n: p(x) = sum_k a_k T_k(2x - 1).
void lobatto_coefficients(const double* f, int n, double* a);

// The polynomial with Chebyshev coefficients a[0..n] at x in [0, 1]
// (Clenshaw's recurrence).
double chebyshev_value(const double* a, int n, double x);

// The m-point Gauss-Legendre rule on [0, 1] (m >= 1): nodes in increasing
// order and weights summing to 1; exact for polynomials of degree < 2m.
void gauss_legendre(int m, double* nodes, double* weights);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_CHEBYSHEV_H
