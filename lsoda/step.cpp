// DSTODA: one step of the integration. Predicts from the Nordsieck history
// array, corrects by functional iteration (Adams) or chord Newton iteration
// with the iteration matrix (BDF), tests the local error, chooses the next
// step size and order, and decides whether to switch between the Adams and
// BDF families. Relies on the record for all state that survives a step,
// on the method coefficients of DCFODE and on the PJAC/SLVS routines for
// the matrix work.
#include <algorithm>
#include <cmath>

#include "lsoda/record.h"

namespace lsoda {
namespace {

// YH column j (1-based) as a pointer into the flat history array.
inline double* column(double* yh, int nyh, int j) { return yh + static_cast<long>(j - 1) * nyh; }

// Multiplies YH by the Pascal triangle matrix in place: the prediction of
// the history array at TN + H.
void predict(Record& s, double* yh1) {
  const int nyh = s.nyh;
  int i1 = s.nqnyh;  // 0-based start of column k+1 for k = NQ down to 1
  for (int jb = 1; jb <= s.nq; ++jb) {
    i1 -= nyh;
    for (int i = i1; i < s.nqnyh; ++i) yh1[i] = yh1[i] + yh1[i + nyh];
  }
}

// Reverses predict(): the history array at TN as it was before the step.
void unpredict(Record& s, double* yh1) {
  const int nyh = s.nyh;
  int i1 = s.nqnyh;
  for (int jb = 1; jb <= s.nq; ++jb) {
    i1 -= nyh;
    for (int i = i1; i < s.nqnyh; ++i) yh1[i] = yh1[i] - yh1[i + nyh];
  }
}

}  // namespace

void DSTODA(int* neq, double* y, double* yh, int* nyh, double* yh1, double* ewt,
            double* savf, double* acor, double* wm, int* iwm, lsoda_rhs f,
            lsoda_jac jac, pjac_fn pjac, slvs_fn slvs) {
  Record& s = record();
  const int ldyh = *nyh;
  int n = s.n;
  int m = 0, newq = 0, nqm1 = 0, nqm2 = 0, lm1 = 0, lm1p1 = 0, lm2 = 0, lm2p1 = 0;
  double dcon = 0, ddn = 0, del = 0, delp = 0, dsm = 0, dup = 0, exdn = 0, exsm = 0,
         exup = 0, r = 0, rh = 0, rhdn = 0, rhsm = 0, rhup = 0, told = 0, pdh = 0,
         pnorm = 0, rate = 0, rm = 0, alpha = 0, dm1 = 0, dm2 = 0, exm1 = 0, exm2 = 0,
         rh1 = 0, rh2 = 0, rh1it = 0;
  double tn = 0;

  s.kflag = 0;
  told = s.tn;
  s.told = told;
  int ncf = 0;
  s.ierpj = 0;
  s.iersl = 0;
  s.jcur = 0;
  s.icf = 0;
  delp = 0.0;
  if (s.jstart > 0) goto L200;
  if (s.jstart == -1) goto L100;
  if (s.jstart == -2) goto L160;

  // Start of a problem: Adams at order 1; the switching data; both
  // families' coefficients, for the conversion factors CM1 and CM2.
  s.lmax = s.maxord + 1;
  s.nq = 1;
  s.l = 2;
  s.ialth = 2;
  s.rmax = 10000.0;
  s.rc = 0.0;
  s.el0 = 1.0;
  s.crate = 0.7;
  s.hold = s.h;
  s.nslp = 0;
  s.ipup = s.miter;
  s.iret = 3;
  s.icount = kSwitchHold;
  s.irflag = 0;
  s.pdest = 0.0;
  s.pdlast = 0.0;
  s.ratio = kRatio;
  {
    const MethodFamilies& families = method_families();
    s.cm2 = families.cm2;
    s.cm1 = families.cm1;
    s.elco = families.adams.elco;
    s.tesco = families.adams.tesco;
  }
  goto L150;

L100:
  // Continuation after a method switch or changed optional inputs.
  s.ipup = s.miter;
  s.lmax = s.maxord + 1;
  if (s.ialth == 1) s.ialth = 2;
  if (s.meth == s.mused) goto L160;
  s.elco = method_families().of(s.meth).elco;
  s.tesco = method_families().of(s.meth).tesco;
  s.ialth = s.l;
  s.iret = 1;

L150:
  // Order set-up: the corrector coefficients of order NQ.
  for (int i = 0; i < s.l; ++i) s.el[i] = s.elco[s.nq - 1][i];
  s.nqnyh = s.nq * ldyh;
  s.rc = s.rc * s.el[0] / s.el0;
  s.el0 = s.el[0];
  s.conit = 0.5 / (s.nq + 2);
  if (s.iret == 1) goto L160;
  if (s.iret == 2) goto L170;
  goto L200;

L160:
  // An H set by the driver: rescale the history from HOLD to H.
  if (s.h == s.hold) goto L200;
  rh = s.h / s.hold;
  s.h = s.hold;
  s.iredo = 3;
  goto L175;

L170:
  // Step-size change by the ratio RH, within HMIN, RMAX, HMAX and (Adams)
  // the stability limit.
  rh = std::max(rh, s.hmin / std::fabs(s.h));
L175:
  rh = std::min(rh, s.rmax);
  rh = rh / std::max(1.0, std::fabs(s.h) * s.hmxi * rh);
  if (s.meth == 1) {
    s.irflag = 0;
    pdh = std::max(std::fabs(s.h) * s.pdlast, 0.000001);
    if (rh * pdh * 1.00001 >= kSm1[s.nq - 1]) {
      rh = kSm1[s.nq - 1] / pdh;
      s.irflag = 1;
    }
  }
  r = 1.0;
  for (int j = 2; j <= s.l; ++j) {
    r = r * rh;
    double* col = column(yh, ldyh, j);
    for (int i = 0; i < n; ++i) col[i] = col[i] * r;
  }
  s.h = s.h * rh;
  s.rc = s.rc * rh;
  s.ialth = s.l;
  if (s.iredo == 0) goto L690;

L200:
  // Prediction.
  if (std::fabs(s.rc - 1.0) > s.ccmax) s.ipup = s.miter;
  if (s.nst >= s.nslp + s.msbp) s.ipup = s.miter;
  s.tn = s.tn + s.h;
  predict(s, yh1);
  pnorm = DMNORM(&s.n, yh1, ewt);

L220:
  // Correction: start of an attempt.
  m = 0;
  rate = 0.0;
  del = 0.0;
  for (int i = 0; i < n; ++i) y[i] = yh[i];
  tn = s.tn;
  f(neq, &tn, y, savf);
  s.nfe = s.nfe + 1;
  if (s.ipup > 0) {
    pjac(neq, y, yh, nyh, ewt, acor, savf, wm, iwm, f, jac);
    s.ipup = 0;
    s.rc = 1.0;
    s.nslp = s.nst;
    s.crate = 0.7;
    if (s.ierpj != 0) goto L430;
  }
  for (int i = 0; i < n; ++i) acor[i] = 0.0;

L270:
  if (s.miter != 0) goto L350;
  {
    // Functional iteration.
    const double* yh2 = column(yh, ldyh, 2);
    for (int i = 0; i < n; ++i) savf[i] = s.h * savf[i] - yh2[i];
    for (int i = 0; i < n; ++i) y[i] = savf[i] - acor[i];
    del = DMNORM(&s.n, y, ewt);
    for (int i = 0; i < n; ++i) {
      y[i] = yh[i] + s.el[0] * savf[i];
      acor[i] = savf[i];
    }
    goto L400;
  }

L350:
  {
    // Chord iteration with the iteration matrix.
    const double* yh2 = column(yh, ldyh, 2);
    for (int i = 0; i < n; ++i) y[i] = s.h * savf[i] - (yh2[i] + acor[i]);
    slvs(wm, iwm, y, savf);
    if (s.iersl < 0) goto L430;
    if (s.iersl > 0) goto L410;
    del = DMNORM(&s.n, y, ewt);
    for (int i = 0; i < n; ++i) {
      acor[i] = acor[i] + y[i];
      y[i] = yh[i] + s.el[0] * acor[i];
    }
  }

L400:
  // Convergence test.
  if (del <= 100.0 * pnorm * s.uround) goto L450;
  if (m == 0 && s.meth == 1) goto L405;
  if (m != 0) {
    rm = 1024.0;
    if (del <= 1024.0 * delp) rm = del / delp;
    rate = std::max(rate, rm);
    s.crate = std::max(0.2 * s.crate, rm);
  }
  dcon = del * std::min(1.0, 1.5 * s.crate) / (s.tesco[s.nq - 1][1] * s.conit);
  if (dcon <= 1.0) {
    s.pdest = std::max(s.pdest, rate / std::fabs(s.h * s.el[0]));
    if (s.pdest != 0.0) s.pdlast = s.pdest;
    goto L450;
  }
L405:
  m = m + 1;
  if (m == s.maxcor) goto L410;
  if (m >= 2 && del > 2.0 * delp) goto L410;
  delp = del;
  tn = s.tn;
  f(neq, &tn, y, savf);
  s.nfe = s.nfe + 1;
  goto L270;

L410:
  // The iteration failed: with a stale matrix, retry with a fresh one.
  if (s.miter == 0 || s.jcur == 1) goto L430;
  s.icf = 1;
  s.ipup = s.miter;
  goto L220;

L430:
  // Convergence failure: undo the prediction, cut H by 4 and retry.
  s.icf = 2;
  ncf = ncf + 1;
  s.rmax = 2.0;
  s.tn = told;
  unpredict(s, yh1);
  if (s.ierpj < 0 || s.iersl < 0) goto L680;
  if (std::fabs(s.h) <= s.hmin * 1.00001) goto L670;
  if (ncf == s.mxncf) goto L670;
  rh = 0.25;
  s.ipup = s.miter;
  s.iredo = 1;
  goto L170;

L450:
  // Local error test.
  s.jcur = 0;
  if (m == 0) dsm = del / s.tesco[s.nq - 1][1];
  if (m > 0) dsm = DMNORM(&s.n, acor, ewt) / s.tesco[s.nq - 1][1];
  if (dsm > 1.0) goto L500;

  // The step succeeded: update the history array.
  s.kflag = 0;
  s.iredo = 0;
  s.nst = s.nst + 1;
  s.hu = s.h;
  s.nqu = s.nq;
  s.mused = s.meth;
  for (int j = 1; j <= s.l; ++j) {
    double* col = column(yh, ldyh, j);
    const double e = s.el[j - 1];
    for (int i = 0; i < n; ++i) col[i] = col[i] + e * acor[i];
  }
  s.icount = s.icount - 1;
  if (s.icount >= 0) goto L488;
  if (s.meth == 2) goto L480;

  // Switching test while Adams: would BDF allow a step RATIO times larger?
  if (s.nq > 5) goto L488;
  if (dsm > 100.0 * pnorm * s.uround && s.pdest != 0.0) goto L470;
  if (s.irflag == 0) goto L488;
  rh2 = 2.0;
  nqm2 = std::min(s.nq, s.mxords);
  goto L478;
L470:
  exsm = 1.0 / s.l;
  rh1 = 1.0 / (1.2 * std::pow(dsm, exsm) + 0.0000012);
  rh1it = 2.0 * rh1;
  pdh = s.pdlast * std::fabs(s.h);
  if (pdh * rh1 > 0.00001) rh1it = kSm1[s.nq - 1] / pdh;
  rh1 = std::min(rh1, rh1it);
  if (s.nq > s.mxords) {
    nqm2 = s.mxords;
    lm2 = s.mxords + 1;
    exm2 = 1.0 / lm2;
    lm2p1 = lm2 + 1;
    dm2 = DMNORM(&s.n, column(yh, ldyh, lm2p1), ewt) / s.cm2[s.mxords - 1];
    rh2 = 1.0 / (1.2 * std::pow(dm2, exm2) + 0.0000012);
  } else {
    dm2 = dsm * (s.cm1[s.nq - 1] / s.cm2[s.nq - 1]);
    rh2 = 1.0 / (1.2 * std::pow(dm2, exsm) + 0.0000012);
    nqm2 = s.nq;
  }
  if (rh2 < s.ratio * rh1) goto L488;
L478:
  // Switch to BDF.
  rh = rh2;
  s.icount = kSwitchHold;
  s.meth = 2;
  s.miter = s.jtyp;
  s.pdlast = 0.0;
  s.nq = nqm2;
  s.l = s.nq + 1;
  goto L170;

L480:
  // Switching test while BDF: would Adams allow at least as large a step,
  // and is its error above round-off?
  exsm = 1.0 / s.l;
  if (s.mxordn >= s.nq) {
    dm1 = dsm * (s.cm2[s.nq - 1] / s.cm1[s.nq - 1]);
    rh1 = 1.0 / (1.2 * std::pow(dm1, exsm) + 0.0000012);
    nqm1 = s.nq;
    exm1 = exsm;
  } else {
    nqm1 = s.mxordn;
    lm1 = s.mxordn + 1;
    exm1 = 1.0 / lm1;
    lm1p1 = lm1 + 1;
    dm1 = DMNORM(&s.n, column(yh, ldyh, lm1p1), ewt) / s.cm1[s.mxordn - 1];
    rh1 = 1.0 / (1.2 * std::pow(dm1, exm1) + 0.0000012);
  }
  rh1it = 2.0 * rh1;
  pdh = s.pdnorm * std::fabs(s.h);
  if (pdh * rh1 > 0.00001) rh1it = kSm1[nqm1 - 1] / pdh;
  rh1 = std::min(rh1, rh1it);
  rh2 = 1.0 / (1.2 * std::pow(dsm, exsm) + 0.0000012);
  if (rh1 * s.ratio < 5.0 * rh2) goto L488;
  alpha = std::max(0.001, rh1);
  dm1 = std::pow(alpha, exm1) * dm1;
  if (dm1 <= 1000.0 * s.uround * pnorm) goto L488;
  // Switch to Adams.
  rh = rh1;
  s.icount = kSwitchHold;
  s.meth = 1;
  s.miter = 0;
  s.pdlast = 0.0;
  s.nq = nqm1;
  s.l = s.nq + 1;
  goto L170;

L488:
  // No switch: consider a change of step size and order every L steps.
  s.ialth = s.ialth - 1;
  if (s.ialth == 0) goto L520;
  if (s.ialth > 1) goto L700;
  if (s.l == s.lmax) goto L700;
  {
    double* save = column(yh, ldyh, s.lmax);
    for (int i = 0; i < n; ++i) save[i] = acor[i];
  }
  goto L700;

L500:
  // Error-test failure: undo the prediction; retry with a smaller step,
  // and after three failures from order 1 with H cut by 10.
  s.kflag = s.kflag - 1;
  s.tn = told;
  unpredict(s, yh1);
  s.rmax = 2.0;
  if (std::fabs(s.h) <= s.hmin * 1.00001) goto L660;
  if (s.kflag <= -3) goto L640;
  s.iredo = 2;
  rhup = 0.0;
  goto L540;

L520:
  // Step and order selection: the step each of orders NQ-1, NQ, NQ+1
  // would allow.
  rhup = 0.0;
  if (s.l != s.lmax) {
    const double* last = column(yh, ldyh, s.lmax);
    for (int i = 0; i < n; ++i) savf[i] = acor[i] - last[i];
    dup = DMNORM(&s.n, savf, ewt) / s.tesco[s.nq - 1][2];
    exup = 1.0 / (s.l + 1);
    rhup = 1.0 / (1.4 * std::pow(dup, exup) + 0.0000014);
  }
L540:
  exsm = 1.0 / s.l;
  rhsm = 1.0 / (1.2 * std::pow(dsm, exsm) + 0.0000012);
  rhdn = 0.0;
  if (s.nq != 1) {
    ddn = DMNORM(&s.n, column(yh, ldyh, s.l), ewt) / s.tesco[s.nq - 1][0];
    exdn = 1.0 / s.nq;
    rhdn = 1.0 / (1.3 * std::pow(ddn, exdn) + 0.0000013);
  }
  if (s.meth == 1) {
    // The Adams stability limits bound all three.
    pdh = std::max(std::fabs(s.h) * s.pdlast, 0.000001);
    if (s.l < s.lmax) rhup = std::min(rhup, kSm1[s.l - 1] / pdh);
    rhsm = std::min(rhsm, kSm1[s.nq - 1] / pdh);
    if (s.nq > 1) rhdn = std::min(rhdn, kSm1[s.nq - 2] / pdh);
    s.pdest = 0.0;
  }
  if (rhsm >= rhup) goto L570;
  if (rhup > rhdn) goto L590;
  goto L580;
L570:
  if (rhsm < rhdn) goto L580;
  newq = s.nq;
  rh = rhsm;
  goto L620;
L580:
  newq = s.nq - 1;
  rh = rhdn;
  if (s.kflag < 0 && rh > 1.0) rh = 1.0;
  goto L620;
L590:
  newq = s.l;
  rh = rhup;
  if (rh < 1.1) goto L610;
  r = s.el[s.l - 1] / s.l;
  {
    double* col = column(yh, ldyh, newq + 1);
    for (int i = 0; i < n; ++i) col[i] = acor[i] * r;
  }
  goto L630;
L610:
  s.ialth = 3;
  goto L700;
L620:
  if (s.meth == 2) goto L622;
  if (rh * pdh * 1.00001 >= kSm1[newq - 1]) goto L625;
L622:
  if (s.kflag == 0 && rh < 1.1) goto L610;
L625:
  if (s.kflag <= -2) rh = std::min(rh, 0.2);
  if (newq == s.nq) goto L170;
L630:
  s.nq = newq;
  s.l = s.nq + 1;
  s.iret = 2;
  goto L150;

L640:
  // Three or more error-test failures: the history is taken to be spoiled.
  if (s.kflag == -10) goto L660;
  rh = 0.1;
  rh = std::max(s.hmin / std::fabs(s.h), rh);
  s.h = s.h * rh;
  for (int i = 0; i < n; ++i) y[i] = yh[i];
  tn = s.tn;
  f(neq, &tn, y, savf);
  s.nfe = s.nfe + 1;
  {
    double* yh2 = column(yh, ldyh, 2);
    for (int i = 0; i < n; ++i) yh2[i] = s.h * savf[i];
  }
  s.ipup = s.miter;
  s.ialth = 5;
  if (s.nq == 1) goto L200;
  s.nq = 1;
  s.l = 2;
  s.iret = 3;
  goto L150;

L660:
  s.kflag = -1;
  goto L720;
L670:
  s.kflag = -2;
  goto L720;
L680:
  s.kflag = -3;
  goto L720;

L690:
  s.rmax = 10.0;
L700:
  r = 1.0 / s.tesco[s.nqu - 1][1];
  for (int i = 0; i < n; ++i) acor[i] = acor[i] * r;
L720:
  s.hold = s.h;
  s.jstart = 1;
  (void)exdn;
  (void)exup;
}

}  // namespace lsoda
