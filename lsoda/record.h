// The integrator's memory between steps and between calls, and the
// internal routines that share it. One record per thread: the entries reach
// the calling thread's record through record() (the driver once per call,
// handing it to the step core and the matrix routines), so integrations on
// different threads never share state. Vectors live in the
// caller's RWORK/IWORK; only scalars and the method coefficients are here.
#ifndef LSODA_RECORD_H
#define LSODA_RECORD_H

#include <cmath>

#include "lsoda/lsoda.h"
#include "lsoda/pairs.h"

namespace lsoda {

// Method limits and tuning factors.
constexpr int kMaxOrderAdams = 12;  // MORD(1): largest Adams order
constexpr int kMaxOrderBdf = 5;     // MORD(2): largest BDF order
constexpr int kDefaultMxstep = 500;  // steps per call unless IWORK(6) says otherwise
constexpr int kDefaultMxhnil = 10;   // "T + H = T" warnings per problem
constexpr double kCcmax = 0.3;  // largest relative change of h*l0 before the matrix is rebuilt
constexpr int kMaxcor = 3;      // corrector iterations per attempt
constexpr int kMsbp = 20;       // steps between rebuilds of the iteration matrix
constexpr int kMxncf = 10;      // convergence failures allowed in one step
constexpr int kSwitchHold = 20;  // successful steps before the switching test runs (ICOUNT)
constexpr double kRatio = 5.0;   // a switch must pay by this factor in step size

// MITER (and JTYP) of the block-diagonal matrices of DLSODA_BLOCKS: the
// user's blocks (its JT = 1) and difference quotients (its JT = 2). DLSODA's
// own JT 1, 2, 4, 5 are their MITER values.
constexpr int kMiterBlockJac = 6;
constexpr int kMiterBlockQuotients = 7;

// Stability limits of the Adams methods of orders 1..12, compared with
// |h| times the Lipschitz estimate: SM1(q) = kSm1[q-1].
constexpr double kSm1[12] = {0.5,  0.575, 0.55, 0.45, 0.35,  0.25,
                             0.2,  0.15,  0.1,  0.075, 0.05, 0.025};

struct Record {
  // Step state.
  double tn = 0;      // TN: the current value of t (the last mesh point)
  double h = 0;       // H: the step size to be attempted next
  double hu = 0;      // HU: the step size of the last successful step
  double hold = 0;    // HOLD: the step size before the last change
  double hmin = 0;    // HMIN: smallest absolute step
  double hmxi = 0;    // HMXI = 1/HMAX, 0 for no limit
  double uround = 0;  // UROUND: unit round-off, 2^-52
  double rc = 0;      // RC = h*l0 relative to its value at the last matrix build
  double el0 = 0;     // EL0: l0 at the last matrix build
  double ccmax = 0;   // CCMAX (kCcmax)
  double told = 0;    // TOLD: TN before the current step
  double rmax = 0;    // RMAX: largest factor by which H may grow at the next change
  double crate = 0;   // CRATE: estimated convergence rate of the corrector
  double conit = 0;   // CONIT = 0.5/(NQ + 2)
  double tsw = 0;     // TSW: t at the last method switch
  double pdest = 0;   // PDEST: largest h-scaled convergence rate seen (Lipschitz estimate)
  double pdlast = 0;  // PDLAST: last non-zero PDEST
  double pdnorm = 0;  // PDNORM: weighted norm of the Jacobian, from the matrix build
  double ratio = 0;   // RATIO (kRatio)

