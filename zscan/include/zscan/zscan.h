// Public interface of the z-scan model and fit.
//
// fit_core runs one least-squares fit of the chosen spectroscopic parameters
// to measured open-aperture z-scan data, from one start vector;
// transmittance_model evaluates the model transmittance of one data set.
// Every argument is passed by address; arrays are contiguous, the points of
// all data sets form one sequence, data set after data set.
#ifndef ZSCAN_ZSCAN_H
#define ZSCAN_ZSCAN_H

namespace zscan {

// Arguments, in order:
//  centered_x   [num_x_pts*num_datasets] scan positions relative to the centre, mm
//  y_data       [num_x_pts*num_datasets] measured normalised transmittance
//  populations  [n_pop] initial level populations N0..N4 (cm^-3), at least 5
//  residuals    [n_res] out: y_data - model at the fitted parameters
//  error        out: weighted residual norm sqrt(sum w_p (y_p - model_p)^2)
//  t_slices, z_slices   time slices across the pulse, depth slabs (>= 2 each)
//  sample_width thickness (cm); tau pulse duration parameter (s)
//  wavelength (m), w0 beam waist radius (m), M2 beam quality factor
//  pulse_energy [num_datasets] pulse energy of each data set (J)
//  spec_pars    [8] in/out: start vector; fitted entries hold the fit on return
//  core_indices [n_fit] 1-based positions (1..8) in spec_pars of the fitted entries
//  n_fit, num_x_pts (>= 5), num_datasets (>= 1), n_pop, n_res (<= points)
// With n_fit < 1 or n_fit > points nothing can be fitted: spec_pars keeps the
// start vector and the error is the weighted norm there. A call whose inputs
// would be read outside their arrays (num_x_pts < 5, num_datasets < 1, a slice
// count below 2, n_pop < 5, an index outside 1..8), whose working storage
// cannot be obtained, or that this thread's interrupt check stopped
// (interrupt.h), leaves spec_pars unchanged and sets the error and the
// residuals to NaN; run_fit_core (fit_core.h) says which. At most
// min(n_res, points) residuals are written.
void fit_core(const double* centered_x, const double* y_data,
              const double* populations, double* residuals, double* error,
              const int* t_slices, const int* z_slices,
              const double* sample_width, const double* tau,
              const double* wavelength, const double* w0, const double* M2,
              const double* pulse_energy, double* spec_pars,
              const int* core_indices, const int* n_fit, const int* num_x_pts,
              const int* num_datasets, const int* n_pop, const int* n_res);

// Normalised open-aperture transmittance of the n_points points of one data
// set. Every point sends the pulse, time slice by time slice, through
// z_slices slabs of the sample: in each slab the five level populations evolve
// for one time step under the light that reaches it, then the slab absorbs
// that light according to its populations. Transmitted and incident on-axis
// intensities are summed over the pulse; their ratios are shifted so that the
// mean of the five first and five last ratios becomes 1.0.
//
// Arguments, in order:
//  out          [n_points] out: model transmittance of every point
//  positions    [n_points] scan positions of the data set; only their number
//               matters
//  n_points     number of points (>= 5)
//  depth_grid   [z_slices] depths of the slabs, depth_grid[0] = 0.0; the slab
//               thickness is depth_grid[1]
//  z_slices     number of slabs (>= 2)
//  time_grid    [t_slices] times of the slices; the time step is
//               time_grid[1] - time_grid[0]
//  t_slices     number of time slices (>= 2)
//  populations  [>= 5] initial populations N0..N4 of every slab
//  intensity    [n_points * t_slices] front-face on-axis intensity, point
//               index fastest: point i at slice j is intensity[i + n_points*j]
//  frequency    optical frequency (Hz)
//  spec_pars    [8] cross-sections of levels 0, 1, 3 and lifetimes of the
//               transitions 1->0, 1->3, 2->1, 3->0, 4->3
// The model's per-thread coefficients are rewritten first, so a call never
// depends on an earlier one. With n_points < 5, t_slices < 2 or
// z_slices < 2, or when the call's working storage cannot be obtained, every
// entry of out (if any) is set to NaN.
void transmittance_model(double* out, const double* positions,
                         const int* n_points, const double* depth_grid,
                         const int* z_slices, const double* time_grid,
                         const int* t_slices, const double* populations,
                         const double* intensity, const double* frequency,
                         const double* spec_pars);

}  // namespace zscan

#endif  // ZSCAN_ZSCAN_H
