// What the driver reports once the integration has started: the failures
// that end a call early (their messages, ISTATE, and the state handed back
// at the last mesh point) and the "T + H = T" warning. Relies on the record
// and the message table.
#include <cmath>

#include "lsoda/driver.h"
#include "lsoda/messages.h"

namespace lsoda {
namespace {

// The failure's message; returns its ISTATE.
int print_failure(const Record& s, const Call& c, Failure failure, int bad, double tolsf) {
  if (failure == Failure::kWeight) {
    driver_message(msg::kEwtBecameLe0, 1, bad, 0, 2, s.tn, c.rw[s.lewt + bad - 1]);
    return -6;
  }
  MessageBlock block;
  switch (failure) {
    case Failure::kMxstep:
      driver_message(msg::kMxstep1);
      driver_message(msg::kMxstep2, 1, s.mxstep, 0, 1, s.tn);
      return -1;
    case Failure::kTooMuchAccuracy:
      driver_message(msg::kAccuracy1);
      driver_message(msg::kAccuracy2, 0, 0, 0, 2, s.tn, tolsf);
      return -2;
    case Failure::kErrorTest:
      driver_message(msg::kErrorTest1);
      driver_message(msg::kErrorTest2, 0, 0, 0, 2, s.tn, s.h);
      return -4;
    case Failure::kConvergence:
      driver_message(msg::kConvergence1);
      driver_message(msg::kConvergence2);
      driver_message(msg::kConvergence3, 0, 0, 0, 2, s.tn, s.h);
      return -5;
    case Failure::kRworkShort:
      driver_message(msg::kRworkTooSmall);
      driver_message(msg::kOtherwiseSuccessful, 0, 0, 0, 1, s.tn);
      return -7;
    default:  // Failure::kIworkShort
      driver_message(msg::kIworkTooSmall);
      driver_message(msg::kOtherwiseSuccessful, 0, 0, 0, 1, s.tn);
      return -7;
  }
}

// IWORK(16): the component with the largest weighted local error, |ACOR|*EWT.
int largest_error_component(const Record& s, const double* rw) {
  double big = 0.0;
  int imxer = 1;
  for (int i = 1; i <= s.n; ++i) {
    const double size = std::fabs(rw[i + s.lacor - 1] * rw[i + s.lewt - 1]);
    if (big >= size) continue;
    big = size;
    imxer = i;
  }
  return imxer;
}

}  // namespace

void report_failure(Record& s, const Call& c, Failure failure, int bad, double tolsf) {
  double* const rw = c.rw;
  if (failure == Failure::kTooMuchAccuracy) rw[14] = tolsf;  // RWORK(14) = TOLSF
  *c.istate_out = print_failure(s, c, failure, bad, tolsf);
  if (failure == Failure::kErrorTest || failure == Failure::kConvergence)
    c.iw[16] = largest_error_component(s, rw);
  for (int i = 1; i <= s.n; ++i) c.y[i - 1] = rw[i + s.lyh - 1];
  *c.t = s.tn;
  store_outputs(s, c);
}

void report_start_accuracy(const Call& c, double tolsf) {
  c.rw[14] = tolsf;
  MessageBlock block;
  driver_message(msg::kStartAccuracy1);
  driver_message(msg::kStartAccuracy2, 0, 0, 0, 1, tolsf);
}

void warn_t_plus_h(Record& s) {
  s.nhnil = s.nhnil + 1;
  if (s.nhnil > s.mxhnil) return;
  MessageBlock block;
  driver_message(msg::kTplusH1);
  driver_message(msg::kTplusH2);
  driver_message(msg::kTplusH3, 0, 0, 0, 2, s.tn, s.h);
  if (s.nhnil >= s.mxhnil) {
    driver_message(msg::kAboveWarning1, 1, s.mxhnil);
    driver_message(msg::kAboveWarning2);
  }
}

}  // namespace lsoda
