// Every message text of the integrator, in one table, and the helpers that
// print them through XERRWD. Texts are blank-padded to their declared
// length when printed: 60 characters for the driver, 80 for DINTDY.
#ifndef LSODA_MESSAGES_H
#define LSODA_MESSAGES_H

namespace lsoda {
namespace msg {

constexpr int kDriverWidth = 60;
constexpr int kIntdyWidth = 80;

// Input errors of the driver (ISTATE = -3).
constexpr const char* kIstateIllegal = "DLSODA-  ISTATE (=I1) illegal.";
constexpr const char* kItaskIllegal = "DLSODA-  ITASK (=I1) illegal. ";
constexpr const char* kNotInitialized = "DLSODA-  ISTATE .gt. 1 but DLSODA not initialized.";
constexpr const char* kNeqLt1 = "DLSODA-  NEQ (=I1) .lt. 1     ";
constexpr const char* kNeqIncreased = "DLSODA-  ISTATE = 3 and NEQ increased (I1 to I2). ";
constexpr const char* kItolIllegal = "DLSODA-  ITOL (=I1) illegal.  ";
constexpr const char* kIoptIllegal = "DLSODA-  IOPT (=I1) illegal.  ";
constexpr const char* kJtIllegal = "DLSODA-  JT (=I1) illegal.    ";
constexpr const char* kMlIllegal = "DLSODA-  ML (=I1) illegal: .lt.0 or .ge.NEQ (=I2) ";
constexpr const char* kMuIllegal = "DLSODA-  MU (=I1) illegal: .lt.0 or .ge.NEQ (=I2) ";
constexpr const char* kIxprIllegal = "DLSODA-  IXPR (=I1) illegal.  ";
constexpr const char* kMxstepLt0 = "DLSODA-  MXSTEP (=I1) .lt. 0  ";
constexpr const char* kMxhnilLt0 = "DLSODA-  MXHNIL (=I1) .lt. 0  ";
constexpr const char* kMxordnLt0 = "DLSODA-  MXORDN (=I1) .lt. 0  ";
constexpr const char* kMxordsLt0 = "DLSODA-  MXORDS (=I1) .lt. 0  ";
constexpr const char* kToutBehindT = "DLSODA-  TOUT (=R1) behind T (=R2)      ";
constexpr const char* kDirectionByH0 = "      Integration direction is given by H0 (=R1)  ";
constexpr const char* kHmaxLt0 = "DLSODA-  HMAX (=R1) .lt. 0.0  ";
constexpr const char* kHminLt0 = "DLSODA-  HMIN (=R1) .lt. 0.0  ";
constexpr const char* kRworkNeeded = "DLSODA-  RWORK length needed, LENRW (=I1), exceeds LRW (=I2)";
constexpr const char* kIworkNeeded = "DLSODA-  IWORK length needed, LENIW (=I1), exceeds LIW (=I2)";
constexpr const char* kRtolLt0 = "DLSODA-  RTOL(I1) is R1 .lt. 0.0        ";
constexpr const char* kAtolLt0 = "DLSODA-  ATOL(I1) is R1 .lt. 0.0        ";
constexpr const char* kEwtLe0 = "DLSODA-  EWT(I1) is R1 .le. 0.0         ";
constexpr const char* kToutTooClose = "DLSODA-  TOUT(=R1) too close to T(=R2) to start integration.";
constexpr const char* kItask3Behind = "DLSODA-  ITASK = I1 and TOUT (=R1) behind TCUR - HU (= R2)  ";
constexpr const char* kTcritBehindTcur = "DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TCUR (=R2)   ";
constexpr const char* kTcritBehindTout = "DLSODA-  ITASK = 4 or 5 and TCRIT (=R1) behind TOUT (=R2)   ";
constexpr const char* kStartAccuracy1 = "DLSODA-  At start of problem, too much accuracy   ";
constexpr const char* kStartAccuracy2 = "      requested for precision of machine..  See TOLSF (=R1) ";
constexpr const char* kTroubleIntdy = "DLSODA-  Trouble in DINTDY.  ITASK = I1, TOUT = R1";
constexpr const char* kRunAborted = "DLSODA-  Run aborted.. apparent infinite loop.    ";
// Input errors of DLSODA_BLOCKS (ISTATE = -3).
constexpr const char* kOtherEntry = "DLSODA-  ISTATE = 2 for a problem begun by the other entry";
constexpr const char* kBlockJacNull = "DLSODA-  JT = 1 and the block Jacobian JAC is null";
constexpr const char* kLayoutNull = "DLSODA-  The block layout LAYOUT is null";
constexpr const char* kBlockSizeLt1 = "DLSODA-  Block size (=I1) .lt. 1";
constexpr const char* kBlocksLt0 = "DLSODA-  Blocks per group (=I1) .lt. 0";
constexpr const char* kSinglesLt0 = "DLSODA-  Singles per group (=I1) .lt. 0";
constexpr const char* kGroupsLt1 = "DLSODA-  Groups (=I1) .lt. 1";
constexpr const char* kSwitchHoldLt0 = "DLSODA-  First switch hold (=I1) .lt. 0";
constexpr const char* kMatrixAgeLt1 = "DLSODA-  Matrix age (=I1) .lt. 1";
constexpr const char* kLayoutNeq = "DLSODA-  Block layout has I1 unknowns, NEQ (=I2)";

// Failures during the run.
constexpr const char* kMxstep1 = "DLSODA-  At current T (=R1), MXSTEP (=I1) steps   ";
constexpr const char* kMxstep2 = "      taken on this call before reaching TOUT     ";
constexpr const char* kAccuracy1 = "DLSODA-  At T (=R1), too much accuracy requested  ";
constexpr const char* kAccuracy2 = "      for precision of machine..  See TOLSF (=R2) ";
constexpr const char* kErrorTest1 = "DLSODA-  At T(=R1) and step size H(=R2), the error";
constexpr const char* kErrorTest2 = "      test failed repeatedly or with ABS(H) = HMIN";
constexpr const char* kConvergence1 = "DLSODA-  At T (=R1) and step size H (=R2), the    ";
constexpr const char* kConvergence2 = "      corrector convergence failed repeatedly     ";
constexpr const char* kConvergence3 = "      or with ABS(H) = HMIN   ";
constexpr const char* kEwtBecameLe0 = "DLSODA-  At T (=R1), EWT(I1) has become R2 .le. 0.";
constexpr const char* kRworkTooSmall = "DLSODA-  At current T(=R1), RWORK length too small";
constexpr const char* kIworkTooSmall = "DLSODA-  At current T(=R1), IWORK length too small";
constexpr const char* kOtherwiseSuccessful = "      to proceed.  The integration was otherwise successful.";

// Warnings; the run goes on.
constexpr const char* kRworkWarn1 = "DLSODA-  Warning.. RWORK length is sufficient for now, but  ";
constexpr const char* kIworkWarn1 = "DLSODA-  Warning.. IWORK length is sufficient for now, but  ";
constexpr const char* kWorkWarn2 = "      may not be later.  Integration will proceed anyway.   ";
constexpr const char* kRworkWarn3 = "      Length needed is LENRW = I1, while LRW = I2.";
constexpr const char* kIworkWarn3 = "      Length needed is LENIW = I1, while LIW = I2.";
constexpr const char* kTplusH1 = "DLSODA-  Warning..Internal T (=R1) and H (=R2) are";
constexpr const char* kTplusH2 = "      such that in the machine, T + H = T on the next step  ";
constexpr const char* kTplusH3 = "     (H = step size). Solver will continue anyway.";
constexpr const char* kAboveWarning1 = "DLSODA-  Above warning has been issued I1 times.  ";
constexpr const char* kAboveWarning2 = "     It will not be issued again for this problem.";

// Method switches (printed when IXPR = 1).
constexpr const char* kSwitchToBdf = "DLSODA-  A switch to the BDF (stiff) method occurred";
constexpr const char* kSwitchToAdams = "DLSODA-  A switch to the Adams (nonstiff) method occurred";
constexpr const char* kSwitchAt = "     at T = R1,  tentative step size H = R2,  step NST = I1 ";

// Interpolation.
constexpr const char* kIntdyK = "DINTDY-  K (=I1) illegal      ";
constexpr const char* kIntdyT = "DINTDY-  T (=R1) illegal      ";
constexpr const char* kIntdyInterval = "      T not in interval TCUR - HU (= R1) to TCUR (=R2)      ";

}  // namespace msg

// Prints one message line of the driver (width 60) or of DINTDY (width 80)
// through XERRWD, with up to two integers and two reals beneath it.
void message(const char* text, int width, int level, int ni, int i1, int i2,
             int nr, double r1, double r2);
inline void driver_message(const char* text, int ni = 0, int i1 = 0, int i2 = 0,
                           int nr = 0, double r1 = 0.0, double r2 = 0.0) {
  message(text, msg::kDriverWidth, 0, ni, i1, i2, nr, r1, r2);
}

// Holds the process-wide output lock, so that the lines of a message of
// several lines reach the output together, never interleaved with another
// thread's. XERRWD takes the same (recursive) lock for each line. A thread
// with a message sink holds nothing: its messages are not written.
class MessageBlock {
 public:
  MessageBlock();
  ~MessageBlock();
  MessageBlock(const MessageBlock&) = delete;
  MessageBlock& operator=(const MessageBlock&) = delete;

 private:
  bool held_;
};

// The fixed-format fields of the message lines: Fortran I10 and D21.13.
void format_i10(int value, char out[11]);
void format_d21_13(double value, char out[22]);

}  // namespace lsoda

#endif  // LSODA_MESSAGES_H
