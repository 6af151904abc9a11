// DLSODA and DLSODA_BLOCKS: the driver of the integrator, one body for both
// entries. Checks the input, lays out the caller's work arrays, starts a
// problem, calls the step core DSTODA until the call's stopping rule is met
// (ITASK, TOUT, TCRIT), interpolates back to TOUT with DINTDY and reports
// through ISTATE and the optional outputs. The phases live in
// input_checks.cpp, problem_start.cpp, stop_rules.h and run_reports.cpp;
// this file is their order and the stepping loop. Relies on the record, the
// error weights and the weighted norm.
#include <algorithm>
#include <cmath>

#include "lsoda/driver.h"
#include "lsoda/lsoda.h"
#include "lsoda/messages.h"
#include "lsoda/record.h"
#include "lsoda/step.h"
#include "lsoda/stop_rules.h"

namespace lsoda {
namespace {

// Before each step: a switch needs the work space of the new method; the
// step budget of the call; the error weights at the current solution, and
// the solution's norm with them.
Failure prepare_step(Record& s, const Call& c, int* bad, double* ynorm) {
  if (s.meth != s.mused) {
    if (s.insufr == 1) return Failure::kRworkShort;
    if (s.insufi == 1) return Failure::kIworkShort;
  }
  if (s.nst - s.nslast >= s.mxstep) return Failure::kMxstep;
  double* const rw = c.rw;
  *bad = step_error_weights(s.n, *c.itol, c.rtol, c.atol, &rw[s.lyh], &rw[s.lewt], ynorm);
  return *bad != 0 ? Failure::kWeight : Failure::kNone;
}

// After a step on which the core switched methods: the order limit and the
// work space of the new method, the switch time, and the message (IXPR = 1).
void record_switch(Record& s, const Call& c) {
  s.tsw = s.tn;
  s.maxord = s.mxordn;
  if (s.meth == 2) s.maxord = s.mxords;
  if (s.meth == 2) c.rw[s.lwm] = std::sqrt(s.uround);
  s.insufr = std::min(s.insufr, 1);
  s.insufi = std::min(s.insufi, 1);
  s.jstart = -1;
  if (s.ixpr != 0) {
    MessageBlock block;
    driver_message(s.meth == 2 ? msg::kSwitchToBdf : msg::kSwitchToAdams);
    driver_message(msg::kSwitchAt, 1, s.nst, 0, 2, s.tn, s.h);
  }
}

// The step core's arrays in the work space laid out for this problem; the
// same for every step of a call.
StepArgs step_args(Record& s, const Call& c) {
  double* const rw = c.rw;
  const bool blocks = s.jtyp >= kMiterBlockJac;
  return StepArgs{&s, c.neq, c.y, &rw[s.lyh], &s.nyh, &rw[s.lyh],  // NEQ, Y, YH, NYH, YH1
                  &rw[s.lewt], &rw[s.lsavf], &rw[s.lacor],      // EWT, SAVF, ACOR
                  &rw[s.lwm], &c.iw[s.liwm],                    // WM, IWM
                  c.f, c.jac, c.bjac,
                  blocks ? build_block_matrix : DPRJA, blocks ? solve_block_matrix : DSOLSY};
}

// ISTATE = 3: tell the core about changed inputs (while BDF, a changed JT
// takes effect at once); if NEQ shrank, clear the unused part of the
// history array.
void prepare_restart(Record& s, double* rw) {
  s.jstart = -1;
  if (s.meth == 2) s.miter = s.jtyp;
  if (s.n != s.nyh) {
    const int i1 = s.lyh + s.l * s.nyh;
    const int i2 = s.lyh + (s.maxord + 1) * s.nyh - 1;
    for (int k = i1; k <= i2; ++k) rw[k] = 0.0;
  }
}

// One call of either entry.
void integrate(const Call& c) {
  Record& s = record();
  double* const rw = c.rw;
  Setup setup;
  double tcrit = 0.0;
  bool ihit = false;
  double tolsf = 0.0;
  double ynorm = 0.0;  // DMNORM of YH column 1 with the current weights
  int bad = 0;
  Failure failure = Failure::kNone;
  StepArgs step{};  // set once the work space is laid out

  // ISTATE and ITASK; on a first call, the TOUT = T exit.
  switch (check_entry(s, c)) {
    case Entry::kNothing:
    case Entry::kAborted:
      return;
    case Entry::kIllegal:
      goto illegal;
    case Entry::kContinue:
      goto next_call;
    case Entry::kCheckInputs:
      break;
  }
  // A first call or ISTATE = 3: the other inputs and the work space.
  if (!check_new_inputs(s, c, setup)) goto illegal;
  if (c.istate != 1) {
    prepare_restart(s, rw);
    goto next_call;
  }
  if (!start_problem(s, c, setup)) goto illegal;
  tcrit = setup.tcrit;
  step = step_args(s, c);
  ynorm = DMNORM(&s.n, &rw[s.lyh], &rw[s.lewt]);
  goto check_accuracy;

next_call:
  // A continuation call: TOUT may already be passed, TCRIT may limit H.
  step = step_args(s, c);
  switch (continue_call(s, c, &tcrit, &ihit)) {
    case Next::kStep:
      break;
    case Next::kAtTn:
      goto at_tn;
    case Next::kAtTout:
      goto done;
    case Next::kIllegal:
      goto illegal;
  }

next_step:
  // The stepping loop. Before each step: the work space, the step budget,
  // the error weights; the accuracy the machine can deliver; T + H = T.
  failure = prepare_step(s, c, &bad, &ynorm);
  if (failure != Failure::kNone) goto failed;
check_accuracy:
  tolsf = s.uround * ynorm;
  if (tolsf > 1.0) {
    tolsf = tolsf * 2.0;
    if (s.nst == 0) {
      report_start_accuracy(c, tolsf);
      goto illegal;
    }
    failure = Failure::kTooMuchAccuracy;
    goto failed;
  }
  if ((s.tn + s.h) == s.tn) warn_t_plus_h(s);

  DSTODA(step);
  if (s.kflag != 0) {
    // KFLAG = -1: error-test failures; any other (a failed matrix routine
    // included) counts as a convergence failure.
    failure = s.kflag == -1 ? Failure::kErrorTest : Failure::kConvergence;
    goto failed;
  }

  // After a successful step: record a switch that the core decided; then
  // return or go on as ITASK says.
  s.init = 1;
  if (s.meth != s.mused) record_switch(s, c);
  switch (after_step(s, c, tcrit, &ihit)) {
    case Next::kAtTn:
      break;
    case Next::kAtTout:
      goto done;
    default:
      goto next_step;
  }

at_tn:
  // Return at the mesh point TN (ITASK 2, 3, 5, or TCRIT reached).
  for (int i = 1; i <= s.n; ++i) c.y[i - 1] = rw[i + s.lyh - 1];
  *c.t = s.tn;
  if ((c.itask == 4 || c.itask == 5) && ihit) *c.t = tcrit;
done:
  *c.istate_out = 2;
  settle_acor(s, &rw[s.lacor]);
  store_outputs(s, c);
  return;

failed:
  // Y and T at the last mesh point, the optional outputs stored.
  settle_acor(s, &rw[s.lacor]);
  report_failure(s, c, failure, bad, tolsf);
  return;

illegal:
  // Y and T are left as they came.
  *c.istate_out = -3;
}

}  // namespace

// RWORK(i) = rw[i], IWORK(i) = iw[i]: the 1-based positions of the option list.
void DLSODA(lsoda_rhs F, int* NEQ, double* Y, double* T, double* TOUT,
            int* ITOL, double* RTOL, double* ATOL, int* ITASK, int* ISTATE,
            int* IOPT, double* RWORK, int* LRW, int* IWORK, int* LIW,
            lsoda_jac JAC, int* JT) {
  integrate(Call{F,   NEQ,  Y,    T,      TOUT,    ITOL,      RTOL, ATOL,      *ITASK,
                 *ISTATE, ISTATE, IOPT, RWORK - 1, LRW, IWORK - 1, LIW,  JAC, JT,
                 false,   nullptr, nullptr});
}

void DLSODA_BLOCKS(lsoda_rhs F, int* NEQ, double* Y, double* T, double* TOUT,
                   int* ITOL, double* RTOL, double* ATOL, int* ITASK, int* ISTATE,
                   int* IOPT, double* RWORK, int* LRW, int* IWORK, int* LIW,
                   lsoda_block_jac JAC, const BlockLayout* LAYOUT, int* JT) {
  integrate(Call{F,   NEQ,  Y,    T,      TOUT,    ITOL,      RTOL, ATOL,      *ITASK,
                 *ISTATE, ISTATE, IOPT, RWORK - 1, LRW, IWORK - 1, LIW,  nullptr, JT,
                 true,    JAC,     LAYOUT});
}

}  // namespace lsoda
