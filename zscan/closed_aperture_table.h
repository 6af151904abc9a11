// The closed-aperture model's table of the exit field over peak intensity:
// at every time node of the pulse the amplitude and phase of the local
// problem, interpolated in y = ln(1 + I / I_c) by Chebyshev-Lobatto
// polynomials on intervals of [0, y(I_max)]. An interval's degree is
// doubled (the old nodes are the even ones of the new degree) until the
// interpolant of the lower degree meets the values at the new nodes to
// within the table's budget, and the interval is split past the largest
// degree. A node's value is the finer of two rungs of the resolution ladder
// (depth nodes and integrator tolerance) that agree within the node's
// budget; its error the difference with a safety. The field's error is
// measured as |d amplitude| + amplitude |d phase|, which bounds the change
// of the complex field. Nodes are computed in batches on the model's worker
// threads; what is refined depends only on the values computed. Relies on
// the local problem, the resolution ladder and the Chebyshev helpers.
#ifndef ZSCAN_CLOSED_APERTURE_TABLE_H
#define ZSCAN_CLOSED_APERTURE_TABLE_H

#include <vector>

#include "zscan/closed_aperture_local.h"
#include "zscan/whole_beam_node.h"
#include "zscan/zscan.h"

namespace zscan {

struct FieldInterval {
  double low = 0.0, high = 0.0;  // in y
  int degree = 0;
  // [2 * times * (degree + 1)]: the Chebyshev coefficients of the amplitude
  // at time 0, its phase, the amplitude at time 1, ...
  std::vector<double> coefficients;
};

struct FieldTable {
  double scale = 1.0;          // I_c, W/cm^2
  double max_intensity = 0.0;  // W/cm^2
  int times = 0;
  std::vector<FieldInterval> intervals;
  double interpolation_error = 0.0;  // largest deviation at the checks
  double node_error = 0.0;           // largest error estimate of a node
  int nodes = 0;
  long long integrations = 0, steps = 0;
  int failed_nodes = 0;
};

// What the table needs.
struct FieldTableRequest {
  const Absorber* absorber = nullptr;
  SampleOptics optics;
  const Ladder* ladder = nullptr;
  const std::vector<double>* times = nullptr;  // increasing, pulse durations
  double scale = 1.0;                          // I_c, W/cm^2
  double max_intensity = 0.0;
  double budget = 0.0;  // on the field error of the nodes and of the interpolation each
};

// Builds the table; Status::interrupted when this thread's interrupt check
// asked to stop, Status::out_of_memory when storage could not be obtained.
// A node without a value leaves NaN coefficients in its intervals.
Status build_field_table(const FieldTableRequest& request, FieldTable& table);

// The tabulated field at every time at peak intensity `intensity` (0 <= it
// <= max_intensity) into out[0 .. times - 1]; `basis` is scratch.
void tabulated_field(const FieldTable& table, double intensity, std::vector<double>& basis,
                     FieldValue* out);

}  // namespace zscan

#endif  // ZSCAN_CLOSED_APERTURE_TABLE_H
