// Fit core entry: prepares everything that stays fixed while the parameters
// vary (positions in metres, Rayleigh range, frequency, depth and time grids,
// front-face intensities), runs one least-squares fit of the transmittance
// model and hands back the residuals and the error. Relies on the beam and
// grid routines, the transmittance model and the least-squares fit.
#include "zscan/fit_core.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "zscan/beam.h"
#include "zscan/least_squares_fit.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {

// Points at either end of a data set that the model's baseline reads.
constexpr int kWingPoints = 5;
constexpr int kLevels = 5;
constexpr int kSpecPars = 8;

// The preconditions whose violation would read or write outside the arrays.
bool inputs_valid(const int* t_slices, const int* z_slices,
                  const int* core_indices, const int* n_fit,
                  const int* num_x_pts, const int* num_datasets,
                  const int* n_pop) {
  if (*num_x_pts < kWingPoints || *num_datasets < 1) return false;
  if (static_cast<long long>(*num_x_pts) * *num_datasets > INT_MAX) return false;
  if (*t_slices < 2 || *z_slices < 2 || *n_pop < kLevels) return false;
  for (int i = 0; i < *n_fit; ++i) {
    if (core_indices[i] < 1 || core_indices[i] > kSpecPars) return false;
  }
  return true;
}

Status prepare_and_fit(const double* centered_x, const double* y_data,
                       const double* populations, double* residuals,
                       double* error, const int* t_slices, const int* z_slices,
                       const double* sample_width, const double* tau,
                       const double* wavelength, const double* w0,
                       const double* M2, const double* pulse_energy,
                       double* spec_pars, const int* core_indices,
                       const int* n_fit, const int* num_x_pts,
                       const int* num_datasets, const int* n_pop,
                       const int* n_res) {
  if (!inputs_valid(t_slices, z_slices, core_indices, n_fit, num_x_pts,
                    num_datasets, n_pop)) {
    return Status::invalid_input;
  }
  const int m = *num_x_pts * *num_datasets;
  const std::size_t points = static_cast<std::size_t>(m);
  std::vector<double> scan_positions, y_copy, population_copy, depth_grid,
      time_grid, intensity_grid, fit_residuals;
  try {
    scan_positions.resize(points);
    y_copy.assign(y_data, y_data + points);
    population_copy.assign(populations, populations + *n_pop);
    depth_grid.resize(static_cast<std::size_t>(*z_slices));
    time_grid.resize(static_cast<std::size_t>(*t_slices));
    const std::size_t slices = static_cast<std::size_t>(*t_slices);
    if (points > std::numeric_limits<std::size_t>::max() / slices) {
      return Status::out_of_memory;
    }
    intensity_grid.resize(points * slices);
    fit_residuals.resize(points);
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }

  fill_scan_positions(scan_positions.data(), centered_x, &m);
  const double z0 = rayleigh_range(w0, M2, wavelength);
  const double frequency = optical_frequency(wavelength);
  fill_depth_grid(depth_grid.data(), sample_width, z_slices);
  fill_time_grid(time_grid.data(), tau, t_slices);
  fill_intensity_grid(intensity_grid.data(), scan_positions.data(),
                      time_grid.data(), pulse_energy, tau, w0, &z0, num_x_pts,
                      t_slices, num_datasets);

  double fit_error = 0.0;
  const Status status = least_squares_fit(
      scan_positions.data(), y_copy.data(), transmittance_model,
      depth_grid.data(), z_slices, time_grid.data(), t_slices,
      population_copy.data(), intensity_grid.data(), fit_residuals.data(),
      &frequency, spec_pars, num_x_pts, num_datasets, core_indices, n_fit,
      &fit_error);
  if (status != Status::ok) return status;

  *error = fit_error;
  const int n_out = std::min(std::max(*n_res, 0), m);
  std::copy(fit_residuals.begin(), fit_residuals.begin() + n_out, residuals);
  return Status::ok;
}

}  // namespace

Status run_fit_core(const double* centered_x, const double* y_data,
                    const double* populations, double* residuals, double* error,
                    const int* t_slices, const int* z_slices,
                    const double* sample_width, const double* tau,
                    const double* wavelength, const double* w0, const double* M2,
                    const double* pulse_energy, double* spec_pars,
                    const int* core_indices, const int* n_fit,
                    const int* num_x_pts, const int* num_datasets,
                    const int* n_pop, const int* n_res) {
  const Status status = prepare_and_fit(
      centered_x, y_data, populations, residuals, error, t_slices, z_slices,
      sample_width, tau, wavelength, w0, M2, pulse_energy, spec_pars,
      core_indices, n_fit, num_x_pts, num_datasets, n_pop, n_res);
  if (status != Status::ok) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    *error = nan;
    for (int i = 0; i < *n_res; ++i) residuals[i] = nan;
  }
  return status;
}

void fit_core(const double* centered_x, const double* y_data,
              const double* populations, double* residuals, double* error,
              const int* t_slices, const int* z_slices,
              const double* sample_width, const double* tau,
              const double* wavelength, const double* w0, const double* M2,
              const double* pulse_energy, double* spec_pars,
              const int* core_indices, const int* n_fit, const int* num_x_pts,
              const int* num_datasets, const int* n_pop, const int* n_res) {
  run_fit_core(centered_x, y_data, populations, residuals, error, t_slices,
               z_slices, sample_width, tau, wavelength, w0, M2, pulse_energy,
               spec_pars, core_indices, n_fit, num_x_pts, num_datasets, n_pop,
               n_res);
}

}  // namespace zscan
