// The closed-aperture model's quadratures and its entry against facts of
// their own: Gauss-Laguerre rules integrate v^k e^-v to k!, and their
// Laguerre functions are orthonormal on the rule (the modes' transform
// keeps the energy); the time rules integrate the pulse shapes written out
// from their definitions; the modes' overlap over an aperture of share S
// holds S in its first entry and closed forms in the next; the open
// aperture is the whole-beam model's value; the linear sample transmits T =
// 1 at every aperture and distance; the entry refuses what breaks its
// rules. Relies on the quadratures, the public entry and the whole-beam
// test helper.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/cpp/zscan_whole_beam.h"
#include "zscan/closed_aperture_quadrature.h"
#include "zscan/zscan.h"

namespace {

using whole_beam_test::Case;

struct ClosedResult {
  zscan::Status status = zscan::Status::ok;
  std::vector<double> values, errors;
};

// Every scan of the case through one aperture.
ClosedResult closed(const Case& c, double aperture, const zscan::ClosedApertureOptics& optics,
                    double distance = std::numeric_limits<double>::infinity()) {
  std::vector<zscan::ClosedApertureScan> scans;
  for (double e : c.energies)
    scans.push_back({c.positions.data(), static_cast<int>(c.positions.size()), e, aperture});
  zscan::ClosedApertureRequest request;
  request.scans = scans.data();
  request.n_scans = static_cast<int>(scans.size());
  request.tolerance = c.tolerance;
  request.aperture_distance = distance;
  ClosedResult r;
  r.values.assign(static_cast<size_t>(c.points()), -7.0);
  r.errors.assign(static_cast<size_t>(c.points()), -7.0);
  zscan::ClosedApertureOutput output;
  output.values = r.values.data();
  output.errors = r.errors.data();
  r.status = zscan::closed_aperture_transmittance(c.experiment(), c.spec_pars.data(), optics,
                                                  request, output);
  return r;
}

TEST(ClosedApertureQuadrature, LaguerreRuleIntegratesMomentsAndKeepsModesOrthonormal) {
  for (int n : {16, 48, 320}) {
    const zscan::LaguerreRule rule = zscan::laguerre_rule(n);
    // int v^k e^-v dv = k! for k < 2n (checked to k = 30 < 2n).
    double factorial = 1.0;
    for (int k = 0; k <= 30; ++k) {
      if (k > 0) factorial *= k;
      double sum = 0.0;
      for (int j = 0; j < n; ++j) {
        const double v = rule.nodes[j];
        sum += rule.scaled_weights[j] * std::exp(-v) * std::pow(v, k);
      }
      EXPECT_NEAR(sum / factorial, 1.0, 1e-11) << n << " " << k;
    }
    // sum_k w_k L_p(v_k) L_q(v_k) = delta_pq for p, q < n.
    double worst = 0.0;
    for (int p = 0; p < n; p += 3) {
      for (int q = 0; q < n; q += 5) {
        double sum = 0.0;
        for (int j = 0; j < n; ++j)
          sum += rule.scaled_weights[j] * rule.functions[j * n + p] * rule.functions[j * n + q];
        worst = std::fmax(worst, std::fabs(sum - (p == q ? 1.0 : 0.0)));
      }
    }
    EXPECT_LT(worst, 1e-11) << n;
  }
}

TEST(ClosedApertureQuadrature, TimeRulesIntegrateThePulseShapes) {
  for (zscan::PulseShape shape : {zscan::PulseShape::gaussian, zscan::PulseShape::sech2}) {
    const zscan::Pulse pulse = zscan::pulse_of(shape);
    const auto reference = [shape](double t) {
      return shape == zscan::PulseShape::gaussian ? whole_beam_test::gaussian_pulse(t)
                                                  : whole_beam_test::sech2_pulse(t);
    };
    // int p(t) f(t) dt for f = 1, p(t) itself and t^2 (Gaussian) or tanh(a
    // t)^4 (sech^2, whose rule is Gauss-Legendre in tanh(a t)), by a fine
    // composite rule.
    const double a = 2.0 * std::acosh(std::sqrt(2.0));
    const auto third = [shape, a](double t) {
      return shape == zscan::PulseShape::gaussian ? t * t : std::pow(std::tanh(a * t), 4);
    };
    const whole_beam_test::Rule fine = whole_beam_test::composite_gauss(-20.0, 20.0, 400);
    double moments[3] = {};
    for (size_t k = 0; k < fine.x.size(); ++k) {
      const double p = reference(fine.x[k]);
      moments[0] += fine.w[k] * p;
      moments[1] += fine.w[k] * p * third(fine.x[k]);
      moments[2] += fine.w[k] * p * p;
    }
    const zscan::TimeRule rule = zscan::time_rule(pulse, 24);
    double sums[3] = {};
    for (size_t k = 0; k < rule.nodes.size(); ++k) {
      const double s = rule.nodes[k];
      sums[0] += rule.weights[k];
      sums[1] += rule.weights[k] * third(s);
      sums[2] += rule.weights[k] * reference(s);
    }
    for (int m = 0; m < 3; ++m) EXPECT_NEAR(sums[m] / moments[m], 1.0, 1e-10) << m;
  }
}

TEST(ClosedApertureQuadrature, OverlapsOfTheAperture) {
  for (double S : {0.01, 0.4, 0.99}) {
    const std::vector<double> m = zscan::aperture_overlaps(8, S);
    const double a = -std::log1p(-S);
    const double e = std::exp(-a);
    // int_0^a e^-v = S; int_0^a (1 - v) e^-v = a e^-a; int_0^a (1 - v)^2 e^-v
    // = 1 - e^-a (1 + a^2).
    EXPECT_NEAR(m[0], S, 1e-15);
    EXPECT_NEAR(m[1], a * e, 1e-15);
    EXPECT_NEAR(m[8 + 1], 1.0 - e * (1.0 + a * a), 1e-14);
    EXPECT_EQ(m[8 * 3 + 5], m[8 * 5 + 3]);
  }
}

TEST(ClosedApertureModel, OpenApertureIsTheWholeBeamModel) {
  for (zscan::PulseShape shape : {zscan::PulseShape::gaussian, zscan::PulseShape::sech2}) {
    Case c;
    c.positions = {-20.0, -3.0, -1.0, 0.0, 0.5, 2.0, 9.0};
    c.pulse_shape = shape;
    const whole_beam_test::Result open = whole_beam_test::evaluate(c);
    zscan::ClosedApertureOptics optics;
    optics.sigma_r1 = 1e-17;  // refraction does nothing to the open aperture
    const ClosedResult r = closed(c, 1.0, optics);
    ASSERT_EQ(r.status, zscan::Status::ok);
    for (int i = 0; i < c.points(); ++i) {
      EXPECT_NEAR(r.values[i], open.values[i], r.errors[i] + open.errors[i]) << i;
      EXPECT_LE(r.errors[i], c.tolerance);
    }
  }
}

TEST(ClosedApertureModel, LinearSampleTransmitsTheLinearSignal) {
  Case c;
  c.energies = {0.0};
  zscan::ClosedApertureOptics optics;
  optics.n2 = 1e-14;
  optics.sigma_r1 = 1e-17;
  for (double S : {0.01, 0.5, 1.0}) {
    for (double d : {std::numeric_limits<double>::infinity(), 0.05}) {
      const ClosedResult r = closed(c, S, optics, d);
      ASSERT_EQ(r.status, zscan::Status::ok);
      for (double v : r.values) EXPECT_NEAR(v, 1.0, 1e-14) << S << " " << d;
    }
  }
}

TEST(ClosedApertureModel, RefusesWhatBreaksItsRules) {
  Case c;
  c.positions = {-1.0, 0.0, 1.0};
  const zscan::ClosedApertureOptics plain;
  zscan::ClosedApertureOptics negative;
  negative.beta = -1e-9;
  zscan::ClosedApertureOptics infinite;
  infinite.n2 = std::numeric_limits<double>::infinity();
  EXPECT_EQ(closed(c, 0.0, plain).status, zscan::Status::invalid_input);
  EXPECT_EQ(closed(c, 1.2, plain).status, zscan::Status::invalid_input);
  EXPECT_EQ(closed(c, 0.1, negative).status, zscan::Status::invalid_input);
  EXPECT_EQ(closed(c, 0.1, infinite).status, zscan::Status::invalid_input);
  const ClosedResult before = closed(c, 0.1, plain, 0.5e-3);  // the aperture inside the scan
  EXPECT_EQ(before.status, zscan::Status::invalid_input);
  for (double v : before.values) EXPECT_TRUE(std::isnan(v));
  for (double e : before.errors) EXPECT_TRUE(std::isinf(e));
}

}  // namespace
