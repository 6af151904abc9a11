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

// ------------------------------------------------- block-diagonal matrices
// DLSODA_BLOCKS is DLSODA for problems whose Jacobian is (or is taken to be)
// block-diagonal: the stiff corrector's matrix P = I - h*l0*J is formed,
// factored (LU with partial pivoting inside each block) and solved block by
// block. The unknowns fall into GROUPS groups of equal length; each group is
// BLOCKS square blocks of BLOCK_SIZE unknowns followed by SINGLES unknowns
// whose rows and columns of J hold their diagonal entry alone:
//   NEQ = GROUPS * (BLOCKS * BLOCK_SIZE + SINGLES).
// With SHARED true every group has the same blocks (copies of a state, such
// as forward sensitivities beside it): J is evaluated, and P factored, for
// the first group only, and its factors solve every group.
struct BlockLayout {
  int block_size = 1;   // >= 1
  int blocks = 0;       // blocks per group, >= 0
  int singles = 0;      // 1-by-1 entries per group, after its blocks, >= 0
  int groups = 1;       // >= 1
  bool shared = false;  // one set of blocks for all groups
  // Not a matter of the matrix but read with it: the successful steps after
  // the start before the method-switching test first runs (>= 0; DLSODA
  // waits 20). A problem that turns stiff within its first steps (a pulse
  // arriving) reaches the stiff method sooner with a small hold. After a
  // switch the hold is 20 steps as always.
  int first_switch_hold = 20;
  // Also read with it: the steps one iteration matrix serves at most before
  // it is rebuilt (>= 1; DLSODA: 20). A Jacobian that moves with a driving
  // term (a pulse's light) grows stale within 20 steps; the corrector then
  // leaves part of its iteration error in the error estimate, and steps
  // fail the error test and restart small. Blocks are cheap to rebuild.
  int matrix_age = 20;
};
// The block Jacobian (JT = 1 of DLSODA_BLOCKS): store the diagonal blocks of
// df/dy into pd one after another in the order of the unknowns, each
// column-major (element (i,j) of a block of size b at pd[i + j*b] from the
// block's start; a single is one entry); the first group's only when SHARED.
// pd is zeroed before the call.
using lsoda_block_jac = void (*)(int* neq, double* t, double* y, double* pd);

// The arguments are DLSODA's except for JAC, LAYOUT and JT:
//   JT = 1: JAC gives the blocks; JT = 2: difference quotients of F (the
//     columns at the same place of every block perturbed together: one
//     call of F per column of a block, BLOCK_SIZE calls per Jacobian; JAC
//     is not called and may be null).
//   LAYOUT is read, like JT, on a first call and on ISTATE = 3 (may be
//     null on ISTATE = 2 calls).
// Work space: the matrix takes LMAT = (BLOCKS*BLOCK_SIZE^2 + SINGLES) reals,
// times GROUPS unless SHARED; with the default order limits
//   LRW >= max(20 + 16*NEQ, 22 + 9*NEQ + LMAT),  LIW >= 20 + NEQ
// (in general 20 + max((MXORDN+1)*NEQ, (MXORDS+1)*NEQ + LMAT + 2) + 3*NEQ),
// reported in IWORK(17), IWORK(18) as by DLSODA. A problem begun by one
// entry is continued (ISTATE = 2) by the same entry; ISTATE = 3 may change
// entry, as it may change JT. When every pivot lies inside its block, the
// band option of DLSODA (JT 4 or 5 with ML = MU = BLOCK_SIZE - 1) performs
// the same arithmetic on the blocks, and the two give the same results
// (bits included, up to the sign of zero entries; a non-finite value stays
// inside its block here).
void DLSODA_BLOCKS(lsoda_rhs F, int* NEQ, double* Y, double* T, double* TOUT,
                   int* ITOL, double* RTOL, double* ATOL, int* ITASK, int* ISTATE,
                   int* IOPT, double* RWORK, int* LRW, int* IWORK, int* LIW,
                   lsoda_block_jac JAC, const BlockLayout* LAYOUT, int* JT);

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
