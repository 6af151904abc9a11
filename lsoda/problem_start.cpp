// The start of a problem: the record's counters and method settings, y and
// h*f(t0, y0) into the first two columns of the history array, the error
// weights, and the first step size, chosen from the tolerances and the
// initial slope unless the caller gave H0. Relies on the record, the error
// weights, the weighted norm and the message table.
#include <algorithm>
#include <cmath>

#include "lsoda/driver.h"
#include "lsoda/messages.h"

namespace lsoda {
namespace {

// The counters and the settings of the corrector, for a new problem.
void reset_counters(Record& s) {
  s.jstart = 0;
  s.nhnil = 0;
  s.nst = 0;
  s.nje = 0;
  s.nslast = 0;
  s.hu = 0.0;
  s.nqu = 0;
  s.mused = 0;
  s.miter = 0;
  s.ccmax = kCcmax;
  s.maxcor = kMaxcor;
  s.msbp = s.jtyp >= kMiterBlockJac ? s.matrix_age : kMsbp;
  s.mxncf = kMxncf;
}

// The first step size when the caller gave none:
// h0 = 1/sqrt(1/(tol*w0^2) + tol*|f(t0,y0)|^2) in the weighted norm, at most
// the distance to TOUT, with tol the largest relative tolerance (or, when
// all are 0, the largest ratio of an absolute tolerance to |y|) bounded to
// [100*UROUND, 0.001]. False (message printed) when TOUT is too close to T.
bool first_step_size(const Record& s, const Call& c, double* f0, double* h0) {
  const double t = *c.t;
  const double tout = *c.tout;
  const double tdist = std::fabs(tout - t);
  const double w0 = std::max(std::fabs(t), std::fabs(tout));
  if (tdist < 2.0 * s.uround * w0) {
    driver_message(msg::kToutTooClose, 0, 0, 0, 2, tout, t);
    return false;
  }
  const int itol = *c.itol;
  double tol = c.rtol[0];
  if (itol > 2) {
    for (int i = 1; i <= s.n; ++i) tol = std::max(tol, c.rtol[i - 1]);
  }
  if (tol <= 0.0) {
    double atoli = c.atol[0];
    for (int i = 1; i <= s.n; ++i) {
      if (itol == 2 || itol == 4) atoli = c.atol[i - 1];
      const double ayi = std::fabs(c.y[i - 1]);
      if (ayi != 0.0) tol = std::max(tol, atoli / ayi);
    }
  }
  tol = std::max(tol, 100.0 * s.uround);
  tol = std::min(tol, 0.001);
  int n = s.n;
  double sum = DMNORM(&n, f0, &c.rw[s.lewt]);
  sum = 1.0 / (tol * w0 * w0) + tol * (sum * sum);
  double h = 1.0 / std::sqrt(sum);
  h = std::min(h, tdist);
  *h0 = std::copysign(h, tout - t);
  return true;
}

}  // namespace

bool start_problem(Record& s, const Call& c, Setup& setup) {
  double* const rw = c.rw;
  s.uround = unit_roundoff();
  s.tn = *c.t;
  s.tsw = *c.t;
  s.maxord = s.mxordn;
  double h0 = setup.h0;
  if (c.itask == 4 || c.itask == 5) {
    setup.tcrit = rw[1];
    const double tcrit = setup.tcrit;
    if ((tcrit - *c.tout) * (*c.tout - *c.t) < 0.0) {
      driver_message(msg::kTcritBehindTout, 0, 0, 0, 2, tcrit, *c.tout);
      return false;
    }
    if (h0 != 0.0 && (*c.t + h0 - tcrit) * h0 > 0.0) h0 = tcrit - *c.t;
  }
  reset_counters(s);
  // The initial slope into YH column 2, y into column 1.
  const int lf0 = s.lyh + s.nyh;
  c.f(c.neq, c.t, c.y, &rw[lf0]);
  s.nfe = 1;
  for (int i = 1; i <= s.n; ++i) rw[i + s.lyh - 1] = c.y[i - 1];
  s.nq = 1;
  s.h = 1.0;
  DEWSET(&s.n, c.itol, c.rtol, c.atol, &rw[s.lyh], &rw[s.lewt]);
  const int bad = invert_error_weights(s.n, &rw[s.lewt]);
  if (bad != 0) {
    driver_message(msg::kEwtLe0, 1, bad, 0, 1, rw[s.lewt + bad - 1]);
    return false;
  }
  if (h0 == 0.0 && !first_step_size(s, c, &rw[lf0], &h0)) return false;
  // Respect HMAX, and scale YH column 2 by h0.
  const double rh = std::fabs(h0) * s.hmxi;
  if (rh > 1.0) h0 = h0 / rh;
  s.h = h0;
  for (int i = 1; i <= s.n; ++i) rw[i + lf0 - 1] = h0 * rw[i + lf0 - 1];
  setup.h0 = h0;
  return true;
}

}  // namespace lsoda
