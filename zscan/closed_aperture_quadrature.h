// The quadratures of the closed-aperture model: Gauss-Laguerre rules over
// the beam's cross-section in v = 2 r^2 / w^2 (the weight e^-v is the
// incident Gaussian's intensity), with the Laguerre functions of the beam's
// modes at their nodes; the pulse's time rules (Gauss-Hermite for the
// Gaussian pulse, Gauss-Legendre in the pulse's cumulative fluence for
// sech^2); the overlap matrix of the modes over an aperture. Nodes come from
// the Jacobi matrices of the polynomials by Sturm bisection, weights from the
// Christoffel sums of the orthonormal polynomials. Relies on the pulse and
// the Chebyshev helpers' Gauss-Legendre rule.
#ifndef ZSCAN_CLOSED_APERTURE_QUADRATURE_H
#define ZSCAN_CLOSED_APERTURE_QUADRATURE_H

#include <vector>

#include "zscan/whole_beam_pulse.h"

namespace zscan {

// The n-point Gauss-Laguerre rule, int_0^inf f(v) e^-v dv = sum w_k f(v_k),
// held as v_k, the scaled weights w_k e^{v_k}, and the Laguerre functions
// l_p(v_k) = L_p(v_k) e^{-v_k / 2} for p < n (row k, column p), all finite
// for n up to kMostLaguerreNodes.
struct LaguerreRule {
  int n = 0;
  std::vector<double> nodes;           // [n] increasing
  std::vector<double> scaled_weights;  // [n] w_k e^{v_k}
  std::vector<double> functions;       // [n * n] l_p(v_k) at k * n + p
};
constexpr int kMostLaguerreNodes = 320;
// Throws std::bad_alloc when it cannot be stored.
LaguerreRule laguerre_rule(int n);

// A time rule of the pulse: int p(s) f(s) ds = sum weights_k f(s_k), s in
// pulse durations, nodes increasing.
struct TimeRule {
  std::vector<double> nodes, weights;
};
// The n-point rule of the pulse's shape: Gauss-Hermite in sqrt(4 ln 2) s for
// the Gaussian, Gauss-Legendre in tanh(a s) for sech^2(a s).
TimeRule time_rule(const Pulse& pulse, int n);

// M_pq = int_0^{v_a} L_p(v) L_q(v) e^-v dv for p, q < n, row-major, with
// v_a = -ln(1 - S) for the aperture's share S of the linear beam (0 < S <
// 1): the identity at S = 1.
std::vector<double> aperture_overlaps(int n, double share);

}  // namespace zscan

#endif  // ZSCAN_CLOSED_APERTURE_QUADRATURE_H
