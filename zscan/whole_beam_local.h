// The local fluence transmittance of the whole-beam model: the pulse of one
// peak intensity crossing the sample at one radius, and on request its
// derivatives with respect to spectroscopic parameters. The sample's depth
// is discretised on the depth grid (method of lines); the populations of
// every depth node and the pulse's absorbed fraction are integrated over the
// pulse in one integrator call, the forward sensitivities beside them.
// Everything is nondimensional: time in units of the pulse duration,
// populations in units of the total population, depth in units of the
// sample's thickness, intensities relative to the incident peak.
#ifndef ZSCAN_WHOLE_BEAM_LOCAL_H
#define ZSCAN_WHOLE_BEAM_LOCAL_H

#include <vector>

#include "zscan/whole_beam_absorber.h"
#include "zscan/whole_beam_depth.h"
#include "zscan/whole_beam_pulse.h"

namespace zscan {

// How one integration is carried out.
struct LocalSettings {
  const DepthGrid* depth = nullptr;
  Pulse pulse;
  double accuracy = 0.0;  // integrator tolerance: relative, and absolute on
                          // the absorbed fraction and on populations, these
                          // weighed by the optical depth they could change
  double max_step = 0.0;  // largest time step, pulse durations
  // The integration ends here (<= pulse.half_window); the rest of the pulse
  // crosses the sample as it is then.
  double end = 0.0;
  bool full_jacobian = false;  // false: the blocks of each node's own levels
  // The derivatives of the absorber's coefficients with respect to the
  // parameters whose sensitivities are wanted (none: null or empty).
  const std::vector<Absorber>* derivatives = nullptr;
};

// Integrator work arrays of one worker, grown to the largest system asked.
struct LocalWork {
  std::vector<double> y, rwork, rtol, atol;
  std::vector<int> iwork;
};

// The populations an integration visited at its steps, in units of the
// total population.
struct PopulationRange {
  double low = 0.0, high = 0.0;
  int low_level = 0, high_level = 0;
};

// What one integration did.
struct LocalOutcome {
  double value = 0.0;      // Tloc / Te_lin at the peak intensity
  bool completed = false;  // the integrator reached the end of the window
  int steps = 0;
  int rhs_calls = 0;
  int jacobians = 0;
  PopulationRange range;
};

// Tloc(I) / Te_lin for the local peak intensity `intensity` (W/cm^2) on this
// thread: 1 - (absorbed fraction beyond the linear one, weighted by the
// pulse) / pulse integral; with settings.derivatives, its derivative with
// respect to each of those parameters into derivatives[0..]. The
// sensitivities take no part in the integrator's error and convergence
// tests, so the value is the same bits with and without them. Throws
// std::bad_alloc when the work arrays cannot grow.
LocalOutcome local_transmittance(const Absorber& absorber, double intensity,
                                 const LocalSettings& settings, LocalWork& work,
                                 double* derivatives);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_LOCAL_H
