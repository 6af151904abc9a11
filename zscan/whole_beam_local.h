// The local fluence transmittance of the whole-beam model: the pulse of one
// peak intensity crossing the sample at one radius. The sample's depth is
// discretised on Chebyshev-Lobatto nodes (method of lines); the populations
// of every node and the pulse's absorbed fraction are integrated over the
// pulse in one integrator call. Everything is nondimensional: time in units
// of the pulse duration, populations in units of the total population,
// depth in units of the sample's thickness, intensities relative to the
// incident peak.
#ifndef ZSCAN_WHOLE_BEAM_LOCAL_H
#define ZSCAN_WHOLE_BEAM_LOCAL_H

#include <vector>

#include "zscan/zscan.h"

namespace zscan {

// The absorber in the model's units, fixed for one evaluation.
struct Absorber {
  double n_init[kLevels] = {};  // initial populations / total population
  // Decay rates times the pulse duration: 1->0, 1->3, 2->1, 3->0, 4->3.
  double k10 = 0.0, k13 = 0.0, k21 = 0.0, k30 = 0.0, k43 = 0.0;
  // Optical depth of the whole sample with all of the population in level
  // 0, 1 or 3: sigma_l * N_total * L.
  double c0 = 0.0, c1 = 0.0, c3 = 0.0;
  // Absorption rate times the pulse duration per W/cm^2 of local peak
  // intensity, of levels 0, 1 and 3: sigma_l tau / (h nu).
  double rate_per_intensity[3] = {};
  double linear_depth = 0.0;  // c0 n0 + c1 n1 + c3 n3: -ln Te_lin
};

// The pulse runs over [-kPulseHalfWindow, kPulseHalfWindow] pulse durations
// around its peak: the fluence outside is erfc(2 sqrt(ln 2) 4) = 4.5e-21 of
// the pulse's.
constexpr double kPulseHalfWindow = 4.0;
// sqrt(pi / (4 ln 2)): the integral of exp(-4 ln2 s^2) over all s.
constexpr double kPulseIntegral = 1.0644670194312262;

// The depth discretisation of one degree n (n + 1 nodes): the nodes on
// [0, 1] and the integration matrix from the front face (lobatto_*).
struct DepthGrid {
  int degree = 0;
  std::vector<double> nodes;        // [n + 1]
  std::vector<double> integration;  // [(n + 1)^2] row-major
};
DepthGrid make_depth_grid(int degree);

// How one integration is carried out.
struct LocalSettings {
  const DepthGrid* depth = nullptr;
  double accuracy = 0.0;  // integrator tolerance: relative, and absolute on
                          // populations (scaled by the optical depth) and on
                          // the absorbed fraction
  double max_step = 0.0;  // largest time step, pulse durations
  bool full_jacobian = true;  // false: the band of each node's own levels
};

// Integrator work arrays of one worker, grown to the largest system asked.
struct LocalWork {
  std::vector<double> y, rwork, atol;
  std::vector<int> iwork;
};

// What one integration did.
struct LocalOutcome {
  double value = 0.0;  // Tloc / Te_lin at the peak intensity
  bool completed = false;  // the integrator reached the end of the window
  int steps = 0;
  int rhs_calls = 0;
  int jacobians = 0;
};

// Tloc(I) / Te_lin for the local peak intensity `intensity` (W/cm^2) on this
// thread: 1 - (absorbed fraction beyond the linear one, weighted by the
// pulse) / kPulseIntegral. Throws std::bad_alloc when the work arrays cannot
// grow.
LocalOutcome local_transmittance(const Absorber& absorber, double intensity,
                                 const LocalSettings& settings, LocalWork& work);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_LOCAL_H
