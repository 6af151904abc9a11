// Pulse-integrated transmission of single points: the pulse crosses the
// sample slab by slab and slice by slice, populations and intensity advanced
// in alternation. The points are evaluated on worker threads, each with its
// own integrator state and copy of the model coefficients. A call asked to
// stop (interrupt.h) abandons an evaluation between time slices. Relies on
// the rate and attenuation steps and on this thread's model coefficients.
#include "zscan/point_ratios.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <limits>
#include <new>
#include <vector>

#include "zscan/model_state.h"
#include "zscan/model_workers.h"
#include "zscan/rate_equations.h"

namespace zscan {

namespace {

// The transmitted fraction of the pulse for one point: the slabs start
// relaxed; every time slice crosses them front to back, each slab's
// populations evolving for one time step under the light that reaches it
// before the slab absorbs that light.
// stop() is asked once per time slice; when it answers true the point is
// abandoned and NaN returned.
template <class Stop>
double point_ratio(int i, int n, const SliceGrid& grid, const double* intensity,
                   double* slab_populations, IntegratorWork& work, Stop& stop) {
  double rate_state[kStateLength];
  double rate_y[kStateLength];
  double attenuation_state[kStateLength];
  double attenuation_y[kStateLength];
  const double* populations = grid.populations;
  for (int l = 0; l < kLevels; ++l) attenuation_state[1 + l] = populations[l];
  for (int k = 0; k < grid.z_slices; ++k) {
    double* slab = &slab_populations[static_cast<std::size_t>(k) * kLevels];
    for (int l = 0; l < kLevels; ++l) slab[l] = populations[l];
  }
  double sum_out = 0.0;
  double sum_in = 0.0;
  for (int j = 0; j < grid.t_slices; ++j) {
    if (stop()) return std::numeric_limits<double>::quiet_NaN();
    const double incident = intensity[i + static_cast<std::size_t>(n) * j];
    attenuation_state[0] = incident;
    for (int k = 0; k < grid.z_slices; ++k) {
      double* slab = &slab_populations[static_cast<std::size_t>(k) * kLevels];
      for (int l = 0; l < kLevels; ++l) rate_state[l] = slab[l];
      rate_state[kLevels] = attenuation_state[0];
      integrate_rates(rate_state, grid.dt, work, rate_y);
      for (int l = 0; l < kLevels; ++l) {
        slab[l] = rate_y[l];
        attenuation_state[1 + l] = rate_y[l];
      }
      integrate_attenuation(attenuation_state, grid.dz, work, attenuation_y);
      attenuation_state[0] = attenuation_y[0];
    }
    sum_out += attenuation_state[0];
    sum_in += incident;
  }
  return sum_out / sum_in;
}

}  // namespace

Status point_ratios(const SliceGrid& grid, const double* intensity, int n_points,
                    double* ratios) {
  const int n = n_points;
  // The points are independent: hand them out one at a time to the worker
  // threads. Each worker has its own integrator state (per thread) and its
  // own copy of this call's model coefficients; ratios[i] is the ratio of
  // point i whichever thread computed it.
  const ModelCoefficients coefficients = model_coefficients();
  const int workers = std::max(1, std::min(model_threads(), n));
  std::atomic<int> next_point{0};
  std::atomic<int> points_done{0};
  // A call asked to stop abandons the evaluation: the calling thread asks
  // between time slices, the other workers follow its answer.
  std::atomic<bool> abandoned{false};
  run_workers(workers, [&](int worker) {
    auto stop = [&]() {
      if (worker == 0) {
        if (interrupt_requested()) abandoned.store(true, std::memory_order_relaxed);
        // The check may have run anything on this thread, a model evaluation
        // included: put this evaluation's coefficients back.
        model_coefficients() = coefficients;
      }
      return abandoned.load(std::memory_order_relaxed);
    };
    if (worker != 0) model_coefficients() = coefficients;
    std::vector<double> slab_populations;  // [z_slices][kLevels], N0..N4 of every slab
    try {
      slab_populations.resize(static_cast<std::size_t>(grid.z_slices) * kLevels);
    } catch (const std::bad_alloc&) {
      return;  // the other workers take the points
    }
    IntegratorWork work;
    for (int i = next_point.fetch_add(1); i < n; i = next_point.fetch_add(1)) {
      ratios[i] = point_ratio(i, n, grid, intensity, slab_populations.data(), work, stop);
      if (stop()) return;
      points_done.fetch_add(1);
    }
  });
  if (abandoned.load()) return Status::interrupted;
  if (points_done.load() != n) return Status::out_of_memory;  // no worker had storage
  return Status::ok;
}

FitShape single_scan_shape(int n_points, int t_slices, int z_slices) {
  FitShape shape;
  shape.num_x_pts = n_points;
  shape.num_datasets = 1;
  shape.x_length = n_points;
  shape.y_length = n_points;
  shape.pulse_energy_length = 1;
  shape.spec_pars_length = kSpecPars;
  shape.populations_length = kLevels;
  shape.t_slices = t_slices;
  shape.z_slices = z_slices;
  shape.wavelength = 1.0;
  shape.M2 = 1.0;
  return shape;
}

double wing_shift(const double* head, const double* tail) {
  static_assert(kWingPoints == 5, "the sums below are written out for five points a wing");
  // For scans of fewer than 2 kWingPoints points the wings overlap and shared
  // points count twice.
  const double baseline =
      (((((tail[0] + tail[1]) + tail[2]) + tail[3]) + tail[4]) +
       ((((head[1] + head[0]) + head[2]) + head[3]) + head[4])) *
      0.1;
  return 1.0 - baseline;
}

}  // namespace zscan
