// The Adams-to-BDF switching test's shortcut (bdf_clearly_short), judged by
// the test's own rule with its powers: wherever the shortcut rules a switch
// out, the rule finds none, also within 1e-5 of the rule's boundary; and the
// shortcut decides most cases away from that boundary.
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "lsoda/record.h"
#include "lsoda/step.h"

namespace {

using namespace lsoda;

// A record while Adams at order nq, with the method families' CM1 and CM2.
Record adams_at(int nq) {
  const MethodFamilies& f = method_families();
  Record s;
  s.cm1 = f.cm1;
  s.cm2 = f.cm2;
  s.ratio = kRatio;
  s.meth = 1;
  s.mxords = 5;
  s.nq = nq;
  s.l = nq + 1;
  return s;
}

// The switching rule at the same order: BDF's step ratio against RATIO
// times the smaller of Adams' own and its stability limit SM1/pdh.
bool rule_switches(const Record& s, double dsm, double pdh) {
  const double e = 1.0 / s.l;
  double rh1 = 1.0 / (1.2 * std::pow(dsm, e) + 0.0000012);
  double rh1it = 2.0 * rh1;
  if (pdh * rh1 > 0.00001) rh1it = kSm1[s.nq - 1] / pdh;
  rh1 = std::min(rh1, rh1it);
  const double dm2 = dsm * (s.cm1[s.nq - 1] / s.cm2[s.nq - 1]);
  const double rh2 = 1.0 / (1.2 * std::pow(dm2, e) + 0.0000012);
  return !(rh2 < s.ratio * rh1);
}

TEST(AdamsToBdfShortcut, RulesOutOnlyWhatTheRuleRulesOut) {
  std::mt19937_64 rng(20261209);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int nq = 1; nq <= 5; ++nq) {
    const Record s = adams_at(nq);
    const double c = s.cm1[nq - 1] / s.cm2[nq - 1];
    int decided = 0, far = 0;
    for (int k = 0; k < 200000; ++k) {
      const double pdh = std::pow(10.0, -7.0 + 8.0 * unit(rng));
      double dsm;
      const bool near = k % 2 == 1;
      if (near) {
        // DSM within 1e-5 of where BDF's ratio meets RATIO*SM1/pdh.
        const double z = 1.0 / (1.2 * s.ratio * (kSm1[nq - 1] / pdh));
        dsm = std::pow(z, s.l) / c * (1.0 + 1e-5 * (2.0 * unit(rng) - 1.0));
      } else {
        dsm = std::pow(10.0, -12.0 * unit(rng));
      }
      if (!(dsm > 0.0 && dsm <= 1.0)) continue;  // a successful step's error
      if (bdf_clearly_short(s, dsm, pdh)) {
        ASSERT_FALSE(rule_switches(s, dsm, pdh)) << "nq " << nq << " dsm " << dsm << " pdh " << pdh;
        if (!near) ++decided;
      }
      if (!near && !rule_switches(s, dsm, pdh)) ++far;
    }
    // Away from the boundary the shortcut decides nearly every case without a switch.
    EXPECT_GT(decided, 0.95 * far) << "nq " << nq;
  }
}

TEST(AdamsToBdfShortcut, LeavesDegenerateOperandsToTheRule) {
  const Record s = adams_at(3);
  EXPECT_FALSE(bdf_clearly_short(s, 0.5, 0.0));     // no Lipschitz estimate: no stability limit
  EXPECT_FALSE(bdf_clearly_short(s, 1e-320, 1.0));  // a subnormal error
  EXPECT_FALSE(bdf_clearly_short(s, 0.5, 1e-300));  // the bound's power underflows
}

}  // namespace