  // Method state.
  int meth = 1;    // METH: 1 Adams, 2 BDF
  int miter = 0;   // MITER: 0 functional iteration (Adams), JTYP chord iteration (BDF)
  int jtyp = 0;    // JTYP: the JT given (DLSODA_BLOCKS: kMiterBlockJac, kMiterBlockQuotients)
  int mused = 0;   // MUSED: method of the last successful step
  int nq = 0;      // NQ: current order
  int l = 0;       // L = NQ + 1, the number of history columns in use
  int lmax = 0;    // LMAX = MAXORD + 1
  int maxord = 0;  // MAXORD: order limit of the current method
  int mxordn = 0;  // MXORDN: largest Adams order allowed
  int mxords = 0;  // MXORDS: largest BDF order allowed
  int nqu = 0;     // NQU: order of the last successful step
  int nqnyh = 0;   // NQNYH = NQ*NYH
  int jstart = 0;  // JSTART: 0 new problem, -1 switch or changed inputs, -2 H set by the driver, >0 continue
  int kflag = 0;   // KFLAG: 0 step taken, -1 error-test failures, -2 convergence failures
  int ialth = 0;   // IALTH: steps left before the next step-size change may be considered
  int ipup = 0;    // IPUP: non-zero when the iteration matrix must be rebuilt
  int nslp = 0;    // NSLP: NST at the last matrix build
  int icf = 0;     // ICF: 0 no convergence failure, 1 recoverable, 2 fatal for this attempt
  int ierpj = 0;   // IERPJ: non-zero when the iteration matrix was singular
  int iersl = 0;   // IERSL: non-zero when a solve failed
  int jcur = 0;    // JCUR: 1 when the matrix was built with the current Jacobian
  int maxcor = 0;  // MAXCOR (kMaxcor)
  int msbp = 0;    // MSBP (kMsbp)
  int mxncf = 0;   // MXNCF (kMxncf)
  int iredo = 0;   // IREDO: 0 after a success, 1 convergence failure, 2 error-test failure, 3 driver's H
  int iret = 0;    // IRET: where the order set-up continues (1 H check, 2 step change, 3 prediction)
  int icount = 0;  // ICOUNT: successful steps left before the switching test runs
  int irflag = 0;  // IRFLAG: 1 when the last Adams step size was cut by the stability limit
  // ACOR becomes the local error estimate of a successful step, ACOR times
  // 1/TESCO(2,NQU); the next step overwrites it, so the product is formed
  // only when the driver returns (settle_acor). Non-zero while owed.
  double acor_scale = 0.0;

  // Coefficients of the current method family (process-wide tables, see
  // method_families()): ELCO(i,q) = elco[q-1][i-1], TESCO(k,q) =
  // tesco[q-1][k-1]. EL(i) = el[i-1] is column NQ of ELCO.
  const double (*elco)[13] = nullptr;
  const double (*tesco)[3] = nullptr;
  double el[13] = {};
  // CM1(q) = TESCO(2,q)*ELCO(q+1,q) of the Adams family, CM2(q) of BDF.
  const double* cm1 = nullptr;
  const double* cm2 = nullptr;

  // Layout of the work arrays (1-based positions in RWORK / IWORK).
  int n = 0;       // N: number of equations
  int nyh = 0;     // NYH: rows of the history array (N at the start)
  int lyh = 0;     // LYH: start of YH in RWORK
  int lwm = 0;     // LWM: start of the matrix work area WM
  int liwm = 0;    // LIWM: start of IWM in IWORK
  int lewt = 0;    // LEWT: start of the inverted error weights
  int lsavf = 0;   // LSAVF: start of SAVF
  int lacor = 0;   // LACOR: start of ACOR
  int insufr = 0;  // INSUFR: 2 RWORK short for the other method, 1 that became fatal at a switch
  int insufi = 0;  // INSUFI: the same for IWORK

  // Block-diagonal layout (MITER 6 and 7; see BlockLayout in lsoda.h): the
  // matrix in WM(3...) holds the blocks of one group (SHARED) or of every
  // group, each column-major, a single as one entry; pivots in IWM(21...).
  int block_size = 0;  // b
  int blocks = 0;      // b-by-b blocks per group
  int singles = 0;     // 1-by-1 entries per group
  int groups = 0;      // groups; n = groups*(blocks*b + singles)
  bool shared = false; // one set of blocks serves every group
  int first_switch_hold = kSwitchHold;  // ICOUNT at the start (DLSODA: always kSwitchHold)
  int matrix_age = kMsbp;               // MSBP of a block problem (DLSODA: always kMsbp)

