// DLSODA: the driver of the integrator. Checks the input, lays out the
// caller's work arrays, chooses the first step, calls the step core DSTODA
// until TOUT is passed (or as ITASK asks), interpolates back to TOUT with
// DINTDY and reports through ISTATE and the optional outputs. Also the
// error weights (DEWSET), the weighted max-norm (DMNORM), the unit
// round-off (DUMACH) and the per-thread record.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "lsoda/lsoda.h"
#include "lsoda/messages.h"
#include "lsoda/record.h"

namespace lsoda {

Record& record() {
  thread_local Record r;
  return r;
}

void DEWSET(int* n, int* itol, double* rtol, double* atol, double* ycur, double* ewt) {
  const int nn = *n;
  switch (*itol) {
    case 1:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[0] * std::fabs(ycur[i]) + atol[0];
      break;
    case 2:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[0] * std::fabs(ycur[i]) + atol[i];
      break;
    case 3:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[i] * std::fabs(ycur[i]) + atol[0];
      break;
    default:
      for (int i = 0; i < nn; ++i) ewt[i] = rtol[i] * std::fabs(ycur[i]) + atol[i];
      break;
  }
}

double DUMACH() {
  volatile double u = 1.0;
  volatile double comp = 0.0;
  for (;;) {
    comp = 1.0 + u / 2.0;
    if (comp == 1.0) return u;
    u = u / 2.0;
  }
}

namespace {
// Cached without a lock or an initialisation guard, so a fork() while
// another thread computes it cannot leave the child waiting; threads that
// race compute the same value. 0 until known.
std::atomic<double> g_unit_roundoff{0.0};
}  // namespace

double unit_roundoff() {
  double u = g_unit_roundoff.load(std::memory_order_relaxed);
  if (u == 0.0) {
    u = DUMACH();
    g_unit_roundoff.store(u, std::memory_order_relaxed);
  }
  return u;
}

namespace {

// Optional outputs, stored on every return after the integration started.
void store_outputs(const Record& s, double* rwork, int* iwork) {
  rwork[10] = s.hu;
  rwork[11] = s.h;
  rwork[12] = s.tn;
  rwork[14] = s.tsw;
  iwork[10] = s.nst;
  iwork[11] = s.nfe;
  iwork[12] = s.nje;
  iwork[13] = s.nqu;
  iwork[14] = s.nq;
  iwork[18] = s.mused;
  iwork[19] = s.meth;
}

}  // namespace

void DLSODA(lsoda_rhs F, int* NEQ, double* Y, double* T, double* TOUT,
            int* ITOL, double* RTOL, double* ATOL, int* ITASK, int* ISTATE,
            int* IOPT, double* RWORK, int* LRW, int* IWORK, int* LIW,
            lsoda_jac JAC, int* JT) {
  Record& s = record();
  // RWORK(i) = rw(i), IWORK(i) = iw(i): the 1-based positions of the option list.
  double* const rw = RWORK - 1;
  int* const iw = IWORK - 1;
  const int itask = *ITASK;
  const int istate = *ISTATE;

  int ml = 0, mu = 0, iflag = 0, i = 0;
  int len1 = 0, len1c = 0, len1n = 0, len1s = 0, lenrw = 0, lenrwc = 0, leniw = 0,
      leniwc = 0, lenwm = 0, lf0 = 0;
  double h0 = 0, tcrit = 0, tdist = 0, w0 = 0, tol = 0, sum = 0, rh = 0, tp = 0,
         hmx = 0, tnext = 0, ewti = 0, rtoli = 0, atoli = 0, ayi = 0, big = 0,
         size = 0, tolsf = 0, hmax = 0;
  bool ihit = false;
  int kgo = 0, imxer = 0;
  int korder = 0;  // DINTDY is asked for the solution itself

  // Block A: ISTATE and ITASK; on a first call, the TOUT = T exit.
  if (istate < 1 || istate > 3) goto L601;
  if (itask < 1 || itask > 5) goto L602;
  if (istate == 1) goto L10;
  if (s.init == 0) goto L603;
  if (istate == 2) goto L200;
  goto L20;
L10:
  s.init = 0;
  if (*TOUT == *T) return;

L20:
  // Block B: the other inputs, on first calls and on ISTATE = 3.
  if (NEQ[0] <= 0) goto L604;
  if (istate == 1) goto L25;
  if (NEQ[0] > s.n) goto L605;
L25:
  s.n = NEQ[0];
  if (*ITOL < 1 || *ITOL > 4) goto L606;
  if (*IOPT < 0 || *IOPT > 1) goto L607;
  if (*JT == 3 || *JT < 1 || *JT > 5) goto L608;
  s.jtyp = *JT;
  if (*JT > 2) {
    ml = iw[1];
    mu = iw[2];
    if (ml < 0 || ml >= s.n) goto L609;
    if (mu < 0 || mu >= s.n) goto L610;
  }
  if (*IOPT == 1) goto L40;
  s.ixpr = 0;
  s.mxstep = kDefaultMxstep;
  s.mxhnil = kDefaultMxhnil;
  s.hmxi = 0.0;
  s.hmin = 0.0;
  if (istate != 1) goto L60;
  h0 = 0.0;
  s.mxordn = kMaxOrderAdams;
  s.mxords = kMaxOrderBdf;
  goto L60;
L40:
  s.ixpr = iw[5];
  if (s.ixpr < 0 || s.ixpr > 1) goto L611;
  s.mxstep = iw[6];
  if (s.mxstep < 0) goto L612;
  if (s.mxstep == 0) s.mxstep = kDefaultMxstep;
  s.mxhnil = iw[7];
  if (s.mxhnil < 0) goto L613;
  if (s.mxhnil == 0) s.mxhnil = kDefaultMxhnil;
  if (istate != 1) goto L50;
  h0 = rw[5];
  s.mxordn = iw[8];
  if (s.mxordn < 0) goto L628;
  if (s.mxordn == 0) s.mxordn = 100;
  s.mxordn = std::min(s.mxordn, kMaxOrderAdams);
  s.mxords = iw[9];
  if (s.mxords < 0) goto L629;
  if (s.mxords == 0) s.mxords = 100;
  s.mxords = std::min(s.mxords, kMaxOrderBdf);
  if ((*TOUT - *T) * h0 < 0.0) goto L614;
L50:
  hmax = rw[6];
  if (hmax < 0.0) goto L615;
  s.hmxi = 0.0;
  if (hmax > 0.0) s.hmxi = 1.0 / hmax;
  s.hmin = rw[7];
  if (s.hmin < 0.0) goto L616;

L60:
  // Block C: the work-space layout. YH (up to MXORDN+1 columns) from
  // RWORK(21); the BDF matrix area WM overlays the Adams-only columns; then
  // the error weights, SAVF and ACOR.
  if (istate == 1) {
    s.meth = 1;
    s.nyh = s.n;
  }
  s.lyh = 21;
  len1n = 20 + (s.mxordn + 1) * s.nyh;
  len1s = 20 + (s.mxords + 1) * s.nyh;
  s.lwm = len1s + 1;
  if (*JT <= 2) lenwm = s.n * s.n + 2;
  if (*JT >= 4) lenwm = (2 * ml + mu + 1) * s.n + 2;
  len1s = len1s + lenwm;
  len1c = len1n;
  if (s.meth == 2) len1c = len1s;
  len1 = std::max(len1n, len1s);
  lenrw = len1 + 3 * s.n;
  lenrwc = len1c + 3 * s.n;
  iw[17] = lenrw;
  s.liwm = 1;
  leniw = 20 + s.n;
  leniwc = 20;
  if (s.meth == 2) leniwc = leniw;
  iw[18] = leniw;
  if (*LRW < lenrwc) goto L617;
  if (*LIW < leniwc) goto L618;
  s.lewt = len1 + 1;
  s.insufr = 0;
  if (*LRW < lenrw) {
    s.insufr = 2;
    s.lewt = len1c + 1;
    MessageBlock block;
    driver_message(msg::kRworkWarn1);
    driver_message(msg::kWorkWarn2);
    driver_message(msg::kRworkWarn3, 2, lenrw, *LRW);
  }
  s.lsavf = s.lewt + s.n;
  s.lacor = s.lsavf + s.n;
  s.insufi = 0;
  if (*LIW < leniw) {
    s.insufi = 2;
    MessageBlock block;
    driver_message(msg::kIworkWarn1);
    driver_message(msg::kWorkWarn2);
    driver_message(msg::kIworkWarn3, 2, leniw, *LIW);
  }

  // Check RTOL and ATOL.
  rtoli = RTOL[0];
  atoli = ATOL[0];
  for (i = 1; i <= s.n; ++i) {
    if (*ITOL >= 3) rtoli = RTOL[i - 1];
    if (*ITOL == 2 || *ITOL == 4) atoli = ATOL[i - 1];
    if (rtoli < 0.0) goto L619;
    if (atoli < 0.0) goto L620;
  }
  if (istate == 1) goto L100;
  // ISTATE = 3: tell the core about changed inputs; if NEQ shrank, clear
  // the unused part of the history array.
  s.jstart = -1;
  if (s.n != s.nyh) {
    const int i1 = s.lyh + s.l * s.nyh;
    const int i2 = s.lyh + (s.maxord + 1) * s.nyh - 1;
    for (int k = i1; k <= i2; ++k) rw[k] = 0.0;
  }
  goto L200;

L100:
  // Block D: start of a problem.
  s.uround = unit_roundoff();
  s.tn = *T;
  s.tsw = *T;
  s.maxord = s.mxordn;
  if (itask == 4 || itask == 5) {
    tcrit = rw[1];
    if ((tcrit - *TOUT) * (*TOUT - *T) < 0.0) goto L625;
    if (h0 != 0.0 && (*T + h0 - tcrit) * h0 > 0.0) h0 = tcrit - *T;
  }
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
  s.msbp = kMsbp;
  s.mxncf = kMxncf;
  // The initial slope into YH column 2, y into column 1.
  lf0 = s.lyh + s.nyh;
  F(NEQ, T, Y, &rw[lf0]);
  s.nfe = 1;
  for (i = 1; i <= s.n; ++i) rw[i + s.lyh - 1] = Y[i - 1];
  s.nq = 1;
  s.h = 1.0;
  DEWSET(&s.n, ITOL, RTOL, ATOL, &rw[s.lyh], &rw[s.lewt]);
  for (i = 1; i <= s.n; ++i) {
    if (rw[i + s.lewt - 1] <= 0.0) goto L621;
    rw[i + s.lewt - 1] = 1.0 / rw[i + s.lewt - 1];
  }
  if (h0 != 0.0) goto L180;

  // The first step: h0 = 1/sqrt(1/(tol*w0^2) + tol*|f(t0,y0)|^2) in the
  // weighted norm, at most the distance to TOUT.
  tdist = std::fabs(*TOUT - *T);
  w0 = std::max(std::fabs(*T), std::fabs(*TOUT));
  if (tdist < 2.0 * s.uround * w0) goto L622;
  tol = RTOL[0];
  if (*ITOL > 2) {
    for (i = 1; i <= s.n; ++i) tol = std::max(tol, RTOL[i - 1]);
  }
  if (tol <= 0.0) {
    atoli = ATOL[0];
    for (i = 1; i <= s.n; ++i) {
      if (*ITOL == 2 || *ITOL == 4) atoli = ATOL[i - 1];
      ayi = std::fabs(Y[i - 1]);
      if (ayi != 0.0) tol = std::max(tol, atoli / ayi);
    }
  }
  tol = std::max(tol, 100.0 * s.uround);
  tol = std::min(tol, 0.001);
  sum = DMNORM(&s.n, &rw[lf0], &rw[s.lewt]);
  sum = 1.0 / (tol * w0 * w0) + tol * (sum * sum);
  h0 = 1.0 / std::sqrt(sum);
  h0 = std::min(h0, tdist);
  h0 = std::copysign(h0, *TOUT - *T);
L180:
  // Respect HMAX, and scale YH column 2 by h0.
  rh = std::fabs(h0) * s.hmxi;
  if (rh > 1.0) h0 = h0 / rh;
  s.h = h0;
  for (i = 1; i <= s.n; ++i) rw[i + lf0 - 1] = h0 * rw[i + lf0 - 1];
  goto L270;

L200:
  // Block E: continuation calls; first see whether TOUT is already passed.
  s.nslast = s.nst;
  switch (itask) {
    case 1:
      if ((s.tn - *TOUT) * s.h < 0.0) goto L250;
      DINTDY(TOUT, &korder, &rw[s.lyh], &s.nyh, Y, &iflag);
      if (iflag != 0) goto L627;
      *T = *TOUT;
      goto L420;
    case 2:
      goto L250;
    case 3:
      tp = s.tn - s.hu * (1.0 + 100.0 * s.uround);
      if ((tp - *TOUT) * s.h > 0.0) goto L623;
      if ((s.tn - *TOUT) * s.h < 0.0) goto L250;
      *T = s.tn;
      goto L400;
    case 4:
      tcrit = rw[1];
      if ((s.tn - tcrit) * s.h > 0.0) goto L624;
      if ((tcrit - *TOUT) * s.h < 0.0) goto L625;
      if ((s.tn - *TOUT) * s.h < 0.0) goto L245;
      DINTDY(TOUT, &korder, &rw[s.lyh], &s.nyh, Y, &iflag);
      if (iflag != 0) goto L627;
      *T = *TOUT;
      goto L420;
    default:
      tcrit = rw[1];
      if ((s.tn - tcrit) * s.h > 0.0) goto L624;
      goto L245;
  }
L245:
  hmx = std::fabs(s.tn) + std::fabs(s.h);
  ihit = std::fabs(s.tn - tcrit) <= 100.0 * s.uround * hmx;
  if (ihit) {
    *T = tcrit;
    goto L400;
  }
  tnext = s.tn + s.h * (1.0 + 4.0 * s.uround);
  if ((tnext - tcrit) * s.h <= 0.0) goto L250;
  s.h = (tcrit - s.tn) * (1.0 - 4.0 * s.uround);
  if (istate == 2 && s.jstart >= 0) s.jstart = -2;

L250:
  // Block F: the stepping loop. Before each step: a switch needs the work
  // space of the new method; the step budget; the error weights; the
  // accuracy that the machine can deliver; T + H = T.
  if (s.meth != s.mused) {
    if (s.insufr == 1) goto L550;
    if (s.insufi == 1) goto L555;
  }
  if (s.nst - s.nslast >= s.mxstep) goto L500;
  DEWSET(&s.n, ITOL, RTOL, ATOL, &rw[s.lyh], &rw[s.lewt]);
  for (i = 1; i <= s.n; ++i) {
    if (rw[i + s.lewt - 1] <= 0.0) goto L510;
    rw[i + s.lewt - 1] = 1.0 / rw[i + s.lewt - 1];
  }
L270:
  tolsf = s.uround * DMNORM(&s.n, &rw[s.lyh], &rw[s.lewt]);
  if (tolsf > 1.0) {
    tolsf = tolsf * 2.0;
    if (s.nst == 0) goto L626;
    goto L520;
  }
  if ((s.tn + s.h) == s.tn) {
    s.nhnil = s.nhnil + 1;
    if (s.nhnil <= s.mxhnil) {
      MessageBlock block;
      driver_message(msg::kTplusH1);
      driver_message(msg::kTplusH2);
      driver_message(msg::kTplusH3, 0, 0, 0, 2, s.tn, s.h);
      if (s.nhnil >= s.mxhnil) {
        driver_message(msg::kAboveWarning1, 1, s.mxhnil);
        driver_message(msg::kAboveWarning2);
      }
    }
  }

  DSTODA(NEQ, Y, &rw[s.lyh], &s.nyh, &rw[s.lyh], &rw[s.lewt], &rw[s.lsavf],
         &rw[s.lacor], &rw[s.lwm], &iw[s.liwm], F, JAC, DPRJA, DSOLSY);
  kgo = 1 - s.kflag;
  if (kgo == 2) goto L530;
  if (kgo == 3) goto L540;
  if (kgo != 1) goto L540;  // a failed matrix routine counts as a convergence failure

  // Block G: after a successful step. Record a switch that the core
  // decided; then return or go on as ITASK says.
  s.init = 1;
  if (s.meth != s.mused) {
    s.tsw = s.tn;
    s.maxord = s.mxordn;
    if (s.meth == 2) s.maxord = s.mxords;
    if (s.meth == 2) rw[s.lwm] = std::sqrt(s.uround);
    s.insufr = std::min(s.insufr, 1);
    s.insufi = std::min(s.insufi, 1);
    s.jstart = -1;
    if (s.ixpr != 0) {
      MessageBlock block;
      driver_message(s.meth == 2 ? msg::kSwitchToBdf : msg::kSwitchToAdams);
      driver_message(msg::kSwitchAt, 1, s.nst, 0, 2, s.tn, s.h);
    }
  }
  switch (itask) {
    case 1:
      if ((s.tn - *TOUT) * s.h < 0.0) goto L250;
      DINTDY(TOUT, &korder, &rw[s.lyh], &s.nyh, Y, &iflag);
      *T = *TOUT;
      goto L420;
    case 2:
      goto L400;
    case 3:
      if ((s.tn - *TOUT) * s.h >= 0.0) goto L400;
      goto L250;
    case 4:
      if ((s.tn - *TOUT) * s.h >= 0.0) {
        DINTDY(TOUT, &korder, &rw[s.lyh], &s.nyh, Y, &iflag);
        *T = *TOUT;
        goto L420;
      }
      hmx = std::fabs(s.tn) + std::fabs(s.h);
      ihit = std::fabs(s.tn - tcrit) <= 100.0 * s.uround * hmx;
      if (ihit) goto L400;
      tnext = s.tn + s.h * (1.0 + 4.0 * s.uround);
      if ((tnext - tcrit) * s.h <= 0.0) goto L250;
      s.h = (tcrit - s.tn) * (1.0 - 4.0 * s.uround);
      if (s.jstart >= 0) s.jstart = -2;
      goto L250;
    default:
      hmx = std::fabs(s.tn) + std::fabs(s.h);
      ihit = std::fabs(s.tn - tcrit) <= 100.0 * s.uround * hmx;
      goto L400;
  }

L400:
  // Return at the mesh point TN (ITASK 2, 3, 5, or TCRIT reached).
  for (i = 1; i <= s.n; ++i) Y[i - 1] = rw[i + s.lyh - 1];
  *T = s.tn;
  if ((itask == 4 || itask == 5) && ihit) *T = tcrit;
L420:
  *ISTATE = 2;
  store_outputs(s, RWORK, IWORK);
  return;

  // Block H: failures during the run. Y and T are set to the last mesh
  // point and the optional outputs are stored.
L500:
  {
    MessageBlock block;
    driver_message(msg::kMxstep1);
    driver_message(msg::kMxstep2, 1, s.mxstep, 0, 1, s.tn);
  }
  *ISTATE = -1;
  goto L580;
L510:
  ewti = rw[s.lewt + i - 1];
  driver_message(msg::kEwtBecameLe0, 1, i, 0, 2, s.tn, ewti);
  *ISTATE = -6;
  goto L580;
L520:
  rw[14] = tolsf;
  {
    MessageBlock block;
    driver_message(msg::kAccuracy1);
    driver_message(msg::kAccuracy2, 0, 0, 0, 2, s.tn, tolsf);
  }
  *ISTATE = -2;
  goto L580;
L530:
  {
    MessageBlock block;
    driver_message(msg::kErrorTest1);
    driver_message(msg::kErrorTest2, 0, 0, 0, 2, s.tn, s.h);
  }
  *ISTATE = -4;
  goto L560;
L540:
  {
    MessageBlock block;
    driver_message(msg::kConvergence1);
    driver_message(msg::kConvergence2);
    driver_message(msg::kConvergence3, 0, 0, 0, 2, s.tn, s.h);
  }
  *ISTATE = -5;
  goto L560;
L550:
  {
    MessageBlock block;
    driver_message(msg::kRworkTooSmall);
    driver_message(msg::kOtherwiseSuccessful, 0, 0, 0, 1, s.tn);
  }
  *ISTATE = -7;
  goto L580;
L555:
  {
    MessageBlock block;
    driver_message(msg::kIworkTooSmall);
    driver_message(msg::kOtherwiseSuccessful, 0, 0, 0, 1, s.tn);
  }
  *ISTATE = -7;
  goto L580;
L560:
  // The component with the largest weighted local error.
  big = 0.0;
  imxer = 1;
  for (i = 1; i <= s.n; ++i) {
    size = std::fabs(rw[i + s.lacor - 1] * rw[i + s.lewt - 1]);
    if (big >= size) continue;
    big = size;
    imxer = i;
  }
  iw[16] = imxer;
L580:
  for (i = 1; i <= s.n; ++i) Y[i - 1] = rw[i + s.lyh - 1];
  *T = s.tn;
  store_outputs(s, RWORK, IWORK);
  return;

  // Block I: illegal input. ISTATE = -3; Y and T are left as they came.
L601:
  driver_message(msg::kIstateIllegal, 1, istate);
  if (istate < 0) goto L800;
  goto L700;
L602:
  driver_message(msg::kItaskIllegal, 1, itask);
  goto L700;
L603:
  driver_message(msg::kNotInitialized);
  goto L700;
L604:
  driver_message(msg::kNeqLt1, 1, NEQ[0]);
  goto L700;
L605:
  driver_message(msg::kNeqIncreased, 2, s.n, NEQ[0]);
  goto L700;
L606:
  driver_message(msg::kItolIllegal, 1, *ITOL);
  goto L700;
L607:
  driver_message(msg::kIoptIllegal, 1, *IOPT);
  goto L700;
L608:
  driver_message(msg::kJtIllegal, 1, *JT);
  goto L700;
L609:
  driver_message(msg::kMlIllegal, 2, ml, NEQ[0]);
  goto L700;
L610:
  driver_message(msg::kMuIllegal, 2, mu, NEQ[0]);
  goto L700;
L611:
  driver_message(msg::kIxprIllegal, 1, s.ixpr);
  goto L700;
L612:
  driver_message(msg::kMxstepLt0, 1, s.mxstep);
  goto L700;
L613:
  driver_message(msg::kMxhnilLt0, 1, s.mxhnil);
  goto L700;
L614:
  {
    MessageBlock block;
    driver_message(msg::kToutBehindT, 0, 0, 0, 2, *TOUT, *T);
    driver_message(msg::kDirectionByH0, 0, 0, 0, 1, h0);
  }
  goto L700;
L615:
  driver_message(msg::kHmaxLt0, 0, 0, 0, 1, hmax);
  goto L700;
L616:
  driver_message(msg::kHminLt0, 0, 0, 0, 1, s.hmin);
  goto L700;
L617:
  driver_message(msg::kRworkNeeded, 2, lenrw, *LRW);
  goto L700;
L618:
  driver_message(msg::kIworkNeeded, 2, leniw, *LIW);
  goto L700;
L619:
  driver_message(msg::kRtolLt0, 1, i, 0, 1, rtoli);
  goto L700;
L620:
  driver_message(msg::kAtolLt0, 1, i, 0, 1, atoli);
  goto L700;
L621:
  ewti = rw[s.lewt + i - 1];
  driver_message(msg::kEwtLe0, 1, i, 0, 1, ewti);
  goto L700;
L622:
  driver_message(msg::kToutTooClose, 0, 0, 0, 2, *TOUT, *T);
  goto L700;
L623:
  driver_message(msg::kItask3Behind, 1, itask, 0, 2, *TOUT, tp);
  goto L700;
L624:
  driver_message(msg::kTcritBehindTcur, 0, 0, 0, 2, tcrit, s.tn);
  goto L700;
L625:
  driver_message(msg::kTcritBehindTout, 0, 0, 0, 2, tcrit, *TOUT);
  goto L700;
L626:
  rw[14] = tolsf;
  {
    MessageBlock block;
    driver_message(msg::kStartAccuracy1);
    driver_message(msg::kStartAccuracy2, 0, 0, 0, 1, tolsf);
  }
  goto L700;
L627:
  driver_message(msg::kTroubleIntdy, 1, itask, 0, 1, *TOUT);
  goto L700;
L628:
  driver_message(msg::kMxordnLt0, 1, s.mxordn);
  goto L700;
L629:
  driver_message(msg::kMxordsLt0, 1, s.mxords);
  goto L700;

L700:
  *ISTATE = -3;
  return;

L800:
  // A negative ISTATE on input: the caller ignored a failure. Fatal.
  message(msg::kRunAborted, msg::kDriverWidth, 2, 0, 0, 0, 0, 0.0, 0.0);
}

}  // namespace lsoda
