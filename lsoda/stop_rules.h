// Where a call of the driver stops, as ITASK says: 1 at TOUT by
// interpolation, 2 after one step, 3 at the first mesh point at or beyond
// TOUT, 4 and 5 as 1 and 2 without passing TCRIT (RWORK(1)). Checked on a
// continuation call before any step, and after each successful step: inline,
// since the driver asks after every step. Relies on the record, DINTDY and
// the message table.
#ifndef LSODA_STOP_RULES_H
#define LSODA_STOP_RULES_H

#include <cmath>

#include "lsoda/driver.h"
#include "lsoda/messages.h"

namespace lsoda {

// Y at TOUT, interpolated in the last step; T = TOUT. IFLAG != 0 when TOUT
// lies outside the last step.
inline int interpolate_at_tout(Record& s, const Call& c) {
  int korder = 0;  // the solution itself
  int iflag = 0;
  DINTDY(c.tout, &korder, &c.rw[s.lyh], &s.nyh, c.y, &iflag);
  return iflag;
}

// TN has reached TCRIT, up to round-off.
inline bool tcrit_hit(const Record& s, double tcrit) {
  const double hmx = std::fabs(s.tn) + std::fabs(s.h);
  return std::fabs(s.tn - tcrit) <= 100.0 * s.uround * hmx;
}

// When the next step would pass TCRIT, H is cut to end just short of it;
// true when it was cut.
inline bool cut_step_at_tcrit(Record& s, double tcrit) {
  const double tnext = s.tn + s.h * (1.0 + 4.0 * s.uround);
  if ((tnext - tcrit) * s.h <= 0.0) return false;
  s.h = (tcrit - s.tn) * (1.0 - 4.0 * s.uround);
  return true;
}

// Where a call goes on from its checks or from a successful step:
enum class Next {
  kStep,     // take another step
  kAtTn,     // return at the mesh point TN (or TCRIT when it was hit)
  kAtTout,   // Y and T were set at TOUT: return
  kIllegal,  // message printed: ISTATE = -3
};

// On a continuation call: is TOUT already passed, and does TCRIT limit H?
inline Next continue_call(Record& s, const Call& c, double* tcrit, bool* ihit) {
  s.nslast = s.nst;
  const double tout = *c.tout;
  switch (c.itask) {
    case 1:
      if ((s.tn - tout) * s.h < 0.0) return Next::kStep;
      break;
    case 2:
      return Next::kStep;
    case 3: {
      const double tp = s.tn - s.hu * (1.0 + 100.0 * s.uround);
      if ((tp - tout) * s.h > 0.0) {
        driver_message(msg::kItask3Behind, 1, c.itask, 0, 2, tout, tp);
        return Next::kIllegal;
      }
      if ((s.tn - tout) * s.h < 0.0) return Next::kStep;
      *c.t = s.tn;
      return Next::kAtTn;
    }
    default:  // 4 and 5
      *tcrit = c.rw[1];
      if ((s.tn - *tcrit) * s.h > 0.0) {
        driver_message(msg::kTcritBehindTcur, 0, 0, 0, 2, *tcrit, s.tn);
        return Next::kIllegal;
      }
      if (c.itask == 4) {
        if ((*tcrit - tout) * s.h < 0.0) {
          driver_message(msg::kTcritBehindTout, 0, 0, 0, 2, *tcrit, tout);
          return Next::kIllegal;
        }
        if (!((s.tn - tout) * s.h < 0.0)) break;  // TOUT passed (or a NaN)
      }
      *ihit = tcrit_hit(s, *tcrit);
      if (*ihit) {
        *c.t = *tcrit;
        return Next::kAtTn;
      }
      if (cut_step_at_tcrit(s, *tcrit) && c.istate == 2 && s.jstart >= 0) s.jstart = -2;
      return Next::kStep;
  }
  // ITASK = 1 or 4 with TOUT already passed.
  if (interpolate_at_tout(s, c) != 0) {
    driver_message(msg::kTroubleIntdy, 1, c.itask, 0, 1, tout);
    return Next::kIllegal;
  }
  *c.t = tout;
  return Next::kAtTout;
}

// After a successful step: whether ITASK, TOUT and TCRIT end the call.
inline Next after_step(Record& s, const Call& c, double tcrit, bool* ihit) {
  const double tout = *c.tout;
  switch (c.itask) {
    case 1:
      if ((s.tn - tout) * s.h < 0.0) return Next::kStep;
      interpolate_at_tout(s, c);
      *c.t = tout;
      return Next::kAtTout;
    case 2:
      return Next::kAtTn;
    case 3:
      return (s.tn - tout) * s.h >= 0.0 ? Next::kAtTn : Next::kStep;
    case 4:
      if ((s.tn - tout) * s.h >= 0.0) {
        interpolate_at_tout(s, c);
        *c.t = tout;
        return Next::kAtTout;
      }
      *ihit = tcrit_hit(s, tcrit);
      if (*ihit) return Next::kAtTn;
      if (cut_step_at_tcrit(s, tcrit) && s.jstart >= 0) s.jstart = -2;
      return Next::kStep;
    default:
      *ihit = tcrit_hit(s, tcrit);
      return Next::kAtTn;
  }
}

}  // namespace lsoda

#endif  // LSODA_STOP_RULES_H
