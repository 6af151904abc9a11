// Tests of the model at any positions: equal bit for bit to the model of a
// data set at its own positions and to the data minus a fit's residuals,
// normalised on the measured scan whatever grid it runs on, and refusing
// what it cannot evaluate with NaN everywhere.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "zscan_scan.h"

namespace {

using zscan_test::same_bits;

struct Evaluation {
  zscan::Status status;
  std::vector<double> values;
};

// scan_transmittance of scan s (its first data set's energy unless given)
// at positions `at`, normalised on the wings of `wings`.
Evaluation evaluate(const zscan_test::Scan& s, const std::vector<double>& at,
                    const std::vector<double>& wings, const std::vector<double>& spec_pars,
                    double energy = -1.0) {
  zscan::ScanPoints points;
  points.positions = at.data();
  points.n_points = static_cast<int>(at.size());
  points.wing_positions = wings.data();
  points.n_wing = static_cast<int>(wings.size());
  points.pulse_energy = energy < 0.0 ? s.energy[0] : energy;
  Evaluation e{zscan::Status::ok, std::vector<double>(at.size(), -7.0)};
  e.status = zscan::scan_transmittance(zscan_test::experiment_of(s), points, spec_pars.data(),
                                       e.values.data());
  return e;
}

class ScanTransmittance : public ::testing::TestWithParam<int> {
 protected:
  const zscan_test::ReferenceCase ref = zscan_test::reference_case(GetParam());
};

TEST_P(ScanTransmittance, EqualsTheDataSetModelAtItsOwnPositions) {
  const zscan_test::Scan& s = ref.scan;
  const std::vector<double> model = zscan_test::model_of(s, zscan_test::grids_of(s), ref.spec_pars);
  const Evaluation e = evaluate(s, s.centered_x, s.centered_x, ref.spec_pars);
  ASSERT_EQ(e.status, zscan::Status::ok);
  EXPECT_TRUE(same_bits(e.values, model));
  for (size_t i = 0; i < model.size(); ++i) EXPECT_NEAR(e.values[i], ref.model[i], 1e-9) << i;
}

// Two data sets at two energies; a fit of sigma_2 from 1.5 times away, then
// the model at the fitted parameters against the data minus the residuals.
TEST_P(ScanTransmittance, EqualsDataMinusFitResidualsAtTheFittedParameters) {
  zscan_test::Scan s = ref.scan;
  s.nd = 2;
  s.energy = {ref.scan.energy[0], 2.0 * ref.scan.energy[0]};
  s.centered_x.insert(s.centered_x.end(), ref.scan.centered_x.begin(), ref.scan.centered_x.end());
  std::vector<double> y = zscan_test::model_of(s, zscan_test::grids_of(s), ref.spec_pars);
  for (size_t p = 0; p < y.size(); ++p) y[p] += 0.003 * std::sin(1.7 * p);
  std::vector<double> pars = ref.spec_pars, residuals(y.size());
  pars[2] *= 1.5;
  const int index = 3, n_fit = 1, n_res = static_cast<int>(y.size());
  double error = 0.0;
  ASSERT_EQ(zscan::run_fit_core(s.centered_x.data(), y.data(), s.populations.data(),
                                residuals.data(), &error, &s.t_slices, &s.z_slices, &s.width,
                                &s.tau, &s.wavelength, &s.w0, &s.m2, s.energy.data(),
                                pars.data(), &index, &n_fit, &s.nx, &s.nd, &s.n_pop, &n_res),
            zscan::Status::ok);
  ASSERT_NE(pars[2], 1.5 * ref.spec_pars[2]);  // the fit moved
  for (int d = 0; d < s.nd; ++d) {
    const Evaluation e = evaluate(s, ref.scan.centered_x, ref.scan.centered_x, pars, s.energy[d]);
    ASSERT_EQ(e.status, zscan::Status::ok);
    std::vector<double> fitted(s.nx);
    for (int i = 0; i < s.nx; ++i) fitted[i] = y[d * s.nx + i] - residuals[d * s.nx + i];
    EXPECT_TRUE(same_bits(e.values, fitted)) << "data set " << d;
  }
}

// A curve on a grid four times finer than the data (and reaching beyond
// them), or a single data position, passes through the data-point values.
TEST_P(ScanTransmittance, AnyGridNormalisedOnTheDataPassesThroughTheDataValues) {
  const zscan_test::Scan& s = ref.scan;
  const std::vector<double>& x = s.centered_x;
  const Evaluation data = evaluate(s, x, x, ref.spec_pars);
  std::vector<double> fine{x.front() - 3.0};
  for (size_t k = 0; k + 1 < x.size(); ++k) {
    for (int j = 0; j < 4; ++j) fine.push_back(j == 0 ? x[k] : x[k] + (x[k + 1] - x[k]) * j / 4.0);
  }
  fine.push_back(x.back());
  fine.push_back(x.back() + 3.0);
  const Evaluation curve = evaluate(s, fine, x, ref.spec_pars);
  ASSERT_EQ(curve.status, zscan::Status::ok);
  for (size_t k = 0; k < x.size(); ++k) {
    EXPECT_EQ(curve.values[1 + 4 * k], data.values[k]) << k;
    const Evaluation alone = evaluate(s, {x[k]}, x, ref.spec_pars);
    ASSERT_EQ(alone.status, zscan::Status::ok);
    EXPECT_EQ(alone.values[0], data.values[k]) << k;
  }
  // Normalised on its own wings instead, the fine curve's baseline differs.
  const Evaluation own = evaluate(s, fine, fine, ref.spec_pars);
  EXPECT_NE(own.values[1], curve.values[1]);
}

INSTANTIATE_TEST_SUITE_P(RsaAndSa, ScanTransmittance, ::testing::Values(0, 1));

// A valid call on the RSA reference case that one change spoils.
struct Call {
  zscan_test::Scan scan = zscan_test::reference_case(0).scan;
  std::vector<double> spec_pars = zscan_test::reference_case(0).spec_pars;
  std::vector<double> at = scan.centered_x, wings = scan.centered_x;
  zscan::Experiment experiment = zscan_test::experiment_of(scan);
  zscan::ScanPoints points;
  Call() {
    points.positions = at.data();
    points.n_points = static_cast<int>(at.size());
    points.wing_positions = wings.data();
    points.n_wing = static_cast<int>(wings.size());
    points.pulse_energy = scan.energy[0];
  }
};

struct Spoiled {
  const char* name;
  zscan::Status status;
  std::function<void(Call&)> spoil;
};

class ScanTransmittanceRefuses : public ::testing::TestWithParam<Spoiled> {};

TEST_P(ScanTransmittanceRefuses, WithNaNEverywhere) {
  Call c;
  GetParam().spoil(c);
  std::vector<double> out(c.at.size(), -7.0);
  EXPECT_EQ(zscan::scan_transmittance(c.experiment, c.points, c.spec_pars.data(), out.data()),
            GetParam().status);
  for (int i = 0; i < static_cast<int>(out.size()); ++i) {
    if (i < c.points.n_points) {
      EXPECT_TRUE(std::isnan(out[i])) << i;
    } else {
      EXPECT_EQ(out[i], -7.0) << i;  // nothing written beyond the points
    }
  }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using zscan::Status;

INSTANTIATE_TEST_SUITE_P(
    Inputs, ScanTransmittanceRefuses,
    ::testing::Values(
        Spoiled{"NoPoints", Status::invalid_input, [](Call& c) { c.points.n_points = 0; }},
        Spoiled{"FourWingPoints", Status::invalid_input, [](Call& c) { c.points.n_wing = 4; }},
        Spoiled{"NullPositions", Status::invalid_input,
                [](Call& c) { c.points.positions = nullptr; }},
        Spoiled{"NullWings", Status::invalid_input,
                [](Call& c) { c.points.wing_positions = nullptr; }},
        Spoiled{"NullPopulations", Status::invalid_input,
                [](Call& c) { c.experiment.populations = nullptr; }},
        Spoiled{"OneTimeSlice", Status::invalid_input, [](Call& c) { c.experiment.t_slices = 1; }},
        Spoiled{"OneSlab", Status::invalid_input, [](Call& c) { c.experiment.z_slices = 1; }},
        Spoiled{"ZeroWavelength", Status::invalid_input,
                [](Call& c) { c.experiment.wavelength = 0.0; }},
        Spoiled{"ZeroM2", Status::invalid_input, [](Call& c) { c.experiment.M2 = 0.0; }},
        Spoiled{"NaNWaist", Status::invalid_input, [](Call& c) { c.experiment.w0 = kNaN; }},
        Spoiled{"NaNEnergy", Status::invalid_input, [](Call& c) { c.points.pulse_energy = kNaN; }},
        Spoiled{"NaNPosition", Status::invalid_input, [](Call& c) { c.at[3] = kNaN; }},
        Spoiled{"NaNWingPosition", Status::invalid_input, [](Call& c) { c.wings.back() = kNaN; }},
        Spoiled{"NaNPopulation", Status::invalid_input, [](Call& c) { c.scan.populations[4] = kNaN; }},
        Spoiled{"NaNParameter", Status::invalid_input, [](Call& c) { c.spec_pars[7] = kNaN; }},
        Spoiled{"StorageBeyondMemory", Status::out_of_memory,
                [](Call& c) { c.experiment.t_slices = 1 << 30; }}),
    [](const ::testing::TestParamInfo<Spoiled>& info) { return std::string(info.param.name); });

bool always_stop(void*) { return true; }

TEST(ScanTransmittance, StopsWhenTheInterruptCheckAsks) {
  Call c;
  std::vector<double> out(c.at.size(), -7.0);
  zscan::InterruptHookScope hook(always_stop, nullptr);
  EXPECT_EQ(zscan::scan_transmittance(c.experiment, c.points, c.spec_pars.data(), out.data()),
            zscan::Status::interrupted);
  for (double v : out) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
