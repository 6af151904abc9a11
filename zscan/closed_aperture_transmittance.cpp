// The closed-aperture model's public entry; see zscan.h. Checks the inputs,
// makes the absorber and the sample's optics in the local problem's units,
// picks the pulse's time rules (a coarse and a fine one, the union of their
// nodes the times at which the exit field is computed), builds the table of
// the exit field over peak intensity (none without populations: the closed
// forms serve directly) and evaluates every point by the Laguerre-Gauss
// modes. When a point's time-rule difference exceeds its share of the
// tolerance the next pair of rules is taken and the table rebuilt. The
// error of a point sums the modes' and the time rule's differences and the
// table's field error carried to T: a field error e changes the aperture's
// energy by at most 2 sqrt(P) e (P the point's energy relative to the
// linear one). Relies on the inputs, the absorber, the ladder, the field
// table, the modes and the aperture entries' shared rules.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "zscan/aperture_scans.h"
#include "zscan/closed_aperture_modes.h"
#include "zscan/closed_aperture_table.h"
#include "zscan/whole_beam_absorber.h"
#include "zscan/whole_beam_inputs.h"
#include "zscan/whole_beam_node.h"
#include "zscan/whole_beam_table.h"
#include "zscan/zscan.h"

namespace zscan {

namespace {

constexpr double kPi = 3.14159265358979323846;
// No error is reported below this share of the tolerance.
constexpr double kErrorFloor = 1e-3;
// Shares of the tolerance: the table's field error (nodes and
// interpolation each), the modes' and the time rule's differences.
constexpr double kFieldShare = 0.1;
constexpr double kModeShare = 0.3;
constexpr double kTimeShare = 0.3;
// The time rules' points, in pairs of neighbours; the first pair by the
// tolerance (kFirstRule at 1e-5, one further per factor 100 tighter).
constexpr int kTimePoints[] = {8, 12, 16, 24, 32, 48, 64, 96};
constexpr int kTimeRules = 8;
constexpr int kFirstRule = 2;

struct Evaluation {
  const WholeBeamExperiment& e;
  const double* spec_pars;
  const ClosedApertureOptics& optics;
  const ClosedApertureRequest& r;
  const ClosedApertureOutput& out;
  ClosedApertureStats& stats;
};

double total_population(const WholeBeamExperiment& e) {
  double total = 0.0;
  for (int l = 0; l < kLevels; ++l) total += e.populations[l];
  return total;
}

// The sample's optics in the local problem's units.
SampleOptics sample_optics(const WholeBeamExperiment& e, const ClosedApertureOptics& o,
                           bool populated) {
  SampleOptics s;
  const double length = e.sample_width;              // cm
  const double k = vacuum_wavenumber_cm(e);  // cm^-1
  const double total = total_population(e);
  s.two_photon = o.beta * length;
  s.kerr = (k * o.n2) * length;
  s.populated = populated;
  if (populated) {
    s.refraction[0] = (o.sigma_r1 * total) * length;
    s.refraction[1] = (o.sigma_r3 * total) * length;
    s.excitation = two_photon_excitation(e, o.beta, total);
  }
  return s;
}

Status evaluate(const Evaluation& v) {
  const double tolerance = v.r.tolerance;
  const bool excites = v.spec_pars[0] > 0.0 || v.spec_pars[1] > 0.0 || v.spec_pars[2] > 0.0 ||
                       v.optics.beta > 0.0;
  const AbsorberOutcome full = make_populated_absorber(v.e, v.spec_pars);
  if (!full.transparent && full.roles.empty_drained >= 0) {
    v.stats.drained_level = full.roles.empty_drained;
    v.stats.drain_lifetimes = full.roles.lifetimes;
    return Status::not_stationary;
  }
  const bool populated = !full.transparent && excites;
  const double optical_depth = full.transparent ? 0.0 : full.absorber.linear_depth;
  v.stats.optical_depth = optical_depth;
  if (!(optical_depth <= kWholeBeamMaxOpticalDepth)) return Status::too_thick;
  const SampleOptics optics = sample_optics(v.e, v.optics, populated);

  double max_intensity = 0.0;
  for (int s = 0; s < v.r.n_scans; ++s) {
    const ClosedApertureScan& scan = v.r.scans[s];
    for (int i = 0; i < scan.n_points; ++i)
      max_intensity = std::max(
          max_intensity, whole_beam_peak_intensity(v.e, scan.pulse_energy, scan.positions_mm[i]));
  }
  const Pulse pulse = pulse_of(v.e.pulse_shape);
  const double z0 = (kPi * v.e.w0 * v.e.w0) / (v.e.M2 * v.e.wavelength);  // m
  const double far = std::isinf(v.r.aperture_distance) ? 0.5 * kPi
                                                        : std::atan(v.r.aperture_distance / z0);
  const double field_budget = kFieldShare * tolerance;
  int rule = kFirstRule + static_cast<int>(std::max(0.0, std::floor(0.5 * std::log10(1e-5 / tolerance))));
  rule = std::min(rule, kTimeRules - 2);
  for (;; ++rule) {
    ++v.stats.attempts;
    const TimeRule coarse = time_rule(pulse, kTimePoints[rule]);
    const TimeRule fine = time_rule(pulse, kTimePoints[rule + 1]);
    const TimeNodes nodes = time_nodes(coarse, fine);
    const int n_times = static_cast<int>(nodes.times.size());
    v.stats.time_nodes = n_times;
    FieldTable table;
    Ladder ladder;
    FieldSource source;
    double table_error = 0.0;
    if (populated && max_intensity > 0.0) {
      const Absorber& absorber = full.absorber;
      ladder = make_ladder(field_budget, absorber, max_intensity, v.e.pulse_shape);
      FieldTableRequest request;
      request.absorber = &absorber;
      request.optics = optics;
      request.ladder = &ladder;
      request.times = &nodes.times;
      double scale = table_scale(absorber, max_intensity, pulse).scale;
      if (optics.two_photon > 0.0) scale = std::min(scale, 1.0 / optics.two_photon);
      request.scale = std::min(max_intensity / 3.0, std::max(max_intensity * 1e-3, scale));
      request.max_intensity = max_intensity;
      request.budget = field_budget;
      const Status status = build_field_table(request, table);
      v.stats.table_nodes += table.nodes;
      v.stats.table_intervals = static_cast<int>(table.intervals.size());
      v.stats.integrations += table.integrations;
      v.stats.integrator_steps += table.steps;
      v.stats.failed_nodes = table.failed_nodes;
      if (status != Status::ok) return status;
      table_error = table.interpolation_error + table.node_error;
      source = [&table, basis = std::vector<double>()](double intensity, FieldValue* out) mutable {
        tabulated_field(table, std::min(intensity, table.max_intensity), basis, out);
      };
    } else {
      source = [&optics, &nodes, &pulse](double intensity, FieldValue* out) {
        for (std::size_t q = 0; q < nodes.times.size(); ++q)
          out[q] = host_field(optics, intensity, pulse_value(pulse, nodes.times[q]));
      };
    }
    if (interrupt_requested()) return Status::interrupted;
    ApertureSignal signal(nodes, source);
    bool time_converged = true;
    long long k = 0;
    for (int s = 0; s < v.r.n_scans; ++s) {
      const ClosedApertureScan& scan = v.r.scans[s];
      for (int i = 0; i < scan.n_points; ++i, ++k) {
        const double z = scan.positions_mm[i];
        const double intensity = whole_beam_peak_intensity(v.e, scan.pulse_energy, z);
        const double gouy = far - std::atan(z * 1e-3 / z0);
        const PointSignal p = signal.point(intensity, gouy, scan.aperture, kModeShare * tolerance);
        v.stats.largest_modes = std::max(v.stats.largest_modes, p.modes);
        const double carried = 2.0 * std::sqrt(std::max(0.0, p.value)) * table_error;
        const double error = p.mode_error + p.time_error + carried;
        v.out.values[k] = p.value;
        v.out.errors[k] = std::isfinite(p.value) ? std::max(error, kErrorFloor * tolerance)
                                                 : std::numeric_limits<double>::infinity();
        if (!(p.time_error <= kTimeShare * tolerance) && std::isfinite(p.value)) time_converged = false;
      }
    }
    if (time_converged || rule + 2 >= kTimeRules) return Status::ok;
    if (interrupt_requested()) return Status::interrupted;
  }
}

}  // namespace

Status closed_aperture_transmittance(const WholeBeamExperiment& experiment,
                                     const double* spec_pars, const ClosedApertureOptics& optics,
                                     const ClosedApertureRequest& request,
                                     const ClosedApertureOutput& output) {
  ClosedApertureStats counts;
  const ApertureInputs in = aperture_inputs(experiment, spec_pars, optics, request, output);
  const Status status = run_checked(in, output.values, output.errors, [&] {
    return evaluate(Evaluation{experiment, spec_pars, optics, request, output, counts});
  });
  if (output.stats != nullptr) *output.stats = counts;
  return status;
}

}  // namespace zscan
