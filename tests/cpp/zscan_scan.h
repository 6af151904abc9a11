// Test helper: a z-scan experiment and the grids, intensities and model
// transmittance the library derives from it.
#ifndef KESP_TESTS_ZSCAN_SCAN_H
#define KESP_TESTS_ZSCAN_SCAN_H

#include <vector>

#include "zscan/beam.h"
#include "zscan/zscan.h"

namespace zscan_test {

struct Scan {
  int nx = 9, nd = 1, t_slices = 4, z_slices = 2, n_pop = 5;
  double width = 0.1, tau = 4e-9, wavelength = 532e-9, w0 = 2e-5, m2 = 1.0;
  std::vector<double> centered_x, energy, populations{3e17, 0.0, 0.0, 0.0, 0.0};
};

struct Grids {
  std::vector<double> positions, depth, times, intensity;
  double rayleigh_range = 0.0, frequency = 0.0;
};

inline Grids grids_of(const Scan& s) {
  Grids g;
  const int m = s.nx * s.nd;
  g.positions.resize(m);
  g.depth.resize(s.z_slices);
  g.times.resize(s.t_slices);
  g.intensity.resize(static_cast<size_t>(m) * s.t_slices);
  zscan::fill_scan_positions(g.positions.data(), s.centered_x.data(), &m);
  g.rayleigh_range = zscan::rayleigh_range(&s.w0, &s.m2, &s.wavelength);
  g.frequency = zscan::optical_frequency(&s.wavelength);
  zscan::fill_depth_grid(g.depth.data(), &s.width, &s.z_slices);
  zscan::fill_time_grid(g.times.data(), &s.tau, &s.t_slices);
  zscan::fill_intensity_grid(g.intensity.data(), g.positions.data(), g.times.data(),
                             s.energy.data(), &s.tau, &s.w0, &g.rayleigh_range,
                             &s.nx, &s.t_slices, &s.nd);
  return g;
}

// Model transmittance of every point of every data set at spec_pars.
inline std::vector<double> model_of(const Scan& s, const Grids& g,
                                    const std::vector<double>& spec_pars) {
  std::vector<double> out(static_cast<size_t>(s.nx) * s.nd);
  for (int d = 0; d < s.nd; ++d) {
    zscan::transmittance_model(&out[d * s.nx], &g.positions[d * s.nx], &s.nx,
                               g.depth.data(), &s.z_slices, g.times.data(),
                               &s.t_slices, s.populations.data(),
                               &g.intensity[static_cast<size_t>(d) * s.nx * s.t_slices],
                               &g.frequency, spec_pars.data());
  }
  return out;
}

}  // namespace zscan_test

#endif  // KESP_TESTS_ZSCAN_SCAN_H
