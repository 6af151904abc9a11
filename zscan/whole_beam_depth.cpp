// The depth grid of the whole-beam model; see whole_beam_depth.h. With
// e = (1 - exp(-lambda)) / lambda, dz/dv = e / q. q_j is formed from 1 - v_j
// (the mirrored node, exact) and v_j exp(-lambda), so that it keeps its
// relative accuracy down to exp(-lambda) at the back face; the linear light
// exp(-D z_j) is exactly q_j when lambda = D. Relies on the
// Chebyshev-Lobatto helpers.
#include "zscan/whole_beam_depth.h"

#include <cmath>
#include <cstddef>

#include "zscan/whole_beam_chebyshev.h"

namespace zscan {

DepthGrid make_depth_grid(int degree, double optical_depth, double rate) {
  DepthGrid grid;
  const int n = degree;
  const std::size_t size = static_cast<std::size_t>(n + 1);
  grid.degree = n;
  grid.optical_depth = optical_depth;
  grid.rate = rate;
  grid.nodes.resize(size);
  grid.depth.resize(size);
  grid.light.resize(size);
  grid.stretch.resize(size);
  // e = (1 - exp(-lambda)) / lambda, 1 at lambda = 0.
  const double share = rate > 0.0 ? -std::expm1(-rate) / rate : 1.0;
  const double back = std::exp(-rate);
  for (int j = 0; j <= n; ++j) {
    const std::size_t k = static_cast<std::size_t>(j);
    const double v = lobatto_node(j, n);
    grid.nodes[k] = v;
    double q = 1.0;
    if (rate > 0.0) {
      q = lobatto_node(n - j, n) + v * back;
      // ln q from q - 1 = v expm1(-lambda) while q is near 1.
      grid.depth[k] = (q > 0.5 ? -std::log1p(v * std::expm1(-rate)) : -std::log(q)) / rate;
    } else {
      grid.depth[k] = v;
    }
    grid.stretch[k] = share / q;
    grid.light[k] = rate == optical_depth ? q : std::exp(-optical_depth * grid.depth[k]);
  }
  grid.integration = lobatto_integration_matrix(n);
  for (std::size_t j = 0; j < size; ++j)
    for (std::size_t k = 0; k < size; ++k) grid.integration[j * size + k] *= grid.stretch[k];
  return grid;
}

}  // namespace zscan
