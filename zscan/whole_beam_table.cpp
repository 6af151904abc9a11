// The table of the local transmittance over peak intensity and the beam
// average taken from it; see whole_beam_table.h. The first layout is one
// interval over all of [0, y(I_max)]; the check nodes of an interval of
// degree p are two of the nodes that doubling its degree would add, near a
// third and two thirds of its angle, where the interpolation error of a
// smooth function is close to its largest. The beam average integrates the
// interpolant over I = I_c (e^y - 1), dI = I_c e^y dy, by Gauss-Legendre
// rules of more points than the interpolant's degree needs. Relies on the
// table nodes, the Chebyshev-Lobatto helpers, the model's worker threads
// and this thread's interrupt check.
#include "zscan/whole_beam_table.h"

#include <algorithm>
#include <array>
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
// Doubling keeps the old nodes and turns the checks into nodes, so that a
// start at 4 reaches 8 with two new nodes and two new checks: the demo's
// reverse and saturable absorbers are both met at 8 (the saturable one
// needs more than 6 in any coordinate tried: a start at 6 would double to
// 12), most of the converged reference cases too (table nodes and
// integrator steps over them: benchmarks/README.md).
constexpr int kInitialDegree = 4;
constexpr int kMaxDegree = 24;
// Gauss-Legendre points of the beam average beyond half the degree: the
// integrand is the interpolant times e^y.
constexpr int kExtraPoints = 8;
// The interpolation error of the beam average: kModelSafety times the
// integral of the modelled error plus kShapeShare times the integral of its
// magnitude (the true error's departure from the model's shape).
constexpr double kModelSafety = 2.0;
constexpr double kShapeShare = 0.3;
// Share of the tolerance the table's interpolation may take.
constexpr double kTableBudget = 0.5;
// The interpolant's error from the errors of its nodes is bounded by this
// multiple of the largest: the beam average integrates the interpolant of
// the node errors, and the weights of Chebyshev-Lobatto quadrature are
// positive and sum to one (partial intervals come close to it); the node
// estimates carry their own safety.
constexpr double kNodeErrorFactor = 1.0;
constexpr int kMaxRounds = 12;
// A doubled interval whose checks improve by less than this factor is at
// the noise of its nodes: it is accepted as it is.
constexpr double kNoiseGain = 0.5;
constexpr int kMaxIntervals = 64;
// The nodes' errors are sampled: every other interpolation node of a new
// interval, and the lowest new node of a doubled one (an integration of few
// steps, whose error is the largest for its tolerance), climbs the first
// two rungs; the other nodes and the checks take the first alone. The
// largest sampled estimate times kSampleSafety bounds the error of every
// node (1.5 left unsampled nodes up to 1.3 times beyond it). A sample beyond
// the node budget over kSampleSafety makes the table resolve every node
// instead.
constexpr double kSampleSafety = 2.0;
// Upper ends y of the partial beam averages at which an interval's
// average_error is taken, evenly over the interval.
constexpr int kAverageProbes = 16;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

double intensity_at(const TableScale& s, double y) { return s.scale * std::expm1(y); }
double coordinate_of(const TableScale& s, double intensity) {
  return std::log1p(intensity / s.scale);
}

// Position of node j of degree `degree` in the interval; its ends exactly.
double node_position(const TableInterval& iv, int j, int degree) {
  if (j == 0) return iv.low;
  if (j == degree) return iv.high;
  return iv.low + (iv.high - iv.low) * lobatto_node(j, degree);
}

// Index of the first check node among the nodes of degree 2p.
int check_index(int degree) { return 2 * (degree / 3) + 1; }

// The node polynomial of the interval at x in [0, 1].
double node_polynomial(const TableInterval& iv, double x) {
  double w = 1.0;
  for (double node : iv.positions) w *= x - node;
  return w;
}

// The modelled interpolation error at x in [0, 1].
double modelled_error(const TableInterval& iv, double x) {
  return node_polynomial(iv, x) * (iv.shape[0] + iv.shape[1] * x);
}

