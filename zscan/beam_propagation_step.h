// The march through the sample's depth of the beam-propagation model, in
// the lens frame on the radial grid, all time nodes at once: symmetric
// splitting of each depth step h into half a linear step (diffraction over
// the step's share of zeta, exact on the grid, and the linear absorption),
// the nonlinear factor exp(h c) and another half linear step. c is the
// sample's response at the step's middle to the field advanced there by
// exp(h c / 2) itself, found by two fixed-point corrections from the
// previous step's c (the first step's: its start's), which keeps the march
// symmetric, so that its error is even in h (second order; Richardson
// removes the h^2 term). Relies on the grid, the frame and the rates.
#ifndef ZSCAN_BEAM_PROPAGATION_STEP_H
#define ZSCAN_BEAM_PROPAGATION_STEP_H

#include "zscan/beam_propagation_frame.h"
#include "zscan/beam_propagation_grid.h"
#include "zscan/beam_propagation_rates.h"

namespace zscan {

struct Propagation {
  const SampleFrame* frame = nullptr;
  const RadialGrid* grid = nullptr;
  const SampleResponse* response = nullptr;
  const TimePanels* panels = nullptr;
  double attenuation = 0.0;  // alpha0, the linear absorption, cm^-1
  int depth_steps = 1;
};

struct PropagationCounts {
  long long solves = 0;  // Radau panel solves
  int live_nodes = 0;    // the most nodes whose populations moved at one depth
};

// Marches the weighted U-space fields re, im (grid nodes x time nodes,
// row-major) from the front face to the back face.
PropagationCounts propagate(const Propagation& p, double* re, double* im);

// The linear sample: the weighted fields of m columns across the whole
// sample in one diffraction.
void propagate_linear(const SampleFrame& frame, const RadialGrid& grid, double attenuation,
                      int m, double* re, double* im);

}  // namespace zscan

#endif  // ZSCAN_BEAM_PROPAGATION_STEP_H
