// The whole-beam model's table of the local transmittance over peak
// intensity, and the beam average it serves: with u = exp(-2 r^2 / w^2) the
// whole-beam transmittance at peak intensity I0 is the mean of Tloc over
// [0, I0]. Tloc is tabulated in y = ln(1 + I / I_c), linear in I below the
// scale I_c and logarithmic above it, on intervals of [0, y(I_max)] by its
// polynomial interpolant on Chebyshev-Lobatto nodes. Two check nodes off
// the interpolation nodes give the interpolation error's model; where the
// error it gives the beam averages exceeds the table's budget the interval
// is refined, first by doubling the degree (the old nodes are half of the
// new ones), then by splitting it, until the noise of the nodes' own values
// is reached. The nodes' integration errors are sampled: every other node
// of a new interval and the lowest new node of a doubled one climb the
// first two rungs of the ladder, the other nodes and the checks take the
// first rung alone, and the largest sampled estimate, with a safety factor,
// bounds every node; a sample too close to the node budget for that makes
// the table climb every node's ladder instead (the checks then compare the
// finer rungs). The derivatives of Tloc with respect to
// the parameters asked for are tabulated on the same nodes, with the same
// weights. Nodes are computed in batches on the model's worker threads;
// what is refined depends only on the values computed.
#ifndef ZSCAN_WHOLE_BEAM_TABLE_H
#define ZSCAN_WHOLE_BEAM_TABLE_H

#include <vector>

#include "zscan/whole_beam_node.h"
#include "zscan/zscan.h"

namespace zscan {

// One interval of the table.
struct TableInterval {
  double low = 0.0, high = 0.0;  // in y
  int degree = 0;                // of the interpolant
  std::vector<int> nodes;        // [degree + 1] node indices, low to high
  std::vector<double> positions;  // [degree + 1] the nodes in x = (y - low) / (high - low)
  int checks[2] = {-1, -1};      // node indices of the check nodes
  // [(1 + derivatives) * (degree + 1)] Chebyshev coefficients on [low,
  // high]: Tloc, then each tabulated derivative.
  std::vector<double> coefficients;
  // [1 + derivatives] the integral of each function over the interval, dI.
  std::vector<double> integrals;
  // The Gauss-Legendre rule of the beam average on [0, 1].
  std::vector<double> rule_nodes, rule_weights;
  double table_error = 0.0;  // |interpolant - Tloc| at the checks (finer rungs)
  // table_error of the interval at half its degree (+inf when it has not
  // been doubled): doubling that gains less than a factor 2 has met the
  // noise of the nodes' own values, and refining further cannot help.
  double halved_error = 0.0;
  // The interpolation error modelled from the checks, as a Chebyshev
  // interpolant's error is shaped: C(x) = w(x) (a + b x), w the node
  // polynomial in x = (y - low) / (high - low), matching the finer rungs'
  // deviations at the two checks; its integrals over the interval, dI.
  double shape[2] = {0.0, 0.0};
  double error_integral = 0.0;   // int C dI
  double error_magnitude = 0.0;  // int |C| dI
  // The largest interpolation error of a beam average over [I(low), I(y)]
  // as the beam average bounds it from C, over y in the interval: what the
  // interval adds to the values' error per unit of its intensity range.
  double average_error = 0.0;
  double node_error = 0.0;   // largest error estimate of its nodes
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

// A node whose populations left [0, N_total] by more than its margin.
struct PhysicsBreach {
  bool found = false;
  int level = -1;
  double population = 0.0;  // in units of the total population
  double intensity = 0.0;   // W/cm^2
};

// The intensity scale of the table: y = ln(1 + I / scale).
struct TableScale {
  double scale = 1.0;          // I_c, W/cm^2
  double max_intensity = 0.0;  // W/cm^2
};

// The scale for a table up to max_intensity (> 0): the geometric mean of
// I_max and the intensity where the absorber's response turns nonlinear
// (one excitation per molecule over the pulse), I_max / sqrt(dose), kept
// within [I_max / 1000, I_max / 3]. (At I_max / dose, the saturable demo
// absorber's table needs 16 nodes to 8 in this coordinate.)
TableScale table_scale(const Absorber& absorber, double max_intensity, const Pulse& pulse);

struct Table {
  TableScale scale;
  int derivatives = 0;                   // tabulated derivatives per node
  std::vector<TableInterval> intervals;  // covering [0, y(I_max)] in order
  std::vector<double> intensities;       // of every node, W/cm^2
  std::vector<NodeValue> values;         // of every node
  std::vector<double> slopes;            // [nodes * derivatives] of every node
  TableCounts counts;
  PhysicsBreach breach;
};

// What the table needs besides the absorber and the ladder.
struct TableRequest {
  TableScale scale;
  double tolerance = 0.0;
  // The absorber's coefficient derivatives of the parameters whose
  // derivatives are tabulated (empty: none).
  const std::vector<Absorber>* derivatives = nullptr;
  // Populations may leave [0, 1] by this much before a node breaches.
  double physics_margin = 0.0;
};

// Builds the table over [0, max_intensity]; the calling thread's interrupt
// check is consulted between batches of nodes and between the nodes it
// computes. Returns Status::interrupted when it asked to stop,
// Status::out_of_memory when storage could not be obtained and
// Status::left_physics when a node breached (table.breach says where). A
// node without a value leaves the intervals that hold it with NaN
// coefficients.
Status build_table(const Absorber& absorber, const Ladder& ladder, const TableRequest& request,
                   Table& table);

// The mean of the tabulated Tloc over [0, intensity] (0 <= intensity <=
// I_max), with a bound on its error from the table's estimates (the nodes'
// errors, and the interpolation error as modelled from the checks, with a
// safety on the model and a share of its magnitude for its departures), the mean's
// derivatives (into derivatives[0 .. table.derivatives - 1] when given) and
// Tloc itself at the intensity.
struct BeamAverage {
  double value = 0.0;
  double error = 0.0;
  double local = 0.0;  // Tloc(intensity) / Te_lin
};
BeamAverage beam_average(const Table& table, double intensity, double* derivatives);

// Bytes of working storage build_table may hold per worker thread at most,
// beyond the table itself.
double table_worker_bytes(const Ladder& ladder, int derivatives);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_TABLE_H
