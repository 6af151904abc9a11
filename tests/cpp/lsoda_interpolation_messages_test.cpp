// Interpolation in the history array (DINTDY) and the message writer
// (XERRWD and its switches): values at and beyond the ends of the last
// step, the exact line layout of every message form.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lsoda/messages.h"
#include "lsoda/record.h"
#include "tests/cpp/lsoda_test_problems.h"

namespace {

using lsoda_test::Integration;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// One step of y' = -y, to interpolate within.
Integration one_step_of_decay() {
  Integration run(lsoda_test::decay, {1.0});
  run.tout = 5.0;
  run.itask = 2;
  for (int k = 0; k < 6; ++k) run.call();  // a few steps, so that NQ > 1
  return run;
}

TEST(Interpolation, ValuesAtAndWithinTheLastStep) {
  Integration run = one_step_of_decay();
  const lsoda::Record& s = lsoda::record();
  ASSERT_GT(s.nq, 1);
  int k = 0, iflag = 1, nyh = 1;
  double dky = 0.0;
  double t = s.tn;
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);
  EXPECT_EQ(dky, run.rwork[20]) << "T = TN gives YH column 1";

  t = s.tn - s.hu;  // the previous mesh point is inside
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);
  EXPECT_NEAR(dky, std::exp(-t), 1e-5);

  t = s.tn + 10.0 * s.uround * s.tn;  // a hair beyond TN is within the margin
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);

  // The first derivative of the interpolant approximates y' = -y.
  k = 1;
  t = s.tn - 0.5 * s.hu;
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  EXPECT_EQ(iflag, 0);
  EXPECT_NEAR(dky, -std::exp(-t), 1e-4);

  // K = NQ: the constant highest derivative NQ! * YH(L) / H^NQ.
  k = s.nq;
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  double factorial = 1.0;
  for (int j = 2; j <= s.nq; ++j) factorial *= j;
  EXPECT_NEAR(dky, factorial * run.rwork[20 + s.nq] / std::pow(s.h, s.nq),
              1e-12 * std::fabs(dky));
}

TEST(Interpolation, RejectsIllegalOrderAndPoint) {
  Integration run = one_step_of_decay();
  const lsoda::Record& s = lsoda::record();
  int nyh = 1, iflag = 0;
  double dky = 42.0;
  double t = s.tn;
  int k = s.nq + 1;
  CaptureStdout();
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(iflag, -1);
  EXPECT_EQ(dky, 42.0) << "DKY is left alone";
  const std::string pad80(50, ' ');
  char i10[11];
  lsoda::format_i10(k, i10);
  EXPECT_EQ(out, " DINTDY-  K (=I1) illegal      " + pad80 + "\n      In above message,  I1 =" + i10 + "\n");

  k = 0;
  t = s.tn + 0.5 * s.h + 1.0;  // clearly beyond the step
  CaptureStdout();
  lsoda::DINTDY(&t, &k, run.rwork.data() + 20, &nyh, &dky, &iflag);
  out = GetCapturedStdout();
  EXPECT_EQ(iflag, -2);
  EXPECT_EQ(dky, 42.0);
  const std::string first = " DINTDY-  T (=R1) illegal      " + pad80 + "\n";
  ASSERT_EQ(out.substr(0, first.size()), first);
  const std::string second = " " + std::string("      T not in interval TCUR - HU (= R1) to TCUR (=R2)      ") +
                             std::string(20, ' ') + "\n";
  EXPECT_NE(out.find(second), std::string::npos) << out;
  // The interval printed is [TN - HU - TFUZZ, TN].
  char tn[22];
  lsoda::format_d21_13(s.tn, tn);
  EXPECT_NE(out.find(std::string("   R2 =") + tn + "\n"), std::string::npos) << out;
}

// ---------------------------------------------------------------- message writer

TEST(Messages, FieldFormats) {
  char f[22];
  lsoda::format_d21_13(1.0, f);
  EXPECT_STREQ(f, "  0.1000000000000D+01");
  lsoda::format_d21_13(-2.5e-7, f);
  EXPECT_STREQ(f, " -0.2500000000000D-06");
  lsoda::format_d21_13(0.0, f);
  EXPECT_STREQ(f, "  0.0000000000000D+00");
  lsoda::format_d21_13(1.0 / 3.0, f);
  EXPECT_STREQ(f, "  0.3333333333333D+00");
  lsoda::format_d21_13(0.99999999999999, f);
  EXPECT_STREQ(f, "  0.1000000000000D+01") << "rounding carries into the exponent";
  lsoda::format_d21_13(1e100, f);
  EXPECT_STREQ(f, "  0.1000000000000+101") << "three-digit exponents drop the letter";
  lsoda::format_d21_13(-1.5e-200, f);
  EXPECT_STREQ(f, " -0.1500000000000-199");
  lsoda::format_d21_13(INFINITY, f);
  EXPECT_STREQ(f, "             Infinity");
  lsoda::format_d21_13(NAN, f);
  EXPECT_STREQ(f, "                  NaN");

  char i[11];
  lsoda::format_i10(42, i);
  EXPECT_STREQ(i, "        42");
  lsoda::format_i10(-2147483647, i);
  EXPECT_STREQ(i, "**********") << "does not fit ten columns";
}

TEST(Messages, LineLayoutOfEveryForm) {
  int nmes = 10, nerr = 1, level = 0, ni = 2, i1 = 7, i2 = -12, nr = 2;
  double r1 = 1.5, r2 = -0.25;
  CaptureStdout();
  lsoda::XERRWD("ABC", &nmes, &nerr, &level, &ni, &i1, &i2, &nr, &r1, &r2);
  EXPECT_EQ(GetCapturedStdout(),
            " ABC\n"
            "      In above message,  I1 =         7   I2 =       -12\n"
            "      In above,  R1 =  0.1500000000000D+01   R2 = -0.2500000000000D+00\n");
  ni = 1;
  nr = 1;
  CaptureStdout();
  lsoda::XERRWD("X", &nmes, &nerr, &level, &ni, &i1, &i2, &nr, &r1, &r2);
  EXPECT_EQ(GetCapturedStdout(),
            " X\n"
            "      In above message,  I1 =         7\n"
            "      In above message,  R1 =  0.1500000000000D+01\n");
}

TEST(Messages, SwitchesSuppressPrintingButNotTheFatalStop) {
  int ipar = 2, unused = 0;
  bool no = false;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 1) << "printing is on by default";
  ipar = 1;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 6) << "standard output is the default unit";
  EXPECT_EQ(lsoda::IUMACH(), 6);

  int off = 0, on = 1, bogus = 7, zero = 0;
  lsoda::XSETF(&bogus);  // ignored
  lsoda::XSETUN(&zero);  // ignored
  ipar = 1;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 6);
  lsoda::XSETF(&off);
  int nmes = 1, nerr = 0, level = 0, ni = 0, nr = 0, i = 0;
  double r = 0.0;
  CaptureStdout();
  lsoda::XERRWD("silent", &nmes, &nerr, &level, &ni, &i, &i, &nr, &r, &r);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EXIT(
      {
        int fatal = 2;
        lsoda::XERRWD("fatal", &nmes, &nerr, &fatal, &ni, &i, &i, &nr, &r, &r);
      },
      ::testing::ExitedWithCode(1), "");
  lsoda::XSETF(&on);
  ipar = 2;
  EXPECT_EQ(lsoda::IXSAV(&ipar, &unused, &no), 1);
}

}  // namespace
