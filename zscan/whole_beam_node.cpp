// One table node of the whole-beam model and its error estimate; see
// whole_beam_node.h. The first rung's depth degree grows with the sample's
// linear optical depth (the absorption profile across the sample is then
// resolved to far below the tolerance); every rung has half as many depth
// intervals again and a tighter integrator tolerance than the one below, the
// second so tight that the values it returns are smooth in the parameters.
// Relies on the local transmittance.
#include "zscan/whole_beam_node.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zscan {

namespace {

// Integrator tolerance of the first rung relative to the requested one; the
// second is kSecondRung times tighter still, and never looser than
// kSmoothAccuracy, which keeps the values smooth in the parameters (the
// integrator's step choices move a value by several times its tolerance);
// every further rung kRungRatio times tighter, down to kFinestAccuracy.
constexpr double kFirstRungAccuracy = 0.01;
constexpr double kSecondRung = 3e-3;
constexpr double kSmoothAccuracy = 1e-11;
constexpr double kRungRatio = 30.0;
// The integrator cannot be asked for less than this (unit round-off times a
// few hundred).
constexpr double kFinestAccuracy = 1e-13;
// Share of the tolerance a node's depth and time errors may take.
constexpr double kNodeBudget = 0.25;
// Largest depth degree of any rung.
constexpr int kMaxDepthDegree = 64;
// Largest time step, pulse durations: the integrator cannot step over the
// pulse however quiet its leading edge.
constexpr double kMaxTimeStep = 0.5;

}  // namespace

Ladder make_ladder(double tolerance, double linear_depth) {
  Ladder ladder;
  int degree = 3 + static_cast<int>(std::ceil(2.0 * std::min(linear_depth, 30.0)));
  double accuracy = tolerance * kFirstRungAccuracy;
  for (int r = 0; r < kRungs; ++r) {
    ladder.depth[r] = make_depth_grid(std::min(degree, kMaxDepthDegree));
    ladder.accuracy[r] = accuracy;
    ladder.rungs = r + 1;
    // A rung no finer in time or in depth than the one below would not see
    // that error: the ladder ends at the finest tolerance and depth degree.
    if (accuracy <= kFinestAccuracy || degree >= kMaxDepthDegree) break;
    degree += (degree + 1) / 2;
    accuracy = r == 0 ? std::min(accuracy * kSecondRung, kSmoothAccuracy) : accuracy / kRungRatio;
    accuracy = std::max(accuracy, kFinestAccuracy);
  }
  ladder.budget = kNodeBudget * tolerance;
  return ladder;
}

RungValue rung_value(const Absorber& absorber, const Ladder& ladder, double intensity, int r,
                     LocalWork& work) {
  RungValue rung;
  LocalSettings settings;
  settings.depth = &ladder.depth[r];
  settings.accuracy = ladder.accuracy[r];
  settings.max_step = kMaxTimeStep;
  // The band of each depth node's own levels first: the coupling across
  // depth is left to the corrector's iteration, which costs little in
  // steps; the full matrix when that fails.
  settings.full_jacobian = false;
  LocalOutcome outcome = local_transmittance(absorber, intensity, settings, work);
  ++rung.integrations;
  rung.steps += outcome.steps;
  if (!outcome.completed) {
    ++rung.failed_integrations;
    settings.full_jacobian = true;
    outcome = local_transmittance(absorber, intensity, settings, work);
    ++rung.integrations;
    rung.steps += outcome.steps;
  }
  rung.completed = outcome.completed && std::isfinite(outcome.value);
  rung.value = outcome.value;
  if (!rung.completed) ++rung.failed_integrations;
  return rung;
}

NodeValue node_from_rungs(const Ladder& ladder, const RungValue* rungs, int n, bool* more) {
  NodeValue node;
  // The best pair found so far: finer value and difference.
  double best_value = std::numeric_limits<double>::quiet_NaN();
  double best_error = std::numeric_limits<double>::infinity();
  bool agreed = false;
  for (int r = 0; r < n && !agreed; ++r) {
    node.integrations += rungs[r].integrations;
    node.steps += rungs[r].steps;
    node.failed_integrations += rungs[r].failed_integrations;
    if (!rungs[r].completed || r == 0 || !rungs[r - 1].completed) continue;
    const double difference = std::fabs(rungs[r].value - rungs[r - 1].value);
    if (difference < best_error) {
      best_error = difference;
      best_value = rungs[r].value;
      node.top_rung = r;
    }
    agreed = difference <= ladder.budget;
  }
  *more = !agreed && n < ladder.rungs;
  node.value = best_value;
  node.error = best_error;
  return node;
}

NodeValue table_node(const Absorber& absorber, const Ladder& ladder, double intensity,
                     LocalWork& work) {
  if (intensity == 0.0) {
    NodeValue node;
    node.value = 1.0;
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
