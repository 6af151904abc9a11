// Public interface of the LSODA integrator: dy/dt = f(t, y) solved from T to
// TOUT with variable-order Adams (non-stiff) and BDF (stiff) methods and
// automatic switching between them. Every argument is passed by address;
// integers are 32-bit, reals double; the comments number array entries
// from 1, as the integrator's names do, and the code from 0 (IWORK(11) is
// iwork[10]).
//
// The integrator's saved state is kept per thread: integrations on different
// threads never share state. Message settings (XSETF, XSETUN) are
// process-wide; messages go to standard output, or to the message sink
// installed on the thread that raised them.
#ifndef LSODA_LSODA_H
#define LSODA_LSODA_H

#include <string>

namespace lsoda {

// Right-hand side: store f(t, y) into ydot[0 .. neq[0]-1].
using lsoda_rhs = void (*)(int* neq, double* t, double* y, double* ydot);
// Jacobian (JT = 1 or 4): store df/dy into pd (full: column-major with
// leading dimension *nrowpd; banded: LINPACK band form).
using lsoda_jac = void (*)(int* neq, double* t, double* y, int* ml, int* mu,
                           double* pd, int* nrowpd);

// The driver. ISTATE on output:
//   1 nothing done (TOUT = T on a first call), 2 success,
//  -1 MXSTEP steps taken before TOUT, -2 too much accuracy requested,
//  -3 illegal input, -4 repeated error-test failures, -5 repeated
//  convergence failures, -6 an error weight became <= 0, -7 work arrays too
//  short for the method just switched to.
void DLSODA(lsoda_rhs F, int* NEQ, double* Y, double* T, double* TOUT,
            int* ITOL, double* RTOL, double* ATOL, int* ITASK, int* ISTATE,
            int* IOPT, double* RWORK, int* LRW, int* IWORK, int* LIW,
            lsoda_jac JAC, int* JT);

// Interpolated K-th derivative of the solution at T, within the last step.
// IFLAG = 0 success, -1 illegal K, -2 illegal T.
void DINTDY(double* T, int* K, double* YH, int* NYH, double* DKY, int* IFLAG);

// Message writer. LEVEL 0 prints and returns; LEVEL 2 prints and ends the
// process. "Prints" means: hands the message to the thread's sink when one
// is installed, else writes it to the output unit. NI/NR (0, 1 or 2) integers/reals are printed beneath MSG.
void XERRWD(const char* MSG, int* NMES, int* NERR, int* LEVEL, int* NI,
            int* I1, int* I2, int* NR, double* R1, double* R2);
// MFLAG 1 prints messages, 0 suppresses them (other values are ignored).
void XSETF(int* MFLAG);
// Output unit for messages (LUN > 0; other values are ignored). Unit 6 is
// standard output; any other unit is written to as a file descriptor.
void XSETUN(int* LUN);
// Saved message setting: IPAR 1 = unit, 2 = print flag; stores IVALUE when
// *ISET is true. Returns the value before any store (-1 for another IPAR).
int IXSAV(int* IPAR, int* IVALUE, bool* ISET);
// The default output unit, 6.
int IUMACH();

// Receives the integrator messages of the threads it is installed on instead of the output unit.
// kind: the message's fixed text (MSG as passed to XERRWD, trailing blanks removed);
// text: the whole message exactly as it would have been written (lines ending in '\n').
// Called on the thread that raised the message; one sink may be installed on several threads
// at once (a model evaluation's worker threads), so implementations must be thread-safe.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void receive(const char* kind, const std::string& text) noexcept = 0;
};
// Installs `sink` for the calling thread (nullptr: messages go to the output unit) and returns the one it replaces.
MessageSink* set_message_sink(MessageSink* sink);
// The calling thread's sink, or nullptr.
MessageSink* message_sink();

}  // namespace lsoda

#endif  // LSODA_LSODA_H
