// Open-aperture transmittance of one data set: the pulse crosses the sample
// slab by slab and slice by slice, populations and intensity advanced in
// alternation, and the pulse-integrated on-axis transmission is normalised on
// the scan's wings. Relies on the rate and attenuation steps and on this
// thread's model coefficients. The points are evaluated on worker threads,
// each with its own integrator state and copy of the coefficients. A fit
// asked to stop (interrupt.h) abandons an evaluation between time slices.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <limits>
#include <new>
#include <vector>

#include "zscan/interrupt.h"
#include "zscan/model_state.h"
#include "zscan/model_threads.h"
#include "zscan/rate_equations.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {
constexpr int kLevels = 5;
// Points at either end of the scan whose mean ratio is shifted to 1.0.
constexpr int kWingPoints = 5;

void fill_nan(double* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
}
}  // namespace

namespace {

// The transmitted fraction of the pulse for one point: the slabs start
// relaxed; every time slice crosses them front to back, each slab's
// populations evolving for one time step under the light that reaches it
// before the slab absorbs that light.
// stop() is asked once per time slice; when it answers true the point is
// abandoned and NaN returned.
template <class Stop>
double point_ratio(int i, int n, int n_t, int n_z, double dt, double dz,
                   const double* populations, const double* intensity,
                   double* slab_populations, double* rwork, int* iwork, Stop& stop) {
  const double start = 0.0;
  double rate_state[kStateLength];
  double rate_y[kStateLength];
  double attenuation_state[kStateLength];
  double attenuation_y[kStateLength];
  for (int l = 0; l < kLevels; ++l) attenuation_state[1 + l] = populations[l];
  for (int k = 0; k < n_z; ++k) {
    double* slab = &slab_populations[static_cast<std::size_t>(k) * kLevels];
    for (int l = 0; l < kLevels; ++l) slab[l] = populations[l];
  }
  double sum_out = 0.0;
  double sum_in = 0.0;
  for (int j = 0; j < n_t; ++j) {
    if (stop()) return std::numeric_limits<double>::quiet_NaN();
    const double incident = intensity[i + static_cast<std::size_t>(n) * j];
    attenuation_state[0] = incident;
    for (int k = 0; k < n_z; ++k) {
      double* slab = &slab_populations[static_cast<std::size_t>(k) * kLevels];
      for (int l = 0; l < kLevels; ++l) rate_state[l] = slab[l];
      rate_state[5] = attenuation_state[0];
      integrate_rates(rate_state, &start, &dt, rwork, iwork, rate_y);
      for (int l = 0; l < kLevels; ++l) {
        slab[l] = rate_y[l];
        attenuation_state[1 + l] = rate_y[l];
      }
      integrate_attenuation(attenuation_state, &start, &dz, rwork, iwork, attenuation_y);
      attenuation_state[0] = attenuation_y[0];
    }
    sum_out += attenuation_state[0];
    sum_in += incident;
  }
  return sum_out / sum_in;
}

}  // namespace

void transmittance_model(double* out, const double* /*positions*/,
                         const int* n_points, const double* depth_grid,
                         const int* z_slices, const double* time_grid,
                         const int* t_slices, const double* populations,
                         const double* intensity, const double* frequency,
                         const double* spec_pars) {
  write_model_coefficients(frequency, spec_pars);

  const int n = *n_points;
  const int n_t = *t_slices;
  const int n_z = *z_slices;
  // Without five points per wing, a time step or a slab thickness the model
  // is undefined.
  if (n < kWingPoints || n_t < 2 || n_z < 2) {
    fill_nan(out, n);
    return;
  }
  const double dt = time_grid[1] - time_grid[0];
  const double dz = depth_grid[1];  // the depth grid starts at 0.0

  // The points are independent: hand them out one at a time to the worker
  // threads. Each worker has its own integrator state (per thread) and its
  // own copy of this call's model coefficients; out[i] is the ratio of
  // point i whichever thread computed it.
  const ModelCoefficients coefficients = model_coefficients();
  const int workers = std::max(1, std::min(model_threads(), n));
  std::atomic<int> next_point{0};
  std::atomic<int> points_done{0};
  // A fit asked to stop (interrupt.h) abandons the evaluation: the calling
  // thread asks between time slices, the other workers follow its answer.
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
    std::vector<double> slab_populations;  // [n_z][5], N0..N4 of every slab
    try {
      slab_populations.resize(static_cast<std::size_t>(n_z) * kLevels);
    } catch (const std::bad_alloc&) {
      return;  // the other workers take the points
    }
    double rwork[kRworkLength];
    int iwork[kIworkLength];
    for (int i = next_point.fetch_add(1); i < n; i = next_point.fetch_add(1)) {
      out[i] = point_ratio(i, n, n_t, n_z, dt, dz, populations, intensity,
                           slab_populations.data(), rwork, iwork, stop);
      if (stop()) return;
      points_done.fetch_add(1);
    }
  });
  if (points_done.load() != n) {  // abandoned, or no worker had storage
    fill_nan(out, n);
    return;
  }

  // Shift every ratio by one amount so that the mean of the five first and
  // five last ratios becomes 1.0 (for n < 10 the wings overlap and shared
  // points count twice).
  const double* r = out;
  const double baseline =
      (((((r[n - 5] + r[n - 4]) + r[n - 3]) + r[n - 2]) + r[n - 1]) +
       ((((r[1] + r[0]) + r[2]) + r[3]) + r[4])) *
      0.1;
  const double shift = 1.0 - baseline;
  for (int i = 0; i < n; ++i) out[i] = out[i] + shift;
}

}  // namespace zscan
