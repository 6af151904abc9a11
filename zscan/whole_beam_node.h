// One node of the whole-beam model's table: the local transmittance at one
// peak intensity together with an estimate of its error from the depth and
// time discretisations. The node climbs a ladder of resolutions, each finer
// than the one below in depth nodes and in integrator tolerance, until two
// neighbouring rungs agree to within the node's budget; the finer value is
// returned with an estimate of its error from the difference.
#ifndef ZSCAN_WHOLE_BEAM_NODE_H
#define ZSCAN_WHOLE_BEAM_NODE_H

#include <vector>

#include "zscan/whole_beam_local.h"

namespace zscan {

// Most rungs of the ladder.
constexpr int kRungs = 4;

// The rungs for one evaluation, fixed from the requested tolerance, the
// absorber and the largest peak intensity, so that the discretisation does
// not move with the intensity: rung r has depth grid depth[r] and
// integrator tolerance accuracy[r].
struct Ladder {
  DepthGrid depth[kRungs];
  double accuracy[kRungs] = {};
  double end[kRungs] = {};  // where the integration ends, pulse durations
  int rungs = 0;        // rungs in use: each finer than the one below
  double budget = 0.0;  // largest accepted error estimate of a node
  Pulse pulse;
};
// Throws std::bad_alloc when the depth grids cannot be stored.
Ladder make_ladder(double tolerance, const Absorber& absorber, double max_intensity,
                   PulseShape shape);

// The excitations per molecule at the front face over a pulse of peak
// intensity `intensity` (W/cm^2), of the level that absorbs most in the
// dark: where the response turns nonlinear.
double excitation_dose(const Absorber& absorber, double intensity, const Pulse& pulse);

// A node's outcome.
struct NodeValue {
  double value = 0.0;  // Tloc / Te_lin; NaN when no rung pair could be completed
  double error = 0.0;  // estimate of |value - exact|; +inf with a NaN value
  double finer = 0.0;  // the value of the finer rung of the pair, NaN without
  int integrations = 0;
  long long steps = 0;
  int failed_integrations = 0;  // integrator calls that stopped before the window's end
  int top_rung = 0;             // the rung of the value returned
  PopulationRange range;        // the populations the returned rung visited
};

// One rung: an integration of its own, independent of the others.
struct RungValue {
  double value = 0.0;
  bool completed = false;  // reached the window's end with a finite value
  int integrations = 0;
  long long steps = 0;
  int failed_integrations = 0;
  PopulationRange range;
};
// Rung r (< ladder.rungs) of the node at `intensity` (> 0); with
// `derivatives` (the absorber's coefficient derivatives, non-empty) the
// value's derivatives go to out_derivatives[0..].
RungValue rung_value(const Absorber& absorber, const Ladder& ladder, double intensity, int r,
                     LocalWork& work, const std::vector<Absorber>* derivatives = nullptr,
                     double* out_derivatives = nullptr);
// The node from its first `n` rungs; `more` is set when it should climb to
// rung n next.
NodeValue node_from_rungs(const Ladder& ladder, const RungValue* rungs, int n, bool* more);

// The whole climb of the node at peak intensity `intensity` (W/cm^2) on
// this thread, without derivatives. Zero intensity gives 1 exactly, with no
// integration.
NodeValue table_node(const Absorber& absorber, const Ladder& ladder, double intensity,
                     LocalWork& work);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_NODE_H
