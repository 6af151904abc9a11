// The integrator against reference figures from an independent
// implementation of the same method: seven problems, each solved by one
// call on the model's settings (ITOL 1, RTOL = ATOL = 1e-6, ITASK 1,
// ISTATE 1, IOPT 0, JT 2). Counters must agree exactly; the switch point
// and the solution to 1e-10 relative (they agree to the last bit).
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lsoda/lsoda.h"
#include "tests/cpp/json_reader.h"

namespace {

void exp_decay(int*, double*, double* y, double* ydot) { ydot[0] = -y[0]; }

void oscillator(int*, double*, double* y, double* ydot) {
  ydot[0] = y[1];
  ydot[1] = -y[0];
}

void robertson(int*, double*, double* y, double* ydot) {
  ydot[0] = -0.04 * y[0] + 1e4 * y[1] * y[2];
  ydot[1] = 0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] * y[1];
  ydot[2] = 3e7 * y[1] * y[1];
}

// The five-level rate equations of an RSA sample at the focus; y[5] holds
// the front-face intensity, which the integrator passes through untouched.
void rates_rsa(int*, double*, double* y, double* ydot) {
  const double ppj = 1.5091901796421518e33 / (299792458.0 / 532e-9);
  const double s0 = 1e-17, s1 = 4e-17, s2 = 6e-17;
  const double k10 = 1.0 / 5e-9, k13 = 1.0 / 10e-9, k21 = 1.0 / 1e-12, k30 = 1.0 / 1e-5,
               k43 = 1.0 / 1e-12;
  const double phi = ppj * y[5];
  const double a0 = s0 * y[0] * phi, a1 = s1 * phi * y[1], a2 = phi * s2 * y[3];
  const double d10 = k10 * y[1], d13 = k13 * y[1], d21 = k21 * y[2], d30 = k30 * y[3],
               d43 = k43 * y[4];
  ydot[0] = (d10 - a0) + d30;
  ydot[1] = (a0 + d21) - ((d10 + d13) + a1);
  ydot[2] = a1 - d21;
  ydot[3] = (d13 - (d30 + a2)) + d43;
  ydot[4] = a2 - d43;
}

void fading_stiff(int*, double* t, double* y, double* ydot) {
  ydot[0] = -(1000.0 * std::exp(-*t)) * y[0] + std::sin(*t);
}

void jump(int*, double* t, double* y, double* ydot) {
  ydot[0] = -y[0] + (*t > 0.5 ? 100.0 : 0.0);
}

void oregonator(int*, double*, double* y, double* ydot) {
  ydot[0] = 77.27 * (y[1] + y[0] * (1.0 - 8.375e-6 * y[0] - y[1]));
  ydot[1] = (y[2] - (1.0 + y[0]) * y[1]) / 77.27;
  ydot[2] = 0.161 * (y[0] - y[2]);
}

void no_jac(int*, double*, double*, int*, int*, double*, int*) {}

struct Problem {
  const char* name;
  lsoda::lsoda_rhs f;
  double extra;  // a parameter appended after y (the rate problem's intensity)
  bool has_extra;
};

const Problem kProblems[] = {
    {"exp_decay_to_1", exp_decay, 0.0, false},
    {"oscillator_to_10", oscillator, 0.0, false},
    {"robertson_to_40", robertson, 0.0, false},
    {"rates_rsa_focus", rates_rsa, 3.7e7, true},
    {"fading_stiff_to_12", fading_stiff, 0.0, false},
    {"jump_to_2", jump, 0.0, false},
    {"oregonator_to_30", oregonator, 0.0, false},
};

class ReferenceProblem : public ::testing::TestWithParam<Problem> {};

double relative(double a, double b) {
  if (a == b) return 0.0;
  return std::fabs(a - b) / std::max(std::fabs(a), std::fabs(b));
}

TEST_P(ReferenceProblem, MatchesIndependentImplementation) {
  const Problem& p = GetParam();
  const testjson::Value all = testjson::load(std::string(KESP_REFERENCE_DIR) + "/integrator_reference.json");
  const testjson::Value* ref = nullptr;
  for (size_t k = 0; k < all.size(); ++k)
    if (all[k]["name"].text == p.name) ref = &all[k];
  ASSERT_NE(ref, nullptr) << p.name;

  std::vector<double> y = (*ref)["y0"].as_doubles();
  int neq = static_cast<int>(y.size());
  if (p.has_extra) y.push_back(p.extra);
  double t = 0.0, tout = (*ref)["tout"].number;
  int itol = 1, itask = 1, istate = 1, iopt = 0, jt = 2;
  double rtol = 1e-6, atol = 1e-6;
  std::vector<double> rwork(22 + neq * 16 + neq * neq, 0.0);
  std::vector<int> iwork(20 + neq, 0);
  int lrw = static_cast<int>(rwork.size()), liw = static_cast<int>(iwork.size());
  lsoda::DLSODA(p.f, &neq, y.data(), &t, &tout, &itol, &rtol, &atol, &itask, &istate, &iopt,
                rwork.data(), &lrw, iwork.data(), &liw, no_jac, &jt);

  EXPECT_EQ(istate, (*ref)["istate"].as_int());
  EXPECT_EQ(iwork[10], (*ref)["nst"].as_int()) << "NST";
  EXPECT_EQ(iwork[11], (*ref)["nfe"].as_int()) << "NFE";
  EXPECT_EQ(iwork[12], (*ref)["nje"].as_int()) << "NJE";
  EXPECT_EQ(iwork[13], (*ref)["nqu"].as_int()) << "NQU";
  EXPECT_EQ(iwork[18], (*ref)["mused"].as_int()) << "MUSED";
  EXPECT_LE(relative(rwork[14], (*ref)["tsw"].number), 1e-10) << "TSW " << rwork[14];
  EXPECT_LE(relative(rwork[10], (*ref)["hu"].number), 1e-10) << "HU " << rwork[10];
  EXPECT_LE(relative(rwork[12], (*ref)["tcur"].number), 1e-10) << "TCUR " << rwork[12];
  const std::vector<double> yref = (*ref)["y"].as_doubles();
  for (int i = 0; i < neq; ++i)
    EXPECT_LE(relative(y[i], yref[i]), 1e-10) << "y[" << i << "] = " << y[i] << " vs " << yref[i];
  if (p.has_extra) {
    EXPECT_EQ(y[neq], p.extra) << "entries beyond NEQ are left alone";
  }
}

INSTANTIATE_TEST_SUITE_P(Integrator, ReferenceProblem, ::testing::ValuesIn(kProblems),
                         [](const ::testing::TestParamInfo<Problem>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
