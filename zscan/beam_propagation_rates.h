// The sample's response at one depth of the beam-propagation model: from
// the intensity history I(r_n, t) at every radial node, the populations by
// the whole-beam model's rate equations (with its dark compensation) plus
// two-photon excitation beta f0 I^2 / (2 h nu) from level 0 to level 2, and
// from them the nonlinear rate c of dE/dz' = ... + c E:
//   c = -(alpha(N) - alpha0 + beta f0 I) / 2 + i (k n2 I + sr1 dN1 + sr3 dN3).
// Time runs over panels of the three-stage Radau IIA collocation (L-stable
// and stiffly accurate, order 5 at the panel ends, stage order 3): the rate
// equations are affine in the departures x = n - n_init (levels 1..4), so
// each panel is one 12 x 12 linear solve. The field's time nodes are the
// panels' stage nodes, and the energy's time rule their Radau weights.
// Nodes whose light never exceeds `dark` of the brightest keep their initial
// populations, and a node's populations rest before its light first
// exceeds `quiet` of its own peak and stay as they are once it has fallen
// below it for good. Relies on the whole-beam absorber and the pulse.
#ifndef ZSCAN_BEAM_PROPAGATION_RATES_H
#define ZSCAN_BEAM_PROPAGATION_RATES_H

#include <vector>

#include "zscan/whole_beam_absorber.h"
#include "zscan/whole_beam_pulse.h"

namespace zscan {

constexpr int kRadauStages = 3;

// The time nodes: panels of equal length over [-window, window] (pulse
// durations).
struct TimePanels {
  int panels = 0;
  double step = 0.0;             // panel length, pulse durations
  std::vector<double> times;     // [3 panels] stage nodes, pulse durations
  std::vector<double> weights;   // [3 panels] Radau weights, pulse durations
  std::vector<double> pulse;     // [3 panels] p(s) at the nodes
  int size() const { return static_cast<int>(times.size()); }
};
TimePanels time_panels(const Pulse& pulse, double window, int panels);

// The sample's response, per unit of its own quantities.
struct SampleResponse {
  const Absorber* absorber = nullptr;  // null: the populations never change
  double absorption[4] = {};  // d alpha / d x_l, cm^-1 (levels 1..4)
  double refraction[2] = {};  // sr1 N_total, sr3 N_total: rad/cm per unit of x_1, x_3
  double excitation = 0.0;    // beta tau / (2 h nu N_total): per (W/cm^2)^2 and pulse duration
  double two_photon = 0.0;    // beta, cm/W
  double kerr = 0.0;          // k n2, cm/W
  double ground = 1.0;        // f0 while the populations do not change
  double dark = 1e-10;        // the light (of the brightest) below which a node rests
  double quiet = 1e-13;       // the light (of the node's peak) before and after its pulse
};

// What one call computed.
struct RateCounts {
  long long solves = 0;  // panel solves
  int live_nodes = 0;    // nodes whose populations moved
};

// c (real and imaginary parts) at every node and time node from the
// intensities (W/cm^2), all n rows of times.size() columns.
RateCounts nonlinear_rates(const SampleResponse& response, const TimePanels& panels, int n,
                           const double* intensity, double* c_re, double* c_im);

}  // namespace zscan

#endif  // ZSCAN_BEAM_PROPAGATION_RATES_H
