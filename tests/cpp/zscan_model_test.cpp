// Tests of the transmittance model and of the grids it runs on: grids,
// intensities and model values against the independent reference figures,
// and a transparent sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "zscan_scan.h"

namespace {

// Largest relative deviation of values from expected.
double deviation(const std::vector<double>& values, const std::vector<double>& expected) {
  EXPECT_EQ(values.size(), expected.size());
  double worst = 0.0;
  for (size_t k = 0; k < std::min(values.size(), expected.size()); ++k) {
    const double scale = expected[k] == 0.0 ? 1.0 : std::fabs(expected[k]);
    worst = std::max(worst, std::fabs(values[k] - expected[k]) / scale);
  }
  return worst;
}

class ModelReference : public ::testing::TestWithParam<int> {};

TEST_P(ModelReference, GridsIntensitiesAndTransmittanceMatch) {
  const zscan_test::ReferenceCase ref = zscan_test::reference_case(GetParam());
  const testjson::Value& c = *ref.json;
  SCOPED_TRACE(ref.name);
  const zscan_test::Scan& s = ref.scan;
  const zscan_test::Grids g = zscan_test::grids_of(s);

  EXPECT_LE(deviation({g.rayleigh_range, g.frequency},
                      {c["rayleigh_range"].number, c["frequency"].number}), 1e-15);
  EXPECT_LE(deviation(g.depth, c["depth_grid"].as_doubles()), 1e-15);
  EXPECT_LE(deviation(g.times, c["time_grid"].as_doubles()), 1e-15);
  std::vector<double> expected_intensity(g.intensity.size());
  for (int i = 0; i < s.nx; ++i) {
    const std::vector<double> row = c["intensity"][static_cast<size_t>(i)].as_doubles();
    ASSERT_EQ(row.size(), static_cast<size_t>(s.t_slices));
    for (int m = 0; m < s.t_slices; ++m) expected_intensity[i + s.nx * m] = row[m];
  }
  EXPECT_LE(deviation(g.intensity, expected_intensity), 1e-14);
  EXPECT_LE(deviation(zscan_test::model_of(s, g, c["spec_pars"].as_doubles()),
                      c["model"].as_doubles()), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(RsaAndSa, ModelReference, ::testing::Values(0, 1));

TEST(TransmittanceModel, TransparentSampleGivesOneEverywhere) {
  zscan_test::Scan s;
  s.nx = 6;
  s.centered_x = {-5.0, -3.0, -1.0, 1.0, 3.0, 5.0};
  s.energy = {1e-6};
  s.populations = {3e17, 1e16, 0.0, 2e16, 0.0};
  const std::vector<double> clear{0.0, 0.0, 0.0, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12};
  for (double value : zscan_test::model_of(s, zscan_test::grids_of(s), clear)) {
    EXPECT_EQ(value, 1.0);
  }
}

// Without five points a wing, two time slices or two slabs the model is
// undefined: every point NaN, nothing written beyond them.
class TransmittanceModelRefuses : public ::testing::TestWithParam<std::vector<int>> {};

TEST_P(TransmittanceModelRefuses, CountsBelowTheModelsNeeds) {
  const zscan_test::ReferenceCase ref = zscan_test::reference_case(0);
  const zscan_test::Grids g = zscan_test::grids_of(ref.scan);
  const int n = GetParam()[0], t_slices = GetParam()[1], z_slices = GetParam()[2];
  std::vector<double> out(ref.scan.centered_x.size(), -7.0);
  zscan::transmittance_model(out.data(), g.positions.data(), &n, g.depth.data(), &z_slices,
                             g.times.data(), &t_slices, ref.scan.populations.data(),
                             g.intensity.data(), &g.frequency, ref.spec_pars.data());
  for (int i = 0; i < static_cast<int>(out.size()); ++i) {
    if (i < n) {
      EXPECT_TRUE(std::isnan(out[i])) << i;
    } else {
      EXPECT_EQ(out[i], -7.0) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, TransmittanceModelRefuses,
                         ::testing::Values(std::vector<int>{4, 4, 3}, std::vector<int>{11, 1, 3},
                                           std::vector<int>{11, 4, 1}));

}  // namespace