// The integrals of the modelled interpolation error and of its magnitude
// over [iv.low, y], dI.
struct ErrorIntegrals {
  double signed_part = 0.0, magnitude = 0.0;
};
ErrorIntegrals error_integrals(const TableScale& scale, const TableInterval& iv, double y) {
  const int points = static_cast<int>(iv.rule_nodes.size());
  const double* nodes = iv.rule_nodes.data();
  const double* weights = iv.rule_weights.data();
  const double width = iv.high - iv.low;
  const double x_end = (y - iv.low) / width;
  ErrorIntegrals out;
  for (int q = 0; q < points; ++q) {
    const double x = x_end * nodes[q];
    const double c = modelled_error(iv, x) * std::exp(iv.low + width * x);
    out.signed_part += weights[q] * c;
    out.magnitude += weights[q] * std::fabs(c);
  }
  out.signed_part *= scale.scale * (width * x_end);
  out.magnitude *= scale.scale * (width * x_end);
  return out;
}

// The integral of function f of the interval (0: Tloc, 1..: derivatives)
// over [iv.low, y] with respect to I.
double partial_integral(const TableScale& scale, const TableInterval& iv, int f, double y) {
  const int points = static_cast<int>(iv.rule_nodes.size());
  const double* nodes = iv.rule_nodes.data();
  const double* weights = iv.rule_weights.data();
  const double* a = iv.coefficients.data() + at(f) * at(iv.degree + 1);
  const double width = iv.high - iv.low;
  const double x_end = (y - iv.low) / width;
  double sum = 0.0;
  for (int q = 0; q < points; ++q) {
    const double x = x_end * nodes[q];
    sum += weights[q] * chebyshev_value(a, iv.degree, x) * std::exp(iv.low + width * x);
  }
  return scale.scale * (width * x_end) * sum;
}

class Builder {
 public:
  Builder(const Absorber& absorber, const Ladder& ladder, const TableRequest& request, Table& table)
      : absorber_(absorber),
        ladder_(ladder),
        request_(request),
        budget_(kTableBudget * request.tolerance),
        table_(table) {
    table_.scale = request.scale;
    table_.derivatives =
        request.derivatives != nullptr ? static_cast<int>(request.derivatives->size()) : 0;
  }

  void first_layout() {
    const double top = coordinate_of(table_.scale, table_.scale.max_intensity);
    const int zero = add_node(0.0);
    const int end = add_node(top);
    table_.intervals.push_back(new_interval(0.0, top, zero, end));
  }

