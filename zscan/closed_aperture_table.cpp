// The table of the exit field over peak intensity; see
// closed_aperture_table.h. Each round computes the nodes every pending
// interval needs for twice its degree, on the worker threads, then fits:
// the interpolant of the current degree is compared with the new (odd)
// nodes; within the budget the interval is accepted at the doubled degree,
// else doubled again, or split into halves past kMaxDegree. Relies on the
// local problem, the ladder, the Chebyshev helpers, the model's worker
// threads and this thread's interrupt check.
#include "zscan/closed_aperture_table.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>

#include "zscan/interrupt.h"
#include "zscan/model_threads.h"
#include "zscan/model_workers.h"
#include "zscan/whole_beam_chebyshev.h"

namespace zscan {

namespace {

constexpr int kInitialDegree = 8;
constexpr int kMaxDegree = 64;
constexpr int kMaxIntervals = 64;
// The node's error: kDifferenceSafety times the difference of two rungs.
constexpr double kDifferenceSafety = 1.5;
// Largest time step of the integrations, pulse durations.
constexpr double kMaxTimeStep = 0.5;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// |d amplitude| + amplitude |d phase|, the largest over the times.
double field_distance(const FieldValue* u, const FieldValue* v, int n) {
  double worst = 0.0;
  for (int i = 0; i < n; ++i) {
    const double d = std::fabs(u[i].amplitude - v[i].amplitude) +
                     std::max(u[i].amplitude, v[i].amplitude) * std::fabs(u[i].phase - v[i].phase);
    worst = std::isnan(d) ? std::numeric_limits<double>::infinity() : std::max(worst, d);
  }
  return worst;
}

struct Node {
  double y = 0.0;
  std::vector<FieldValue> field;
  double error = 0.0;
  bool done = false;
  int integrations = 0;
  long long steps = 0;
};

struct Pending {
  double low, high;
  int degree;            // current degree; its nodes are known
  std::vector<int> ids;  // [2 degree + 1] nodes of the doubled degree
};

class FieldBuilder {
 public:
  FieldBuilder(const FieldTableRequest& r, FieldTable& t) : r_(r), t_(t) {
    t_.scale = r.scale;
    t_.max_intensity = r.max_intensity;
    t_.times = static_cast<int>(r.times->size());
  }

  Status build() {
    const double top = std::log1p(r_.max_intensity / r_.scale);
    const int low = add(0.0), high = add(top);
    pending_.push_back(start(0.0, top, low, high));
    int intervals = 1;
    while (!pending_.empty()) {
      if (interrupt_requested()) return Status::interrupted;
      const Status status = compute();
      if (status != Status::ok) return status;
      std::vector<Pending> next;
      for (Pending& p : pending_) {
        const double deviation = check(p);
        if (deviation <= r_.budget || !std::isfinite(deviation)) {
          accept(p, deviation);
        } else if (2 * p.degree < kMaxDegree) {
          next.push_back(doubled(p));
        } else if (intervals < kMaxIntervals) {
          ++intervals;
          const double middle = 0.5 * (p.low + p.high);
          const int mid = add(middle);
          next.push_back(start(p.low, middle, p.ids.front(), mid));
          next.push_back(start(middle, p.high, mid, p.ids.back()));
        } else {
          accept(p, deviation);
        }
      }
      pending_ = std::move(next);
    }
    std::sort(t_.intervals.begin(), t_.intervals.end(),
              [](const FieldInterval& a, const FieldInterval& b) { return a.low < b.low; });
    t_.nodes = static_cast<int>(nodes_.size());
    for (const Node& n : nodes_) {
      t_.integrations += n.integrations;
      t_.steps += n.steps;
      if (!std::isfinite(n.error)) ++t_.failed_nodes;
      else t_.node_error = std::max(t_.node_error, n.error);
    }
    return Status::ok;
  }

 private:
  int add(double y) {
    Node n;
    n.y = y;
    nodes_.push_back(n);
    return static_cast<int>(nodes_.size() - 1);
  }

  static double position(double low, double high, int j, int degree) {
    if (j == 0) return low;
    if (j == degree) return high;
    return low + (high - low) * lobatto_node(j, degree);
  }

  // An interval of the initial degree, with the nodes of twice it.
  Pending start(double low, double high, int low_node, int high_node) {
    Pending p{low, high, kInitialDegree, {}};
    const int n = 2 * p.degree;
    p.ids.assign(at(n + 1), -1);
    p.ids.front() = low_node;
    p.ids.back() = high_node;
    for (int j = 1; j < n; ++j) p.ids[at(j)] = add(position(low, high, j, n));
    return p;
  }

  Pending doubled(const Pending& p) {
    Pending out{p.low, p.high, 2 * p.degree, {}};
    const int n = 2 * out.degree;
    out.ids.assign(at(n + 1), -1);
    for (int j = 0; j <= n; ++j)
      out.ids[at(j)] = j % 2 == 0 ? p.ids[at(j / 2)] : add(position(p.low, p.high, j, n));
    return out;
  }

