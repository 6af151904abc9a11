// Tests of the one check of a fit call's shape: every rule at its boundary,
// and of two violated rules the earlier one reported.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "zscan/zscan.h"

namespace {

using zscan::InputRule;

// Nine points in one data set, everything just within the rules.
zscan::FitShape valid_shape() {
  zscan::FitShape s;
  s.num_x_pts = 9;
  s.num_datasets = 1;
  s.x_length = 9;
  s.y_length = 9;
  s.pulse_energy_length = 1;
  s.spec_pars_length = 8;
  s.populations_length = 5;
  s.t_slices = 2;
  s.z_slices = 2;
  s.n_fit = 9;
  s.wavelength = 532e-9;
  s.M2 = 1.0;
  return s;
}

const int kIndices[] = {1, 8, 9};

struct RuleCase {
  const char* name;
  InputRule expected;
  std::function<void(zscan::FitShape&)> change;
};

class FitInputs : public ::testing::TestWithParam<RuleCase> {};

TEST_P(FitInputs, ReportTheFirstViolatedRule) {
  zscan::FitShape shape = valid_shape();
  GetParam().change(shape);
  EXPECT_EQ(zscan::check_fit_inputs(shape), GetParam().expected);
}

using S = zscan::FitShape;

INSTANTIATE_TEST_SUITE_P(
    Rules, FitInputs,
    ::testing::Values(
        RuleCase{"AllWithin", InputRule::ok, [](S&) {}},
        RuleCase{"LongerArraysThanNeeded", InputRule::ok,
                 [](S& s) { s.pulse_energy_length = 3; s.spec_pars_length = 20;
                            s.populations_length = 6; }},
        RuleCase{"FourPoints", InputRule::too_few_points,
                 [](S& s) { s.num_x_pts = 4; s.x_length = s.y_length = 4; }},
        RuleCase{"NoDataSet", InputRule::too_few_datasets, [](S& s) { s.num_datasets = 0; }},
        RuleCase{"PointsBeyond32Bits", InputRule::too_many_points,
                 [](S& s) { s.num_x_pts = INT_MAX / 2 + 1; s.num_datasets = 2; }},
        RuleCase{"PointsAt32BitLimit", InputRule::ok,
                 [](S& s) { s.num_x_pts = INT_MAX; s.x_length = s.y_length = INT_MAX; }},
        RuleCase{"ShortX", InputRule::x_length, [](S& s) { s.x_length = 8; }},
        RuleCase{"LongY", InputRule::y_length, [](S& s) { s.y_length = 10; }},
        RuleCase{"PulseEnergyPerDataSet", InputRule::pulse_energy_length,
                 [](S& s) { s.num_x_pts = 5; s.num_datasets = 2; s.x_length = s.y_length = 10;
                            s.pulse_energy_length = 1; }},
        RuleCase{"SevenParameters", InputRule::spec_pars_length,
                 [](S& s) { s.spec_pars_length = 7; }},
        RuleCase{"FourPopulations", InputRule::populations_length,
                 [](S& s) { s.populations_length = 4; }},
        RuleCase{"PopulationsBeyond32Bits", InputRule::populations_too_long,
                 [](S& s) { s.populations_length = 1LL + INT_MAX; }},
        RuleCase{"OneTimeSlice", InputRule::too_few_time_slices, [](S& s) { s.t_slices = 1; }},
        RuleCase{"OneSlab", InputRule::too_few_depth_slices, [](S& s) { s.z_slices = 1; }},
        RuleCase{"MoreFittedThanPoints", InputRule::too_many_fitted, [](S& s) { s.n_fit = 10; }},
        RuleCase{"ZeroWavelength", InputRule::zero_wavelength, [](S& s) { s.wavelength = 0.0; }},
        RuleCase{"ZeroM2", InputRule::zero_M2, [](S& s) { s.M2 = -0.0; }},
        RuleCase{"IndexNine", InputRule::fit_index_out_of_range,
                 [](S& s) { s.fit_indices = kIndices; s.n_indices = 3; }},
        RuleCase{"IndicesOneAndEight", InputRule::ok,
                 [](S& s) { s.fit_indices = kIndices; s.n_indices = 2; }},
        RuleCase{"SlicesBeforeWavelength", InputRule::too_few_time_slices,
                 [](S& s) { s.t_slices = 0; s.wavelength = 0.0; s.x_length = 9; }},
        RuleCase{"CountsBeforeLengths", InputRule::too_few_datasets,
                 [](S& s) { s.num_datasets = -1; s.x_length = 0; s.spec_pars_length = 0; }}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

}  // namespace
