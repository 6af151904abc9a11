// The sample's depth in the whole-beam model's local problem. The depth
// nodes are Chebyshev-Lobatto nodes v_j in a coordinate v in [0, 1] that
// follows an attenuation of rate lambda: q(z) = exp(-lambda z) = 1 - v (1 -
// exp(-lambda)), z the depth in units of the thickness, so that v is the
// share of that light absorbed before z. With lambda the linear optical
// depth D a linear profile is a straight line in v and the nodes sit where
// the light is, however thick the sample; a sample that bleaches lets the
// light deeper, and a smaller lambda follows it; lambda = 0 is uniform in z.
// The optical depth at each node is the integral of the absorption
// coefficient from the front face, int_0^z alpha dz = int_0^v alpha (dz/dv)
// dv, through the Lobatto integration matrix in v. Relies on the
// Chebyshev-Lobatto helpers.
#ifndef ZSCAN_WHOLE_BEAM_DEPTH_H
#define ZSCAN_WHOLE_BEAM_DEPTH_H

#include <vector>

namespace zscan {

struct DepthGrid {
  int degree = 0;                   // n: n + 1 nodes
  double optical_depth = 0.0;       // D, the sample's linear optical depth
  double rate = 0.0;                // lambda, the mapping's attenuation rate
  std::vector<double> nodes;        // [n + 1] v_j, 0 to 1
  std::vector<double> depth;        // [n + 1] z_j
  std::vector<double> light;        // [n + 1] exp(-D z_j), the linear light
  std::vector<double> stretch;      // [n + 1] (dz/dv)_j
  // [(n + 1)^2] row-major: row j applied to the values of f at the nodes
  // gives int_0^{z_j} f dz, the Lobatto matrix times dz/dv at the nodes.
  std::vector<double> integration;
};

// The grid of degree n for a sample of linear optical depth D >= 0 with
// nodes placed by the attenuation rate lambda >= 0. Throws std::bad_alloc
// when it cannot be stored.
DepthGrid make_depth_grid(int degree, double optical_depth, double rate);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_DEPTH_H
