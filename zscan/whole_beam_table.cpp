// The table of the local transmittance over peak intensity and the beam
// average taken from it; see whole_beam_table.h. The first layout depends on
// the largest peak intensity only; the check nodes of an interval of degree
// p are two of the nodes that doubling its degree would add, near a third
// and two thirds of its angle, where the interpolation error of a smooth
// function is close to its largest. Relies on the table nodes, the
// Chebyshev-Lobatto helpers, the model's worker threads and this thread's
// interrupt check.
#include "zscan/whole_beam_table.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>

#include "zscan/model_workers.h"
#include "zscan/whole_beam_chebyshev.h"

namespace zscan {

namespace {

// Degree of a new interval, and the largest before it is split instead.
constexpr int kInitialDegree = 8;
constexpr int kMaxDegree = 16;
// The first layout: [0, I_max / kFirstSplit] and [I_max / kFirstSplit, I_max].
constexpr double kFirstSplit = 4.0;
// An interval from 0 is split at this fraction of its upper end.
constexpr double kZeroSplit = 0.25;
// The table's estimate of an interval is this multiple of the larger check
// deviation.
constexpr double kCheckSafety = 4.0;
// Share of the tolerance the table's interpolation may take.
constexpr double kTableBudget = 0.5;
// The interpolant's error from the errors of its nodes is bounded by this
// multiple of the largest (the Lebesgue constant of the partial integrals).
constexpr double kNodeErrorFactor = 2.0;
constexpr int kMaxRounds = 12;
constexpr int kMaxIntervals = 64;

// Position of node j of degree `degree` in the interval; its ends exactly.
double node_position(const TableInterval& iv, int j, int degree) {
  if (j == 0) return iv.low;
  if (j == degree) return iv.high;
  return iv.low + (iv.high - iv.low) * lobatto_node(j, degree);
}

// Index of the first check node among the nodes of degree 2p.
int check_index(int degree) { return 2 * (degree / 3) + 1; }

class Builder {
 public:
  Builder(const Absorber& absorber, const Ladder& ladder, double tolerance, Table& table)
      : absorber_(absorber), ladder_(ladder), budget_(kTableBudget * tolerance), table_(table) {}

  void first_layout(double max_intensity) {
    const int zero = add_node(0.0);
    const int split = add_node(max_intensity / kFirstSplit);
    const int top = add_node(max_intensity);
    table_.intervals.push_back(new_interval(0.0, max_intensity / kFirstSplit, zero, split));
    table_.intervals.push_back(new_interval(max_intensity / kFirstSplit, max_intensity, split, top));
  }

  // Computes the pending nodes on the worker threads: first the two rungs
  // every node climbs, each rung a task of its own (twice as many tasks as
  // nodes share the workers more evenly), then, node by node, the further
  // rungs of those whose first two disagree. What a node is does not depend
  // on where its rungs were computed.
  Status compute_pending() {
    // The most intense nodes take the most steps: handing them out first
    // balances the workers.
    std::vector<int> batch;
    for (int id : pending_) {
      if (table_.intensities[static_cast<std::size_t>(id)] == 0.0) {
        table_.values[static_cast<std::size_t>(id)] = table_node(absorber_, ladder_, 0.0, dummy_);
      } else {
        batch.push_back(id);
      }
    }
    pending_.clear();
    std::sort(batch.begin(), batch.end(), [this](int a, int b) {
      const double ia = table_.intensities[static_cast<std::size_t>(a)];
      const double ib = table_.intensities[static_cast<std::size_t>(b)];
      return ia != ib ? ia > ib : a < b;
    });
    const int n = static_cast<int>(batch.size());
    if (n == 0) {
      ++table_.counts.rounds;
      return Status::ok;
    }
    const int first = std::min(2, ladder_.rungs);
    std::vector<RungValue> rungs(static_cast<std::size_t>(n) * kRungs);
    // Tasks: (node k, rung r) for r < first, the nodes' order within each rung.
    Status status = run_tasks(n * first, [&](int task, LocalWork& work) {
      const int k = task / first, r = task % first;
      const double intensity = table_.intensities[static_cast<std::size_t>(batch[k])];
      rungs[static_cast<std::size_t>(k) * kRungs + r] =
          rung_value(absorber_, ladder_, intensity, r, work);
    });
    if (status != Status::ok) return status;
    // The nodes that climb further, each on one worker.
    std::vector<int> climbing;
    for (int k = 0; k < n; ++k) {
      bool more = false;
      table_.values[static_cast<std::size_t>(batch[k])] =
          node_from_rungs(ladder_, &rungs[static_cast<std::size_t>(k) * kRungs], first, &more);
      if (more) climbing.push_back(k);
    }
    status = run_tasks(static_cast<int>(climbing.size()), [&](int task, LocalWork& work) {
      const int k = climbing[static_cast<std::size_t>(task)];
      RungValue* own = &rungs[static_cast<std::size_t>(k) * kRungs];
      const double intensity = table_.intensities[static_cast<std::size_t>(batch[k])];
      bool more = true;
      NodeValue node;
      for (int r = first; r < ladder_.rungs && more; ++r) {
        own[r] = rung_value(absorber_, ladder_, intensity, r, work);
        node = node_from_rungs(ladder_, own, r + 1, &more);
      }
      table_.values[static_cast<std::size_t>(batch[k])] = node;
    });
    if (status != Status::ok) return status;
    ++table_.counts.rounds;
    return Status::ok;
  }

