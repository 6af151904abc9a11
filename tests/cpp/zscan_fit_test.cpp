// Tests of the least-squares fit and of the fit core entry: the
// position-weighted error against the unweighted residuals, untouched
// unfitted parameters, recovery of known parameters from data the model made
// itself, the case the minimiser refuses, refused inputs, fits on two
// threads at once, the interrupt check, and storage beyond the memory limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "zscan/zscan.h"
#include "zscan/interrupt.h"
#include "zscan/least_squares_fit.h"
#include "zscan/memory_limit.h"
#include "zscan/model_state.h"
#include "zscan_scan.h"

namespace {

// Weight of a point z metres from the focus, from its definition.
double weight(double z) { return 1.0 + 4.0 * std::exp(-4.0 * z * z); }

using zscan_test::same_bits;

// A model equal to spec_pars[0] at every point: fitting it is weighted
// averaging, whose answer is sum(w y) / sum(w).
void constant_model(double* out, const double*, const int* n_points, const double*,
                    const int*, const double*, const int*, const double*,
                    const double*, const double*, const double* spec_pars) {
  std::fill(out, out + *n_points, spec_pars[0]);
}

// Six points, one data set, two slices: the data of the fits of a model
// that reads no grids.
struct SixPoints {
  const std::vector<double> z{-0.6, -0.3, 0.0, 0.2, 0.5, 0.9};
  const std::vector<double> y{1.0, 0.9, 0.7, 0.95, 1.05, 1.1};
  const std::vector<double> grid{0.0, 1.0}, unused = std::vector<double>(12, 0.0);
  zscan::FitData data(zscan::ModelFunction model) const {
    zscan::FitData d;
    d.model_function = model;
    d.scan_positions = z.data();
    d.y_data = y.data();
    d.intensity_grid = unused.data();
    d.populations = unused.data();
    d.depth_grid = grid.data();
    d.time_grid = grid.data();
    d.frequency = 5.6e14;
    d.num_x_pts = 6;
    d.num_datasets = 1;
    d.t_slices = 2;
    d.z_slices = 2;
    return d;
  }
};

TEST(LeastSquaresFit, FitsWeightedMeanAndReturnsUnweightedResiduals) {
  const SixPoints six;
  const std::vector<double>& z = six.z;
  const std::vector<double>& y = six.y;
  const std::vector<double> start{1.0, 0.1 + 0.2, 3.0, 1e-9, 2e-9, 3e-9, 4e-9, 5e-9};
  std::vector<double> pars = start, r(6);
  const int nx = 6, index = 1, n_fit = 1;
  double error = -1.0;
  const zscan::FitData data = six.data(constant_model);
  ASSERT_EQ(zscan::least_squares_fit(data, &index, n_fit, pars.data(), r.data(), &error),
            zscan::Status::ok);
  double sum_wy = 0.0, sum_w = 0.0, weighted = 0.0, plain = 0.0;
  for (int p = 0; p < nx; ++p) {
    sum_wy += weight(z[p]) * y[p];
    sum_w += weight(z[p]);
    EXPECT_EQ(r[p], y[p] - pars[0]) << p;  // measured minus model
    weighted += weight(z[p]) * r[p] * r[p];
    plain += r[p] * r[p];
  }
  EXPECT_NEAR(pars[0], sum_wy / sum_w, 1e-8);
  EXPECT_TRUE(same_bits({pars.begin() + 1, pars.end()}, {start.begin() + 1, start.end()}));
  EXPECT_NEAR(error, std::sqrt(weighted), 1e-12 * error);
  EXPECT_GT(error, 1.1 * std::sqrt(plain));

  const zscan::FitContext& ctx = zscan::fit_context();  // torn down
  EXPECT_EQ(ctx.n_fit, 0);
  EXPECT_EQ(ctx.data.model_function, nullptr);
  EXPECT_EQ(ctx.spec_pars, nullptr);
  EXPECT_TRUE(ctx.model_values.empty());
  EXPECT_EQ(ctx.data.frequency, data.frequency);
}

// A reverse saturable absorber under weak light: nine points per data set,
// four time slices, two slabs; data set d has pulse energy 2.5e-8 (d + 1).
const std::vector<double> kTruth{1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 3e-9, 1e-6, 3e-9};

zscan_test::Scan make_scan(int nd) {
  zscan_test::Scan s;
  s.nd = nd;
  for (int d = 0; d < nd; ++d) {
    s.energy.push_back(2.5e-8 * (d + 1));
    for (int i = 0; i < s.nx; ++i) s.centered_x.push_back(-12.0 + 3.0 * i);
  }
  return s;
}

struct FitOutcome {
  zscan::Status status;
  std::vector<double> spec_pars, residuals;
  double error;
};

FitOutcome fit(const zscan_test::Scan& s, const std::vector<double>& y,
               std::vector<double> spec_pars, const std::vector<int>& indices, int n_res) {
  FitOutcome r{zscan::Status::ok, std::move(spec_pars),
               std::vector<double>(std::max(s.nx * s.nd, n_res), -7.0), -7.0};
  const int n_fit = static_cast<int>(indices.size());
  r.status = zscan::run_fit_core(
      s.centered_x.data(), y.data(), s.populations.data(), r.residuals.data(), &r.error,
      &s.t_slices, &s.z_slices, &s.width, &s.tau, &s.wavelength, &s.w0, &s.m2,
      s.energy.data(), r.spec_pars.data(), indices.data(), &n_fit, &s.nx, &s.nd,
      &s.n_pop, &n_res);
  return r;
}

FitOutcome fit_from_one_point_five(int nd, const std::vector<int>& indices) {
  const zscan_test::Scan s = make_scan(nd);
  std::vector<double> start = kTruth;
  for (int k : indices) start[k - 1] *= 1.5;
  return fit(s, zscan_test::model_of(s, zscan_test::grids_of(s), kTruth), start,
             indices, s.nx * nd);
}

class FitRecovery : public ::testing::TestWithParam<std::pair<int, std::vector<int>>> {};

// Noise-free data made by the model at known parameters; the fit starts 1.5
// times away, comes back, and leaves the other parameters bit for bit alone.
TEST_P(FitRecovery, RecoversParametersFromOnePointFiveTimesAway) {
  const std::vector<int>& indices = GetParam().second;
  const FitOutcome r = fit_from_one_point_five(GetParam().first, indices);
  ASSERT_EQ(r.status, zscan::Status::ok);
  for (int k = 0; k < 8; ++k) {
    if (std::count(indices.begin(), indices.end(), k + 1) > 0) {
      EXPECT_NEAR(r.spec_pars[k], kTruth[k], 1e-3 * kTruth[k]) << k;
    } else {
      EXPECT_EQ(std::memcmp(&r.spec_pars[k], &kTruth[k], sizeof(double)), 0) << k;
    }
  }
  EXPECT_LT(r.error, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(
    OneAndTwo, FitRecovery,
    ::testing::Values(std::make_pair(1, std::vector<int>{3}), std::make_pair(2, std::vector<int>{3}),
                      std::make_pair(1, std::vector<int>{1, 3}),
                      std::make_pair(2, std::vector<int>{1, 3})));

class NothingToFit : public ::testing::TestWithParam<std::vector<int>> {};

// With no fitted parameter, or more of them than points, the minimiser does
// not run: the start vector stands, the residuals are measured minus model
// there and the error is their weighted norm. Only n_res residuals are
// copied out.
TEST_P(NothingToFit, ReportsWeightedNormAtStartVector) {
  const zscan_test::Scan s = make_scan(1);
  std::vector<double> y = zscan_test::model_of(s, zscan_test::grids_of(s), kTruth);
  std::vector<double> offsets(s.nx, 0.0);
  double weighted = 0.0;
  for (int p = 0; p < s.nx - 2; ++p) {  // the last two points fit exactly
    offsets[p] = 0.01 * (p % 3) - 0.012;
    y[p] += offsets[p];
    weighted += weight(s.centered_x[p] * 0.001) * offsets[p] * offsets[p];
  }
  const FitOutcome r = fit(s, y, kTruth, GetParam(), s.nx - 1);
  ASSERT_EQ(r.status, zscan::Status::ok);
  EXPECT_TRUE(same_bits(r.spec_pars, kTruth));
  for (int p = 0; p < s.nx - 1; ++p) EXPECT_NEAR(r.residuals[p], offsets[p], 1e-12) << p;
  EXPECT_EQ(r.residuals[s.nx - 1], -7.0);  // beyond n_res: untouched
  EXPECT_NEAR(r.error, std::sqrt(weighted), 1e-10);
}

INSTANTIATE_TEST_SUITE_P(NoneOrTooMany, NothingToFit,
                         ::testing::Values(std::vector<int>{}, std::vector<int>(10, 3)));

class FitCoreRefuses : public ::testing::TestWithParam<std::vector<int>> {};

// Counts or indices that would lead outside the caller's arrays are refused
// before any work: NaN error and residuals, start vector untouched.
TEST_P(FitCoreRefuses, CountsAndIndicesOutOfRange) {
  zscan_test::Scan s = make_scan(1);
  const std::vector<int>& b = GetParam();  // nx, nd, t_slices, n_pop, index
  s.nx = b[0];
  s.nd = b[1];
  s.t_slices = b[2];
  s.n_pop = b[3];
  const FitOutcome r = fit(s, std::vector<double>(9, 1.0), kTruth, {b[4]}, 4);
  EXPECT_EQ(r.status, zscan::Status::invalid_input);
  EXPECT_TRUE(std::isnan(r.error));
  for (int p = 0; p < 4; ++p) EXPECT_TRUE(std::isnan(r.residuals[p])) << p;
  EXPECT_TRUE(same_bits(r.spec_pars, kTruth));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FitCoreRefuses,
    ::testing::Values(std::vector<int>{4, 1, 4, 5, 3}, std::vector<int>{9, 1, 1, 5, 3},
                      std::vector<int>{9, 1, 4, 4, 3}, std::vector<int>{9, 1, 4, 5, 9}));

// Two fits at once on two threads give bit for bit what they give one after
// the other; each thread starts from its own zero-filled state and keeps only
// its last fit's frequency.
TEST(FitCore, FitsOnTwoThreadsAtOnceMatchSequentialFits) {
  const FitOutcome seq1 = fit_from_one_point_five(1, {3});
  const FitOutcome seq2 = fit_from_one_point_five(2, {1, 3});
  FitOutcome par1, par2;
  bool fresh1 = false, fresh2 = false, left1 = false;
  std::thread a([&] {
    const zscan::FitContext& ctx = zscan::fit_context();
    fresh1 = ctx.data.frequency == 0.0 && zscan::model_coefficients().sigma_0 == 0.0;
    par1 = fit_from_one_point_five(1, {3});
    left1 = ctx.n_fit == 0 && ctx.data.model_function == nullptr &&
            ctx.data.frequency == 299792458.0 / 532e-9;
  });
  std::thread b([&] {
    fresh2 = zscan::fit_context().data.frequency == 0.0;
    par2 = fit_from_one_point_five(2, {1, 3});
  });
  a.join();
  b.join();
  EXPECT_TRUE(fresh1 && fresh2 && left1);
  for (const auto& [s, p] : {std::make_pair(&seq1, &par1), std::make_pair(&seq2, &par2)}) {
    EXPECT_TRUE(same_bits(s->spec_pars, p->spec_pars));
    EXPECT_TRUE(same_bits(s->residuals, p->residuals));
    EXPECT_TRUE(same_bits({s->error}, {p->error}));
  }
}

// ---------------------------------------------------------------- interrupts

// Counts the consultations of the interrupt check and answers true from the
// consultation `stop_at` on (never when it is 0).
struct StopAfter {
  int stop_at = 0;
  int asked = 0;
};

bool stop_after(void* data) {
  StopAfter* s = static_cast<StopAfter*>(data);
  ++s->asked;
  return s->stop_at > 0 && s->asked >= s->stop_at;
}

thread_local int t_model_calls = 0;

void counting_constant_model(double* out, const double* positions, const int* n_points,
                             const double* depth, const int* z_slices, const double* times,
                             const int* t_slices, const double* populations,
                             const double* intensity, const double* frequency,
                             const double* spec_pars) {
  ++t_model_calls;
  constant_model(out, positions, n_points, depth, z_slices, times, t_slices, populations,
                 intensity, frequency, spec_pars);
}

class InterruptCheck : public ::testing::TestWithParam<int> {};

// The check is asked before every model evaluation; the evaluation at which
// it answers true is not made, the minimiser stops there, and the fit reports
// the interruption without touching its outputs (n_fit 1: the minimiser runs;
// n_fit 0: the single evaluation at the start vector).
TEST_P(InterruptCheck, StopsTheFitBeforeTheNextModelEvaluation) {
  const int n_fit = GetParam();
  const SixPoints six;
  const std::vector<double> start{1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0};
  for (int stop_at : {1, 3}) {
    if (n_fit == 0 && stop_at > 1) continue;  // only one evaluation to stop
    std::vector<double> pars = start, r(6, -7.0);
    const int index = 1;
    double error = -1.0;
    StopAfter stop{stop_at, 0};
    t_model_calls = 0;
    zscan::Status status;
    {
      zscan::InterruptHookScope hook(stop_after, &stop);
      status = zscan::least_squares_fit(six.data(counting_constant_model), &index, n_fit,
                                        pars.data(), r.data(), &error);
    }
    EXPECT_EQ(status, zscan::Status::interrupted) << stop_at;
    EXPECT_EQ(stop.asked, stop_at);
    EXPECT_EQ(t_model_calls, stop_at - 1);  // no final pass either
    EXPECT_TRUE(same_bits(pars, start));
    EXPECT_EQ(error, -1.0);
    EXPECT_EQ(zscan::fit_context().data.model_function, nullptr);  // torn down
    EXPECT_EQ(zscan::fit_context().n_fit, 0);
  }
  EXPECT_FALSE(zscan::interrupt_requested());  // the scope took the check away
}

INSTANTIATE_TEST_SUITE_P(MinimiserOrNot, InterruptCheck, ::testing::Values(1, 0));

// A check that never asks to stop changes nothing, bit for bit; a check on
// another thread does not reach this thread's fits.
TEST(InterruptCheck, ACheckThatNeverStopsOrBelongsToAnotherThreadChangesNothing) {
  const FitOutcome plain = fit_from_one_point_five(2, {1, 3});
  StopAfter never{0, 0};
  FitOutcome watched;
  {
    zscan::InterruptHookScope hook(stop_after, &never);
    watched = fit_from_one_point_five(2, {1, 3});
  }
  EXPECT_GT(never.asked, 10);
  StopAfter always{1, 0};
  FitOutcome elsewhere;
  {
    zscan::InterruptHookScope hook(stop_after, &always);
    std::thread other([&] { elsewhere = fit_from_one_point_five(2, {1, 3}); });
    other.join();
  }
  EXPECT_EQ(always.asked, 0);
  for (const FitOutcome* r : {&watched, &elsewhere}) {
    EXPECT_EQ(r->status, zscan::Status::ok);
    EXPECT_TRUE(same_bits(r->spec_pars, plain.spec_pars));
    EXPECT_TRUE(same_bits(r->residuals, plain.residuals));
    EXPECT_TRUE(same_bits({r->error}, {plain.error}));
  }
}

// The check may run anything, a whole fit included (a Python signal handler
// can): the fit it interrupts goes on with its own context, bit for bit.
struct NestedFit {
  bool done = false;
  FitOutcome inner;
};

bool fit_once_from_the_check(void* data) {
  NestedFit* n = static_cast<NestedFit*>(data);
  if (!n->done) {
    n->done = true;
    n->inner = fit_from_one_point_five(1, {3});
  }
  return false;
}

TEST(InterruptCheck, AFitRunFromTheCheckLeavesTheRunningFitAlone) {
  const FitOutcome outer_alone = fit_from_one_point_five(2, {1, 3});
  const FitOutcome inner_alone = fit_from_one_point_five(1, {3});
  NestedFit nested;
  FitOutcome outer;
  {
    zscan::InterruptHookScope hook(fit_once_from_the_check, &nested);
    outer = fit_from_one_point_five(2, {1, 3});
  }
  ASSERT_TRUE(nested.done);
  for (const auto& [a, b] : {std::make_pair(&outer, &outer_alone),
                             std::make_pair(&nested.inner, &inner_alone)}) {
    EXPECT_EQ(a->status, zscan::Status::ok);
    EXPECT_TRUE(same_bits(a->spec_pars, b->spec_pars));
    EXPECT_TRUE(same_bits(a->residuals, b->residuals));
    EXPECT_TRUE(same_bits({a->error}, {b->error}));
  }
  EXPECT_EQ(zscan::fit_context().data.model_function, nullptr);
}

// ---------------------------------------------------------------- memory

TEST(MemoryLimit, SizesSaturateInsteadOfWrapping) {
  const std::uint64_t max = UINT64_MAX;
  EXPECT_EQ(zscan::saturating_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32), max);
  EXPECT_EQ(zscan::saturating_mul(max, 0), 0u);
  EXPECT_EQ(zscan::saturating_mul(3, 5), 15u);
  EXPECT_EQ(zscan::saturating_add(max - 1, 2), max);
  EXPECT_EQ(zscan::saturating_add(max - 2, 2), max);
  EXPECT_EQ(zscan::saturating_add(max - 3, 2), max - 1);
  EXPECT_GT(zscan::usable_memory_bytes(), 0u);
}

// Working storage the process could never back is refused before anything
// is allocated: 9 points times 2^31 - 1 time slices need 154 GB for the
// intensity grid alone, 2^31 - 1 slabs 86 GB per model thread.
TEST(FitCore, RefusesWorkingStorageBeyondUsableMemory) {
  const std::uint64_t grid_bytes = 9ull * INT_MAX * sizeof(double);
  if (zscan::usable_memory_bytes() >= grid_bytes) GTEST_SKIP() << "machine too large";
  for (int which = 0; which < 2; ++which) {
    zscan_test::Scan s = make_scan(1);
    (which == 0 ? s.t_slices : s.z_slices) = INT_MAX;
    const FitOutcome r = fit(s, std::vector<double>(9, 1.0), kTruth, {3}, 9);
    EXPECT_EQ(r.status, zscan::Status::out_of_memory) << which;
    EXPECT_TRUE(std::isnan(r.error));
    for (double v : r.residuals) EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(same_bits(r.spec_pars, kTruth));
  }
}

}  // namespace
