// The whole-beam model's public entry; see zscan.h. Checks the inputs and
// the memory the evaluation may need, builds one table of the local
// transmittance up to the largest peak intensity of the request and reads
// every point of every scan from it. Relies on the inputs, the resolution
// ladder, the table and the scan evaluation, and on the memory limit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>

#include "zscan/whole_beam_inputs.h"
#include "zscan/whole_beam_node.h"
#include "zscan/whole_beam_scan.h"
#include "zscan/whole_beam_table.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {

// No error is reported below this share of the tolerance.
constexpr double kErrorFloor = 1e-3;
// Most nodes a table may hold (its intervals' limit times their largest
// degree, with checks), for the memory estimate.
constexpr double kMostNodes = 64.0 * 20.0;

long long total_points(const WholeBeamRequest& r) {
  long long total = 0;
  for (int s = 0; s < r.n_scans; ++s) total += r.scans[s].n_points;
  return total;
}

// Bytes an evaluation may hold at its peak: the ladder's depth grids, the
// table and every worker's integrator storage.
double working_storage_bytes(const Ladder& ladder) {
  double bytes = 0.0;
  for (const DepthGrid& g : ladder.depth) bytes += 8.0 * (g.degree + 2.0) * (g.degree + 1.0);
  bytes += kMostNodes * (sizeof(NodeValue) + 8.0 + 8.0 * 24.0);
  const int workers = std::max(1, model_threads());
  bytes += workers * table_worker_bytes(ladder);
  return bytes;
}

Status evaluate(const WholeBeamExperiment& e, const double* spec_pars,
                const WholeBeamRequest& r, double* values, double* errors,
                WholeBeamStats& stats) {
  const double tolerance = r.tolerance;
  const double floor = kErrorFloor * tolerance;
  bool transparent = false;
  const Absorber absorber = make_absorber(e, spec_pars, &transparent);
  const double max_intensity = largest_peak_intensity(e, r);
  if (transparent || max_intensity == 0.0) {
    if (interrupt_requested()) return Status::interrupted;
    const long long n = total_points(r);
    for (long long k = 0; k < n; ++k) {
      values[k] = 1.0;
      errors[k] = floor;
    }
    return Status::ok;
  }
  try {
    const Ladder ladder = make_ladder(tolerance, absorber.linear_depth);
    if (working_storage_bytes(ladder) > static_cast<double>(usable_memory_bytes())) {
      return Status::out_of_memory;
    }
    Table table;
    const Status status = build_table(absorber, ladder, max_intensity, tolerance, table);
    stats.table_nodes = table.counts.nodes;
    stats.table_intervals = static_cast<int>(table.intervals.size());
    stats.table_rounds = table.counts.rounds;
    stats.integrations = table.counts.integrations;
    stats.integrator_steps = table.counts.steps;
    stats.failed_integrations = table.counts.failed_integrations;
    stats.failed_nodes = table.counts.failed_nodes;
    if (status != Status::ok) return status;
    scan_values(e, r, table, floor, values, errors);
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }
  return Status::ok;
}

}  // namespace

Status whole_beam_transmittance(const WholeBeamExperiment& experiment, const double* spec_pars,
                                const WholeBeamRequest& request, double* values,
                                double* errors, WholeBeamStats* stats) {
  WholeBeamStats counts;
  Status status = Status::invalid_input;
  if (whole_beam_inputs_valid(experiment, spec_pars, request, values, errors)) {
    status = evaluate(experiment, spec_pars, request, values, errors, counts);
  }
  if (status != Status::ok && request.scans != nullptr && request.n_scans > 0) {
    long long k = 0;
    for (int s = 0; s < request.n_scans; ++s) {
      const int n = request.scans[s].n_points;
      for (int i = 0; i < n; ++i, ++k) {
        if (values != nullptr) values[k] = std::numeric_limits<double>::quiet_NaN();
        if (errors != nullptr) errors[k] = std::numeric_limits<double>::infinity();
      }
    }
  }
  if (stats != nullptr) *stats = counts;
  return status;
}

}  // namespace zscan
