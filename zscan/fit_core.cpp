// Fit core entry: prepares everything that stays fixed while the parameters
// vary (positions in metres, beam, frequency, depth and time grids,
// front-face intensities), runs one least-squares fit of the transmittance
// model and hands back the residuals and the error. Relies on the beam and
// grid routines, the transmittance model, the least-squares fit and the
// memory limit.
#include <algorithm>
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

// fit_core's arguments, read once.
struct CoreCall {
  Experiment experiment;
  const double* centered_x = nullptr;    // [points] mm
  const double* y_data = nullptr;        // [points]
  const double* pulse_energy = nullptr;  // [num_datasets] J
  const int* core_indices = nullptr;     // [n_fit] 1-based
  int n_fit = 0;
  int num_x_pts = 0;
  int num_datasets = 0;
  int n_pop = 0;  // length of experiment.populations
  int n_res = 0;  // residuals wanted
};

// The rules the core refuses, on the counts it is given: the arrays it
// receives without a length are taken to be as long as the counts say. More
// fitted parameters than points is not refused (nothing is fitted then), and
// the wavelength and M2 are computed with as given.
bool inputs_valid(const CoreCall& c) {
  FitShape shape;
  shape.num_x_pts = c.num_x_pts;
  shape.num_datasets = c.num_datasets;
  const long long points = static_cast<long long>(c.num_x_pts) * c.num_datasets;
  shape.x_length = points;
  shape.y_length = points;
  shape.pulse_energy_length = c.num_datasets;
  shape.spec_pars_length = kSpecPars;
  shape.populations_length = c.n_pop;
  shape.t_slices = c.experiment.t_slices;
  shape.z_slices = c.experiment.z_slices;
  shape.n_fit = 0;
  shape.wavelength = 1.0;
  shape.M2 = 1.0;
  shape.fit_indices = c.core_indices;
  shape.n_indices = c.n_fit;
  return check_fit_inputs(shape) == InputRule::ok;
}

// Bytes of working storage one call holds at its peak: the call's own
// arrays, the fit's context and minimiser work arrays, and the slab
// populations of every thread of a model evaluation. Saturates instead of
// wrapping.
std::uint64_t working_storage_bytes(const CoreCall& c) {
  using U = std::uint64_t;
  const U m = static_cast<U>(c.num_x_pts) * static_cast<U>(c.num_datasets);
  const U t = static_cast<U>(c.experiment.t_slices), z = static_cast<U>(c.experiment.z_slices);
  const U n = static_cast<U>(std::max(c.n_fit, 0));
  const U workers = static_cast<U>(std::max(1, std::min(model_threads(), c.num_x_pts)));
  // scan positions, copy of y_data, residuals, model values; populations;
  // depth and time grids; fitted values.
  U doubles = saturating_add(4 * m + static_cast<U>(c.n_pop) + n, saturating_add(z, t));
  doubles = saturating_add(doubles, saturating_mul(m, t));  // intensity grid
  if (n >= 1 && n <= m) {  // the minimiser's real work array
    doubles = saturating_add(doubles, saturating_add(m, saturating_mul(n, 2 * m + 5)));
  }
  doubles = saturating_add(doubles, saturating_mul(saturating_mul(z, kLevels), workers));
  const U ints = 2 * n;  // the context's copy of core_indices, the integer work array
  return saturating_add(saturating_mul(doubles, sizeof(double)), ints * sizeof(int));
}

// The fit's own copies of the data and the grids it runs on.
struct Prepared {
  ModelGrids grids;
  std::vector<double> scan_positions, y_copy, population_copy, intensity_grid, residuals;
};

// Throws std::bad_alloc or std::length_error when storage cannot be obtained.
void prepare(const CoreCall& c, Prepared& p) {
  const int m = c.num_x_pts * c.num_datasets;
  const std::size_t points = static_cast<std::size_t>(m);
  p.scan_positions.resize(points);
  p.y_copy.assign(c.y_data, c.y_data + points);
  p.population_copy.assign(c.experiment.populations, c.experiment.populations + c.n_pop);
  p.grids = make_grids(c.experiment);
  const std::size_t slices = static_cast<std::size_t>(c.experiment.t_slices);
  if (points > std::numeric_limits<std::size_t>::max() / slices) throw std::bad_alloc();
  p.intensity_grid.resize(points * slices);
  p.residuals.resize(points);

  fill_scan_positions(p.scan_positions.data(), c.centered_x, m);
  ScanSet scan;
  scan.positions = p.scan_positions.data();
  scan.pulse_energy = c.pulse_energy;
  scan.num_x_pts = c.num_x_pts;
  scan.num_datasets = c.num_datasets;
  fill_intensity_grid(p.intensity_grid.data(), p.grids, scan);
}

Status prepare_and_fit(const CoreCall& c, double* spec_pars, double* residuals,
                       double* error) {
  if (!inputs_valid(c)) return Status::invalid_input;
  // Storage beyond what the process may use is refused rather than obtained
  // on credit and then filled until the kernel stops the process.
  if (working_storage_bytes(c) > usable_memory_bytes()) return Status::out_of_memory;
  Prepared p;
  try {
    prepare(c, p);
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }

  FitData data;
  data.model_function = transmittance_model;
  data.scan_positions = p.scan_positions.data();
  data.y_data = p.y_copy.data();
  data.intensity_grid = p.intensity_grid.data();
  data.populations = p.population_copy.data();
  data.depth_grid = p.grids.depth.data();
  data.time_grid = p.grids.times.data();
  data.frequency = p.grids.frequency;
  data.num_x_pts = c.num_x_pts;
  data.num_datasets = c.num_datasets;
  data.t_slices = c.experiment.t_slices;
  data.z_slices = c.experiment.z_slices;
  double fit_error = 0.0;
  const Status status =
      least_squares_fit(data, c.core_indices, c.n_fit, spec_pars, p.residuals.data(), &fit_error);
  if (status != Status::ok) return status;

  *error = fit_error;
  const int n_out = static_cast<int>(std::min<std::size_t>(std::max(c.n_res, 0), p.residuals.size()));
  std::copy(p.residuals.begin(), p.residuals.begin() + n_out, residuals);
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
  CoreCall c;
  c.experiment = {*wavelength,   *w0,       *M2,       *tau,
                  *sample_width, *t_slices, *z_slices, populations};
  c.centered_x = centered_x;
  c.y_data = y_data;
  c.pulse_energy = pulse_energy;
  c.core_indices = core_indices;
  c.n_fit = *n_fit;
  c.num_x_pts = *num_x_pts;
  c.num_datasets = *num_datasets;
  c.n_pop = *n_pop;
  c.n_res = *n_res;
  const Status status = prepare_and_fit(c, spec_pars, residuals, error);
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
