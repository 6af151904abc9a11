// The method-switching test after a successful step, once ICOUNT has run
// out (kSwitchHold steps after a start or a switch, DLSODA_BLOCKS's
// FIRST_SWITCH_HOLD after a start; the step core counts):
// compares the step size the current family allows with the one the other
// family would allow at a comparable order, from the local error
// (converted between families by CM1/CM2) or the history array, and the
// Adams stability limit with the Lipschitz estimate (PDLAST while Adams,
// PDNORM of the iteration matrix while BDF). The power of the local error
// is shared with the step-size choice (LocalError); while Adams, a bound
// without powers rules most switches out (bdf_clearly_short).
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

// While Adams: would BDF allow a step RATIO times larger? Only at orders up
// to 5, and only once the error is above round-off with a Lipschitz
// estimate (or the last step was cut by the stability limit).
bool adams_to_bdf(Record& s, const StepArgs& a, LocalError& error, double pnorm, double* rh) {
  if (s.nq > 5) return false;
  const double dsm = error.dsm;
  double rh2 = 0.0;
  int nqm2 = 0;
  if (dsm > 100.0 * pnorm * s.uround && s.pdest != 0.0) {
    const double pdh = s.pdlast * std::fabs(s.h);
    if (s.nq <= s.mxords && bdf_clearly_short(s, dsm, pdh)) return false;
    const double exsm = 1.0 / s.l;
    double rh1 = error.same_order_ratio(s);  // ratio_from_error(dsm, exsm)
    double rh1it = 2.0 * rh1;
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

// While Adams at an order NQ <= MXORDS with a Lipschitz estimate: whether
// adams_to_bdf's test certainly finds no switch, decided without its powers.
// BDF's ratio rh2 = ratio_from_error(dm2, 1/L), dm2 = DSM*(CM1/CM2), is at
// most Adams' own rh1 = ratio_from_error(DSM, 1/L) when CM1/CM2 >= 1 (it is
// 1 at order 1 and 4 to 9 above), and a switch needs rh2 >= RATIO*min(rh1,
// rh1it) with RATIO = 5: so rh2 < RATIO*(SM1/pdh) means no switch, whichever
// of rh1 and the stability limit rh1it = SM1/pdh is the smaller (and when
// rh1it is 2*rh1). That holds when 1.2*dm2^(1/L) exceeds 1/(RATIO*SM1/pdh),
// that is when dm2 >= z^L with z that bound over 1.2: z^L is formed by
// products, with a relative margin of 2e-6 for the rounding of these
// operations, of the power (a few units in the last place) and of 1/L.
// False (take the powers) near the boundary, on a switch, or when an
// operand under- or overflows.
bool bdf_clearly_short(const Record& s, double dsm, double pdh) {
  const double c = s.cm1[s.nq - 1] / s.cm2[s.nq - 1];
  if (!(c >= 1.0)) return false;
  const double dm2 = dsm * c;
  const double x = s.ratio * (kSm1[s.nq - 1] / pdh);  // RATIO times the stability limit
  const double z = (1.0 / x) / 1.2 * (1.0 + 2e-6);
  double zl = z;
  for (int k = 1; k < s.l; ++k) zl = zl * z;
  constexpr double kMin = std::numeric_limits<double>::min();
  constexpr double kMax = std::numeric_limits<double>::max();
  if (!(dm2 >= kMin && zl >= kMin && zl <= kMax)) return false;
  return dm2 >= zl;
}

bool switch_method(Record& s, const StepArgs& a, LocalError& error, double pnorm, double* rh) {
  return s.meth == 2 ? bdf_to_adams(s, a, error, pnorm, rh) : adams_to_bdf(s, a, error, pnorm, rh);
}

}  // namespace lsoda
