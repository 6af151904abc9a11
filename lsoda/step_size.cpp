// The choice of the next step size and order, and its application to the
// history array. After a step (or an error-test failure) the ratios that
// orders NQ-1, NQ and NQ+1 would allow are estimated from the local error
// and the history array, bounded while Adams by the stability limits; a
// change rescales YH column j+1 by RH^j. Relies on the record, the method
// coefficients and the weighted norm.
#include <algorithm>
#include <cmath>

#include "lsoda/history.h"
#include "lsoda/step.h"

namespace lsoda {

void rescale_history(Record& s, double* yh, int nyh, double rh) {
  rh = std::min(rh, s.rmax);
  rh = rh / std::max(1.0, std::fabs(s.h) * s.hmxi * rh);
  if (s.meth == 1) {
    s.irflag = 0;
    const double pdh = std::max(std::fabs(s.h) * s.pdlast, 0.000001);
    if (rh * pdh * 1.00001 >= kSm1[s.nq - 1]) {
      rh = kSm1[s.nq - 1] / pdh;
      s.irflag = 1;
    }
  }
  // YH column j times RH^(j-1), the powers formed by repeated products.
  double r[history::kMaxColumns];
  r[0] = 1.0;
  for (int j = 1; j < s.l; ++j) r[j] = r[j - 1] * rh;
  history::scale_columns(yh, nyh, s.n, s.l, r);
  s.h = s.h * rh;
  s.rc = s.rc * rh;
  s.ialth = s.l;
}

Change choose_step_and_order(Record& s, const StepArgs& a, LocalError& error,
                             bool consider_higher, double* rh, int* newq) {
  const int n = s.n;
  const int ldyh = *a.nyh;
  double* const yh = a.yh;
  double* const acor = a.acor;
  // Order NQ+1, from the change of ACOR since the last step.
  double rhup = 0.0;
  if (consider_higher && s.l != s.lmax) {
    const double* last = column(yh, ldyh, s.lmax);
    for (int i = 0; i < n; ++i) a.savf[i] = acor[i] - last[i];
    const double dup = DMNORM(&s.n, a.savf, a.ewt) / s.tesco[s.nq - 1][2];
    const double exup = 1.0 / (s.l + 1);
    rhup = 1.0 / (1.4 * std::pow(dup, exup) + 0.0000014);
  }
  // Order NQ, from the local error.
  double rhsm = error.same_order_ratio(s);
  // Order NQ-1, from the last column of the history.
  double rhdn = 0.0;
  if (s.nq != 1) {
    const double ddn = DMNORM(&s.n, column(yh, ldyh, s.l), a.ewt) / s.tesco[s.nq - 1][0];
    const double exdn = 1.0 / s.nq;
    rhdn = 1.0 / (1.3 * std::pow(ddn, exdn) + 0.0000013);
  }
  double pdh = 0.0;
  if (s.meth == 1) {
    // The Adams stability limits bound all three.
    pdh = std::max(std::fabs(s.h) * s.pdlast, 0.000001);
    if (s.l < s.lmax) rhup = std::min(rhup, kSm1[s.l - 1] / pdh);
    rhsm = std::min(rhsm, kSm1[s.nq - 1] / pdh);
    if (s.nq > 1) rhdn = std::min(rhdn, kSm1[s.nq - 2] / pdh);
    s.pdest = 0.0;
  }

  // The largest ratio wins, ties to the current order. Negated comparisons
  // on purpose: with a NaN ratio the choice is that of the tests in turn
  // (rhsm >= rhup? then rhsm < rhdn? else rhup > rhdn?).
  if (!(rhsm >= rhup) && rhup > rhdn) {
    // Up one order: its new history column is ACOR scaled by l(L)/L.
    *newq = s.l;
    *rh = rhup;
    if (*rh < 1.1) {
      s.ialth = 3;
      return Change::kNone;
    }
    const double r = s.el[s.l - 1] / s.l;
    double* col = column(yh, ldyh, *newq + 1);
    for (int i = 0; i < n; ++i) col[i] = acor[i] * r;
    return Change::kOrder;
  }
  if (rhsm >= rhup && !(rhsm < rhdn)) {
    *newq = s.nq;
    *rh = rhsm;
  } else {
    *newq = s.nq - 1;
    *rh = rhdn;
    if (s.kflag < 0 && *rh > 1.0) *rh = 1.0;
  }
  // Too small a gain is not worth a change after a success; while Adams, a
  // ratio at the stability limit is taken regardless.
  const bool at_limit = s.meth == 1 && *rh * pdh * 1.00001 >= kSm1[*newq - 1];
  if (!at_limit && s.kflag == 0 && *rh < 1.1) {
    s.ialth = 3;
    return Change::kNone;
  }
  if (s.kflag <= -2) *rh = std::min(*rh, 0.2);
  return *newq == s.nq ? Change::kStepSize : Change::kOrder;
}

}  // namespace lsoda
