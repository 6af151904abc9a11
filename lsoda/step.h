// The step core DSTODA (step.cpp) and its phases that live in files of their
// own: the corrector iteration (corrector.h), the method-switching test
// (method_switch.cpp), and the choice and application of a new step size
// and order (step_size.cpp). Relies on the record for the step's state.
#ifndef LSODA_STEP_H
#define LSODA_STEP_H

#include <cmath>

#include "lsoda/lsoda.h"
#include "lsoda/record.h"

namespace lsoda {

// The record, arrays and routines of a step: the calling thread's record
// (the driver's, so that the step reaches it without a thread-local
// lookup), the driver's Y, the parts of RWORK and IWORK laid out for them,
// f and the Jacobian, and the matrix routines. They stay the same for all
// the steps of one call of the driver. YH has NYH rows; YH column j+1 holds
// h^j y^(j)/j! (the Nordsieck history array).
struct StepArgs {
  Record* rec;
  int* neq;
  double* y;
  double* yh;
  int* nyh;
  double* yh1;
  double* ewt;   // inverted error weights
  double* savf;  // f at the current iterate
  double* acor;  // accumulated correction
  double* wm;    // matrix work area (PJAC, SLVS)
  int* iwm;
  lsoda_rhs f;
  lsoda_jac jac;         // DLSODA's Jacobian (JT 1, 4)
  lsoda_block_jac bjac;  // DLSODA_BLOCKS' Jacobian (its JT 1)
  pjac_fn pjac;
  slvs_fn slvs;
};

// One step from TN: KFLAG = 0 when taken, < 0 when it failed; JSTART tells
// whether the problem, the method or H changed since the last.
void DSTODA(const StepArgs& a);

// The local error estimate of the last successful step in ACOR: the
// scaling DSTODA leaves owed (Record::acor_scale), done before the driver
// returns.
inline void settle_acor(Record& s, double* acor) {
  if (s.acor_scale == 0.0) return;
  const double r = s.acor_scale;
  const int n = s.n;
  for (int i = 0; i < n; ++i) acor[i] = acor[i] * r;
  s.acor_scale = 0.0;
}

// YH column j (1-based) as a pointer into the flat history array.
inline double* column(double* yh, int nyh, int j) { return yh + static_cast<long>(j - 1) * nyh; }

// The local error of a step attempt, DSM (the weighted norm of the error
// estimate over the test's bound), and the step-size ratio order NQ allows
// after it, 1/(1.2*DSM^(1/L) + 1.2e-6): the switching test and the choice
// of the next step size may both use that ratio after the same step, so it
// is computed once, at its first use.
struct LocalError {
  double dsm = 0.0;
  void set(double d) {
    dsm = d;
    known_ = false;
  }
  double same_order_ratio(const Record& s) {
    if (!known_) {
      const double exsm = 1.0 / s.l;
      ratio_ = 1.0 / (1.2 * std::pow(dsm, exsm) + 0.0000012);
      known_ = true;
    }
    return ratio_;
  }

 private:
  bool known_ = false;
  double ratio_ = 0.0;
};

// After a successful step, once ICOUNT has run out (kSwitchHold steps after
// a problem's start or a switch): whether the other method family would
// allow a step at least RATIO times larger (Adams to BDF) or as large (BDF
// to Adams). On a switch the record holds the new method and order, ICOUNT
// is reset and *rh is the step-size ratio to apply; true.
bool switch_method(Record& s, const StepArgs& a, LocalError& error, double pnorm, double* rh);
// Part of that test, while Adams at an order NQ <= MXORDS with a Lipschitz
// estimate (pdh = PDLAST*|H|): true only when BDF's step ratio certainly
// falls short of a switch, decided without powers of DSM.
bool bdf_clearly_short(const Record& s, double dsm, double pdh);

// The step-size ratios that orders NQ-1, NQ and NQ+1 would allow after a
// step with error DSM (NQ+1 only when `consider_higher`), and the choice:
enum class Change {
  kNone,      // keep H and NQ (IALTH set to wait 3 steps)
  kStepSize,  // rescale by *rh at order NQ
  kOrder,     // change to order *newq, then rescale by *rh
};
Change choose_step_and_order(Record& s, const StepArgs& a, LocalError& error,
                             bool consider_higher, double* rh, int* newq);

// Rescales the history array by the ratio RH, bounded by RMAX, HMAX and
// (Adams) the stability limit, and updates H and RC.
void rescale_history(Record& s, double* yh, int nyh, double rh);

}  // namespace lsoda

#endif  // LSODA_STEP_H
