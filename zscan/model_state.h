// Per-thread state of the z-scan model and fit: the model coefficients that
// the integrator's right-hand sides read, and the fit context that the
// minimiser's residual function reads. Both callbacks have fixed signatures
// with no room for parameters, so each thread keeps one instance of each
// record, zero-filled at the thread's first access and reached only through
// its accessor.
#ifndef ZSCAN_MODEL_STATE_H
#define ZSCAN_MODEL_STATE_H

#include <vector>

#include "zscan/zscan.h"

namespace zscan {

// Written by transmittance_model at the start of every call, in field order;
// read by rate_equations and attenuation_rhs.
struct ModelCoefficients {
  double photons_per_joule = 0.0;  // 1/(h nu) = 1.5091901796421518e33 / nu
  double sigma_0 = 0.0;            // cross-section of level 0 (0 -> 1), spec_pars[0]
  double sigma_1 = 0.0;            // cross-section of level 1 (1 -> 2), spec_pars[1]
  double sigma_2 = 0.0;            // cross-section of level 3 (3 -> 4), spec_pars[2]
  double k_10 = 0.0;               // rate of the decay 1 -> 0, 1.0 / spec_pars[3]
  double k_13 = 0.0;               // rate of the transfer 1 -> 3, 1.0 / spec_pars[4]
  double k_21 = 0.0;               // rate of the decay 2 -> 1, 1.0 / spec_pars[5]
  double k_30 = 0.0;               // rate of the decay 3 -> 0, 1.0 / spec_pars[6]
  double k_43 = 0.0;               // rate of the decay 4 -> 3, 1.0 / spec_pars[7]
};

// The signature of transmittance_model; the fit evaluates whichever model
// function it is handed.
using ModelFunction = void (*)(double* out, const double* positions,
                               const int* n_points, const double* depth_grid,
                               const int* z_slices, const double* time_grid,
                               const int* t_slices, const double* populations,
                               const double* intensity, const double* frequency,
                               const double* spec_pars);

// The data and grids of one fit, fixed while the parameters vary: views of
// arrays owned by the fit's caller, and their extents.
struct FitData {
  ModelFunction model_function = nullptr;  // the model evaluated per data set
  const double* scan_positions = nullptr;  // [num_x_pts*num_datasets] positions, metres
  const double* y_data = nullptr;          // [num_x_pts*num_datasets] measured values
  const double* intensity_grid = nullptr;  // [num_x_pts, t_slices, num_datasets], point fastest
  const double* populations = nullptr;     // [>= kLevels] initial level populations
  const double* depth_grid = nullptr;      // [z_slices]
  const double* time_grid = nullptr;       // [t_slices]
  double frequency = 0.0;                  // optical frequency nu = c / wavelength
  int num_x_pts = 0;                       // points per data set
  int num_datasets = 0;                    // number of data sets
  int t_slices = 0;                        // extent of time_grid
  int z_slices = 0;                        // extent of depth_grid
};

// Set up by least_squares_fit for the duration of one fit and read by
// weighted_residuals. model_values and core_indices are owned. At the end of
// a fit every view is null, the owned arrays are released, n_fit, t_slices
// and z_slices are 0 and model_function is null; frequency, num_x_pts and
// num_datasets keep their last values.
struct FitContext {
  FitData data;
  int n_fit = 0;                      // number of fitted parameters
  std::vector<double> model_values;   // [num_x_pts*num_datasets] model of every point
  std::vector<int> core_indices;      // [n_fit] 1-based positions in spec_pars
  const double* spec_pars = nullptr;  // [kSpecPars] the start vector of the fit
};

// This thread's instances.
ModelCoefficients& model_coefficients();

// Writes this thread's model coefficients, in field order, from the optical
// frequency and the eight spectroscopic parameters.
void write_model_coefficients(const double* frequency, const double* spec_pars);

FitContext& fit_context();

// Drops the views and owned arrays of this thread's fit context, sets n_fit
// and the slice counts to 0 and model_function to null; frequency and the
// point counts are kept.
void clear_fit_context();

}  // namespace zscan

#endif  // ZSCAN_MODEL_STATE_H
