// The phases of the driver DLSODA, each defined in the file of its concern:
// the checks of a call's input and the work-space layout (input_checks.cpp),
// the start of a problem (problem_start.cpp) and the reports of a run
// (run_reports.cpp); where a call stops for ITASK, TOUT and TCRIT is inline
// in stop_rules.h. Relies on the record for everything that survives a call.
#ifndef LSODA_DRIVER_H
#define LSODA_DRIVER_H

#include "lsoda/lsoda.h"
#include "lsoda/record.h"

namespace lsoda {

// One call of DLSODA: its arguments as given, with RWORK(i) = rw[i] and
// IWORK(i) = iw[i] at the 1-based positions of the option list.
struct Call {
  lsoda_rhs f;
  int* neq;
  double* y;
  double* t;
  double* tout;
  int* itol;
  double* rtol;
  double* atol;
  int itask;   // ITASK on entry
  int istate;  // ISTATE on entry
  int* istate_out;
  int* iopt;
  double* rw;
  int* lrw;
  int* iw;
  int* liw;
  lsoda_jac jac;
  int* jt;
  bool block_entry;             // called as DLSODA_BLOCKS
  lsoda_block_jac bjac;         // its Jacobian
  const BlockLayout* layout;    // its layout (read as JT is)
};

// What a first call or an ISTATE = 3 call fixes beyond the record.
struct Setup {
  int ml = 0;          // ML, MU: half-bandwidths (JT = 4, 5)
  int mu = 0;
  double h0 = 0.0;     // H0: first step size, 0 to let the start choose it
  double tcrit = 0.0;  // TCRIT (ITASK = 4, 5)
};

// -------------------------------------------------------------- input checks
// Each check prints the message of the first rule broken and returns false;
// the driver then returns with ISTATE = -3.

// ISTATE and ITASK. What the call does next:
enum class Entry {
  kNothing,      // a first call with TOUT = T: return at once (ISTATE stays 1)
  kCheckInputs,  // a first call, or ISTATE = 3: check the other inputs
  kContinue,     // ISTATE = 2: go on integrating
  kIllegal,      // message printed: ISTATE = -3
  kAborted,      // a negative ISTATE came back: run aborted, nothing returned
};
Entry check_entry(Record& s, const Call& c);

// A first call or ISTATE = 3: NEQ, ITOL, IOPT, JT, the band widths or the
// block layout, the optional inputs, the layout of RWORK and IWORK (with a warning when they
// fit only the current method) and RTOL, ATOL >= 0.
bool check_new_inputs(Record& s, const Call& c, Setup& setup);

// ----------------------------------------------------------- problem start
// Initialises the record, the history array and the first step size, and
// scales YH column 2 by it; false (message printed) for TCRIT behind TOUT, a
// weight <= 0 or TOUT too close to T.
bool start_problem(Record& s, const Call& c, Setup& setup);

// ------------------------------------------------------------- run reports
// Why an integration stops before its end.
enum class Failure {
  kNone,
  kMxstep,           // ISTATE = -1
  kTooMuchAccuracy,  // ISTATE = -2
  kErrorTest,        // ISTATE = -4
  kConvergence,      // ISTATE = -5
  kWeight,           // ISTATE = -6: error weight `bad` became <= 0
  kRworkShort,       // ISTATE = -7: RWORK too short for the method switched to
  kIworkShort,       // ISTATE = -7: IWORK too short for it
};
// Prints the failure, sets ISTATE, and returns Y and T at the last mesh
// point with the optional outputs (and, after error-test or convergence
// failures, the component with the largest weighted local error).
void report_failure(Record& s, const Call& c, Failure failure, int bad, double tolsf);
// "Too much accuracy" before the first step: an input error.
void report_start_accuracy(const Call& c, double tolsf);
// The "T + H = T" warning, at most MXHNIL times per problem.
void warn_t_plus_h(Record& s);
// The optional outputs RWORK(11..15), IWORK(11..15, 19, 20), stored on
// every return after the integration started.
inline void store_outputs(const Record& s, const Call& c) {
  c.rw[11] = s.hu;
  c.rw[12] = s.h;
  c.rw[13] = s.tn;
  c.rw[15] = s.tsw;
  c.iw[11] = s.nst;
  c.iw[12] = s.nfe;
  c.iw[13] = s.nje;
  c.iw[14] = s.nqu;
  c.iw[15] = s.nq;
  c.iw[19] = s.mused;
  c.iw[20] = s.meth;
}

}  // namespace lsoda

#endif  // LSODA_DRIVER_H
