// One table node of the whole-beam model and its error estimate; see
// whole_beam_node.h. The first rung's integrator tolerance is a fiftieth
// of the requested one, its depth degree grows with the sample's optical depth
// and the tolerance; every rung has more depth nodes and a ten times
// tighter tolerance than the one below. The global error of an adaptive
// integration is only loosely proportional to its tolerance (from a fifth
// to twenty times it at the same settings), so the difference of two rungs
// can fall short of the coarser one's error when their errors happen to
// agree: the estimate is 1.5 times the difference plus the coarser rung's
// tolerance, which covered the coarser rung's error at every node of the
// converged reference cases (the median estimate is 1.7 times the error).
// Relies on the local transmittance and the depth grid.
#include "zscan/whole_beam_node.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zscan {

namespace {

// Integrator tolerance of the first rung relative to the requested one;
// every further rung kRungRatio times tighter, down to kFinestAccuracy.
constexpr double kFirstRungAccuracy = 0.02;
constexpr double kRungRatio = 10.0;
// The integrator cannot be asked for less than this (unit round-off times a
// few hundred).
constexpr double kFinestAccuracy = 1e-13;
// The error estimate: kDifferenceSafety times the difference of two rungs
// plus the coarser rung's tolerance.
constexpr double kDifferenceSafety = 1.5;
// Share of the tolerance a node's depth and time errors may take.
constexpr double kNodeBudget = 0.5;
// Largest depth degree of any rung.
constexpr int kMaxDepthDegree = 64;
// The pulse's tail beyond the integration's end, relative to the rung's
// tolerance.
constexpr double kTailShare = 0.01;
// Largest time step, pulse durations: the integrator cannot step over the
// pulse however quiet its leading edge.
constexpr double kMaxTimeStep = 0.5;

}  // namespace

double excitation_dose(const Absorber& a, double intensity, const Pulse& pulse) {
  const double held[3] = {a.n_init[0], a.n_init[1], a.n_init[3]};
  int main = 0;
  for (int l = 1; l < 3; ++l)
    if (a.depth[l] * held[l] > a.depth[main] * held[main]) main = l;
  return a.rate_per_intensity[main] * intensity * pulse.integral;
}

Ladder make_ladder(double tolerance, const Absorber& a, double max_intensity, PulseShape shape) {
  Ladder ladder;
  ladder.pulse = pulse_of(shape);
  const double d = a.linear_depth;
  // The depth nodes follow the linear attenuation, or a slower one where
  // the pulse can bleach the sample: kappa is the smallest absorption
  // coefficient the excited absorbing levels reach relative to the
  // ground's, the dose how many times the pulse can empty the front.
  double kappa = 1.0;
  if (a.depth[0] > 0.0) kappa = std::min(1.0, std::min(a.depth[1], a.depth[2]) / a.depth[0]);
  const double dose = excitation_dose(a, max_intensity, ladder.pulse);
  const double rate = d * (kappa + (1.0 - kappa) / (1.0 + dose));
  int degree = 4 + static_cast<int>(std::floor(2.0 * std::log1p(d))) +
               static_cast<int>(std::ceil(std::max(0.0, 0.7 * std::log10(1e-5 / tolerance))));
  double accuracy = tolerance * kFirstRungAccuracy;
  for (int r = 0; r < kRungs; ++r) {
    ladder.depth[r] = make_depth_grid(std::min(degree, kMaxDepthDegree), d, rate);
    ladder.accuracy[r] = accuracy;
    // After the pulse the tail's share times the most the sample can absorb
    // of it beyond the linear absorption, exp(D), stays far below the
    // tolerance.
    ladder.end[r] = pulse_end(ladder.pulse, kTailShare * accuracy / std::max(1.0, std::exp(d)));
    ladder.rungs = r + 1;
    if (accuracy <= kFinestAccuracy || degree >= kMaxDepthDegree) break;
    degree += std::max(1, degree / 4);
    accuracy = std::max(accuracy / kRungRatio, kFinestAccuracy);
  }
  ladder.budget = kNodeBudget * tolerance;
  return ladder;
}

RungValue rung_value(const Absorber& absorber, const Ladder& ladder, double intensity, int r,
                     LocalWork& work, const std::vector<Absorber>* derivatives,
                     double* out_derivatives) {
  RungValue rung;
  LocalSettings settings;
  settings.depth = &ladder.depth[r];
  settings.pulse = ladder.pulse;
  settings.accuracy = ladder.accuracy[r];
  settings.max_step = kMaxTimeStep;
  settings.end = ladder.end[r];
  settings.derivatives = derivatives;
  // The blocks of each depth node's own levels first: the coupling across
  // depth is left to the corrector's iteration, which costs little in
  // steps; the full matrix when that fails.
  settings.full_jacobian = false;
  LocalOutcome outcome = local_transmittance(absorber, intensity, settings, work, out_derivatives);
  ++rung.integrations;
  rung.steps += outcome.steps;
  if (!outcome.completed) {
    ++rung.failed_integrations;
    settings.full_jacobian = true;
    outcome = local_transmittance(absorber, intensity, settings, work, out_derivatives);
    ++rung.integrations;
    rung.steps += outcome.steps;
  }
  rung.completed = outcome.completed && std::isfinite(outcome.value);
  rung.value = outcome.value;
  rung.range = outcome.range;
  if (!rung.completed) ++rung.failed_integrations;
  return rung;
}

NodeValue node_from_rungs(const Ladder& ladder, const RungValue* rungs, int n, bool* more) {
  NodeValue node;
  double best_value = std::numeric_limits<double>::quiet_NaN();
  double best_finer = best_value;
  double best_error = std::numeric_limits<double>::infinity();
  bool agreed = false;
  for (int r = 0; r < n && !agreed; ++r) {
    node.integrations += rungs[r].integrations;
    node.steps += rungs[r].steps;
    node.failed_integrations += rungs[r].failed_integrations;
    if (!rungs[r].completed || r == 0 || !rungs[r - 1].completed) continue;
    const double difference = kDifferenceSafety * std::fabs(rungs[r].value - rungs[r - 1].value) +
                              ladder.accuracy[r - 1];
    if (difference < best_error) {
      best_error = difference;
      best_value = rungs[r - 1].value;
      best_finer = rungs[r].value;
      node.top_rung = r - 1;
      node.range = rungs[r - 1].range;
    }
    agreed = difference <= ladder.budget;
  }
  *more = !agreed && n < ladder.rungs;
  node.value = best_value;
  node.finer = best_finer;
  node.error = best_error;
  return node;
}

NodeValue table_node(const Absorber& absorber, const Ladder& ladder, double intensity,
                     LocalWork& work) {
  if (intensity == 0.0) {
    NodeValue node;
    node.value = 1.0;
    node.finer = 1.0;
    return node;
  }
  RungValue rungs[kRungs];
  NodeValue node;
  bool more = true;
  for (int r = 0; r < ladder.rungs && more; ++r) {
    rungs[r] = rung_value(absorber, ladder, intensity, r, work);
    node = node_from_rungs(ladder, rungs, r + 1, &more);
  }
  return node;
}

}  // namespace zscan