  // Runs task(i, work) for i < n on the worker threads, each worker with
  // integrator storage of its own; this thread's interrupt check is asked
  // between the tasks it takes.
  template <typename Task>
  Status run_tasks(int n, const Task& task) {
    if (n == 0) return Status::ok;
    const int workers = std::max(1, std::min(model_threads(), n));
    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::atomic<bool> abandoned{false};
    run_workers(workers, [&](int worker) {
      try {
        LocalWork work;
        for (int i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
          if (worker == 0 && interrupt_requested()) abandoned.store(true);
          if (abandoned.load()) return;
          task(i, work);
          done.fetch_add(1);
        }
      } catch (const std::bad_alloc&) {
        // The other workers take the remaining tasks.
      }
    });
    if (abandoned.load()) return Status::interrupted;
    if (done.load() != n) return Status::out_of_memory;
    return Status::ok;
  }

  // Fits the intervals not yet accepted and refines those whose checks
  // disagree; true when nodes were added.
  bool refine(bool may_refine) {
    std::vector<TableInterval> next;
    int count = static_cast<int>(table_.intervals.size());
    for (TableInterval& iv : table_.intervals) {
      if (iv.accepted) {
        next.push_back(std::move(iv));
        continue;
      }
      fit(iv);
      const bool over = !(iv.table_error <= budget_);
      const bool failed = !std::isfinite(iv.integral);
      if (!over || failed || !may_refine) {
        iv.accepted = true;
        next.push_back(std::move(iv));
      } else if (iv.degree < kMaxDegree) {
        next.push_back(doubled(iv));
      } else if (count < kMaxIntervals) {
        ++count;
        split(iv, next);
      } else {
        iv.accepted = true;
        next.push_back(std::move(iv));
      }
    }
    table_.intervals = std::move(next);
    return !pending_.empty();
  }

 private:
  int add_node(double intensity) {
    table_.intensities.push_back(intensity);
    table_.values.emplace_back();
    const int id = static_cast<int>(table_.intensities.size() - 1);
    pending_.push_back(id);
    return id;
  }

  void add_checks(TableInterval& iv) {
    const int c = check_index(iv.degree);
    iv.checks[0] = add_node(node_position(iv, c, 2 * iv.degree));
    iv.checks[1] = add_node(node_position(iv, 2 * iv.degree - c, 2 * iv.degree));
  }

  TableInterval new_interval(double low, double high, int low_node, int high_node) {
    TableInterval iv;
    iv.low = low;
    iv.high = high;
    iv.degree = kInitialDegree;
    iv.nodes.assign(static_cast<std::size_t>(iv.degree + 1), -1);
    iv.nodes.front() = low_node;
    iv.nodes.back() = high_node;
    for (int j = 1; j < iv.degree; ++j)
      iv.nodes[static_cast<std::size_t>(j)] = add_node(node_position(iv, j, iv.degree));
    add_checks(iv);
    return iv;
  }

  // The interval with twice the degree: its nodes are the even ones, its
  // checks two of the odd ones.
  TableInterval doubled(const TableInterval& iv) {
    TableInterval out;
    out.low = iv.low;
    out.high = iv.high;
    out.degree = 2 * iv.degree;
    out.nodes.assign(static_cast<std::size_t>(out.degree + 1), -1);
    const int c = check_index(iv.degree);
    for (int j = 0; j <= out.degree; ++j) {
      int& node = out.nodes[static_cast<std::size_t>(j)];
      if (j % 2 == 0)
        node = iv.nodes[static_cast<std::size_t>(j / 2)];
      else if (j == c)
        node = iv.checks[0];
      else if (j == out.degree - c)
        node = iv.checks[1];
      else
        node = add_node(node_position(out, j, out.degree));
    }
    add_checks(out);
    return out;
  }

  void split(const TableInterval& iv, std::vector<TableInterval>& out) {
    const double middle = iv.low == 0.0 ? iv.high * kZeroSplit : std::sqrt(iv.low * iv.high);
    const int middle_node = add_node(middle);
    out.push_back(new_interval(iv.low, middle, iv.nodes.front(), middle_node));
    out.push_back(new_interval(middle, iv.high, middle_node, iv.nodes.back()));
  }