  // Counters and limits.
  int nst = 0;     // NST: steps taken in the problem
  int nfe = 0;     // NFE: f evaluations
  int nje = 0;     // NJE: Jacobian evaluations
  int nslast = 0;  // NSLAST: NST at the start of the current call
  int nhnil = 0;   // NHNIL: "T + H = T" warnings issued
  int mxstep = 0;  // MXSTEP: steps allowed per call
  int mxhnil = 0;  // MXHNIL: "T + H = T" warnings allowed
  int ixpr = 0;    // IXPR: 1 prints a message at each switch
  int init = 0;    // INIT: 0 until the first successful step of a problem
};

// The calling thread's record.
Record& record();

// The coefficients of both method families and their conversion factors.
// They depend on nothing but the method, so DCFODE computes them once per
// process; a problem's start and a method switch select a family.
struct MethodCoefficients {
  double elco[12][13] = {};
  double tesco[12][3] = {};
};
struct MethodFamilies {
  MethodCoefficients adams;  // METH = 1
  MethodCoefficients bdf;    // METH = 2
  double cm1[12] = {};       // CM1(q) = TESCO(2,q)*ELCO(q+1,q), Adams
  double cm2[5] = {};        // CM2(q), BDF
  const MethodCoefficients& of(int meth) const { return meth == 1 ? adams : bdf; }
};
const MethodFamilies& method_families();

// The unit round-off, DUMACH() computed once per process.
double unit_roundoff();

// Weighted max-norm max_i |v(i)| w(i) (0 for n <= 0): with inverted error
// weights, <= 1 means every component is within its tolerance. The terms
// are formed in pairs and folded in element order (pairs.h), each kept
// when larger (as std::max(vm, x)).
inline double DMNORM(int* n, double* v, double* w) {
  double vm = 0.0;
  for_pairs(*n, [&](int i, auto lanes) { fold_norm(vm, load_at<decltype(lanes)>(v, i), w, i); });
  return vm;
}

// Replaces the N error weights by their inverses, for DMNORM; returns the
// 1-based index of the first weight <= 0 (left as it was, with those after
// it) or 0 when all are positive.
inline int invert_error_weights(int n, double* ewt) {
  for (int i = 1; i <= n; ++i) {
    if (ewt[i - 1] <= 0.0) return i;
    ewt[i - 1] = 1.0 / ewt[i - 1];
  }
  return 0;
}

// Routines shared inside the integrator (the step core DSTODA is declared
// with its phases in step.h).
// PJAC and SLVS of the step core: build and factor the iteration matrix at
// the iterate Y (YH column 1, f(Y) in SAVF, ACOR as scratch), and solve
// P x = b in place with it. The step's arrays are in StepArgs (step.h).
struct StepArgs;
using pjac_fn = void (*)(const StepArgs& a);
using slvs_fn = void (*)(const StepArgs& a, double* x);

// The coefficients ELCO and TESCO of method family METH (coefficients.cpp).
void DCFODE(int* meth, double elco[12][13], double tesco[12][3]);
// The iteration matrix P = I - h*l0*J of DLSODA's JT 1, 2, 4, 5, formed and
// factored in WM with the pivots in IWM; IERPJ != 0 when singular
// (jacobian.cpp).
void DPRJA(const StepArgs& a);
// Solves P x = b in place with the factors of DPRJA (jacobian.cpp).
void DSOLSY(const StepArgs& a, double* x);
// The same for the block-diagonal matrices of DLSODA_BLOCKS
// (block_diagonal.cpp), and the norm of such a matrix (stored as in WM)
// induced by the weighted max-norm.
void build_block_matrix(const StepArgs& a);
void solve_block_matrix(const StepArgs& a, double* x);
double block_matrix_norm(const Record& s, const double* a, const double* w);
// EWT(i) = RTOL(i)*|YCUR(i)| + ATOL(i), scalar or vector tolerances as ITOL
// says (error_weights.cpp).
void DEWSET(int* n, int* itol, double* rtol, double* atol, double* ycur, double* ewt);
// DEWSET and invert_error_weights in one pass (the same result, the same
// return value), and on success *ynorm = DMNORM(n, YCUR, EWT)
// (error_weights.cpp).
int step_error_weights(int n, int itol, const double* rtol, const double* atol,
                       const double* ycur, double* ewt, double* ynorm);
// Norms of a full and of a band matrix induced by the weighted max-norm
// (jacobian.cpp).
double DFNORM(int* n, double* a, double* w);
double DBNORM(int* n, double* a, int* nra, int* ml, int* mu, double* w);
// The unit round-off 2^-52, computed (unit_roundoff.cpp).
double DUMACH();

// LINPACK factorisations and solves, and the vector kernels they use
// (linpack.cpp).
void DGEFA(double* a, int* lda, int* n, int* ipvt, int* info);
void DGESL(double* a, int* lda, int* n, int* ipvt, double* b, int* job);
// DGEFA(a, n, n, ipvt, &info), returning INFO, and DGESL(a, n, n, ipvt, b,
// 0), the solve of A x = b: the same operations, unrolled for N <= 8.
int factor_lu(double* a, int n, int* ipvt);
void solve_lu(double* a, int n, int* ipvt, double* b);
void DGBFA(double* abd, int* lda, int* n, int* ml, int* mu, int* ipvt, int* info);
void DGBSL(double* abd, int* lda, int* n, int* ml, int* mu, int* ipvt, double* b, int* job);
int IDAMAX(int* n, double* dx, int* incx);
void DSCAL(int* n, double* da, double* dx, int* incx);
void DAXPY(int* n, double* da, double* dx, int* incx, double* dy, int* incy);
double DDOT(int* n, double* dx, int* incx, double* dy, int* incy);

}  // namespace lsoda

#endif  // LSODA_RECORD_H