  // Computes the pending rungs on the worker threads, each an integration
  // of its own. While the table samples its nodes' errors, every
  // interpolation node and check gets the coarser rung of its pair, and the
  // sampled nodes the finer one too; once it resolves them all, a new
  // interpolation node gets both rungs, a check the finer one alone (what
  // the check compares), a check that became a node the coarser one; then,
  // node by node, the further rungs of those whose first two disagree. The
  // derivatives come with the rung whose value the node returns (the
  // coarser of its pair), so that they are the slopes of the values
  // tabulated and cost the cheaper integration; they take no part in its
  // steps, so its value is the same bits without them. What a node is does
  // not depend on where its rungs were computed.
  Status compute_pending() {
    const int p = table_.derivatives;
    const int first = std::min(2, ladder_.rungs);
    const int fine = first - 1;
    struct Task {
      int id, rung;
      bool slopes;
    };
    std::vector<Task> tasks;
    std::vector<int> batch;
    for (int id : pending_) {
      if (table_.intensities[at(id)] == 0.0) {
        table_.values[at(id)] = table_node(absorber_, ladder_, 0.0, dummy_);
        continue;
      }
      batch.push_back(id);
      const bool node = is_node_[at(id)] != 0;
      const bool slopes = node && p > 0;
      for (int r = fine; r >= 0; --r) {
        if (!wanted(id, r, fine)) continue;
        const bool has = (done_[at(id)] >> r) & 1u;
        const bool needs_slopes = slopes && r == 0 && sloped_[at(id)] == 0;
        if (!has || needs_slopes) tasks.push_back({id, r, needs_slopes});
      }
    }
    pending_.clear();
    // The finer rungs first, then the coarser ones, each set from the most
    // intense node down: the longest integrations first balance the workers.
    std::sort(tasks.begin(), tasks.end(), [this](const Task& a, const Task& b) {
      if (a.rung != b.rung) return a.rung > b.rung;
      const double ia = table_.intensities[at(a.id)], ib = table_.intensities[at(b.id)];
      return ia != ib ? ia > ib : a.id < b.id;
    });
    ++table_.counts.rounds;
    Status status = run_tasks(static_cast<int>(tasks.size()), [&](int i, LocalWork& work) {
      const Task& t = tasks[at(i)];
      rungs_[at(t.id)][at(t.rung)] =
          rung_value(absorber_, ladder_, table_.intensities[at(t.id)], t.rung, work,
                     t.slopes ? request_.derivatives : nullptr,
                     t.slopes ? &table_.slopes[at(t.id) * at(p)] : nullptr);
    });
    if (status != Status::ok) return status;
    for (const Task& t : tasks) {
      done_[at(t.id)] |= static_cast<unsigned char>(1u << t.rung);
      if (t.slopes) sloped_[at(t.id)] = static_cast<unsigned char>(t.rung + 1);
    }
    if (sampling_ && !samples_hold(batch, first)) {
      // A sampled node's pair disagrees by more than the samples may: every
      // node and check is resolved, and every interval fitted anew.
      sampling_ = false;
      for (std::size_t id = 0; id < table_.values.size(); ++id)
        if (table_.intensities[id] != 0.0) pending_.push_back(static_cast<int>(id));
      for (TableInterval& iv : table_.intervals) iv.accepted = false;
      return compute_pending();
    }
    // Checks are the rung they compare; nodes climb further where needed.
    std::vector<int> climbing;
    for (int id : batch) {
      const RungValue* own = rungs_[at(id)].data();
      if (is_node_[at(id)] == 0 || (sampling_ && sample_[at(id)] == 0)) {
        table_.values[at(id)] = single_rung(own[sampling_ ? 0 : fine]);
        continue;
      }
      bool more = false;
      table_.values[at(id)] = node_from_rungs(ladder_, own, first, &more);
      if (more) climbing.push_back(id);
    }
    status = run_tasks(static_cast<int>(climbing.size()), [&](int task, LocalWork& work) {
      const int id = climbing[at(task)];
      const double intensity = table_.intensities[at(id)];
      RungValue* own = rungs_[at(id)].data();
      bool more = true;
      NodeValue node;
      for (int r = first; r < ladder_.rungs && more; ++r) {
        own[r] = rung_value(absorber_, ladder_, intensity, r, work);
        node = node_from_rungs(ladder_, own, r + 1, &more);
      }
      // The derivatives from the rung returned, when that is not the first.
      if (p > 0 && node.top_rung != 0 && std::isfinite(node.value)) {
        rung_value(absorber_, ladder_, intensity, node.top_rung, work, request_.derivatives,
                   &table_.slopes[at(id) * at(p)]);
        ++node.integrations;
      }
      table_.values[at(id)] = node;
    });
    if (status != Status::ok) return status;
    for (int id : batch) note_breach(id);
    return table_.breach.found ? Status::left_physics : Status::ok;
  }

  // While sampling: every interval's node error, and every node's estimate,
  // from all the samples taken (an interval accepted early saw fewer).
  void finish() {
    if (!sampling_) return;
    const double bound = kSampleSafety * sampled_error_;
    for (TableInterval& iv : table_.intervals) iv.node_error = bound;
    for (std::size_t id = 0; id < table_.values.size(); ++id) {
      NodeValue& v = table_.values[id];
      if (is_node_[id] != 0 && table_.intensities[id] != 0.0 && std::isfinite(v.value))
        v.error = bound;
    }
  }

  // Whether rung r of node id is computed in this state of the table.
  bool wanted(int id, int r, int fine) const {
    if (r == fine && r > 0) return !sampling_ || (is_node_[at(id)] != 0 && sample_[at(id)] != 0);
    return is_node_[at(id)] != 0 || sampling_;
  }

  // Whether the sampled nodes of the batch (and those before) leave every
  // node within the node budget: each pair agrees to within the budget
  // over kSampleSafety.
  bool samples_hold(const std::vector<int>& batch, int first) {
    if (first < 2) return false;
    for (int id : batch) {
      if (is_node_[at(id)] == 0 || sample_[at(id)] == 0) continue;
      bool more = false;
      const NodeValue v = node_from_rungs(ladder_, rungs_[at(id)].data(), first, &more);
      if (!(v.error * kSampleSafety <= ladder_.budget)) return false;
      sampled_error_ = std::max(sampled_error_, v.error);
    }
    return true;
  }

