// The whole-beam model's derivatives: against central differences of
// values evaluated at the tightest tolerance, for every parameter a fit may
// free (cross-sections, lifetimes, the focus, the waist, M2) on an absorber
// where each of them matters (excited initial populations kept by the dark
// compensation, so that the lifetimes act through it too), for both pulse
// shapes; the values are the same bits with and without derivatives and
// on every thread count; what cannot have a derivative is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "zscan/zscan.h"
#include "zscan_whole_beam.h"

namespace {

using whole_beam_test::Case;
using whole_beam_test::Result;
using whole_beam_test::evaluate;
using P = zscan::WholeBeamParameter;

const double kInf = std::numeric_limits<double>::infinity();

std::vector<P> every_parameter() {
  std::vector<P> all;
  for (int k = 0; k < zscan::kWholeBeamParameters; ++k) all.push_back(static_cast<P>(k));
  return all;
}

// Populated excited levels (1 to 4) with lifetimes of the order of the
// pulse: every parameter moves the values by 1 % to 10 % of itself.
Case every_parameter_matters() {
  Case c;
  c.populations = {2e17, 5e16, 1e15, 5e16, 1e15};
  c.spec_pars = {1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 2e-10, 3e-9, 2e-10};
  c.positions = {-8.0, -1.5, -0.3, 0.0, 2.0};
  return c;
}

// The case with parameter p moved to (1 + f) times its value (the focus:
// by f mm).
Case moved(Case c, P p, double f) {
  const int id = static_cast<int>(p);
  if (id < zscan::kSpecPars) {
    c.spec_pars[static_cast<size_t>(id)] *= 1.0 + f;
  } else if (p == P::center_mm) {
    for (double& z : c.positions) z -= f;  // the values depend on z - center
  } else if (p == P::w0) {
    c.w0 *= 1.0 + f;
  } else {
    c.M2 *= 1.0 + f;
  }
  return c;
}

double unit_of(const Case& c, P p) {
  const int id = static_cast<int>(p);
  if (id < zscan::kSpecPars) return c.spec_pars[static_cast<size_t>(id)];
  if (p == P::center_mm) return 1.0;
  return p == P::w0 ? c.w0 : c.M2;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class WholeBeamDerivatives : public ::testing::TestWithParam<zscan::PulseShape> {};

// Within 1e-4 of each derivative's largest size over the points: the
// derivatives at the default tolerance against central differences (steps
// of 1e-3 relative, 1e-3 mm) of values at 1e-10, whose own error is far
// smaller.
TEST_P(WholeBeamDerivatives, AgreeWithCentralDifferencesOfTightValues) {
  Case c = every_parameter_matters();
  c.pulse_shape = GetParam();
  c.derivatives = every_parameter();
  const Result r = evaluate(c);
  ASSERT_EQ(r.status, zscan::Status::ok);
  const size_t n = r.values.size();
  Case tight = c;
  tight.derivatives.clear();
  tight.tolerance = 1e-10;
  for (P p : c.derivatives) {
    const double h = 1e-3, unit = unit_of(c, p);
    const Result up = evaluate(moved(tight, p, h)), down = evaluate(moved(tight, p, -h));
    ASSERT_EQ(up.status, zscan::Status::ok);
    ASSERT_EQ(down.status, zscan::Status::ok);
    std::vector<double> central(n);
    double scale = 0.0;
    for (size_t i = 0; i < n; ++i) {
      central[i] = (up.values[i] - down.values[i]) / (2.0 * h * unit);
      scale = std::fmax(scale, std::fabs(central[i]));
    }
    // Every parameter matters here: at least 0.5 % of the values per unit
    // relative change.
    EXPECT_GT(scale * unit, 5e-3) << static_cast<int>(p);
    const size_t row = static_cast<size_t>(p) * n;
    for (size_t i = 0; i < n; ++i)
      EXPECT_NEAR(r.derivatives[row + i], central[i], 1e-4 * scale)
          << "parameter " << static_cast<int>(p) << " point " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(WholeBeam, WholeBeamDerivatives,
                         ::testing::Values(zscan::PulseShape::gaussian, zscan::PulseShape::sech2),
                         [](const ::testing::TestParamInfo<zscan::PulseShape>& info) {
                           return info.param == zscan::PulseShape::gaussian ? std::string("Gaussian")
                                                                           : std::string("Sech2");
                         });

// The sensitivities take no part in the integrator's decisions: the values
// are the bits of an evaluation without them, on any thread count; the
// derivatives are the same bits on every thread count too.
TEST(WholeBeamDerivativesBits, ValuesAreTheSameWithAndWithoutOnEveryThreadCount) {
  Case rsa = every_parameter_matters(), sa;
  sa.spec_pars = whole_beam_test::saturable();
  sa.energies = {1e-6};
  for (Case c : {rsa, sa}) {
    zscan::set_model_threads(1);
    const Result plain = evaluate(c);
    c.derivatives = {P::tau_10, P::M2, P::sigma_0, P::center_mm};
    const Result with = evaluate(c);
    ASSERT_EQ(plain.status, zscan::Status::ok);
    ASSERT_EQ(with.status, zscan::Status::ok);
    EXPECT_TRUE(same_bits(plain.values, with.values));
    EXPECT_TRUE(same_bits(plain.errors, with.errors));
    for (int threads : {2, 3}) {
      zscan::set_model_threads(threads);
      const Result many = evaluate(c);
      EXPECT_TRUE(same_bits(many.values, with.values)) << threads;
      EXPECT_TRUE(same_bits(many.derivatives, with.derivatives)) << threads;
    }
    zscan::set_model_threads(0);
  }
}

// A lifetime of +inf is a fixed setting; a parameter asked for twice, an
// unknown one or nowhere to put the derivatives is a mistake: refused, with
// NaN values and derivatives and infinite errors.
TEST(WholeBeamDerivativesRefused, WhatCannotHaveADerivative) {
  Case fixed = every_parameter_matters();
  fixed.spec_pars[6] = kInf;
  fixed.derivatives = {P::sigma_1, P::tau_30};
  Case twice = every_parameter_matters();
  twice.derivatives = {P::w0, P::sigma_1, P::w0};
  Case unknown = every_parameter_matters();
  unknown.derivatives = {static_cast<P>(zscan::kWholeBeamParameters)};
  for (const Case& c : {fixed, twice, unknown}) {
    const Result r = evaluate(c);
    EXPECT_EQ(r.status, zscan::Status::invalid_input);
    for (double v : r.values) EXPECT_TRUE(std::isnan(v));
    for (double e : r.errors) EXPECT_EQ(e, kInf);
    for (double d : r.derivatives) EXPECT_TRUE(std::isnan(d));
  }
  // Finite lifetimes beside an infinite one have their derivatives.
  fixed.derivatives = {P::sigma_1, P::tau_10};
  EXPECT_EQ(evaluate(fixed).status, zscan::Status::ok);
  // Derivatives asked for with nowhere to go.
  const Case c = every_parameter_matters();
  std::vector<double> values(c.positions.size() * c.energies.size()), errors(values.size());
  std::vector<zscan::WholeBeamScan> scans;
  for (double e : c.energies)
    scans.push_back({c.positions.data(), static_cast<int>(c.positions.size()), e});
  const P wanted[1] = {P::sigma_0};
  zscan::WholeBeamRequest request;
  request.scans = scans.data();
  request.n_scans = static_cast<int>(scans.size());
  request.parameters = wanted;
  request.n_parameters = 1;
  EXPECT_EQ(zscan::whole_beam_transmittance(c.experiment(), c.spec_pars.data(), request,
                                            values.data(), errors.data(), nullptr),
            zscan::Status::invalid_input);
}

}  // namespace
