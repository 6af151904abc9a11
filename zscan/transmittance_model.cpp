// The by-address model entry: the open-aperture transmittance of one data
// set on grids the caller prepared, normalised on the data set's wings.
// Relies on this thread's model coefficients and on the point ratios.
#include <limits>

#include "zscan/model_state.h"
#include "zscan/point_ratios.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {
void fill_nan(double* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
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
  // Without a baseline on both wings, a time step or a slab thickness the
  // model is undefined.
  if (check_fit_inputs(single_scan_shape(n, *t_slices, *z_slices)) != InputRule::ok) {
    fill_nan(out, n);
    return;
  }
  SliceGrid grid;
  grid.t_slices = *t_slices;
  grid.z_slices = *z_slices;
  grid.dt = time_grid[1] - time_grid[0];
  grid.dz = depth_grid[1];  // the depth grid starts at 0.0
  grid.populations = populations;
  if (point_ratios(grid, intensity, n, out) != Status::ok) {
    fill_nan(out, n);
    return;
  }
  const double shift = wing_shift(&out[0], &out[n - kWingPoints]);
  for (int i = 0; i < n; ++i) out[i] = out[i] + shift;
}

}  // namespace zscan
