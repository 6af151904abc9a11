// The whole-beam model's public entries; see zscan.h. Checks the inputs,
// the stationarity of the initial state and the sample's optical depth,
// and the memory the evaluation may need; builds one table of the local
// transmittance (and of its derivatives) up to the largest peak intensity of
// the request and reads every point of every scan from it. A sample
// thicker than kDepthCut is integrated to that linear optical depth: what
// lies beyond sees at most the light that reaches it, e^-kDepthCut of the
// transmitted share, and the bound on its effect joins the error estimate.
// Relies on the inputs, the absorber, the resolution ladder, the table and
// the scan evaluation, and on the memory limit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "zscan/whole_beam_absorber.h"
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
constexpr double kMostNodes = 64.0 * 22.0;
// Samples are integrated to this linear optical depth at most.
constexpr double kDepthCut = 60.0;

long long total_points(const WholeBeamRequest& r) {
  long long total = 0;
  for (int s = 0; s < r.n_scans; ++s) total += r.scans[s].n_points;
  return total;
}

// Bytes an evaluation may hold at its peak: the ladder's depth grids, the
// table and every worker's integrator storage.
double working_storage_bytes(const Ladder& ladder, int derivatives) {
  double bytes = 0.0;
  for (const DepthGrid& g : ladder.depth) bytes += 8.0 * (g.degree + 6.0) * (g.degree + 1.0);
  bytes += kMostNodes * (sizeof(NodeValue) + 8.0 * (1.0 + derivatives) + 8.0 * 24.0 * (1.0 + derivatives));
  const int workers = std::max(1, model_threads());
  bytes += workers * table_worker_bytes(ladder, derivatives);
  return bytes;
}

// The experiment as integrated: thinned to kDepthCut when thicker.
WholeBeamExperiment integrated_experiment(const WholeBeamExperiment& e, double optical_depth) {
  WholeBeamExperiment out = e;
  if (optical_depth > kDepthCut) out.sample_width = e.sample_width * (kDepthCut / optical_depth);
  return out;
}

// The largest effect on Te / Te_lin of the sample beyond kDepthCut: its
// populations move by at most twice the excitations the light reaching the
// cut can make (a share e^-kDepthCut Tloc/Te_lin of the pulse), and each
// unit of them changes the optical depth by at most the sample's largest
// depth.
double beyond_cut_bound(const Absorber& full, const Table& table, const Pulse& pulse) {
  double largest_value = 0.0;
  for (const NodeValue& v : table.values) largest_value = std::max(largest_value, std::fabs(v.value));
  double rate = 0.0, depth = 0.0;
  for (int l = 0; l < 3; ++l) {
    rate = std::max(rate, full.rate_per_intensity[l] * table.scale.max_intensity);
    depth = std::max(depth, full.depth[l]);
  }
  return 2.0 * depth * rate * pulse.integral * std::exp(-kDepthCut) * largest_value;
}

struct Evaluation {
  const WholeBeamExperiment& e;
  const double* spec_pars;
  const WholeBeamRequest& r;
  const WholeBeamOutput& out;
  WholeBeamStats& stats;
};

void fill_trivial(const Evaluation& v, double floor) {
  const long long n = total_points(v.r);
  for (long long k = 0; k < n; ++k) {
    v.out.values[k] = 1.0;
    v.out.errors[k] = floor;
  }
  for (long long k = 0; k < n * v.r.n_parameters; ++k) v.out.derivatives[k] = 0.0;
}

