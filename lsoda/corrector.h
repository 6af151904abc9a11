// The corrector iteration of a step: from the predicted history array,
// iterate y = YH(1) + l0*ACOR to convergence by functional iteration
// (Adams, MITER = 0) or by chord Newton iteration with the iteration matrix
// P = I - h*l0*J (BDF), estimating the convergence rate (CRATE) and, for the
// switching test, a Lipschitz constant of f (PDEST). Relies on the record,
// the weighted norm, and the PJAC/SLVS routines handed to the step core.
// Included by the step core alone (step.cpp), into which it is inlined:
// called once per step attempt, a call of its own cost more than its
// arguments' set-up.
#ifndef LSODA_CORRECTOR_H
#define LSODA_CORRECTOR_H

#include <algorithm>
#include <cmath>

#include "lsoda/pairs.h"
#include "lsoda/step.h"

namespace lsoda {
namespace corrector {

// One functional iteration (MITER = 0): y = YH(1) + l0*ACOR with
// ACOR = h*f - YH(2). Returns DEL, the weighted norm (DMNORM) of the change
// of ACOR, taken in the same pass.
inline double functional_iteration(const Record& s, const StepArgs& a, const double* yh2) {
  const int n = s.n;
  const double h = s.h, el0 = s.el[0];
  double* const y = a.y;
  double* const savf = a.savf;
  double* const acor = a.acor;
  const double* const yh1 = a.yh;
  const double* const ewt = a.ewt;
  double del = 0.0;
  for_pairs(n, [&](int i, auto lanes) {
    using T = decltype(lanes);
    const T hf = h * load_at<T>(savf, i) - load_at<T>(yh2, i);
    store_at<T>(savf, i, hf);
    fold_norm(del, hf - load_at<T>(acor, i), ewt, i);
    store_at<T>(y, i, load_at<T>(yh1, i) + el0 * hf);
    store_at<T>(acor, i, hf);
  });
  return del;
}

// One chord iteration with the iteration matrix: P x = h*f - YH(2) - ACOR,
// ACOR += x. Sets DEL (the weighted norm of x) unless the solve failed
// (IERSL != 0, ACOR left as it was).
inline void chord_iteration(Record& s, const StepArgs& a, const double* yh2, double* del) {
  const int n = s.n;
  const double h = s.h, el0 = s.el[0];
  double* const y = a.y;
  double* const acor = a.acor;
  const double* const savf = a.savf;
  const double* const yh1 = a.yh;
  const double* const ewt = a.ewt;
  for_pairs(n, [&](int i, auto lanes) {
    using T = decltype(lanes);
    store_at<T>(y, i, h * load_at<T>(savf, i) - (load_at<T>(yh2, i) + load_at<T>(acor, i)));
  });
  a.slvs(a, y);
  if (s.iersl != 0) return;
  double norm = 0.0;
  for_pairs(n, [&](int i, auto lanes) {
    using T = decltype(lanes);
    const T x = load_at<T>(y, i);
    fold_norm(norm, x, ewt, i);
    const T c = load_at<T>(acor, i) + x;
    store_at<T>(acor, i, c);
    store_at<T>(y, i, load_at<T>(yh1, i) + el0 * c);
  });
  *del = norm;
}

// The convergence test after iteration m (0-based) with correction norm DEL
// (DELP before it): converged when DEL is at round-off level of the
// prediction, or when DEL, scaled by the convergence rate estimate, is
// within the error test's share CONIT. Updates CRATE, the rate RATE seen
// in this attempt and, on convergence, the Lipschitz estimate PDEST.
inline bool converged(Record& s, int m, double del, double delp, double pnorm, double* rate) {
  if (del <= 100.0 * pnorm * s.uround) return true;
  if (m == 0 && s.meth == 1) return false;
  if (m != 0) {
    double rm = 1024.0;
    if (del <= 1024.0 * delp) rm = del / delp;
    *rate = std::max(*rate, rm);
    s.crate = std::max(0.2 * s.crate, rm);
  }
  const double dcon = del * std::min(1.0, 1.5 * s.crate) / (s.tesco[s.nq - 1][1] * s.conit);
  if (!(dcon <= 1.0)) return false;  // a NaN does not converge
  s.pdest = std::max(s.pdest, *rate / std::fabs(s.h * s.el[0]));
  if (s.pdest != 0.0) s.pdlast = s.pdest;
  return true;
}

}  // namespace corrector

// The corrector at TN from the predicted history: functional iteration
// (Adams) or chord iteration with the iteration matrix (BDF), rebuilding
// the matrix once when a stale one fails. PNORM is the weighted norm of the
// prediction. The prediction has set Y to YH column 1, and ACOR to 0 unless
// the matrix is to be rebuilt (IPUP > 0). True when it converged, with
// `iterations` the corrections beyond the first and `del` the norm of the last; false on a convergence
// failure (ICF = 2 is left to the caller) or a failed matrix routine.
struct Correction {
  int iterations = 0;  // M
  double del = 0.0;    // DEL
};
// Forced inline: GCC keeps a function of this size out of line otherwise.
__attribute__((always_inline)) inline bool correct(Record& s, const StepArgs& a, double pnorm,
                                                   Correction* out) {
  using namespace corrector;
  const int n = s.n;
  double* const y = a.y;
  const double* const yh2 = column(a.yh, *a.nyh, 2);
  int m = 0;
  double del = 0.0, delp = 0.0, rate = 0.0, tn = 0.0;
  bool from_prediction = true;  // Y and ACOR as the prediction left them

start:
  // Start of an attempt: f at the prediction; a new matrix when asked;
  // ACOR = 0.
  m = 0;
  rate = 0.0;
  del = 0.0;
  if (!from_prediction) {
    const double* const yh1 = a.yh;
    for (int i = 0; i < n; ++i) y[i] = yh1[i];
  }
  tn = s.tn;
  a.f(a.neq, &tn, y, a.savf);
  s.nfe = s.nfe + 1;
  if (s.ipup > 0) {
    a.pjac(a);
    s.ipup = 0;
    s.rc = 1.0;
    s.nslp = s.nst;
    s.crate = 0.7;
    if (s.ierpj != 0) return false;
    from_prediction = false;  // ACOR was the matrix build's scratch
  }
  if (!from_prediction) {
    double* const acor = a.acor;
    for (int i = 0; i < n; ++i) acor[i] = 0.0;
  }
  from_prediction = false;

  for (;;) {
    if (s.miter == 0) {
      del = functional_iteration(s, a, yh2);
    } else {
      chord_iteration(s, a, yh2, &del);
      if (s.iersl < 0) return false;
      if (s.iersl > 0) break;
    }
    if (converged(s, m, del, delp, pnorm, &rate)) {
      out->iterations = m;
      out->del = del;
      return true;
    }
    // Another iteration, unless the limit is reached or it diverges.
    m = m + 1;
    if (m == s.maxcor) break;
    if (m >= 2 && del > 2.0 * delp) break;
    delp = del;
    tn = s.tn;
    a.f(a.neq, &tn, y, a.savf);
    s.nfe = s.nfe + 1;
  }
  // The iteration failed: with a stale matrix, retry once with a fresh one.
  if (s.miter == 0 || s.jcur == 1) return false;
  s.icf = 1;
  s.ipup = s.miter;
  goto start;
}

}  // namespace lsoda

#endif  // LSODA_CORRECTOR_H