  // The field of one node: rungs climbed until two agree within the
  // budget; the finer of the pair.
  void compute_node(Node& node, FieldWork& work) {
    const int times = t_.times;
    node.field.assign(at(times), FieldValue{});
    node.done = true;
    if (node.y == 0.0) return;
    const double intensity = r_.scale * std::expm1(node.y);
    const Ladder& ladder = *r_.ladder;
    FieldSettings settings;
    settings.pulse = ladder.pulse;
    settings.max_step = kMaxTimeStep;
    settings.times = r_.times->data();
    settings.n_times = times;
    std::vector<FieldValue> coarse(at(times)), fine(at(times));
    bool have_coarse = false;
    node.error = std::numeric_limits<double>::infinity();
    for (int rung = 0; rung < ladder.rungs; ++rung) {
      settings.depth = &ladder.depth[rung];
      settings.accuracy = ladder.accuracy[rung];
      settings.full_jacobian = false;
      FieldOutcome outcome = exit_field(*r_.absorber, r_.optics, intensity, settings, work, fine.data());
      ++node.integrations;
      node.steps += outcome.steps;
      if (!outcome.completed) {
        settings.full_jacobian = true;
        outcome = exit_field(*r_.absorber, r_.optics, intensity, settings, work, fine.data());
        ++node.integrations;
        node.steps += outcome.steps;
      }
      if (!outcome.completed) {
        have_coarse = false;
        continue;
      }
      if (have_coarse) {
        const double error = kDifferenceSafety * field_distance(coarse.data(), fine.data(), times);
        if (error < node.error) {
          node.error = error;
          node.field = fine;
        }
        if (error <= r_.budget) return;
      }
      coarse.swap(fine);
      have_coarse = true;
    }
    if (!std::isfinite(node.error)) {
      for (FieldValue& v : node.field) v = {std::numeric_limits<double>::quiet_NaN(),
                                            std::numeric_limits<double>::quiet_NaN()};
    }
  }

  Status compute() {
    std::vector<int> todo;
    for (const Pending& p : pending_)
      for (int id : p.ids)
        if (!nodes_[at(id)].done) todo.push_back(id);
    std::sort(todo.begin(), todo.end());
    todo.erase(std::unique(todo.begin(), todo.end()), todo.end());
    // The most intense first: the longest integrations balance the workers.
    std::reverse(todo.begin(), todo.end());
    const int n = static_cast<int>(todo.size());
    if (n == 0) return Status::ok;
    return run_tasks<FieldWork>(
        n, [&](int i, FieldWork& work) { compute_node(nodes_[at(todo[at(i)])], work); });
  }

  // Coefficients of every function on the nodes of degree `degree` whose
  // ids are every `stride`-th of p.ids.
  std::vector<double> fit(const Pending& p, int degree, int stride) const {
    const int times = t_.times;
    const std::size_t size = at(degree + 1);
    std::vector<double> coefficients(size * at(2 * times)), f(size);
    for (int q = 0; q < 2 * times; ++q) {
      for (int j = 0; j <= degree; ++j) {
        const FieldValue& v = nodes_[at(p.ids[at(j * stride)])].field[at(q / 2)];
        f[at(j)] = q % 2 == 0 ? v.amplitude : v.phase;
      }
      lobatto_coefficients(f.data(), degree, &coefficients[at(q) * size]);
    }
    return coefficients;
  }

  // The largest field error of the current degree's interpolant at the
  // doubled degree's new nodes.
  double check(const Pending& p) const {
    const int times = t_.times;
    const std::vector<double> c = fit(p, p.degree, 2);
    const std::size_t size = at(p.degree + 1);
    std::vector<FieldValue> interpolated(at(times));
    double worst = 0.0;
    const int n = 2 * p.degree;
    for (int j = 1; j < n; j += 2) {
      const double x = lobatto_node(j, n);
      for (int q = 0; q < times; ++q) {
        interpolated[at(q)].amplitude = chebyshev_value(&c[at(2 * q) * size], p.degree, x);
        interpolated[at(q)].phase = chebyshev_value(&c[at(2 * q + 1) * size], p.degree, x);
      }
      worst = std::max(worst, field_distance(interpolated.data(), nodes_[at(p.ids[at(j)])].field.data(), times));
    }
    return worst;
  }

  void accept(const Pending& p, double deviation) {
    FieldInterval iv;
    iv.low = p.low;
    iv.high = p.high;
    iv.degree = 2 * p.degree;
    iv.coefficients = fit(p, iv.degree, 1);
    t_.intervals.push_back(std::move(iv));
    t_.interpolation_error = std::max(t_.interpolation_error, deviation);
  }

  const FieldTableRequest& r_;
  FieldTable& t_;
  std::vector<Node> nodes_;
  std::vector<Pending> pending_;
};

}  // namespace

Status build_field_table(const FieldTableRequest& request, FieldTable& table) {
  try {
    FieldBuilder builder(request, table);
    return builder.build();
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }
}

void tabulated_field(const FieldTable& table, double intensity, std::vector<double>& basis,
                     FieldValue* out) {
  const double y = std::log1p(intensity / table.scale);
  std::size_t k = 0;
  while (k + 1 < table.intervals.size() && y > table.intervals[k].high) ++k;
  const FieldInterval& iv = table.intervals[k];
  const int degree = iv.degree;
  const double x = std::min(1.0, std::max(0.0, (y - iv.low) / (iv.high - iv.low)));
  // T_k(2x - 1) for k <= degree.
  basis.resize(at(degree + 1));
  const double u = 2.0 * x - 1.0;
  basis[0] = 1.0;
  if (degree >= 1) basis[1] = u;
  for (int j = 2; j <= degree; ++j) basis[at(j)] = 2.0 * u * basis[at(j - 1)] - basis[at(j - 2)];
  const std::size_t size = at(degree + 1);
  for (int q = 0; q < table.times; ++q) {
    const double* a = &iv.coefficients[at(2 * q) * size];
    const double* b = a + size;
    double amplitude = 0.0, phase = 0.0;
    for (std::size_t j = 0; j < size; ++j) {
      amplitude += a[j] * basis[j];
      phase += b[j] * basis[j];
    }
    out[q].amplitude = amplitude;
    out[q].phase = phase;
  }
}

}  // namespace zscan
