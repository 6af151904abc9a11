// The whole-beam model's error estimate: a run at a hundred times tighter
// tolerance lies within the estimate and within the tolerance on every kind
// of absorber, at tolerances from 1e-2 to 1e-8 (reverse and saturable, thick, excited initial populations,
// pulses far shorter and far longer than the lifetimes), the estimate meets
// the tolerance it was asked for, and a node's value moves by less than its
// estimate (at most half the tolerance) when every resolution of its
// integration is halved.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "zscan/whole_beam_inputs.h"
#include "zscan/whole_beam_node.h"
#include "zscan/whole_beam_table.h"
#include "zscan_whole_beam.h"

namespace {

using whole_beam_test::Case;
using whole_beam_test::Result;
using whole_beam_test::evaluate;

struct Named {
  const char* name;
  Case c;
};

Named named(const char* name, void (*change)(Case&)) {
  Named n{name, Case()};
  change(n.c);
  return n;
}

std::vector<Named> cases() {
  return {
      named("Reverse", [](Case&) {}),
      named("Saturable", [](Case& c) { c.spec_pars = whole_beam_test::saturable(); }),
      named("StrongDepletion",
            [](Case& c) {
              c.spec_pars = whole_beam_test::saturable();
              c.energies = {5e-6, 15e-6};
            }),
      named("ExcitedStart", [](Case& c) { c.populations = {2e17, 5e16, 0.0, 5e16, 0.0}; }),
      named("ShortPulse", [](Case& c) { c.tau = 1e-13; }),
      named("LongPulse",
            [](Case& c) {
              c.tau = 1e-7;
              c.spec_pars = whole_beam_test::saturable();
            }),
  };
}

void expect_within(const Result& r, const Result& reference, double tolerance, const std::string& what) {
  ASSERT_EQ(r.status, zscan::Status::ok) << what;
  ASSERT_EQ(reference.status, zscan::Status::ok) << what;
  for (size_t i = 0; i < r.values.size(); ++i) {
    const double error = std::fabs(r.values[i] - reference.values[i]);
    EXPECT_LE(error, r.errors[i]) << what << " point " << i;
    EXPECT_LE(r.errors[i], tolerance) << what << " point " << i;
    EXPECT_LE(error, tolerance) << what << " point " << i;
  }
}

class WholeBeamAccuracy : public ::testing::TestWithParam<double> {};

// Half of the positions (the scans are symmetric) at the tolerance and at a
// hundred times tighter.
TEST_P(WholeBeamAccuracy, TighterRunsLieWithinTheEstimate) {
  const double tolerance = GetParam();
  for (Named n : cases()) {
    n.c.positions = {-20.0, -8.0, -4.0, -2.0, -1.0, -0.5, 0.0};
    n.c.tolerance = tolerance;
    const Result r = evaluate(n.c);
    n.c.tolerance = tolerance / 100.0;
    expect_within(r, evaluate(n.c), tolerance, n.name);
  }
}

// From the loosest tolerance the package accepts to the tightest the model
// can be compared with at a hundredth of it.
INSTANTIATE_TEST_SUITE_P(WholeBeam, WholeBeamAccuracy, ::testing::Values(1e-2, 1e-3, 1e-5, 1e-7, 1e-8),
                         [](const ::testing::TestParamInfo<double>& info) {
                           const int exponent = static_cast<int>(std::lround(-std::log10(info.param)));
                           return "TenToMinus" + std::to_string(exponent);
                         });

// Optical depths of 3 (linear) and 6 (saturable), at the default tolerance.
TEST(WholeBeamAccuracyThick, TighterRunsLieWithinTheEstimate) {
  Case rsa, sa;
  rsa.width = 1.0;
  sa.spec_pars = whole_beam_test::saturable();
  sa.width = 0.5;
  for (Case c : {rsa, sa}) {
    c.positions = {-20.0, -4.0, -1.0, 0.0};
    const Result r = evaluate(c);
    c.tolerance = 1e-7;
    expect_within(r, evaluate(c), 1e-5, "thick");
  }
}

// The ladder with twice the depth degree and a tolerance 64 times tighter
// (half the step of a fifth-order method) on every rung.
zscan::Ladder halved(const zscan::Ladder& ladder) {
  zscan::Ladder out = ladder;
  for (int r = 0; r < ladder.rungs; ++r) {
    const zscan::DepthGrid& g = ladder.depth[r];
    out.depth[r] = zscan::make_depth_grid(2 * g.degree, g.optical_depth, g.rate);
    out.accuracy[r] = std::fmax(ladder.accuracy[r] / 64.0, 1e-13);
  }
  return out;
}

// Calls check(name, absorber, peak, tolerance, ladder, finer) for every case
// at tolerances 1e-5 and 1e-7: its absorber, the largest peak intensity, the
// ladder and the ladder at halved resolutions.
template <typename Check>
void for_each_ladder(const Check& check) {
  for (const Named& n : cases()) {
    const zscan::WholeBeamExperiment e = n.c.experiment();
    const zscan::AbsorberOutcome made = zscan::make_absorber(e, n.c.spec_pars.data());
    ASSERT_FALSE(made.transparent);
    const double peak = zscan::whole_beam_peak_intensity(e, n.c.energies.back(), 0.0);
    for (double tolerance : {1e-5, 1e-7}) {
      const zscan::Ladder ladder =
          zscan::make_ladder(tolerance, made.absorber, peak, zscan::PulseShape::gaussian);
      check(n.name, made.absorber, peak, tolerance, ladder, halved(ladder));
    }
  }
}

TEST(WholeBeamAccuracyNode, HalvingEveryResolutionMovesTheValueLessThanItsEstimate) {
  for_each_ladder([](const char* name, const zscan::Absorber& absorber, double peak,
                     double tolerance, const zscan::Ladder& ladder, const zscan::Ladder& finer) {
    zscan::LocalWork work;
    for (double fraction : {0.01, 0.3, 1.0}) {
      const zscan::NodeValue node = zscan::table_node(absorber, ladder, fraction * peak, work);
      const zscan::NodeValue fine = zscan::table_node(absorber, finer, fraction * peak, work);
      EXPECT_LE(std::fabs(node.value - fine.value), node.error)
          << name << " tolerance " << tolerance << " at " << fraction;
      EXPECT_LE(node.error, 0.5 * tolerance) << name;
    }
  });
}

// A table takes most of its nodes' errors from samples: every node of
// every interval, sampled or not, lies within the interval's node error of
// its value at halved resolutions.
TEST(WholeBeamAccuracyTable, EveryNodeLiesWithinItsIntervalsNodeError) {
  for_each_ladder([](const char* name, const zscan::Absorber& absorber, double peak,
                     double tolerance, const zscan::Ladder& ladder, const zscan::Ladder& finer) {
    zscan::TableRequest request;
    request.scale = zscan::table_scale(absorber, peak, ladder.pulse);
    request.tolerance = tolerance;
    request.physics_margin = 1.0;
    zscan::Table table;
    ASSERT_EQ(zscan::build_table(absorber, ladder, request, table), zscan::Status::ok) << name;
    zscan::LocalWork work;
    for (const zscan::TableInterval& iv : table.intervals) {
      EXPECT_LE(iv.node_error, 0.5 * tolerance) << name;
      for (int id : iv.nodes) {
        const double intensity = table.intensities[static_cast<size_t>(id)];
        if (intensity == 0.0) continue;
        const zscan::NodeValue fine = zscan::table_node(absorber, finer, intensity, work);
        EXPECT_LE(std::fabs(table.values[static_cast<size_t>(id)].value - fine.value), iv.node_error)
            << name << " tolerance " << tolerance << " at " << intensity / peak;
      }
    }
  });
}

}  // namespace
