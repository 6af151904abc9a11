// The local transmittance of one peak intensity against a brute-force
// evaluation of the definition written independently here: the five
// populations (not their departures) at uniformly spaced depths, the
// optical depth by the trapezoidal rule (Richardson over two spacings), the
// pulse by classical Runge-Kutta steps far below the stiff lifetimes, on a
// reverse absorber from the ground state and from excited levels (levels 2
// and 4 included, with the compensation that keeps the initial state
// stationary in the dark: the levels it drains give in proportion to what
// they hold, the levels it fills receive in proportion to their share), a
// saturable one and a thick sample.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "zscan/whole_beam_inputs.h"
#include "zscan/whole_beam_node.h"
#include "zscan/whole_beam_table.h"
#include "zscan_whole_beam.h"

namespace {

using whole_beam_test::Case;

// Tloc / Te_lin by brute force on `slabs` depth intervals.
double brute_force(const Case& c, double intensity, int slabs) {
  using Levels = std::array<double, 5>;
  const std::vector<double>& p = c.spec_pars;
  double total = 0.0;
  for (double n : c.populations) total += n;
  Levels start;
  for (int l = 0; l < 5; ++l) start[l] = c.populations[l] / total;
  const double photon = 6.62607015e-34 * 299792458.0 / c.wavelength;
  const double r0 = p[0] * c.tau / photon * intensity, r1 = p[1] * c.tau / photon * intensity,
               r2 = p[2] * c.tau / photon * intensity;
  const double k10 = c.tau / p[3], k13 = c.tau / p[4], k21 = c.tau / p[5], k30 = c.tau / p[6],
               k43 = c.tau / p[7];
  const double c0 = p[0] * total * c.width, c1 = p[1] * total * c.width, c3 = p[2] * total * c.width;
  auto rates = [&](const Levels& n, double g) {
    const double a0 = r0 * g * n[0], a1 = r1 * g * n[1], a2 = r2 * g * n[3];
    const double d10 = k10 * n[1], d13 = k13 * n[1], d21 = k21 * n[2], d30 = k30 * n[3], d43 = k43 * n[4];
    return Levels{d10 - a0 + d30, a0 + d21 - d10 - d13 - a1, a1 - d21, d13 - d30 - a2 + d43, a2 - d43};
  };
  // The compensation: c = -R(N_init, 0); drained levels (c < 0) give
  // c_l n_l / n_l,init, the filled ones (c > 0) share the total given.
  const Levels dark = rates(start, 0.0);
  double filled = 0.0;
  for (int l = 0; l < 5; ++l) filled += std::fmax(-dark[l], 0.0);
  auto compensation = [&](const Levels& n) {
    Levels out{};
    double given = 0.0;
    for (int l = 0; l < 5; ++l) {
      if (-dark[l] < 0.0) {
        out[l] = -dark[l] * n[l] / start[l];
        given += dark[l] * n[l] / start[l];
      }
    }
    for (int l = 0; l < 5; ++l)
      if (-dark[l] > 0.0) out[l] = -dark[l] / filled * given;
    return out;
  };
  const int m = slabs + 1;
  std::vector<Levels> n(static_cast<size_t>(m), start), k[4];
  std::vector<double> od(static_cast<size_t>(m));
  // Derivatives of the populations at every depth and of the transmitted fluence.
  auto derivative = [&](double s, const std::vector<Levels>& y, std::vector<Levels>& dy) {
    od[0] = 0.0;
    for (int j = 1; j < m; ++j) {
      const Levels& a = y[static_cast<size_t>(j - 1)];
      const Levels& b = y[static_cast<size_t>(j)];
      const double alpha = c0 * (a[0] + b[0]) + c1 * (a[1] + b[1]) + c3 * (a[3] + b[3]);
      od[static_cast<size_t>(j)] = od[static_cast<size_t>(j - 1)] + 0.5 * alpha / slabs;
    }
    const double pulse = std::exp(-4.0 * std::log(2.0) * s * s);
    dy.resize(static_cast<size_t>(m));
    for (int j = 0; j < m; ++j) {
      const Levels& n = y[static_cast<size_t>(j)];
      const Levels r = rates(n, pulse * std::exp(-od[static_cast<size_t>(j)]));
      const Levels kept = compensation(n);
      for (int l = 0; l < 5; ++l) dy[static_cast<size_t>(j)][l] = r[l] + kept[l];
    }
    return pulse * std::exp(-od[static_cast<size_t>(m - 1)]);
  };
  const double h = 4e-4;
  double s = -4.0, transmitted = 0.0;
  std::vector<Levels> y;
  for (int step = 0; step < 20000; ++step) {
    double q[4];
    const double offsets[4] = {0.0, 0.5 * h, 0.5 * h, h};
    for (int stage = 0; stage < 4; ++stage) {
      y = n;
      if (stage > 0)
        for (int j = 0; j < m; ++j)
          for (int l = 0; l < 5; ++l)
            y[static_cast<size_t>(j)][l] += offsets[stage] * k[stage - 1][static_cast<size_t>(j)][l];
      q[stage] = derivative(s + offsets[stage], y, k[stage]);
    }
    for (int j = 0; j < m; ++j)
      for (int l = 0; l < 5; ++l)
        n[static_cast<size_t>(j)][l] +=
            h / 6.0 * (k[0][static_cast<size_t>(j)][l] + 2.0 * k[1][static_cast<size_t>(j)][l] +
                       2.0 * k[2][static_cast<size_t>(j)][l] + k[3][static_cast<size_t>(j)][l]);
    transmitted += h / 6.0 * (q[0] + 2.0 * q[1] + 2.0 * q[2] + q[3]);
    s += h;
  }
  const double linear = std::exp(-(c0 * start[0] + c1 * start[1] + c3 * start[3]));
  return transmitted / std::sqrt(3.141592653589793 / (4.0 * std::log(2.0))) / linear;
}

struct LocalCase {
  const char* name;
  Case c;
  double agreement;  // the brute force's own error
};

LocalCase local_case(const char* name, void (*change)(Case&), double agreement) {
  LocalCase l{name, Case(), agreement};
  change(l.c);
  return l;
}

class WholeBeamLocal : public ::testing::TestWithParam<LocalCase> {};

TEST_P(WholeBeamLocal, AgreesWithABruteForceEvaluation) {
  const LocalCase& p = GetParam();
  const zscan::WholeBeamExperiment e = p.c.experiment();
  const zscan::Absorber absorber = zscan::make_absorber(e, p.c.spec_pars.data()).absorber;
  const double intensity = zscan::whole_beam_peak_intensity(e, 1.5e-6, 0.0);
  const double coarse = brute_force(p.c, intensity, 100), fine = brute_force(p.c, intensity, 200);
  const double extrapolated = fine + (fine - coarse) / 3.0;
  zscan::LocalWork work;
  const zscan::NodeValue node = zscan::table_node(
      absorber, zscan::make_ladder(1e-7, absorber, intensity, zscan::PulseShape::gaussian), intensity,
      work);
  // Within the node's estimate (for a tolerance of 1e-7, at most half of
  // it), up to the brute force's own error.
  EXPECT_LE(std::fabs(node.value - extrapolated), node.error + p.agreement) << p.name;
  EXPECT_LE(node.error, 0.5e-7) << p.name;
  EXPECT_GT(std::fabs(node.value - 1.0), 0.01) << "the case is nonlinear";
}

INSTANTIATE_TEST_SUITE_P(
    WholeBeam, WholeBeamLocal,
    ::testing::Values(
        local_case("Reverse", [](Case&) {}, 1e-10),
        local_case("ExcitedStart", [](Case& c) { c.populations = {2e17, 5e16, 0.0, 5e16, 0.0}; }, 1e-10),
        local_case("TransparentLevelsPopulated",
                   [](Case& c) { c.populations = {2e17, 5e16, 1e15, 5e16, 1e15}; }, 1e-10),
        local_case("Saturable", [](Case& c) { c.spec_pars = whole_beam_test::saturable(); }, 1e-10),
        local_case("Thick", [](Case& c) { c.width = 1.0; }, 2e-9)),
    [](const ::testing::TestParamInfo<LocalCase>& info) { return std::string(info.param.name); });

// ------------------------------------------------------ within physics
// Level 3 populated beside the ground state and kept by a fast decay into
// it (0.4 ns) against a slow feed (1 us from level 4), strongly driven at
// 10 uJ: the compensation gives from the ground state in proportion to what
// it holds, so every population stays within [0, N_total] at every step
// however hard the pulse empties level 0.
Case kept_level_3() {
  Case c;
  c.populations = {1.5e17, 0.0, 0.0, 1.5e17, 0.0};
  c.spec_pars = {1e-17, 4e-17, 5e-17, 5e-9, 1e-8, 1e-12, 0.4e-9, 1e-6};
  c.energies = {1e-5};
  c.positions = {-20.0, -4.0, -1.0, 0.0};
  return c;
}

TEST(WholeBeamLocalPopulations, StayWithinTheTotalUnderStrongDriving) {
  const Case c = kept_level_3();
  const zscan::WholeBeamExperiment e = c.experiment();
  const zscan::Absorber absorber = zscan::make_absorber(e, c.spec_pars.data()).absorber;
  const double peak = zscan::whole_beam_peak_intensity(e, 1e-5, 0.0);
  const zscan::Ladder ladder = zscan::make_ladder(1e-5, absorber, peak, zscan::PulseShape::gaussian);
  zscan::LocalWork work;
  for (double fraction : {0.01, 0.3, 1.0}) {
    const zscan::RungValue rung = zscan::rung_value(absorber, ladder, fraction * peak, 0, work);
    ASSERT_TRUE(rung.completed);
    EXPECT_GT(rung.range.low, -1e-6) << fraction;
    EXPECT_LT(rung.range.high, 1.0 + 1e-6) << fraction;
  }
  const whole_beam_test::Result r = whole_beam_test::evaluate(c);
  ASSERT_EQ(r.status, zscan::Status::ok);
  for (size_t i = 0; i < r.values.size(); ++i) EXPECT_LE(r.errors[i], c.tolerance) << i;
}

// A node whose populations leave [-margin, 1 + margin] stops the table with
// Status::left_physics and says where: with a margin below zero every node
// does, and the most extreme population is reported.
TEST(WholeBeamLocalPopulations, ANodeBeyondTheMarginStopsTheTable) {
  Case c;
  const zscan::WholeBeamExperiment e = c.experiment();
  const zscan::Absorber absorber = zscan::make_absorber(e, c.spec_pars.data()).absorber;
  const double peak = zscan::whole_beam_peak_intensity(e, 1.5e-6, 0.0);
  const zscan::Ladder ladder = zscan::make_ladder(1e-5, absorber, peak, zscan::PulseShape::gaussian);
  zscan::TableRequest request;
  request.scale = zscan::table_scale(absorber, peak, ladder.pulse);
  request.tolerance = 1e-5;
  request.physics_margin = 1e-5;
  zscan::Table within;
  EXPECT_EQ(zscan::build_table(absorber, ladder, request, within), zscan::Status::ok);
  request.physics_margin = -0.5;
  zscan::Table beyond;
  ASSERT_EQ(zscan::build_table(absorber, ladder, request, beyond), zscan::Status::left_physics);
  EXPECT_TRUE(beyond.breach.found);
  EXPECT_GE(beyond.breach.level, 0);
  EXPECT_LT(beyond.breach.level, zscan::kLevels);
  EXPECT_TRUE(beyond.breach.population <= 0.0 || beyond.breach.population >= 1.0);
  EXPECT_GT(beyond.breach.intensity, 0.0);
  EXPECT_LE(beyond.breach.intensity, peak);
}

}  // namespace