Status evaluate(const Evaluation& v) {
  const double tolerance = v.r.tolerance;
  const double floor = kErrorFloor * tolerance;
  const AbsorberOutcome full = make_absorber(v.e, v.spec_pars);
  if (full.roles.empty_drained >= 0) {
    v.stats.drained_level = full.roles.empty_drained;
    v.stats.drain_lifetimes = full.roles.lifetimes;
    return Status::not_stationary;
  }
  const double optical_depth = full.transparent ? 0.0 : full.absorber.linear_depth;
  v.stats.optical_depth = optical_depth;
  if (!(optical_depth <= kWholeBeamMaxOpticalDepth)) return Status::too_thick;
  const double max_intensity = largest_peak_intensity(v.e, v.r);
  if (full.transparent || max_intensity == 0.0) {
    if (interrupt_requested()) return Status::interrupted;
    fill_trivial(v, floor);
    return Status::ok;
  }
  const WholeBeamExperiment integrated = integrated_experiment(v.e, optical_depth);
  const AbsorberOutcome cut = make_absorber(integrated, v.spec_pars);
  const Absorber& absorber = cut.absorber;
  // The spectroscopic parameters go through the table, the beam's through
  // the peak intensity.
  DerivativeSlots slots;
  std::vector<Absorber> derivatives;
  for (int k = 0; k < kWholeBeamParameters; ++k) slots.slot[k] = -1;
  for (int p = 0; p < v.r.n_parameters; ++p) {
    const int id = static_cast<int>(v.r.parameters[p]);
    if (id >= kSpecPars) continue;
    slots.slot[id] = static_cast<int>(derivatives.size());
    derivatives.push_back(absorber_derivative(integrated, v.spec_pars, cut.roles, id));
  }
  const Ladder ladder = make_ladder(tolerance, absorber, max_intensity, v.e.pulse_shape);
  if (working_storage_bytes(ladder, static_cast<int>(derivatives.size())) >
      static_cast<double>(usable_memory_bytes())) {
    return Status::out_of_memory;
  }
  double largest_depth = 0.0;
  for (double c : absorber.depth) largest_depth = std::max(largest_depth, c);
  TableRequest request;
  request.scale = table_scale(absorber, max_intensity, ladder.pulse);
  request.tolerance = tolerance;
  request.derivatives = &derivatives;
  // A population off by p changes the absorption of its layer by up to the
  // largest depth times p; the light crosses about one linear optical depth
  // of the sample, so a share 1 / max(1, D) of that reaches the values.
  request.physics_margin =
      tolerance / std::max(1.0, largest_depth / std::max(1.0, absorber.linear_depth));
  Table table;
  const Status status = build_table(absorber, ladder, request, table);
  v.stats.table_nodes = table.counts.nodes;
  v.stats.table_intervals = static_cast<int>(table.intervals.size());
  v.stats.table_rounds = table.counts.rounds;
  v.stats.integrations = table.counts.integrations;
  v.stats.integrator_steps = table.counts.steps;
  v.stats.failed_integrations = table.counts.failed_integrations;
  v.stats.failed_nodes = table.counts.failed_nodes;
  if (status == Status::left_physics) {
    v.stats.physics_level = table.breach.level;
    v.stats.physics_population = table.breach.population;
    v.stats.physics_intensity = table.breach.intensity;
  }
  if (status != Status::ok) return status;
  double extra = 0.0;
  if (optical_depth > kDepthCut) extra = beyond_cut_bound(full.absorber, table, ladder.pulse);
  scan_values(v.e, v.r, table, slots, floor, v.out);
  if (extra > 0.0) {
    const long long n = total_points(v.r);
    for (long long k = 0; k < n; ++k) v.out.errors[k] += extra;
  }
  return Status::ok;
}

}  // namespace

Status whole_beam_evaluate(const WholeBeamExperiment& experiment, const double* spec_pars,
                           const WholeBeamRequest& request, const WholeBeamOutput& output) {
  WholeBeamStats counts;
  Status status = Status::invalid_input;
  if (whole_beam_inputs_valid(experiment, spec_pars, request, output)) {
    try {
      status = evaluate(Evaluation{experiment, spec_pars, request, output, counts});
    } catch (const std::bad_alloc&) {
      status = Status::out_of_memory;
    } catch (const std::length_error&) {
      status = Status::out_of_memory;
    }
  }
  if (status != Status::ok && request.scans != nullptr && request.n_scans > 0) {
    long long k = 0;
    for (int s = 0; s < request.n_scans; ++s) {
      const int n = request.scans[s].n_points;
      for (int i = 0; i < n; ++i, ++k) {
        if (output.values != nullptr) output.values[k] = std::numeric_limits<double>::quiet_NaN();
        if (output.errors != nullptr) output.errors[k] = std::numeric_limits<double>::infinity();
      }
    }
    const int parameters = std::max(0, std::min(request.n_parameters, kWholeBeamParameters));
    if (output.derivatives != nullptr && k > 0) {
      for (long long i = 0; i < k * parameters; ++i)
        output.derivatives[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  if (output.stats != nullptr) *output.stats = counts;
  return status;
}

Status whole_beam_transmittance(const WholeBeamExperiment& experiment, const double* spec_pars,
                                const WholeBeamRequest& request, double* values, double* errors,
                                WholeBeamStats* stats) {
  WholeBeamRequest plain = request;
  if (request.n_parameters != 0) {
    // Derivatives need somewhere to go: whole_beam_evaluate.
    plain.n_parameters = -1;
  }
  WholeBeamOutput output;
  output.values = values;
  output.errors = errors;
  output.stats = stats;
  return whole_beam_evaluate(experiment, spec_pars, plain, output);
}

}  // namespace zscan
