// The method-switching test after a successful step, once ICOUNT has run
// out (kSwitchHold steps after a start or a switch; the step core counts):
// compares the step size the current family allows with the one the other
// family would allow at a comparable order, from the local error
// (converted between families by CM1/CM2) or the history array, and the
// Adams stability limit with the Lipschitz estimate (PDLAST while Adams,
// PDNORM of the iteration matrix while BDF). The power of the local error
// is shared with the step-size choice (LocalError), and while Adams the
// BDF power is left out when an estimate already rules a switch out.
// Relies on the record, the method coefficients and the weighted norm.
#include <algorithm>
#include <cmath>
#include <limits>

#include "lsoda/step.h"

namespace lsoda {
namespace {

// The step-size ratio an error estimate d allows at an order with
// exponent e = 1/(order+1), with the usual safety factor.
inline double ratio_from_error(double d, double e) {
  return 1.0 / (1.2 * std::pow(d, e) + 0.0000012);
}

// Switches the record to method family `meth` at order nq.
void switch_to(Record& s, int meth, int nq) {
  s.icount = kSwitchHold;
  s.meth = meth;
  s.miter = meth == 2 ? s.jtyp : 0;
  s.pdlast = 0.0;
  s.nq = nq;
  s.l = s.nq + 1;
}

// Whether BDF's ratio at the same order, rh2 = ratio_from_error(dm2, 1/L)
// with dm2 = DSM*(CM1/CM2), certainly falls short of RATIO*rh1 (no switch),
// so that its power need not be formed: dm2^(1/L) is DSM^(1/L) (already
// known) times (CM1/CM2)^(1/L) (a constant), both powers correct to a few
// units in the last place, so the product and the ratio from it are within
// 1e-14 of rh2 relative. A margin of 1e-6 leaves every outcome as rh2 itself
// decides it; closer cases, and a dm2 whose product may have lost bits to
// underflow, take rh2 exactly.
inline bool bdf_clearly_short(const Record& s, LocalError& error, double dm2, double rh1) {
  if (!(dm2 >= std::numeric_limits<double>::min())) return false;
  const double power = error.same_order_power(s) * s.cm_power[s.nq - 1];
  const double estimate = 1.0 / (1.2 * power + 0.0000012);
  return estimate * 1.000001 < s.ratio * rh1;
}

// While Adams: would BDF allow a step RATIO times larger? Only at orders up
// to 5, and only once the error is above round-off with a Lipschitz
// estimate (or the last step was cut by the stability limit).
bool adams_to_bdf(Record& s, const StepArgs& a, LocalError& error, double pnorm, double* rh) {
  if (s.nq > 5) return false;
  const double dsm = error.dsm;
  double rh2 = 0.0;
  int nqm2 = 0;
  if (dsm > 100.0 * pnorm * s.uround && s.pdest != 0.0) {
    const double exsm = 1.0 / s.l;
    double rh1 = error.same_order_ratio(s);  // ratio_from_error(dsm, exsm)
    double rh1it = 2.0 * rh1;
    const double pdh = s.pdlast * std::fabs(s.h);
    if (pdh * rh1 > 0.00001) rh1it = kSm1[s.nq - 1] / pdh;
    rh1 = std::min(rh1, rh1it);
    if (s.nq > s.mxords) {
      nqm2 = s.mxords;
      const int lm2 = s.mxords + 1;
      const double exm2 = 1.0 / lm2;
      const int lm2p1 = lm2 + 1;
      const double dm2 = DMNORM(&s.n, column(a.yh, *a.nyh, lm2p1), a.ewt) / s.cm2[s.mxords - 1];
      rh2 = ratio_from_error(dm2, exm2);
    } else {
      const double dm2 = dsm * (s.cm1[s.nq - 1] / s.cm2[s.nq - 1]);
      if (bdf_clearly_short(s, error, dm2, rh1)) return false;
      rh2 = ratio_from_error(dm2, exsm);
      nqm2 = s.nq;
    }
    if (rh2 < s.ratio * rh1) return false;
  } else {
    if (s.irflag == 0) return false;
    rh2 = 2.0;
    nqm2 = std::min(s.nq, s.mxords);
  }
  *rh = rh2;
  switch_to(s, 2, nqm2);
  return true;
}

// While BDF: would Adams allow at least as large a step, and is its error
// above round-off?
bool bdf_to_adams(Record& s, const StepArgs& a, LocalError& error, double pnorm, double* rh) {
  const double dsm = error.dsm;
  const double exsm = 1.0 / s.l;
  double rh1 = 0.0, dm1 = 0.0, exm1 = 0.0;
  int nqm1 = 0;
  if (s.mxordn >= s.nq) {
    dm1 = dsm * (s.cm2[s.nq - 1] / s.cm1[s.nq - 1]);
    rh1 = ratio_from_error(dm1, exsm);
    nqm1 = s.nq;
    exm1 = exsm;
  } else {
    nqm1 = s.mxordn;
    const int lm1 = s.mxordn + 1;
    exm1 = 1.0 / lm1;
    const int lm1p1 = lm1 + 1;
    dm1 = DMNORM(&s.n, column(a.yh, *a.nyh, lm1p1), a.ewt) / s.cm1[s.mxordn - 1];
    rh1 = ratio_from_error(dm1, exm1);
  }
  double rh1it = 2.0 * rh1;
  const double pdh = s.pdnorm * std::fabs(s.h);
  if (pdh * rh1 > 0.00001) rh1it = kSm1[nqm1 - 1] / pdh;
  rh1 = std::min(rh1, rh1it);
  const double rh2 = error.same_order_ratio(s);  // ratio_from_error(dsm, exsm)
  if (rh1 * s.ratio < 5.0 * rh2) return false;
  const double alpha = std::max(0.001, rh1);
  dm1 = std::pow(alpha, exm1) * dm1;
  if (dm1 <= 1000.0 * s.uround * pnorm) return false;
  *rh = rh1;
  switch_to(s, 1, nqm1);
  return true;
}

}  // namespace

bool switch_method(Record& s, const StepArgs& a, LocalError& error, double pnorm, double* rh) {
  return s.meth == 2 ? bdf_to_adams(s, a, error, pnorm, rh) : adams_to_bdf(s, a, error, pnorm, rh);
}

}  // namespace lsoda
