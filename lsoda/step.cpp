// DSTODA: one step of the integration. Predicts from the Nordsieck history
// array (its sweeps in history.h), corrects (corrector.h), tests the local
// error, decides whether to switch between the Adams and BDF families
// (method_switch.cpp), and
// chooses the next step size and order (step_size.cpp); on failures it
// retries with a smaller step. This file is the order of those phases.
// Relies on the record for all state that survives a step, on the method
// coefficients of DCFODE and on the PJAC/SLVS routines for the matrix work.
#include <algorithm>
#include <cmath>

#include "lsoda/corrector.h"
#include "lsoda/history.h"
#include "lsoda/record.h"
#include "lsoda/step.h"

namespace lsoda {
namespace {

// Reverses the prediction: the history array at TN as it was before the
// step.
inline void unpredict(const Record& s, double* yh1) { history::unpredict(yh1, s.nyh, s.nq); }

// Start of a problem: Adams at order 1; the switching data (the first test
// after kSwitchHold steps, or DLSODA_BLOCKS's FIRST_SWITCH_HOLD); both families'
// coefficients, for the conversion factors CM1 and CM2.
void begin_problem(Record& s) {
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
  s.icount = s.jtyp >= kMiterBlockJac ? s.first_switch_hold : kSwitchHold;
  s.irflag = 0;
  s.pdest = 0.0;
  s.pdlast = 0.0;
  s.ratio = kRatio;
  const MethodFamilies& families = method_families();
  s.cm2 = families.cm2;
  s.cm1 = families.cm1;
  s.elco = families.adams.elco;
  s.tesco = families.adams.tesco;
}

// Order set-up: the corrector coefficients of order NQ.
void set_order(Record& s, int nyh) {
  for (int i = 0; i < s.l; ++i) s.el[i] = s.elco[s.nq - 1][i];
  s.nqnyh = s.nq * nyh;
  s.rc = s.rc * s.el[0] / s.el0;
  s.el0 = s.el[0];
  s.conit = 0.5 / (s.nq + 2);
}

// The step succeeded: the counters, and the correction added to every
// column of the history array.
void accept_step(Record& s, const StepArgs& a) {
  s.kflag = 0;
  s.iredo = 0;
  s.nst = s.nst + 1;
  s.hu = s.h;
  s.nqu = s.nq;
  s.mused = s.meth;
  history::add_correction(a.yh, *a.nyh, s.n, s.l, s.el, a.acor);
}

// Three or more error-test failures: the history is taken to be spoiled.
// H is cut by 10 (not below HMIN) and YH column 2 is rebuilt from f at the
// last accepted solution.
void restart_history(Record& s, const StepArgs& a) {
  double rh = 0.1;
  rh = std::max(s.hmin / std::fabs(s.h), rh);
  s.h = s.h * rh;
  const int n = s.n;
  for (int i = 0; i < n; ++i) a.y[i] = a.yh[i];
  double tn = s.tn;
  a.f(a.neq, &tn, a.y, a.savf);
  s.nfe = s.nfe + 1;
  double* yh2 = column(a.yh, *a.nyh, 2);
  for (int i = 0; i < n; ++i) yh2[i] = s.h * a.savf[i];
  s.ipup = s.miter;
  s.ialth = 5;
}

// A convergence failure: undo the prediction and, unless the failure is
// fatal (KFLAG = -3 after a failed matrix routine, -2 with H at HMIN or
// after MXNCF failures in this step), retry with a new matrix. True to retry.
bool after_convergence_failure(Record& s, double* yh1, double told, int* ncf) {
  s.icf = 2;
  *ncf = *ncf + 1;
  s.rmax = 2.0;
  s.tn = told;
  unpredict(s, yh1);
  if (s.ierpj < 0 || s.iersl < 0) {
    s.kflag = -3;
    return false;
  }
  if (std::fabs(s.h) <= s.hmin * 1.00001 || *ncf == s.mxncf) {
    s.kflag = -2;
    return false;
  }
  s.ipup = s.miter;
  s.iredo = 1;
  return true;
}

// An error-test failure: undo the prediction. What follows:
enum class Retry {
  kFatal,        // H at HMIN, or ten failures: KFLAG = -1
  kRestart,      // the third failure or more: the history was rebuilt at order 1
  kSmallerStep,  // choose a smaller step (and maybe order)
};
Retry after_error_test_failure(Record& s, const StepArgs& a, double told) {
  s.kflag = s.kflag - 1;
  s.tn = told;
  unpredict(s, a.yh1);
  s.rmax = 2.0;
  if (std::fabs(s.h) <= s.hmin * 1.00001 || s.kflag == -10) {
    s.kflag = -1;
    return Retry::kFatal;
  }
  if (s.kflag <= -3) {
    restart_history(s, a);
    return Retry::kRestart;
  }
  s.iredo = 2;
  return Retry::kSmallerStep;
}

}  // namespace

void DSTODA(const StepArgs& a) {
  Record& s = *a.rec;
  double* const yh = a.yh;
  double* const yh1 = a.yh1;
  double* const ewt = a.ewt;
  double* const acor = a.acor;
  const int ldyh = *a.nyh;
  const int n = s.n;
  int newq = 0;
  double rh = 0, pnorm = 0, dsm = 0;
  LocalError error;
  Correction corr;
  bool consider_higher = false;

  s.kflag = 0;
  s.acor_scale = 0.0;  // ACOR is this step's from here on
  const double told = s.tn;
  s.told = told;
  int ncf = 0;
  s.ierpj = 0;
  s.iersl = 0;
  s.jcur = 0;
  s.icf = 0;
  if (s.jstart > 0) goto prediction;
  if (s.jstart == -1) goto changed;
  if (s.jstart == -2) goto new_h;
  begin_problem(s);
  goto order;

changed:
  // Continuation after a method switch or changed optional inputs.
  s.ipup = s.miter;
  s.lmax = s.maxord + 1;
  if (s.ialth == 1) s.ialth = 2;
  if (s.meth == s.mused) goto new_h;
  s.elco = method_families().of(s.meth).elco;
  s.tesco = method_families().of(s.meth).tesco;
  s.ialth = s.l;
  s.iret = 1;

order:
  set_order(s, ldyh);
  if (s.iret == 1) goto new_h;
  if (s.iret == 2) goto change_h;
  goto prediction;

new_h:
  // An H set by the driver: rescale the history from HOLD to H.
  if (s.h == s.hold) goto prediction;
  rh = s.h / s.hold;
  s.h = s.hold;
  s.iredo = 3;
  goto rescale;

change_h:
  // Step-size change by the ratio RH, not below HMIN.
  rh = std::max(rh, s.hmin / std::fabs(s.h));
rescale:
  rescale_history(s, yh, ldyh, rh);
  if (s.iredo == 0) {
    s.rmax = 10.0;
    goto scale_acor;
  }

prediction:
  // Prediction; a new iteration matrix when h*l0 changed too much or it is
  // MSBP steps old.
  if (std::fabs(s.rc - 1.0) > s.ccmax) s.ipup = s.miter;
  if (s.nst >= s.nslp + s.msbp) s.ipup = s.miter;
  s.tn = s.tn + s.h;
  // YH times the Pascal triangle matrix: the history predicted at TN + H;
  // with it the corrector's start (Y; ACOR = 0 unless a new matrix is due)
  // and the predicted solution's norm.
  pnorm = history::predict(yh1, s.nyh, s.nq, n, ewt, a.y, s.ipup > 0 ? nullptr : acor);

  if (!correct(s, a, pnorm, &corr)) {
    // Convergence failure: cut H by 4 and retry.
    if (!after_convergence_failure(s, yh1, told, &ncf)) goto finish;
    rh = 0.25;
    goto change_h;
  }

  // Local error test.
  s.jcur = 0;
  if (corr.iterations == 0) dsm = corr.del / s.tesco[s.nq - 1][1];
  if (corr.iterations > 0) dsm = DMNORM(&s.n, acor, ewt) / s.tesco[s.nq - 1][1];
  error.set(dsm);
  if (dsm > 1.0) goto error_test_failed;

  accept_step(s, a);
  s.icount = s.icount - 1;
  if (s.icount < 0 && switch_method(s, a, error, pnorm, &rh)) goto change_h;
  // No switch: consider a change of step size and order every L steps; the
  // step before, keep ACOR for the estimate at order NQ+1.
  s.ialth = s.ialth - 1;
  if (s.ialth == 0) {
    consider_higher = true;
    goto choose;
  }
  if (s.ialth <= 1 && s.l != s.lmax) {
    double* save = column(yh, ldyh, s.lmax);
    for (int i = 0; i < n; ++i) save[i] = acor[i];
  }
  goto scale_acor;

error_test_failed:
  // Retry with a smaller step; from the third failure on, restart at order 1
  // with H cut by 10.
  switch (after_error_test_failure(s, a, told)) {
    case Retry::kFatal:
      goto finish;
    case Retry::kRestart:
      if (s.nq == 1) goto prediction;
      s.nq = 1;
      s.l = 2;
      s.iret = 3;
      goto order;
    case Retry::kSmallerStep:
      break;
  }
  consider_higher = false;

choose:
  switch (choose_step_and_order(s, a, error, consider_higher, &rh, &newq)) {
    case Change::kNone:
      goto scale_acor;
    case Change::kStepSize:
      goto change_h;
    case Change::kOrder:
      s.nq = newq;
      s.l = s.nq + 1;
      s.iret = 2;
      goto order;
  }

scale_acor:
  // ACOR to be scaled to the estimated local error of the order used (by
  // settle_acor, when the driver returns).
  s.acor_scale = 1.0 / s.tesco[s.nqu - 1][1];
finish:
  s.hold = s.h;
  s.jstart = 1;
}

}  // namespace lsoda
