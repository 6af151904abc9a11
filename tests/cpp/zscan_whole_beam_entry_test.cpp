// The whole-beam entry: what it refuses (NaN values and infinite errors
// everywhere: invalid inputs, initial populations that cannot be kept
// stationary, samples beyond the largest optical depth), its interrupt
// check, the same bits on every thread count, no integrator messages on
// well-set problems, and the error bound of the wing normalisation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lsoda/lsoda.h"
#include "zscan/zscan.h"
#include "zscan_whole_beam.h"

namespace {

using whole_beam_test::Case;
using whole_beam_test::Result;
using whole_beam_test::evaluate;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A case with few points, for the input checks.
Case small_case() {
  Case c;
  c.positions = {-10.0, 0.0, 10.0};
  c.energies = {1e-6};
  return c;
}

void expect_refused(const Result& r, zscan::Status status) {
  EXPECT_EQ(r.status, status);
  for (double v : r.values) EXPECT_TRUE(std::isnan(v));
  for (double e : r.errors) EXPECT_EQ(e, kInf);
}

struct Spoiled {
  const char* name;
  std::function<void(Case&)> spoil;
};

class WholeBeamRefuses : public ::testing::TestWithParam<Spoiled> {};

TEST_P(WholeBeamRefuses, WithNaNValuesAndInfiniteErrors) {
  Case c = small_case();
  GetParam().spoil(c);
  expect_refused(evaluate(c), zscan::Status::invalid_input);
}

INSTANTIATE_TEST_SUITE_P(
    WholeBeamEntry, WholeBeamRefuses,
    ::testing::Values(
        Spoiled{"NaNWavelength", [](Case& c) { c.wavelength = kNaN; }},
        Spoiled{"ZeroWavelength", [](Case& c) { c.wavelength = 0.0; }},
        Spoiled{"NegativeWaist", [](Case& c) { c.w0 = -2e-5; }},
        Spoiled{"ZeroM2", [](Case& c) { c.M2 = 0.0; }},
        Spoiled{"ZeroTau", [](Case& c) { c.tau = 0.0; }},
        Spoiled{"NegativeWidth", [](Case& c) { c.width = -0.1; }},
        Spoiled{"NegativePopulation", [](Case& c) { c.populations[2] = -1.0; }},
        Spoiled{"NegativeCrossSection", [](Case& c) { c.spec_pars[1] = -1e-17; }},
        Spoiled{"InfiniteCrossSection", [](Case& c) { c.spec_pars[0] = kInf; }},
        Spoiled{"ZeroLifetime", [](Case& c) { c.spec_pars[5] = 0.0; }},
        Spoiled{"NaNLifetime", [](Case& c) { c.spec_pars[7] = kNaN; }},
        Spoiled{"NegativeEnergy", [](Case& c) { c.energies[0] = -1e-6; }},
        Spoiled{"NaNPosition", [](Case& c) { c.positions[1] = kNaN; }},
        Spoiled{"ToleranceBelowTheLeast", [](Case& c) { c.tolerance = 1e-11; }}),
    [](const ::testing::TestParamInfo<Spoiled>& info) { return std::string(info.param.name); });

TEST(WholeBeamEntry, RefusesMissingArraysAndCounts) {
  const Case c = small_case();
  std::vector<double> values(3, -7.0), errors(3, -7.0);
  zscan::WholeBeamScan scan{c.positions.data(), 3, 1e-6};
  auto refused = [&](zscan::WholeBeamExperiment e, const double* spec, zscan::WholeBeamScan s,
                     int n_scans, double* v, double* err) {
    zscan::WholeBeamRequest request;
    request.scans = n_scans < 0 ? nullptr : &s;
    request.n_scans = n_scans < 0 ? 1 : n_scans;
    return zscan::whole_beam_transmittance(e, spec, request, v, err, nullptr) ==
           zscan::Status::invalid_input;
  };
  const zscan::WholeBeamExperiment e = c.experiment();
  zscan::WholeBeamExperiment no_populations = e;
  no_populations.populations = nullptr;
  zscan::WholeBeamScan empty = scan, unplaced = scan;
  empty.n_points = 0;
  unplaced.positions_mm = nullptr;
  const double* spec = c.spec_pars.data();
  EXPECT_TRUE(refused(e, nullptr, scan, 1, values.data(), errors.data()));
  EXPECT_TRUE(std::isnan(values[0]) && errors[0] == kInf);
  EXPECT_TRUE(refused(e, spec, scan, 1, nullptr, errors.data()));
  EXPECT_TRUE(refused(e, spec, scan, 1, values.data(), nullptr));
  EXPECT_TRUE(refused(no_populations, spec, scan, 1, values.data(), errors.data()));
  EXPECT_TRUE(refused(e, spec, scan, 0, values.data(), errors.data()));
  EXPECT_TRUE(refused(e, spec, scan, -1, values.data(), errors.data()));
  EXPECT_TRUE(refused(e, spec, empty, 1, values.data(), errors.data()));
  EXPECT_TRUE(refused(e, spec, unplaced, 1, values.data(), errors.data()));
}

// ----------------------------------------------------------- outcomes
struct Undrainable {
  const char* name;
  std::vector<double> populations;
  int level;
  unsigned lifetimes;  // bit k: spec_pars[k]
};

class WholeBeamNotStationary : public ::testing::TestWithParam<Undrainable> {};

// The compensation would drain a level that holds nothing: the level and
// the lifetimes through which the populated levels feed it are named.
TEST_P(WholeBeamNotStationary, IsRefusedNamingTheLevelAndTheLifetimes) {
  Case c = small_case();
  c.populations = GetParam().populations;
  const Result r = evaluate(c);
  expect_refused(r, zscan::Status::not_stationary);
  EXPECT_EQ(r.stats.drained_level, GetParam().level);
  EXPECT_EQ(r.stats.drain_lifetimes, GetParam().lifetimes);
}

INSTANTIATE_TEST_SUITE_P(
    WholeBeamEntry, WholeBeamNotStationary,
    ::testing::Values(Undrainable{"GroundFromLevel3", {0.0, 0.0, 0.0, 3e17, 0.0}, 0, 1u << 6},
                      Undrainable{"Level1FromLevel2", {3e17, 0.0, 1e16, 0.0, 0.0}, 1, 1u << 5},
                      Undrainable{"Level3FromLevels1And4", {3e17, 1e16, 0.0, 0.0, 1e16}, 3,
                                  (1u << 4) | (1u << 7)}),
    [](const ::testing::TestParamInfo<Undrainable>& info) { return std::string(info.param.name); });

// With the lifetime that would drain it infinite the state is a true dark
// steady state, and nothing needs compensating.
TEST(WholeBeamEntry, ADarkSteadyStateNeedsNoCompensation) {
  Case c = small_case();
  c.populations = {0.0, 0.0, 0.0, 3e17, 0.0};
  c.spec_pars[6] = kInf;
  const Result r = evaluate(c);
  EXPECT_EQ(r.status, zscan::Status::ok);
  for (double v : r.values) EXPECT_TRUE(std::isfinite(v));
}

TEST(WholeBeamEntry, SamplesBeyondTheLargestOpticalDepthAreRefused) {
  Case c = small_case();
  c.populations = {1e30, 0.0, 0.0, 0.0, 0.0};  // sigma_0 N0 L = 1e12
  const Result r = evaluate(c);
  expect_refused(r, zscan::Status::too_thick);
  EXPECT_NEAR(r.stats.optical_depth, 1e12, 1e-3);
  c.populations = {1e23, 0.0, 0.0, 0.0, 0.0};  // 1e5: resolved
  EXPECT_EQ(evaluate(c).status, zscan::Status::ok);
}

// ----------------------------------------------------------- interrupts
// Answers true from its stop_at-th consultation on.
struct CountingCheck {
  int calls = 0, stop_at = 0;
  static bool check(void* data) {
    CountingCheck* c = static_cast<CountingCheck*>(data);
    return ++c->calls >= c->stop_at;
  }
};

TEST(WholeBeamEntry, StopsWhenTheInterruptCheckAsks) {
  const Case c = small_case();
  // 1: before the first batch; 2 and 5: between the nodes the calling thread computes.
  for (int stop_at : {1, 2, 5}) {
    zscan::set_model_threads(1);
    CountingCheck check;
    check.stop_at = stop_at;
    Result r;
    {
      zscan::InterruptHookScope hook(CountingCheck::check, &check);
      r = evaluate(c);
    }
    zscan::set_model_threads(0);
    expect_refused(r, zscan::Status::interrupted);
    EXPECT_EQ(check.calls, stop_at);
  }
}

// The check may run another evaluation on the same thread; the one it
// interrupts goes on unchanged.
bool evaluate_and_continue(void* data) {
  static thread_local bool inside = false;  // the nested evaluation asks too
  if (inside) return false;
  inside = true;
  Case other = small_case();
  other.spec_pars = whole_beam_test::saturable();
  const Result r = evaluate(other);
  inside = false;
  ++*static_cast<int*>(data);
  return r.status != zscan::Status::ok;
}

TEST(WholeBeamEntry, AnEvaluationInsideTheInterruptCheckLeavesTheOuterOneAlone) {
  const Case c = small_case();
  const Result plain = evaluate(c);
  int nested = 0;
  Result inner;
  // One thread: the calling thread computes every node and asks between
  // them (with workers, how many it computes depends on the scheduling).
  zscan::set_model_threads(1);
  {
    zscan::InterruptHookScope hook(evaluate_and_continue, &nested);
    inner = evaluate(c);
  }
  zscan::set_model_threads(0);
  ASSERT_EQ(inner.status, zscan::Status::ok);
  EXPECT_GT(nested, 1);
  EXPECT_TRUE(same_bits(inner.values, plain.values));
  EXPECT_TRUE(same_bits(inner.errors, plain.errors));
}

// ----------------------------------------------------------- threads
TEST(WholeBeamEntry, ResultsAreTheSameBitsOnEveryThreadCount) {
  Case rsa, sa;
  sa.spec_pars = whole_beam_test::saturable();
  sa.energies = {5e-6, 15e-6};  // several rounds of refinement
  for (const Case& c : {rsa, sa}) {
    zscan::set_model_threads(1);
    const Result one = evaluate(c);
    ASSERT_EQ(one.status, zscan::Status::ok);
    for (int threads : {2, 3, 8}) {
      zscan::set_model_threads(threads);
      const Result many = evaluate(c);
      EXPECT_TRUE(same_bits(many.values, one.values)) << threads;
      EXPECT_TRUE(same_bits(many.errors, one.errors)) << threads;
      EXPECT_EQ(many.stats.integrator_steps, one.stats.integrator_steps);
    }
    zscan::set_model_threads(0);
  }
}

// ----------------------------------------------------------- messages
class CountingSink : public lsoda::MessageSink {
 public:
  void receive(const char*, const std::string&) noexcept override { ++messages; }
  std::atomic<int> messages{0};
};

TEST(WholeBeamEntry, WellSetProblemsRaiseNoIntegratorMessages) {
  CountingSink sink;
  lsoda::MessageSink* previous = lsoda::set_message_sink(&sink);
  zscan::set_model_threads(2);
  Case rsa, sa, thick;
  sa.spec_pars = whole_beam_test::saturable();
  thick.width = 1.0;
  thick.tolerance = 1e-7;
  for (const Case& c : {rsa, sa, thick}) {
    const Result r = evaluate(c);
    EXPECT_EQ(r.status, zscan::Status::ok);
    EXPECT_EQ(r.stats.failed_integrations, 0);
    EXPECT_EQ(r.stats.failed_nodes, 0);
  }
  zscan::set_model_threads(0);
  lsoda::set_message_sink(previous);
  EXPECT_EQ(sink.messages.load(), 0);
}

// ----------------------------------------------------------- wing normalisation
// Any values within their errors give ratios within the bound.
TEST(WholeBeamEntry, WingNormalisationBoundsTheErrorOfTheRatio) {
  const int n = 12;
  std::vector<double> values(n), errors(n), out(n), out_errors(n);
  for (int i = 0; i < n; ++i) {
    values[i] = 1.0 - 0.3 * std::exp(-0.2 * (i - 6) * (i - 6));
    errors[i] = 1e-4 * (1 + i % 3);
  }
  ASSERT_EQ(zscan::whole_beam_wing_normalise(values.data(), errors.data(), n, out.data(), out_errors.data()),
            zscan::Status::ok);
  double mean = 0.0;
  for (int k = 0; k < 5; ++k) mean += (values[k] + values[n - 5 + k]) / 10.0;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> sign(-1.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<double> perturbed(n);
    for (int i = 0; i < n; ++i) perturbed[i] = values[i] + (trial < 2 ? (trial ? 1 : -1) : sign(random)) * errors[i];
    double m = 0.0;
    for (int k = 0; k < 5; ++k) m += (perturbed[k] + perturbed[n - 5 + k]) / 10.0;
    for (int i = 0; i < n; ++i) {
      EXPECT_NEAR(out[i], values[i] / mean, 1e-15);
      EXPECT_LE(std::fabs(perturbed[i] / m - out[i]), out_errors[i]) << i;
    }
  }
  // In place, on the values and errors themselves.
  std::vector<double> v = values, e = errors;
  ASSERT_EQ(zscan::whole_beam_wing_normalise(v.data(), e.data(), n, v.data(), e.data()), zscan::Status::ok);
  EXPECT_TRUE(same_bits(v, out));
  EXPECT_TRUE(same_bits(e, out_errors));
  EXPECT_EQ(zscan::whole_beam_wing_normalise(values.data(), errors.data(), 4, out.data(), out_errors.data()),
            zscan::Status::invalid_input);
  EXPECT_EQ(zscan::whole_beam_wing_normalise(nullptr, errors.data(), n, out.data(), out_errors.data()),
            zscan::Status::invalid_input);
}

}  // namespace
