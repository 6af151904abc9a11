// The model's pulse-integrated on-axis transmission of a set of points,
// evaluated on the model's worker threads, and the shift that normalises a
// scan on its wings. Shared by every entry that evaluates the model.
#ifndef ZSCAN_POINT_RATIOS_H
#define ZSCAN_POINT_RATIOS_H

#include "zscan/zscan.h"

namespace zscan {

// What every point of one evaluation shares.
struct SliceGrid {
  int t_slices = 0;                     // time slices (>= kMinSlices)
  int z_slices = 0;                     // depth slabs (>= kMinSlices)
  double dt = 0.0;                      // time step, s
  double dz = 0.0;                      // slab thickness, cm
  const double* populations = nullptr;  // [kLevels] initial populations of every slab
};

// ratios[i] = transmitted / incident on-axis intensity of point i, summed
// over the pulse, for i < n_points; intensity[i + n_points*j] is point i's
// front-face intensity at time slice j. Reads this thread's model
// coefficients (each worker runs on a copy of them). Returns
// Status::interrupted when this thread's interrupt check asked to stop
// (consulted between time slices) and Status::out_of_memory when no worker
// could obtain its storage; ratios then holds no meaningful values.
Status point_ratios(const SliceGrid& grid, const double* intensity, int n_points,
                    double* ratios);

// The shape of one data set of n_points points on t_slices time slices and
// z_slices slabs, every array as long as the input rules ask, wavelength and
// M2 1.0: check_fit_inputs on it holds the rules a model evaluation needs.
FitShape single_scan_shape(int n_points, int t_slices, int z_slices);

// The amount added to every ratio of a scan so that the mean of its first
// kWingPoints ratios (head) and last kWingPoints ratios (tail) becomes 1.0.
double wing_shift(const double* head, const double* tail);

}  // namespace zscan

#endif  // ZSCAN_POINT_RATIOS_H
