// Model transmittance at any positions from the experiment's settings: the
// same beam, grids, intensities and point ratios as a fit, normalised on the
// wings of the measured scan. Relies on the beam and grid routines, the point
// ratios, this thread's model coefficients and the memory limit.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "zscan/beam.h"
#include "zscan/model_state.h"
#include "zscan/point_ratios.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {

bool any_nan(const double* values, int n) {
  for (int i = 0; i < n; ++i) {
    if (std::isnan(values[i])) return true;
  }
  return false;
}

bool inputs_valid(const Experiment& e, const ScanPoints& p, const double* spec_pars,
                  const double* out) {
  if (out == nullptr || spec_pars == nullptr || e.populations == nullptr ||
      p.positions == nullptr || p.wing_positions == nullptr || p.n_points < 1) {
    return false;
  }
  // The measured scan is one data set whose wings set the baseline.
  FitShape shape = single_scan_shape(p.n_wing, e.t_slices, e.z_slices);
  shape.wavelength = e.wavelength;
  shape.M2 = e.M2;
  if (check_fit_inputs(shape) != InputRule::ok) return false;
  const double settings[] = {e.wavelength, e.w0, e.M2, e.tau, e.sample_width, p.pulse_energy};
  return !any_nan(settings, sizeof settings / sizeof settings[0]) &&
         !any_nan(e.populations, kLevels) && !any_nan(spec_pars, kSpecPars) &&
         !any_nan(p.positions, p.n_points) && !any_nan(p.wing_positions, p.n_wing);
}

// Bytes one call holds at its peak (saturating): the evaluated positions in
// millimetres and metres, their ratios and intensities, the grids and the slab
// populations of every worker.
std::uint64_t working_storage_bytes(const Experiment& e, std::uint64_t points) {
  using U = std::uint64_t;
  const U t = static_cast<U>(e.t_slices), z = static_cast<U>(e.z_slices);
  const U workers = static_cast<U>(model_threads() > 0 ? model_threads() : 1);
  U doubles = saturating_mul(points, saturating_add(t, 3));
  doubles = saturating_add(doubles, saturating_add(z, t));
  doubles = saturating_add(doubles, saturating_mul(saturating_mul(z, kLevels), workers));
  return saturating_mul(doubles, sizeof(double));
}

// The points evaluated: the requested positions, followed by the wing points
// of the measured scan that are not among them.
struct EvaluatedPoints {
  std::vector<double> positions_mm;
  int head[kWingPoints] = {};  // indices of the first wing points among positions_mm
  int tail[kWingPoints] = {};  // indices of the last wing points

  int index_of(double x) {
    for (std::size_t i = 0; i < positions_mm.size(); ++i) {
      if (positions_mm[i] == x) return static_cast<int>(i);
    }
    positions_mm.push_back(x);
    return static_cast<int>(positions_mm.size() - 1);
  }
};

// The positions to evaluate and the grids, intensities and ratios of one
// call. Throws std::bad_alloc or std::length_error when storage cannot be
// obtained.
struct Evaluation {
  EvaluatedPoints points;
  ModelGrids grids;
  std::vector<double> metres, intensity, ratios;

  Evaluation(const Experiment& e, const ScanPoints& p, std::size_t most_points) {
    points.positions_mm.reserve(most_points);
    points.positions_mm.assign(p.positions, p.positions + p.n_points);
    for (int k = 0; k < kWingPoints; ++k) {
      points.head[k] = points.index_of(p.wing_positions[k]);
      points.tail[k] = points.index_of(p.wing_positions[p.n_wing - kWingPoints + k]);
    }
    const std::size_t count = points.positions_mm.size();
    metres.resize(count);
    ratios.resize(count);
    intensity.resize(count * static_cast<std::size_t>(e.t_slices));
    grids = make_grids(e);
  }
};

Status evaluate(const Experiment& e, const ScanPoints& p, const double* spec_pars,
                double* out) {
  const std::uint64_t most_points = static_cast<std::uint64_t>(p.n_points) + 2 * kWingPoints;
  if (working_storage_bytes(e, most_points) > usable_memory_bytes()) {
    return Status::out_of_memory;
  }
  // Asked once before the work, as a fit asks before every model evaluation:
  // during the evaluation only the calling thread asks, and the other workers
  // may have taken every point by then.
  if (interrupt_requested()) return Status::interrupted;
  std::unique_ptr<Evaluation> v;
  try {
    v.reset(new Evaluation(e, p, static_cast<std::size_t>(most_points)));
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }
  const int n = static_cast<int>(v->metres.size());
  fill_scan_positions(v->metres.data(), v->points.positions_mm.data(), n);
  ScanSet scan;
  scan.positions = v->metres.data();
  scan.pulse_energy = &p.pulse_energy;
  scan.num_x_pts = n;
  scan.num_datasets = 1;
  fill_intensity_grid(v->intensity.data(), v->grids, scan);

  write_model_coefficients(&v->grids.frequency, spec_pars);
  SliceGrid grid;
  grid.t_slices = e.t_slices;
  grid.z_slices = e.z_slices;
  grid.dt = v->grids.times[1] - v->grids.times[0];
  grid.dz = v->grids.depth[1];  // the depth grid starts at 0.0
  grid.populations = e.populations;
  const Status status = point_ratios(grid, v->intensity.data(), n, v->ratios.data());
  if (status != Status::ok) return status;

  double head[kWingPoints], tail[kWingPoints];
  for (int k = 0; k < kWingPoints; ++k) {
    head[k] = v->ratios[static_cast<std::size_t>(v->points.head[k])];
    tail[k] = v->ratios[static_cast<std::size_t>(v->points.tail[k])];
  }
  const double shift = wing_shift(head, tail);
  for (int i = 0; i < p.n_points; ++i) out[i] = v->ratios[static_cast<std::size_t>(i)] + shift;
  return Status::ok;
}

}  // namespace

Status scan_transmittance(const Experiment& experiment, const ScanPoints& points,
                          const double* spec_pars, double* out) {
  Status status = Status::invalid_input;
  if (inputs_valid(experiment, points, spec_pars, out)) {
    status = evaluate(experiment, points, spec_pars, out);
  }
  if (status != Status::ok && out != nullptr) {
    for (int i = 0; i < points.n_points; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
  }
  return status;
}

}  // namespace zscan