  // A value from one rung alone (a check, or a node between the samples).
  static NodeValue single_rung(const RungValue& rung) {
    NodeValue v;
    v.value = v.finer = rung.completed ? rung.value : std::numeric_limits<double>::quiet_NaN();
    v.error = rung.completed ? 0.0 : std::numeric_limits<double>::infinity();
    v.integrations = rung.integrations;
    v.steps = rung.steps;
    v.failed_integrations = rung.failed_integrations;
    v.range = rung.range;
    return v;
  }

  // Runs task(i, work) for i < n on the worker threads, each worker with
  // integrator storage of its own; this thread's interrupt check is asked
  // between the tasks it takes.
  template <typename Task>
  Status run_tasks(int n, const Task& task) {
    return zscan::run_tasks<LocalWork>(n, task);
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
      // The values are beam averages: the interpolation error they carry,
      // not its largest pointwise value, is held to the budget.
      const bool over = !(iv.average_error <= budget_);
      const bool failed = !std::isfinite(iv.coefficients[0]);
      const bool noise = iv.table_error > kNoiseGain * iv.halved_error;
      if (!over || failed || noise || !may_refine) {
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
  // A new node (an interpolation node, or a check that needs only its
  // finer rung), pending.
  int add_node(double y, bool node = true, bool sample = false) {
    table_.intensities.push_back(intensity_at(table_.scale, y));
    table_.values.emplace_back();
    table_.slopes.resize(table_.slopes.size() + at(table_.derivatives), 0.0);
    rungs_.emplace_back();
    done_.push_back(0);
    sloped_.push_back(0);
    is_node_.push_back(node ? 1 : 0);
    sample_.push_back(sample ? 1 : 0);
    const int id = static_cast<int>(table_.intensities.size() - 1);
    pending_.push_back(id);
    return id;
  }

  // A check that became an interpolation node: its remaining rungs pending.
  int promoted(int id) {
    is_node_[at(id)] = 1;
    pending_.push_back(id);
    return id;
  }

  // A node whose returned rung left [0, 1] by more than the margin.
  void note_breach(int id) {
    const NodeValue& v = table_.values[at(id)];
    if (!std::isfinite(v.value)) return;
    const double margin = request_.physics_margin;
    const double below = -v.range.low, above = v.range.high - 1.0;
    if (!(below > margin) && !(above > margin)) return;
    PhysicsBreach& b = table_.breach;
    const double worst = std::max(below, above);
    const double known = b.found ? std::max(-b.population, b.population - 1.0) : -1.0;
    if (worst <= known) return;
    b.found = true;
    b.level = below >= above ? v.range.low_level : v.range.high_level;
    b.population = below >= above ? v.range.low : v.range.high;
    b.intensity = table_.intensities[at(id)];
  }

  void add_checks(TableInterval& iv) {
    const int c = check_index(iv.degree);
    iv.checks[0] = add_node(node_position(iv, c, 2 * iv.degree), false);
    iv.checks[1] = add_node(node_position(iv, 2 * iv.degree - c, 2 * iv.degree), false);
  }

  TableInterval new_interval(double low, double high, int low_node, int high_node) {
    TableInterval iv;
    iv.low = low;
    iv.high = high;
    iv.degree = kInitialDegree;
    iv.halved_error = std::numeric_limits<double>::infinity();
    iv.nodes.assign(at(iv.degree + 1), -1);
    iv.nodes.front() = low_node;
    iv.nodes.back() = high_node;
    for (int j = 1; j < iv.degree; ++j)
      iv.nodes[at(j)] = add_node(node_position(iv, j, iv.degree), true, j % 2 == 1);
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
    out.halved_error = iv.table_error;
    out.nodes.assign(at(out.degree + 1), -1);
    const int c = check_index(iv.degree);
    for (int j = 0; j <= out.degree; ++j) {
      int& node = out.nodes[at(j)];
      if (j % 2 == 0)
        node = iv.nodes[at(j / 2)];
      else if (j == c)
        node = promoted(iv.checks[0]);
      else if (j == out.degree - c)
        node = promoted(iv.checks[1]);
      else
        node = add_node(node_position(out, j, out.degree), true, j == 1);
    }
    add_checks(out);
    return out;
  }

  void split(const TableInterval& iv, std::vector<TableInterval>& out) {
    const double middle = 0.5 * (iv.low + iv.high);
    const int middle_node = add_node(middle);
    out.push_back(new_interval(iv.low, middle, iv.nodes.front(), middle_node));
    out.push_back(new_interval(middle, iv.high, middle_node, iv.nodes.back()));
  }

  void fit(TableInterval& iv) {
    const int p = table_.derivatives;
    const std::size_t size = at(iv.degree + 1);
    std::vector<double> f(size);
    iv.coefficients.assign(size * at(1 + p), 0.0);
    iv.node_error = 0.0;
    for (int k = 0; k <= p; ++k) {
      for (std::size_t j = 0; j < size; ++j) {
        const int id = iv.nodes[j];
        f[j] = k == 0 ? table_.values[at(id)].value : table_.slopes[at(id) * at(p) + at(k - 1)];
      }
      lobatto_coefficients(f.data(), iv.degree, &iv.coefficients[at(k) * size]);
    }
    iv.positions.resize(size);
    for (std::size_t j = 0; j < size; ++j) iv.positions[j] = lobatto_node(static_cast<int>(j), iv.degree);
    const int points = iv.degree / 2 + kExtraPoints;
    iv.rule_nodes.resize(at(points));
    iv.rule_weights.resize(at(points));
    gauss_legendre(points, iv.rule_nodes.data(), iv.rule_weights.data());
    iv.integrals.resize(at(1 + p));
    for (int k = 0; k <= p; ++k) iv.integrals[at(k)] = partial_integral(table_.scale, iv, k, iv.high);
    if (sampling_) {
      iv.node_error = kSampleSafety * sampled_error_;
    } else {
      for (std::size_t j = 0; j < size; ++j)
        iv.node_error = std::max(iv.node_error, table_.values[at(iv.nodes[j])].error);
    }
    // The interpolation error, apart from the nodes' own: the interpolant of
    // the values the checks are (the finer rungs once every node is
    // resolved) against theirs at the checks.
    for (std::size_t j = 0; j < size; ++j) {
      const NodeValue& v = table_.values[at(iv.nodes[j])];
      f[j] = sampling_ ? v.value : v.finer;
    }
    std::vector<double> finer(size);
    lobatto_coefficients(f.data(), iv.degree, finer.data());
    double deviation[2] = {}, where[2] = {};
    for (int c = 0; c < 2; ++c) {
      const NodeValue& v = table_.values[at(iv.checks[c])];
      const double y = coordinate_of(table_.scale, table_.intensities[at(iv.checks[c])]);
      where[c] = (y - iv.low) / (iv.high - iv.low);
      deviation[c] = v.finer - chebyshev_value(finer.data(), iv.degree, where[c]);
    }
    iv.table_error = std::max(std::fabs(deviation[0]), std::fabs(deviation[1]));
    // a + b x through deviation / w at the two checks.
    const double u0 = deviation[0] / node_polynomial(iv, where[0]);
    const double u1 = deviation[1] / node_polynomial(iv, where[1]);
    iv.shape[1] = (u0 - u1) / (where[0] - where[1]);
    iv.shape[0] = u0 - iv.shape[1] * where[0];
    const ErrorIntegrals whole = error_integrals(table_.scale, iv, iv.high);
    iv.error_integral = whole.signed_part;
    iv.error_magnitude = whole.magnitude;
    iv.average_error = 0.0;
    const double i_low = intensity_at(table_.scale, iv.low);
    for (int k = 1; k <= kAverageProbes; ++k) {
      const double y = iv.low + (iv.high - iv.low) * k / kAverageProbes;
      const ErrorIntegrals part = error_integrals(table_.scale, iv, y);
      const double bound = kModelSafety * std::fabs(part.signed_part) + kShapeShare * part.magnitude;
      iv.average_error = std::max(iv.average_error, bound / (intensity_at(table_.scale, y) - i_low));
    }
    bool finite = std::isfinite(iv.table_error) && std::isfinite(iv.error_magnitude) &&
                  std::isfinite(iv.average_error);
    for (double a : iv.coefficients) finite = finite && std::isfinite(a);
    if (!finite) {
      iv.coefficients.assign(iv.coefficients.size(), std::numeric_limits<double>::quiet_NaN());
      iv.table_error = std::numeric_limits<double>::infinity();
      iv.average_error = iv.table_error;
    }
  }

  const Absorber& absorber_;
  const Ladder& ladder_;
  const TableRequest& request_;
  const double budget_;
  Table& table_;
  std::vector<int> pending_;
  // Per node: its rungs, which of them are computed (bit r), the rung + 1
  // its derivatives came with (0: none), and whether it is an interpolation
  // node rather than a check.
  std::vector<std::array<RungValue, kRungs>> rungs_;
  std::vector<unsigned char> done_, sloped_, is_node_, sample_;
  // Whether the nodes' errors are still taken from samples, and the largest
  // error estimate of a sampled node so far.
  bool sampling_ = true;
  double sampled_error_ = 0.0;
  LocalWork dummy_;  // for the nodes at zero intensity, which integrate nothing
};

}  // namespace

TableScale table_scale(const Absorber& absorber, double max_intensity, const Pulse& pulse) {
  TableScale s;
  s.max_intensity = max_intensity;
  const double dose = excitation_dose(absorber, max_intensity, pulse);
  s.scale = std::min(max_intensity / 3.0, std::max(max_intensity * 1e-3, max_intensity / std::sqrt(dose)));
  return s;
}

Status build_table(const Absorber& absorber, const Ladder& ladder, const TableRequest& request,
                   Table& table) {
  try {
    Builder builder(absorber, ladder, request, table);
    builder.first_layout();
    for (int round = 1;; ++round) {
      if (interrupt_requested()) return Status::interrupted;
      const Status status = builder.compute_pending();
      if (status != Status::ok) return status;
      if (!builder.refine(round < kMaxRounds)) break;
    }
    builder.finish();
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

BeamAverage beam_average(const Table& table, double intensity, double* derivatives) {
  BeamAverage out;
  const int p = table.derivatives;
  if (intensity == 0.0) {
    out.value = 1.0;
    out.local = 1.0;
    for (int k = 0; k < p && derivatives != nullptr; ++k) derivatives[k] = 0.0;
    return out;
  }
  const TableScale& scale = table.scale;
  const double y = coordinate_of(scale, intensity);
  double node_error = 0.0;  // times the intensity
  ErrorIntegrals interpolation;
  std::vector<double> before(at(1 + p), 0.0);
  for (const TableInterval& iv : table.intervals) {
    const double i_low = intensity_at(scale, iv.low);
    const double bound = kNodeErrorFactor * iv.node_error;
    if (y > iv.high && &iv != &table.intervals.back()) {
      for (int k = 0; k <= p; ++k) before[at(k)] += iv.integrals[at(k)];
      node_error += (intensity_at(scale, iv.high) - i_low) * bound;
      interpolation.signed_part += iv.error_integral;
      interpolation.magnitude += iv.error_magnitude;
      continue;
    }
    for (int k = 0; k <= p; ++k) before[at(k)] += partial_integral(scale, iv, k, y);
    node_error += (intensity - i_low) * bound;
    const ErrorIntegrals part = error_integrals(scale, iv, y);
    interpolation.signed_part += part.signed_part;
    interpolation.magnitude += part.magnitude;
    const double x = (y - iv.low) / (iv.high - iv.low);
    out.local = chebyshev_value(iv.coefficients.data(), iv.degree, x);
    break;
  }
  out.value = before[0] / intensity;
  out.error = (node_error + kModelSafety * std::fabs(interpolation.signed_part) +
               kShapeShare * interpolation.magnitude) /
              intensity;
  for (int k = 0; k < p && derivatives != nullptr; ++k) derivatives[k] = before[at(k + 1)] / intensity;
  if (!std::isfinite(out.value) || !std::isfinite(out.error)) {
    out.value = std::numeric_limits<double>::quiet_NaN();
    out.error = std::numeric_limits<double>::infinity();
    out.local = std::numeric_limits<double>::quiet_NaN();
  }
  return out;
}

double table_worker_bytes(const Ladder& ladder, int derivatives) {
  const double neq = (4.0 * (ladder.depth[ladder.rungs - 1].degree + 1) + 1.0) * (1.0 + derivatives);
  // Integrator work arrays, tolerances and solution (whole_beam_local); the
  // full matrix of the fall-back.
  return 8.0 * (neq * neq + 20.0 * neq + 64.0) + 4.0 * (neq + 20.0);
}

}  // namespace zscan
