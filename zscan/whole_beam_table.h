// The whole-beam model's table of the local transmittance over peak
// intensity, and the beam average it serves: with u = exp(-2 r^2 / w^2) the
// whole-beam transmittance at peak intensity I0 is the mean of Tloc over
// [0, I0], G(I0) / I0 with G(I) = int_0^I Tloc. Tloc is tabulated on
// intervals of [0, I_max] by its polynomial interpolant on Chebyshev-Lobatto
// nodes, refined where two check nodes off the interpolation nodes disagree
// with it by more than the table's budget: first by doubling the degree
// (the old nodes are half of the new ones), then by splitting the interval.
// Nodes are computed in batches on the model's worker threads; what is
// refined depends only on the values computed.
#ifndef ZSCAN_WHOLE_BEAM_TABLE_H
#define ZSCAN_WHOLE_BEAM_TABLE_H

#include <vector>

#include "zscan/whole_beam_node.h"
#include "zscan/zscan.h"

namespace zscan {

// One interval of the table.
struct TableInterval {
  double low = 0.0, high = 0.0;  // W/cm^2
  int degree = 0;                // of the interpolant
  std::vector<int> nodes;        // [degree + 1] node indices, low to high
  int checks[2] = {-1, -1};      // node indices of the check nodes
  std::vector<double> coefficients;  // [degree + 1] Chebyshev coefficients on [low, high]
  double integral = 0.0;         // int_low^high of the interpolant
  double table_error = 0.0;      // bound on |interpolant - Tloc| from the checks
  double node_error = 0.0;       // largest error estimate of its nodes
  bool accepted = false;
};

// What building the table did.
struct TableCounts {
  int nodes = 0;
  int rounds = 0;
  long long integrations = 0;
  long long steps = 0;
  int failed_integrations = 0;
  int failed_nodes = 0;
};

struct Table {
  std::vector<TableInterval> intervals;  // covering [0, I_max] in order
  std::vector<double> intensities;       // of every node
  std::vector<NodeValue> values;         // of every node
  TableCounts counts;
};

// Builds the table over [0, max_intensity] for `tolerance`; the calling
// thread's interrupt check is consulted between batches of nodes and between
// the nodes it computes. Returns Status::interrupted when it asked to stop and
// Status::out_of_memory when storage could not be obtained. A node without a
// value leaves the intervals that hold it with NaN coefficients.
Status build_table(const Absorber& absorber, const Ladder& ladder, double max_intensity,
                   double tolerance, Table& table);

// The mean of the tabulated Tloc over [0, intensity] (0 <= intensity <=
// I_max), with a bound on its error from the table's estimates.
struct BeamAverage {
  double value = 0.0;
  double error = 0.0;
};
BeamAverage beam_average(const Table& table, double intensity);

// Bytes of working storage build_table may hold per worker thread at most,
// beyond the table itself.
double table_worker_bytes(const Ladder& ladder);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_TABLE_H
