// Tests of the rate and attenuation steps: right-hand sides worked by hand,
// conservation of the total population, and single steps against analytic
// solutions (decay without light, Beer-Lambert attenuation).
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "zscan/model_state.h"
#include "zscan/rate_equations.h"

namespace {

// Sets this thread's model coefficients as the transmittance model does.
void set_coefficients(double photons_per_joule, const double (&p)[8]) {
  zscan::model_coefficients() = {photons_per_joule, p[0], p[1], p[2], 1.0 / p[3],
                                 1.0 / p[4], 1.0 / p[5], 1.0 / p[6], 1.0 / p[7]};
}

// A reverse saturable absorber at 532 nm: cm^2 and seconds.
constexpr double kRsa[8] = {1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12};
const double kRsaPhotonsPerJoule = 1.5091901796421518e33 / (299792458.0 / 532e-9);

void step(void (*integrate)(const double*, double, zscan::IntegratorWork&, double*),
          const double (&state)[6], double end, double (&y)[6]) {
  zscan::IntegratorWork work;
  integrate(state, end, work, y);
}

TEST(RightHandSides, MatchHandWorkedValues) {
  set_coefficients(1.0, {1.0, 2.0, 3.0, 10.0, 5.0, 2.0, 4.0, 1.0});
  int neq = 5;
  double t = 0.0, ydot[5];
  double y[6] = {1.0, 0.5, 0.25, 0.125, 0.0625, 2.0};
  zscan::rate_equations(&neq, &t, y, ydot);
  const double expected[5] = {-1.91875, -0.025, 1.875, -0.61875, 0.6875};
  for (int k = 0; k < 5; ++k) EXPECT_NEAR(ydot[k], expected[k], 1e-15) << k;

  double ya[6] = {2.0, 1.0, 0.5, 0.25, 0.125, 0.0625};
  neq = 1;
  zscan::attenuation_rhs(&neq, &t, ya, ydot);
  EXPECT_EQ(ydot[0], -4.75);
}

// Without light level 0 stays put and level 1 empties at k_10 + k_13 into
// levels 0 and 3; levels 2 and 4 receive nothing.
TEST(RateStep, WithoutLightLevelOneDecaysExponentially) {
  set_coefficients(kRsaPhotonsPerJoule, kRsa);
  const double state[6] = {3e17, 1e17, 0.0, 0.0, 0.0, 0.0};
  double y[6];
  step(zscan::integrate_rates, state, 4e-9, y);
  const double expected = 1e17 * std::exp(-(1.0 / kRsa[3] + 1.0 / kRsa[4]) * 4e-9);
  EXPECT_NEAR(y[1], expected, 1e-5 * expected);
  EXPECT_EQ(y[2], 0.0);
  EXPECT_EQ(y[4], 0.0);
  EXPECT_NEAR(y[0] + y[1] + y[3], 4e17, 1e-6 * 4e17);
}

TEST(RateStep, UnderStrongLightConservesTotalPopulation) {
  set_coefficients(kRsaPhotonsPerJoule, kRsa);
  const double state[6] = {2.5e17, 3e16, 1e15, 2e16, 4e14, 5e8};
  double y[6];
  step(zscan::integrate_rates, state, 2e-9, y);
  const double before = std::accumulate(state, state + 5, 0.0);
  EXPECT_NEAR(std::accumulate(y, y + 5, 0.0), before, 1e-6 * before);
  EXPECT_LT(y[0], 0.5 * state[0]);  // the light pumps the ground level out
  EXPECT_EQ(y[5], state[5]);
}

class AttenuationStep : public ::testing::TestWithParam<std::vector<double>> {};

// Fixed populations: I exp(-(sigma_0 N0 + sigma_1 N1 + sigma_2 N3) d), so
// levels 2 and 4 are transparent and no light stays no light.
TEST_P(AttenuationStep, FollowsBeerLambert) {
  set_coefficients(kRsaPhotonsPerJoule, kRsa);
  const std::vector<double>& p = GetParam();
  const double state[6] = {p[0], p[1], p[2], p[3], p[4], p[5]};
  double y[6];
  step(zscan::integrate_attenuation, state, 0.05, y);
  const double alpha = kRsa[0] * p[1] + kRsa[1] * p[2] + kRsa[2] * p[4];
  const double expected = p[0] * std::exp(-alpha * 0.05);
  EXPECT_NEAR(y[0], expected, 1e-5 * expected);
  for (int k = 1; k < 6; ++k) EXPECT_EQ(y[k], state[k]) << k;
}

INSTANTIATE_TEST_SUITE_P(
    Populations, AttenuationStep,
    ::testing::Values(std::vector<double>{5e8, 3e17, 0.0, 0.0, 0.0, 0.0},
                      std::vector<double>{5e8, 1e17, 5e16, 2e16, 8e16, 1e16},
                      std::vector<double>{5e8, 0.0, 0.0, 3e17, 0.0, 3e17},
                      std::vector<double>{0.0, 3e17, 1e16, 0.0, 1e16, 0.0}));

}  // namespace
