// The whole-beam model against converged values of an independent slow
// evaluation of the same definition (tests/data/whole_beam_converged.json:
// reverse and saturable absorbers, a thick sample, strong depletion, pulses
// far shorter and far longer than the lifetimes, excited initial
// populations, the linear and the fast two-level limits). At tolerances 1e-5
// and 1e-7 every value lies within the tolerance and within the model's own
// estimate; the wing-normalised
// values within their propagated bound; the local transmittance, times
// Te_lin = exp(-(sigma_0 N0 + sigma_1 N1 + sigma_2 N3) L), matches the
// reference's samples of Tloc.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "json_reader.h"
#include "zscan/whole_beam_inputs.h"
#include "zscan/whole_beam_node.h"
#include "zscan_whole_beam.h"

namespace {

using whole_beam_test::Case;
using whole_beam_test::Result;

// The excited_initial case was converged before the dark compensation was
// mended (drained levels now give in proportion to what they hold, not a
// constant); its figures are being converged again under the mended
// convention. While the file still holds the old figure at the focus it is
// left out; the regenerated figures are checked like every other case.
bool converged_under_the_old_convention(const testjson::Value& c) {
  return c["name"].text == "excited_initial" &&
         c["values_linear"][5].number == 0.7825104591392009;
}

const testjson::Value& reference_cases() {
  static const testjson::Value file =
      testjson::load(std::string(KESP_REFERENCE_DIR) + "/../data/whole_beam_converged.json");
  return file["cases"];
}

Case case_of(const testjson::Value& c) {
  const testjson::Value& s = c["settings"];
  Case out;
  out.wavelength = s["wavelength"].number;
  out.w0 = s["w0"].number;
  out.M2 = s["M2"].number;
  out.tau = s["tau"].number;
  out.width = s["sample_width"].number;
  out.populations = s["populations"].as_doubles();
  out.spec_pars = s["spec_pars"].as_doubles();
  out.energies = {c["pulse_energy"].number};
  out.positions = c["positions_mm"].as_doubles();
  return out;
}

class WholeBeamReference : public ::testing::TestWithParam<double> {};

TEST_P(WholeBeamReference, EveryCaseWithinTheToleranceAndTheEstimate) {
  const double tolerance = GetParam();
  const testjson::Value& cases = reference_cases();
  ASSERT_GE(cases.size(), 10u);
  for (size_t k = 0; k < cases.size(); ++k) {
    const testjson::Value& c = cases[k];
    const std::string name = c["name"].text;
    if (converged_under_the_old_convention(c)) continue;
    Case wb = case_of(c);
    wb.tolerance = tolerance;
    const Result r = whole_beam_test::evaluate(wb);
    ASSERT_EQ(r.status, zscan::Status::ok) << name;
    const std::vector<double> linear = c["values_linear"].as_doubles();
    const std::vector<double> wings = c["values_wings"].as_doubles();
    ASSERT_EQ(linear.size(), r.values.size()) << name;
    double worst = 0.0, worst_ratio = 0.0;
    for (size_t i = 0; i < linear.size(); ++i) {
      const double error = std::fabs(r.values[i] - linear[i]);
      worst = std::fmax(worst, error);
      worst_ratio = std::fmax(worst_ratio, error / r.errors[i]);
      EXPECT_LE(error, tolerance) << name << " position " << i;
      EXPECT_LE(error, r.errors[i]) << name << " position " << i;
      EXPECT_LE(r.errors[i], tolerance) << name << " position " << i;
    }
    std::vector<double> normalised(r.values.size()), bound(r.values.size());
    ASSERT_EQ(zscan::whole_beam_wing_normalise(r.values.data(), r.errors.data(),
                                               static_cast<int>(r.values.size()), normalised.data(),
                                               bound.data()),
              zscan::Status::ok);
    for (size_t i = 0; i < wings.size(); ++i)
      EXPECT_LE(std::fabs(normalised[i] - wings[i]), bound[i] + 2.0 * c["accuracy"].number)
          << name << " position " << i;
    // The figures, in the test's XML report.
    RecordProperty(name + "_largest_error", std::to_string(worst));
    RecordProperty(name + "_largest_error_over_estimate", std::to_string(worst_ratio));
  }
}

INSTANTIATE_TEST_SUITE_P(WholeBeam, WholeBeamReference, ::testing::Values(1e-5, 1e-7),
                         [](const ::testing::TestParamInfo<double>& info) {
                           return info.param == 1e-5 ? std::string("Default") : std::string("Tight");
                         });

TEST(WholeBeamReferenceLocal, TimesTheLinearTransmittanceMatchesTheSampledTloc) {
  const testjson::Value& cases = reference_cases();
  for (size_t k = 0; k < cases.size(); ++k) {
    const testjson::Value& c = cases[k];
    if (converged_under_the_old_convention(c)) continue;
    const Case wb = case_of(c);
    const std::vector<double>& n = wb.populations;
    const std::vector<double>& p = wb.spec_pars;
    const double te_lin = std::exp(-(p[0] * n[0] + p[1] * n[1] + p[2] * n[3]) * wb.width);
    EXPECT_NEAR(te_lin, c["te_lin"].number, 1e-15) << c["name"].text;
    const zscan::Absorber absorber = zscan::make_absorber(wb.experiment(), p.data()).absorber;
    const testjson::Value& samples = c["tloc_samples"];
    double top = 0.0;
    for (size_t s = 0; s < samples.size(); ++s) top = std::fmax(top, samples[s][0].number);
    const zscan::Ladder ladder = zscan::make_ladder(1e-7, absorber, top, zscan::PulseShape::gaussian);
    zscan::LocalWork work;
    for (size_t s = 0; s < samples.size(); ++s) {
      const double intensity = samples[s][0].number, tloc = samples[s][1].number;
      const zscan::NodeValue node = zscan::table_node(absorber, ladder, intensity, work);
      EXPECT_LE(std::fabs(node.value * te_lin - tloc),
                node.error * te_lin + c["tloc_accuracy"].number)
          << c["name"].text << " at " << intensity;
    }
  }
}

}  // namespace
