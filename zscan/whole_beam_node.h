// One node of the whole-beam model's table: the local transmittance at one
// peak intensity together with an estimate of its error from the depth and
// time discretisations. The node climbs a ladder of resolutions, each finer
// than the one before in depth nodes and in integrator tolerance, until two
// neighbouring rungs agree to within the node's budget; the finer value is
// returned and the difference, which is the coarser rung's error, is its
// estimate.
#ifndef ZSCAN_WHOLE_BEAM_NODE_H
#define ZSCAN_WHOLE_BEAM_NODE_H

#include <vector>

#include "zscan/whole_beam_local.h"

namespace zscan {

// Most rungs of the ladder.
constexpr int kRungs = 5;

// The rungs for one evaluation, fixed from the requested tolerance and the
// sample's linear optical depth only, so that the discretisation does not
// move with the parameters: rung r has depth degree degree[r] and integrator
// tolerance accuracy[r].
struct Ladder {
  DepthGrid depth[kRungs];
  double accuracy[kRungs] = {};
  int rungs = 0;        // rungs in use: each tighter in time than the one below
  double budget = 0.0;  // largest accepted difference between two rungs
};
// Throws std::bad_alloc when the depth grids cannot be stored.
Ladder make_ladder(double tolerance, double linear_depth);

// A node's outcome.
struct NodeValue {
  double value = 0.0;  // Tloc / Te_lin; NaN when no rung pair could be completed
  double error = 0.0;  // estimate of |value - exact|; +inf with a NaN value
  int integrations = 0;
  long long steps = 0;
  int failed_integrations = 0;  // integrator calls that stopped before the window's end
  int top_rung = 0;             // the rung of the value returned
};

// The node at peak intensity `intensity` (W/cm^2) on this thread. Zero
// intensity gives 1 exactly, with no integration. Throws std::bad_alloc
// when the integrator's work arrays cannot grow.
NodeValue table_node(const Absorber& absorber, const Ladder& ladder, double intensity,
                     LocalWork& work);

// The same climb in pieces, so that the rungs of many nodes can share the
// workers: every rung is an integration of its own, independent of the
// others, and the node follows from the rungs computed so far.
struct RungValue {
  double value = 0.0;
  bool completed = false;  // reached the window's end with a finite value
  int integrations = 0;
  long long steps = 0;
  int failed_integrations = 0;
};
// Rung r (< ladder.rungs) of the node at `intensity` (> 0).
RungValue rung_value(const Absorber& absorber, const Ladder& ladder, double intensity, int r,
                     LocalWork& work);
// The node from its first `n` rungs, as table_node decides it; `more` is set
// when table_node would climb to rung n next.
NodeValue node_from_rungs(const Ladder& ladder, const RungValue* rungs, int n, bool* more);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_NODE_H
