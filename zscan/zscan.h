// Public interface of the z-scan model and fit.
//
// fit_core runs one least-squares fit of the chosen spectroscopic parameters
// to measured open-aperture z-scan data, from one start vector. Every
// argument is passed by address; arrays are contiguous, the points of all
// data sets form one sequence, data set after data set.
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
void fit_core(const double* centered_x, const double* y_data,
              const double* populations, double* residuals, double* error,
              const int* t_slices, const int* z_slices,
              const double* sample_width, const double* tau,
              const double* wavelength, const double* w0, const double* M2,
              const double* pulse_energy, double* spec_pars,
              const int* core_indices, const int* n_fit, const int* num_x_pts,
              const int* num_datasets, const int* n_pop, const int* n_res);

}  // namespace zscan

#endif  // ZSCAN_ZSCAN_H
