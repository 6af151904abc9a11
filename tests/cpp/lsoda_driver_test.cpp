// The integrator's driver: input checks and their messages, the ITASK and
// ISTATE roads, the Jacobian types, work-space shortages, accuracy against
// analytic solutions, and independence of integrations on different threads.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lsoda/lsoda.h"
#include "lsoda/record.h"
#include "tests/cpp/lsoda_message_lines.h"
#include "tests/cpp/lsoda_test_problems.h"

namespace {

using lsoda_test::Integration;
using lsoda_test::int_line;
using lsoda_test::line60;
using lsoda_test::line80;
using lsoda_test::real_line;
using lsoda_test::reals_line;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// ---------------------------------------------------------------- input errors

using BadInput = lsoda_test::RefusedInput<Integration>;

const BadInput kBadInputs[] = {
    {"IstateFour", [](Integration& r) { r.istate = 4; },
     line60("DLSODA-  ISTATE (=I1) illegal.") + "      In above message,  I1 =         4\n"},
    {"ItaskZero", [](Integration& r) { r.itask = 0; },
     line60("DLSODA-  ITASK (=I1) illegal. ") + "      In above message,  I1 =         0\n"},
    {"NeqZero", [](Integration& r) { r.neq = 0; },
     line60("DLSODA-  NEQ (=I1) .lt. 1     ") + "      In above message,  I1 =         0\n"},
    {"ItolFive", [](Integration& r) { r.itol = 5; },
     line60("DLSODA-  ITOL (=I1) illegal.  ") + "      In above message,  I1 =         5\n"},
    {"IoptTwo", [](Integration& r) { r.iopt = 2; },
     line60("DLSODA-  IOPT (=I1) illegal.  ") + "      In above message,  I1 =         2\n"},
    {"JtThree", [](Integration& r) { r.jt = 3; },
     line60("DLSODA-  JT (=I1) illegal.    ") + "      In above message,  I1 =         3\n"},
    {"MlTooLarge", [](Integration& r) { r.jt = 5; r.iwork[0] = 2; r.iwork[1] = 0; },
     line60("DLSODA-  ML (=I1) illegal: .lt.0 or .ge.NEQ (=I2) ") +
         "      In above message,  I1 =         2   I2 =         2\n"},
    {"MuNegative", [](Integration& r) { r.jt = 4; r.iwork[0] = 0; r.iwork[1] = -1; },
     line60("DLSODA-  MU (=I1) illegal: .lt.0 or .ge.NEQ (=I2) ") +
         "      In above message,  I1 =        -1   I2 =         2\n"},
    {"IxprTwo", [](Integration& r) { r.iopt = 1; r.iwork[4] = 2; },
     line60("DLSODA-  IXPR (=I1) illegal.  ") + "      In above message,  I1 =         2\n"},
    {"MxstepNegative", [](Integration& r) { r.iopt = 1; r.iwork[5] = -1; },
     line60("DLSODA-  MXSTEP (=I1) .lt. 0  ") + "      In above message,  I1 =        -1\n"},
    {"MxhnilNegative", [](Integration& r) { r.iopt = 1; r.iwork[6] = -3; },
     line60("DLSODA-  MXHNIL (=I1) .lt. 0  ") + "      In above message,  I1 =        -3\n"},
    {"MxordnNegative", [](Integration& r) { r.iopt = 1; r.iwork[7] = -1; },
     line60("DLSODA-  MXORDN (=I1) .lt. 0  ") + "      In above message,  I1 =        -1\n"},
    {"MxordsNegative", [](Integration& r) { r.iopt = 1; r.iwork[8] = -2; },
     line60("DLSODA-  MXORDS (=I1) .lt. 0  ") + "      In above message,  I1 =        -2\n"},
    {"H0AgainstDirection", [](Integration& r) { r.iopt = 1; r.rwork[4] = -0.5; },
     line60("DLSODA-  TOUT (=R1) behind T (=R2)      ") +
         "      In above,  R1 =  0.1000000000000D+01   R2 =  0.0000000000000D+00\n" +
         line60("      Integration direction is given by H0 (=R1)  ") +
         "      In above message,  R1 = -0.5000000000000D+00\n"},
    {"HmaxNegative", [](Integration& r) { r.iopt = 1; r.rwork[5] = -2.0; },
     line60("DLSODA-  HMAX (=R1) .lt. 0.0  ") + "      In above message,  R1 = -0.2000000000000D+01\n"},
    {"HminNegative", [](Integration& r) { r.iopt = 1; r.rwork[6] = -0.25; },
     line60("DLSODA-  HMIN (=R1) .lt. 0.0  ") + "      In above message,  R1 = -0.2500000000000D+00\n"},
    {"RworkShort", [](Integration& r) { r.lrw = 51; },
     line60("DLSODA-  RWORK length needed, LENRW (=I1), exceeds LRW (=I2)") +
         "      In above message,  I1 =        52   I2 =        51\n"},
    {"IworkShort", [](Integration& r) { r.liw = 19; },
     line60("DLSODA-  IWORK length needed, LENIW (=I1), exceeds LIW (=I2)") +
         "      In above message,  I1 =        22   I2 =        19\n"},
    {"RtolNegative", [](Integration& r) { r.itol = 3; r.rtol = {1e-6, -1e-3}; },
     line60("DLSODA-  RTOL(I1) is R1 .lt. 0.0        ") + "      In above message,  I1 =         2\n" +
         "      In above message,  R1 = -0.1000000000000D-02\n"},
    {"AtolNegative", [](Integration& r) { r.atol = {-1e-8}; },
     line60("DLSODA-  ATOL(I1) is R1 .lt. 0.0        ") + "      In above message,  I1 =         1\n" +
         "      In above message,  R1 = -0.1000000000000D-07\n"},
    {"ZeroWeight", [](Integration& r) { r.atol = {0.0}; r.y[1] = 0.0; },
     line60("DLSODA-  EWT(I1) is R1 .le. 0.0         ") + "      In above message,  I1 =         2\n" +
         "      In above message,  R1 =  0.0000000000000D+00\n"},
    {"ToutTooClose", [](Integration& r) { r.t = 1.0; r.tout = std::nextafter(1.0, 2.0); },
     line60("DLSODA-  TOUT(=R1) too close to T(=R2) to start integration.") +
         "      In above,  R1 =  0.1000000000000D+01   R2 =  0.1000000000000D+01\n"},
    {"TcritBehindTout", [](Integration& r) { r.itask = 4; r.rwork[0] = 0.5; },
     line60("DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TOUT (=R2)   ") +
         "      In above,  R1 =  0.5000000000000D+00   R2 =  0.1000000000000D+01\n"},
    {"TooMuchAccuracy", [](Integration& r) { r.rtol = {0.0}; r.atol = {1e-20}; },
     line60("DLSODA-  At start of problem, too much accuracy   ") +
         line60("      requested for precision of machine..  See TOLSF (=R1) ") +
         "      In above message,  R1 =  0.4440892098501D+05\n"},
};

class IllegalInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(IllegalInput, PrintsItsMessageAndReturnsMinusThree) {
  Integration run(lsoda_test::oscillator, {1.0, 0.5});
  GetParam().spoil(run);
  const std::vector<double> y0 = run.y;
  const double t0 = run.t;
  CaptureStdout();
  run.call();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(run.istate, -3);
  EXPECT_EQ(out, GetParam().expected);
  EXPECT_EQ(run.y, y0);
  EXPECT_EQ(run.t, t0);
}

INSTANTIATE_TEST_SUITE_P(Integrator, IllegalInput, ::testing::ValuesIn(kBadInputs),
                         lsoda_test::case_name<::testing::TestParamInfo<BadInput>>);

// ---------------------------------------------------------------- failures after a start

// y' = -1: linear, so a step of H = 1 from y = 1 lands exactly on y = 0.
void descent(int*, double*, double*, double* ydot) { ydot[0] = -1.0; }

// A problem brought to a state (started with a successful call where the
// case needs one, then changed for the next call), and the complete message
// of the next call, built from the integrator's record after it.
struct LaterFailure {
  const char* name;
  Integration (*prepare)();
  int istate;  // returned by the next call
  std::string (*expected)(const Integration&);
};

// Decay integrated to T = 1 with ITASK 1 (the mesh point lies at or beyond
// 1), then set to go on with the given ITASK, TOUT and TCRIT.
Integration decay_continued(int itask, double tout, double tcrit) {
  Integration run(lsoda_test::decay, {1.0});
  run.call();
  run.itask = itask;
  run.tout = tout;
  run.rwork[0] = tcrit;
  return run;
}

// TCUR - HU as the driver tests it for ITASK 3.
double last_step_start() {
  const lsoda::Record& s = lsoda::record();
  return s.tn - s.hu * (1.0 + 100.0 * s.uround);
}

// TCRIT = 0.25 lies behind TCUR.
template <int kItask>
Integration tcrit_behind_tcur() {
  return decay_continued(kItask, 2.0, 0.25);
}

// TOUT = -10 lies far behind the last step; TCRIT (ITASK 4) ahead.
constexpr double kFarBehind = -10.0;
template <int kItask>
Integration tout_far_behind() {
  return decay_continued(kItask, kFarBehind, 5.0);
}

// DINTDY's complaint about a T outside [TCUR - HU, TCUR], fuzz included,
// then the driver's.
template <int kItask>
std::string trouble_in_dintdy(const Integration&) {
  const lsoda::Record& s = lsoda::record();
  const double tfuzz = 100.0 * s.uround * (std::fabs(s.tn) + std::fabs(s.hu));
  return line80("DINTDY-  T (=R1) illegal      ") + real_line(kFarBehind) +
         line80("      T not in interval TCUR - HU (= R1) to TCUR (=R2)      ") +
         reals_line(s.tn - s.hu - tfuzz, s.tn) +
         line60("DLSODA-  Trouble in DINTDY.  ITASK = I1, TOUT = R1") + int_line(kItask) +
         real_line(kFarBehind);
}

std::string tcrit_behind_tcur_message(const Integration&) {
  return line60("DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TCUR (=R2)   ") +
         reals_line(0.25, lsoda::record().tn);
}

const LaterFailure kLaterFailures[] = {
    {"ItaskThreeToutBehindLastStep", [] { return decay_continued(3, 0.0, 0.0); }, -3,
     [](const Integration&) {
       return line60("DLSODA-  ITASK = I1 and TOUT (=R1) behind TCUR - HU (= R2)  ") + int_line(3) +
              reals_line(0.0, last_step_start());
     }},
    {"ItaskFourTcritBehindTcur", tcrit_behind_tcur<4>, -3, tcrit_behind_tcur_message},
    {"ItaskFiveTcritBehindTcur", tcrit_behind_tcur<5>, -3, tcrit_behind_tcur_message},
    {"ItaskOneToutFarBehind", tout_far_behind<1>, -3, trouble_in_dintdy<1>},
    {"ItaskFourToutFarBehind", tout_far_behind<4>, -3, trouble_in_dintdy<4>},
    {"WeightBecomesZeroUnderPureRelativeTolerance",
     [] {
       // One step of H = 1 reaches y = 0 exactly; with ATOL = 0 its weight
       // is then zero before the next step.
       Integration run(descent, {1.0});
       run.atol = {0.0};
       run.tout = 2.0;
       run.iopt = 1;
       run.rwork[4] = 1.0;  // H0
       return run;
     },
     -6,
     [](const Integration&) {
       return line60("DLSODA-  At T (=R1), EWT(I1) has become R2 .le. 0.") + int_line(1) +
              reals_line(1.0, 0.0);
     }},
};

class LaterFailures : public ::testing::TestWithParam<LaterFailure> {};

// An illegal continuation leaves Y and T as they were; a failure during the
// run returns the last mesh point reached.
TEST_P(LaterFailures, PrintTheirMessageAndReturnTheirIstate) {
  Integration run = GetParam().prepare();
  const std::vector<double> y0 = run.y;
  const double t0 = run.t;
  CaptureStdout();
  run.call();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(run.istate, GetParam().istate);
  EXPECT_EQ(out, GetParam().expected(run));
  if (GetParam().istate == -3) {
    EXPECT_EQ(run.y, y0);
    EXPECT_EQ(run.t, t0);
  } else {
    EXPECT_EQ(run.t, run.tcur());
    EXPECT_EQ(run.t, lsoda::record().tn);
    EXPECT_EQ(run.y[0], run.rwork[20]) << "Y is the solution at the last mesh point";
  }
}

INSTANTIATE_TEST_SUITE_P(Integrator, LaterFailures, ::testing::ValuesIn(kLaterFailures),
                         [](const ::testing::TestParamInfo<LaterFailure>& info) {
                           return std::string(info.param.name);
                         });

TEST(Integrator, ContinuationBeforeAnyFirstCallIsIllegal) {
  // A fresh thread has a fresh record: nothing has been initialised.
  std::string out;
  int istate = 0;
  std::thread worker([&] {
    Integration run(lsoda_test::decay, {1.0});
    run.istate = 2;
    CaptureStdout();
    run.call();
    out = GetCapturedStdout();
    istate = run.istate;
  });
  worker.join();
  EXPECT_EQ(istate, -3);
  EXPECT_EQ(out, line60("DLSODA-  ISTATE .gt. 1 but DLSODA not initialized."));
}

TEST(Integrator, NegativeIstateEndsTheProcess) {
  EXPECT_EXIT(
      {
        Integration run(lsoda_test::decay, {1.0});
        run.istate = -1;
        run.call();
      },
      ::testing::ExitedWithCode(1), "");
}

TEST(Integrator, ToutEqualToTDoesNothing) {
  Integration run(lsoda_test::decay, {2.0});
  run.t = run.tout = 3.0;
  CaptureStdout();
  run.call();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(run.istate, 1);
  EXPECT_EQ(run.y[0], 2.0);
  EXPECT_EQ(run.t, 3.0);
  EXPECT_EQ(run.nst(), 0);
}

// ---------------------------------------------------------------- accuracy

TEST(Integrator, SolvesNonStiffProblemsWithinTolerance) {
  Integration decay(lsoda_test::decay, {1.0});
  decay.tout = 5.0;
  decay.call();
  EXPECT_EQ(decay.istate, 2);
  EXPECT_EQ(decay.t, 5.0) << "T equals TOUT exactly on success";
  EXPECT_GE(decay.tcur(), 5.0) << "the mesh point reached lies at or beyond TOUT";
  EXPECT_NEAR(decay.y[0], std::exp(-5.0), 2e-5);
  EXPECT_EQ(decay.mused(), 1);

  Integration osc(lsoda_test::oscillator, {0.0, 1.0});
  osc.tout = 20.0;
  osc.call();
  EXPECT_EQ(osc.istate, 2);
  EXPECT_NEAR(osc.y[0], std::sin(20.0), 1e-4);
  EXPECT_NEAR(osc.y[1], std::cos(20.0), 1e-4);
  EXPECT_EQ(osc.mused(), 1) << "a non-stiff problem stays with Adams";
  EXPECT_EQ(osc.tsw(), 0.0);
}

TEST(Integrator, IntegratesBackwards) {
  Integration run(lsoda_test::decay, {1.0});
  run.tout = -2.0;
  run.call();
  EXPECT_EQ(run.istate, 2);
  EXPECT_EQ(run.t, -2.0);
  EXPECT_LT(run.rwork[10], 0.0) << "steps are negative";
  EXPECT_LE(run.tcur(), -2.0);
  EXPECT_NEAR(run.y[0], std::exp(2.0), 1e-4 * std::exp(2.0));
}

TEST(Integrator, SwitchesToBdfOnStiffProblemAndReportsIt) {
  Integration run(lsoda_test::robertson, {1.0, 0.0, 0.0});
  run.tout = 100.0;
  run.iopt = 1;
  run.iwork[4] = 1;  // IXPR: announce switches
  CaptureStdout();
  run.call();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(run.istate, 2);
  EXPECT_EQ(run.mused(), 2);
  EXPECT_GT(run.tsw(), 0.0);
  EXPECT_GT(run.nje(), 0);
  EXPECT_GT(run.nst(), 20) << "no switch before the 21st step";
  EXPECT_NE(out.find(" DLSODA-  A switch to the BDF (stiff) method occurred"), std::string::npos) << out;
  EXPECT_NE(out.find("     at T = R1,  tentative step size H = R2,  step NST = I1 "), std::string::npos);
  // Mass is conserved by the equations.
  EXPECT_NEAR(run.y[0] + run.y[1] + run.y[2], 1.0, 1e-5);
}

// ---------------------------------------------------------------- Jacobian types

TEST(Integrator, BandedJacobianWithFullBandEqualsFullJacobianBitForBit) {
  Integration full(lsoda_test::robertson, {1.0, 0.0, 0.0});
  full.tout = 40.0;
  full.call();
  ASSERT_EQ(full.istate, 2);

  Integration band(lsoda_test::robertson, {1.0, 0.0, 0.0});
  band.tout = 40.0;
  band.jt = 5;
  band.iwork[0] = band.iwork[1] = 2;
  band.rwork.assign(200, 0.0);
  band.lrw = 200;
  band.call();
  ASSERT_EQ(band.istate, 2);
  EXPECT_EQ(band.y, full.y);
  EXPECT_EQ(band.nst(), full.nst());
  EXPECT_EQ(band.nfe(), full.nfe());
  EXPECT_EQ(band.nje(), full.nje());
}

TEST(Integrator, UserJacobianFullAndBandedAgree) {
  Integration full(lsoda_test::robertson, {1.0, 0.0, 0.0});
  full.tout = 40.0;
  full.jt = 1;
  full.jac = lsoda_test::robertson_jac_full;
  full.call();
  ASSERT_EQ(full.istate, 2);
  EXPECT_EQ(full.mused(), 2);

  Integration band(lsoda_test::robertson, {1.0, 0.0, 0.0});
  band.tout = 40.0;
  band.jt = 4;
  band.jac = lsoda_test::robertson_jac_band;
  band.iwork[0] = band.iwork[1] = 2;
  band.rwork.assign(200, 0.0);
  band.lrw = 200;
  band.call();
  ASSERT_EQ(band.istate, 2);
  EXPECT_EQ(band.y, full.y);
  EXPECT_EQ(band.nst(), full.nst());

  // The analytic Jacobian reaches the same solution as the difference quotients.
  Integration quotients(lsoda_test::robertson, {1.0, 0.0, 0.0});
  quotients.tout = 40.0;
  quotients.call();
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(full.y[i], quotients.y[i], 1e-5);
}

// ---------------------------------------------------------------- ITASK and ISTATE

TEST(Integrator, OneStepCallsRetraceTheMeshOfOneCall) {
  Integration whole(lsoda_test::oscillator, {1.0, 0.0});
  whole.tout = 3.0;
  whole.call();
  ASSERT_EQ(whole.istate, 2);

  Integration steps(lsoda_test::oscillator, {1.0, 0.0});
  steps.tout = 3.0;
  steps.itask = 2;
  int calls = 0;
  while (steps.t < 3.0 && calls < 1000) {
    steps.call();
    ASSERT_EQ(steps.istate, 2);
    ASSERT_EQ(steps.t, steps.tcur()) << "ITASK 2 returns at the mesh point";
    ++calls;
  }
  EXPECT_EQ(calls, whole.nst());
  EXPECT_EQ(steps.tcur(), whole.tcur());
  // Interpolating back to TOUT gives what the single call returned.
  std::vector<double> dky(2);
  int k = 0, iflag = 1, nyh = 2;
  double tout = 3.0;
  lsoda::DINTDY(&tout, &k, steps.rwork.data() + 20, &nyh, dky.data(), &iflag);
  EXPECT_EQ(iflag, 0);
  EXPECT_EQ(dky, whole.y);
}

TEST(Integrator, StopsAtFirstMeshPointBeyondToutWithItaskThree) {
  Integration run(lsoda_test::decay, {1.0});
  run.tout = 1.0;
  run.itask = 3;
  run.call();
  EXPECT_EQ(run.istate, 2);
  EXPECT_GE(run.t, 1.0);
  EXPECT_EQ(run.t, run.tcur());
  EXPECT_EQ(run.y[0], run.rwork[20]) << "Y is the mesh-point solution, not an interpolant";
  EXPECT_NEAR(run.y[0], std::exp(-run.t), 1e-5);
}

TEST(Integrator, NeverStepsPastTcrit) {
  Integration run(lsoda_test::decay, {1.0});
  run.tout = 0.7;
  run.itask = 4;
  run.rwork[0] = 0.75;
  run.call();
  EXPECT_EQ(run.istate, 2);
  EXPECT_EQ(run.t, 0.7);
  EXPECT_LE(run.tcur(), 0.75);
  // Continuing towards TOUT = TCRIT stops on it.
  run.tout = 0.75;
  run.call();
  EXPECT_EQ(run.istate, 2);
  EXPECT_LE(run.tcur(), 0.75);
  EXPECT_NEAR(run.y[0], std::exp(-0.75), 1e-5);

  Integration single(lsoda_test::decay, {1.0});
  single.tout = 0.75;
  single.itask = 5;
  single.rwork[0] = 0.75;
  int calls = 0;
  while (single.t < 0.75 && calls < 1000) {
    single.call();
    ASSERT_EQ(single.istate, 2);
    ASSERT_LE(single.tcur(), 0.75);
    ++calls;
  }
  EXPECT_EQ(single.t, 0.75) << "the last step lands on TCRIT";
  EXPECT_NEAR(single.y[0], std::exp(-0.75), 1e-5);
}

TEST(Integrator, ReturnsMinusOneAfterMxstepStepsAndContinuesWithIstateThree) {
  Integration whole(lsoda_test::oscillator, {1.0, 0.0});
  whole.tout = 10.0;
  whole.call();
  ASSERT_EQ(whole.istate, 2);

  Integration run(lsoda_test::oscillator, {1.0, 0.0});
  run.tout = 10.0;
  run.iopt = 1;
  run.iwork[5] = 10;  // MXSTEP
  CaptureStdout();
  run.call();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(run.istate, -1);
  EXPECT_EQ(run.nst(), 10);
  EXPECT_LT(run.t, 10.0);
  EXPECT_EQ(run.t, run.tcur()) << "T is the last mesh point";
  EXPECT_EQ(run.y[0], run.rwork[20]);
  EXPECT_EQ(run.y[1], run.rwork[21]);
  EXPECT_EQ(out.substr(0, 62), line60("DLSODA-  At current T (=R1), MXSTEP (=I1) steps   "));
  EXPECT_NE(out.find("      In above message,  I1 =        10\n"), std::string::npos);

  // ISTATE = 3 takes the new MXSTEP; the steps are those of one uninterrupted call.
  run.iwork[5] = 0;
  run.istate = 3;
  run.call();
  EXPECT_EQ(run.istate, 2);
  EXPECT_EQ(run.t, 10.0);
  EXPECT_EQ(run.y, whole.y);
  EXPECT_EQ(run.nst(), whole.nst());
  EXPECT_EQ(run.nfe(), whole.nfe());
}

TEST(Integrator, ContinuesWithIstateTwoToLaterOutputPoints) {
  Integration run(lsoda_test::oscillator, {1.0, 0.0});
  int last_nst = 0;
  for (int k = 1; k <= 10; ++k) {
    run.tout = 0.5 * k;
    run.call();
    ASSERT_EQ(run.istate, 2);
    EXPECT_EQ(run.t, run.tout);
    EXPECT_NEAR(run.y[0], std::cos(run.tout), 1e-4);
    EXPECT_GE(run.nst(), last_nst) << "counters accumulate over the problem";
    last_nst = run.nst();
  }
}

// ---------------------------------------------------------------- work space

// Eight stiff linear equations: they switch to BDF, whose matrix needs more
// real work space than the Adams history.
void stiff_eight(int*, double* t, double* y, double* ydot) {
  for (int i = 0; i < 8; ++i) ydot[i] = -1000.0 * (i + 1) * (y[i] - std::cos(*t));
}

TEST(Integrator, ShortWorkSpaceWarnsAndFailsAtTheSwitch) {
  Integration run(stiff_eight, std::vector<double>(8, 0.0));
  run.tout = 10.0;
  // LENRW = 20 + 6*8 + (64 + 2) + 24 = 158; the Adams need is 20 + 13*8 + 24 = 148.
  run.lrw = 150;
  CaptureStdout();
  run.call();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(run.iwork[16], 158) << "LENRW";
  EXPECT_EQ(run.istate, -7);
  const std::string warning = line60("DLSODA-  Warning.. RWORK length is sufficient for now, but  ") +
                              line60("      may not be later.  Integration will proceed anyway.   ") +
                              line60("      Length needed is LENRW = I1, while LRW = I2.") +
                              "      In above message,  I1 =       158   I2 =       150\n";
  EXPECT_EQ(out.substr(0, warning.size()), warning);
  EXPECT_NE(out.find(line60("DLSODA-  At current T(=R1), RWORK length too small")), std::string::npos);
  EXPECT_GT(run.t, 0.0);
  EXPECT_LT(run.t, 10.0);
}

TEST(Integrator, WarnsWhenTPlusHEqualsT) {
  Integration run(lsoda_test::decay, {1.0});
  run.t = 1.0;
  run.tout = 2.0;
  run.iopt = 1;
  run.rwork[4] = 1e-20;  // H0 below the resolution of T
  run.iwork[6] = 1;      // MXHNIL
  CaptureStdout();
  run.call();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(run.istate, 2);
  const std::string expected = line60("DLSODA-  Warning..Internal T (=R1) and H (=R2) are") +
                               line60("      such that in the machine, T + H = T on the next step  ") +
                               line60("     (H = step size). Solver will continue anyway.") +
                               "      In above,  R1 =  0.1000000000000D+01   R2 =  0.1000000000000D-19\n" +
                               line60("DLSODA-  Above warning has been issued I1 times.  ") +
                               "      In above message,  I1 =         1\n" +
                               line60("     It will not be issued again for this problem.");
  EXPECT_EQ(out, expected);
}

// ---------------------------------------------------------------- threads

TEST(Integrator, ThreadsIntegratingAtOnceGetTheSingleThreadedResults) {
  auto robertson_run = [] {
    Integration run(lsoda_test::robertson, {1.0, 0.0, 0.0});
    run.tout = 40.0;
    run.call();
    return run;
  };
  auto oscillator_run = [] {
    Integration run(lsoda_test::oscillator, {1.0, 0.0});
    run.tout = 10.0;
    run.call();
    return run;
  };
  const Integration r_alone = robertson_run();
  const Integration o_alone = oscillator_run();
  bool r_same = true, o_same = true;
  std::thread a([&] {
    for (int k = 0; k < 200; ++k) {
      Integration r = robertson_run();
      r_same = r_same && r.y == r_alone.y && r.iwork == r_alone.iwork && r.rwork == r_alone.rwork;
    }
  });
  std::thread b([&] {
    for (int k = 0; k < 200; ++k) {
      Integration o = oscillator_run();
      o_same = o_same && o.y == o_alone.y && o.iwork == o_alone.iwork && o.rwork == o_alone.rwork;
    }
  });
  a.join();
  b.join();
  EXPECT_TRUE(r_same);
  EXPECT_TRUE(o_same);
}

// Messages of integrations on several threads reach the output whole: every
// captured line belongs to a complete message, in order.
TEST(Integrator, MessagesFromThreadsStayWhole) {
  auto exhaust = [] {
    Integration run(lsoda_test::oscillator, {1.0, 0.0});
    run.tout = 100.0;
    run.iopt = 1;
    run.iwork[5] = 3;  // MXSTEP: every call ends with the two-line message
    run.call();
    return run.istate;
  };
  CaptureStdout();
  ASSERT_EQ(exhaust(), -1);
  const std::string one = GetCapturedStdout();
  ASSERT_EQ(std::count(one.begin(), one.end(), '\n'), 4);

  CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int k = 0; k < 50; ++k) exhaust();
    });
  for (std::thread& t : threads) t.join();
  const std::string all = GetCapturedStdout();
  ASSERT_EQ(all.size(), 200 * one.size());
  for (size_t at = 0; at < all.size(); at += one.size())
    ASSERT_EQ(all.compare(at, one.size(), one), 0) << "message interleaved at byte " << at;
}

}  // namespace