  void fit(TableInterval& iv) {
    const std::size_t size = static_cast<std::size_t>(iv.degree + 1);
    std::vector<double> f(size);
    iv.node_error = 0.0;
    for (std::size_t j = 0; j < size; ++j) {
      const NodeValue& v = table_.values[static_cast<std::size_t>(iv.nodes[j])];
      f[j] = v.value;
      iv.node_error = std::max(iv.node_error, v.error);
    }
    iv.coefficients.resize(size);
    lobatto_coefficients(f.data(), iv.degree, iv.coefficients.data());
    // int_0^1 T_k(2z - 1) dz = 1 / (1 - k^2) for even k, 0 for odd k.
    double integral = 0.0;
    for (int k = 0; k <= iv.degree; k += 2)
      integral += iv.coefficients[static_cast<std::size_t>(k)] / (1.0 - static_cast<double>(k) * k);
    iv.integral = (iv.high - iv.low) * integral;
    double deviation = 0.0;
    for (int check : iv.checks) {
      const NodeValue& v = table_.values[static_cast<std::size_t>(check)];
      const double x = (table_.intensities[static_cast<std::size_t>(check)] - iv.low) / (iv.high - iv.low);
      deviation = std::max(deviation, std::fabs(chebyshev_value(iv.coefficients.data(), iv.degree, x) - v.value));
      iv.node_error = std::max(iv.node_error, v.error);
    }
    iv.table_error = kCheckSafety * deviation;
    if (!std::isfinite(iv.integral) || !std::isfinite(iv.table_error)) {
      iv.integral = std::numeric_limits<double>::quiet_NaN();
      iv.table_error = std::numeric_limits<double>::infinity();
    }
  }

  const Absorber& absorber_;
  const Ladder& ladder_;
  const double budget_;
  Table& table_;
  std::vector<int> pending_;
  LocalWork dummy_;  // for the nodes at zero intensity, which integrate nothing
};

}  // namespace

Status build_table(const Absorber& absorber, const Ladder& ladder, double max_intensity,
                   double tolerance, Table& table) {
  try {
    Builder builder(absorber, ladder, tolerance, table);
    builder.first_layout(max_intensity);
    for (int round = 1;; ++round) {
      if (interrupt_requested()) return Status::interrupted;
      const Status status = builder.compute_pending();
      if (status != Status::ok) return status;
      if (!builder.refine(round < kMaxRounds)) break;
    }
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }
  TableCounts& c = table.counts;
  c.nodes = static_cast<int>(table.values.size());
  for (const NodeValue& v : table.values) {
    c.integrations += v.integrations;
    c.steps += v.steps;
    c.failed_integrations += v.failed_integrations;
    if (!std::isfinite(v.value)) ++c.failed_nodes;
  }
  return Status::ok;
}

BeamAverage beam_average(const Table& table, double intensity) {
  BeamAverage out;
  if (intensity == 0.0) {
    out.value = 1.0;
    return out;
  }
  double before = 0.0, before_error = 0.0;
  for (const TableInterval& iv : table.intervals) {
    const double width = iv.high - iv.low;
    const double bound = iv.table_error + kNodeErrorFactor * iv.node_error;
    if (intensity > iv.high && &iv != &table.intervals.back()) {
      before += iv.integral;
      before_error += width * bound;
      continue;
    }
    // The mean of the interpolant over [low, intensity] by Gauss-Legendre,
    // exact for its degree.
    const double x = (intensity - iv.low) / width;
    const int points = iv.degree / 2 + 1;
    double nodes[kMaxDegree / 2 + 1], weights[kMaxDegree / 2 + 1];
    gauss_legendre(points, nodes, weights);
    double mean = 0.0;
    for (int q = 0; q < points; ++q)
      mean += weights[q] * chebyshev_value(iv.coefficients.data(), iv.degree, x * nodes[q]);
    const double partial = intensity - iv.low;
    if (iv.low == 0.0) {
      out.value = mean;
      out.error = bound;
    } else {
      out.value = (before + partial * mean) / intensity;
      out.error = (before_error + partial * bound) / intensity;
    }
    break;
  }
  if (!std::isfinite(out.value) || !std::isfinite(out.error)) {
    out.value = std::numeric_limits<double>::quiet_NaN();
    out.error = std::numeric_limits<double>::infinity();
  }
  return out;
}

double table_worker_bytes(const Ladder& ladder) {
  const double neq = 4.0 * (ladder.depth[ladder.rungs - 1].degree + 1) + 1.0;
  // Integrator work arrays, tolerances and solution (whole_beam_local).
  return 8.0 * (neq * neq + 20.0 * neq + 64.0) + 4.0 * (neq + 20.0);
}

}  // namespace zscan
