// Fit core entry: prepares everything that stays fixed while the parameters
// vary (positions in metres, Rayleigh range, frequency, depth and time grids,
// front-face intensities), runs one least-squares fit of the transmittance
// model and hands back the residuals and the error. Relies on the beam and
// grid routines, the transmittance model and the least-squares fit.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "zscan/beam.h"
#include "zscan/least_squares_fit.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {

// The rules the core refuses, on the counts it is given: the arrays it
// receives without a length are taken to be as long as the counts say. More
// fitted parameters than points is not refused (nothing is fitted then), and
// the wavelength and M2 are computed with as given.
bool inputs_valid(const int* t_slices, const int* z_slices,
                  const int* core_indices, const int* n_fit,
                  const int* num_x_pts, const int* num_datasets,
                  const int* n_pop) {
  FitShape shape;
  shape.num_x_pts = *num_x_pts;
  shape.num_datasets = *num_datasets;
  const long long points = static_cast<long long>(*num_x_pts) * *num_datasets;
  shape.x_length = points;
  shape.y_length = points;
  shape.pulse_energy_length = *num_datasets;
  shape.spec_pars_length = kSpecPars;
  shape.populations_length = *n_pop;
  shape.t_slices = *t_slices;
  shape.z_slices = *z_slices;
  shape.n_fit = 0;
  shape.wavelength = 1.0;
  shape.M2 = 1.0;
  shape.fit_indices = core_indices;
  shape.n_indices = *n_fit;
  return check_fit_inputs(shape) == InputRule::ok;
}

// Bytes of working storage one call holds at its peak: the call's own
// arrays, the fit's context and minimiser work arrays, and the slab
// populations of every thread of a model evaluation. Saturates instead of
// wrapping.
std::uint64_t working_storage_bytes(int t_slices, int z_slices, int n_fit,
                                    int num_x_pts, int num_datasets,
                                    int n_pop) {
  using U = std::uint64_t;
  const U m = static_cast<U>(num_x_pts) * static_cast<U>(num_datasets);
  const U t = static_cast<U>(t_slices), z = static_cast<U>(z_slices);
  const U n = static_cast<U>(std::max(n_fit, 0));
  const U workers = static_cast<U>(std::max(1, std::min(model_threads(), num_x_pts)));
  // scan positions, copy of y_data, residuals, model values; populations;
  // depth and time grids; fitted values.
  U doubles = saturating_add(4 * m + static_cast<U>(n_pop) + n, saturating_add(z, t));
  doubles = saturating_add(doubles, saturating_mul(m, t));  // intensity grid
  if (n >= 1 && n <= m) {  // the minimiser's real work array
    doubles = saturating_add(doubles, saturating_add(m, saturating_mul(n, 2 * m + 5)));
  }
  doubles = saturating_add(doubles, saturating_mul(saturating_mul(z, kLevels), workers));
  const U ints = 2 * n;  // the context's copy of core_indices, the integer work array
  return saturating_add(saturating_mul(doubles, sizeof(double)), ints * sizeof(int));
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
  // Storage beyond what the process may use is refused rather than obtained
  // on credit and then filled until the kernel stops the process.
  if (working_storage_bytes(*t_slices, *z_slices, *n_fit, *num_x_pts, *num_datasets,
                            *n_pop) > usable_memory_bytes()) {
    return Status::out_of_memory;
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
