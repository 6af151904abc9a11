// Tests of the beam's intensity and of the grids: closed-form values of the
// Gaussian beam and pulse and their symmetry, equally spaced grids, and the
// front-face intensities of several data sets.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "zscan_scan.h"

namespace {

struct BeamPoint { double r, t, z, expected; };

class UnitBeam : public ::testing::TestWithParam<BeamPoint> {};

// E = tau = w0 = z0 = 1: the peak is 1.88e-4/pi; one Rayleigh range either
// side halves it, half a pulse duration either side scales it by exp(-1/4),
// one waist radius off axis by exp(-2).
TEST_P(UnitBeam, IntensityMatchesClosedForm) {
  const BeamPoint p = GetParam();
  const zscan::Beam unit{1.0, 1.0, 1.0};
  EXPECT_DOUBLE_EQ(zscan::beam_intensity(unit, 1.0, p.r, p.t, p.z), p.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Points, UnitBeam,
    ::testing::Values(BeamPoint{0.0, 0.0, 0.0, 5.984225860255265e-05},
                      BeamPoint{0.0, 0.0, 1.0, 2.9921129301276314e-05},
                      BeamPoint{0.0, 0.0, -1.0, 2.9921129301276314e-05},
                      BeamPoint{0.0, 0.5, 0.0, 4.6605197860429516e-05},
                      BeamPoint{0.0, -0.5, 0.0, 4.6605197860429516e-05},
                      BeamPoint{1.0, 0.0, 0.0, 8.098769017495086e-06}));

struct LinspaceCase { double first, last; int n; std::vector<double> expected; };

class Linspace : public ::testing::TestWithParam<LinspaceCase> {};

TEST_P(Linspace, WritesExactlyNValues) {
  const LinspaceCase c = GetParam();
  std::vector<double> out(c.expected.size() + 2, -7.0);
  zscan::linspace(out.data(), c.first, c.last, c.n);
  for (size_t k = 0; k < out.size(); ++k) {
    EXPECT_DOUBLE_EQ(out[k], k < c.expected.size() ? c.expected[k] : -7.0) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Linspace,
    ::testing::Values(LinspaceCase{0.0, 2.0, 5, {0.0, 0.5, 1.0, 1.5, 2.0}},
                      LinspaceCase{3.0, 9.0, 1, {3.0}}, LinspaceCase{3.0, 9.0, 0, {}},
                      LinspaceCase{3.0, 9.0, -2, {}}));

// Three slices span the sample and one tau; each data set's intensities use
// its own pulse energy and the positions of its own points, on axis:
// 1.88e-4 E exp(-t^2/tau^2) / (pi tau w0^2 (1 + z^2/z0^2)).
TEST(Grids, SpanSampleAndPulseAndHoldEveryDataSet) {
  zscan_test::Scan s;
  s.nx = 3;
  s.nd = 3;
  s.t_slices = 3;
  s.z_slices = 3;
  s.centered_x = {-4.0, 0.0, 2.0, 1.0, -3.0, 5.0, 0.5, 6.0, -1.0};
  s.energy = {1e-6, 0.0, 3e-6};
  const zscan_test::Grids g = zscan_test::grids_of(s);
  EXPECT_EQ(g.depth, (std::vector<double>{0.0, 0.05, 0.1}));
  EXPECT_EQ(g.times, (std::vector<double>{-2e-9, 0.0, 2e-9}));
  EXPECT_DOUBLE_EQ(g.rayleigh_range, M_PI * s.w0 * s.w0 / (s.m2 * s.wavelength));
  EXPECT_DOUBLE_EQ(g.frequency, 299792458.0 / 532e-9);
  for (int d = 0; d < s.nd; ++d) {
    for (int m = 0; m < s.t_slices; ++m) {
      for (int i = 0; i < s.nx; ++i) {
        const double z = s.centered_x[d * s.nx + i] / 1000.0, t = g.times[m];
        const double expected =
            1.88e-4 * s.energy[d] * std::exp(-(t * t) / (s.tau * s.tau)) /
            (M_PI * s.tau * s.w0 * s.w0 * (1.0 + (z * z) / (g.rayleigh_range * g.rayleigh_range)));
        EXPECT_NEAR(g.intensity[i + s.nx * (m + s.t_slices * d)], expected, 1e-14 * expected)
            << "point " << i << " slice " << m << " data set " << d;
      }
    }
  }
}

}  // namespace
