// The iteration matrix of the stiff (BDF) corrector, P = I - h*l0*J, and
// the solves with it. DPRJA builds J (from the user's routine or by
// difference quotients of f), its weighted norm for the method-switching
// test, forms P and factors it; DSOLSY solves P x = b with the factors.
// Relies on the record for N, H, EL0, TN, UROUND, MITER and the counters.
#include <algorithm>
#include <cmath>

#include "lsoda/record.h"
#include "lsoda/step.h"

namespace lsoda {

// Norm of the full n-by-n matrix A induced by the weighted max-norm with
// inverted weights W: max_i (sum_j |A(i,j)|/W(j)) * W(i).
double DFNORM(int* n, double* a, double* w) {
  const int nn = *n;
  double an = 0.0;
  for (int i = 0; i < nn; ++i) {
    double sum = 0.0;
    for (int j = 0; j < nn; ++j) sum = sum + std::fabs(a[i + static_cast<long>(j) * nn]) / w[j];
    an = std::max(an, sum * w[i]);
  }
  return an;
}

// The same norm for a band matrix stored with leading dimension NRA, with
// A pointing at the row of the upper band's first entry: element (i,j) at
// A(i-j+MU+1, j).
double DBNORM(int* n, double* a, int* nra, int* ml, int* mu, double* w) {
  const int nn = *n, ld = *nra, lo = *ml, up = *mu;
  double an = 0.0;
  for (int i = 1; i <= nn; ++i) {
    double sum = 0.0;
    const int i1 = i + up + 1;
    const int jlo = std::max(i - lo, 1);
    const int jhi = std::min(i + up, nn);
    for (int j = jlo; j <= jhi; ++j)
      sum = sum + std::fabs(a[(i1 - j - 1) + static_cast<long>(j - 1) * ld]) / w[j - 1];
    an = std::max(an, sum * w[i - 1]);
  }
  return an;
}

namespace {

// MITER 1 and 2: the full matrix in WM(3...), column-major with leading
// dimension N, from the user's Jacobian or from difference quotients (one
// column per call of f); its norm; P = I - h*l0*J factored with DGEFA.
void build_full_matrix(Record& s, const StepArgs& a) {
  int* const neq = a.neq;
  double* const y = a.y;
  double* const ewt = a.ewt;
  double* const ftem = a.acor;  // scratch
  double* const savf = a.savf;
  double* const wm = a.wm;
  const int n = s.n;
  const double hl0 = s.h * s.el0;
  double tn = s.tn;
  int ier = 0;
  const int lenp = n * n;
  if (s.miter == 1) {
    // The user's full Jacobian, times -h*l0.
    for (int i = 0; i < lenp; ++i) wm[i + 2] = 0.0;
    int zero = 0, nrow = n;
    a.jac(neq, &tn, y, &zero, &zero, wm + 2, &nrow);
    const double con = -hl0;
    for (int i = 0; i < lenp; ++i) wm[i + 2] = wm[i + 2] * con;
  } else {
    // Difference quotients, one column per call of f.
    double fac = DMNORM(&s.n, savf, ewt);
    double r0 = 1000.0 * std::fabs(s.h) * s.uround * n * fac;
    if (r0 == 0.0) r0 = 1.0;
    const double srur = wm[0];
    int j1 = 2;
    for (int j = 0; j < n; ++j) {
      const double yj = y[j];
      const double r = std::max(srur * std::fabs(yj), r0 / ewt[j]);
      y[j] = y[j] + r;
      fac = -hl0 / r;
      tn = s.tn;
      a.f(neq, &tn, y, ftem);
      for (int i = 0; i < n; ++i) wm[i + j1] = (ftem[i] - savf[i]) * fac;
      y[j] = yj;
      j1 = j1 + n;
    }
    s.nfe = s.nfe + n;
  }
  s.pdnorm = DFNORM(&s.n, wm + 2, ewt) / std::fabs(hl0);
  // P = I - h*l0*J.
  for (int i = 0, j = 2; i < n; ++i, j += n + 1) wm[j] = wm[j] + 1.0;
  ier = factor_lu(wm + 2, n, a.iwm + 20);
  if (ier != 0) s.ierpj = 1;
}

// MITER 4 and 5: the band matrix in LINPACK band form with leading
// dimension MEBAND = 2*ML + MU + 1, from the user's Jacobian or from
// difference quotients (perturbing the columns j, j+MBAND, ... together);
// its norm; P factored with DGBFA.
void build_band_matrix(Record& s, const StepArgs& a) {
  int* const neq = a.neq;
  double* const y = a.y;
  double* const ewt = a.ewt;
  double* const ftem = a.acor;  // scratch
  double* const savf = a.savf;
  double* const wm = a.wm;
  const int n = s.n;
  const double hl0 = s.h * s.el0;
  double tn = s.tn;
  int ier = 0;
  int ml = a.iwm[0], mu = a.iwm[1];
  const int ml3 = ml + 3;
  const int mband = ml + mu + 1;
  int meband = mband + ml;
  const int lenp = meband * n;
  if (s.miter == 4) {
    for (int i = 0; i < lenp; ++i) wm[i + 2] = 0.0;
    a.jac(neq, &tn, y, &ml, &mu, wm + (ml3 - 1), &meband);
    const double con = -hl0;
    for (int i = 0; i < lenp; ++i) wm[i + 2] = wm[i + 2] * con;
  } else {
    const int mba = std::min(mband, n);
    const int meb1 = meband - 1;
    const double srur = wm[0];
    const double fac0 = DMNORM(&s.n, savf, ewt);
    double r0 = 1000.0 * std::fabs(s.h) * s.uround * n * fac0;
    if (r0 == 0.0) r0 = 1.0;
    for (int j = 1; j <= mba; ++j) {
      for (int i = j; i <= n; i += mband) {
        const double yi = y[i - 1];
        const double r = std::max(srur * std::fabs(yi), r0 / ewt[i - 1]);
        y[i - 1] = y[i - 1] + r;
      }
      tn = s.tn;
      a.f(neq, &tn, y, ftem);
      for (int jj = j; jj <= n; jj += mband) {
        y[jj - 1] = a.yh[jj - 1];  // YH column 1 holds the unperturbed y
        const double yjj = y[jj - 1];
        const double r = std::max(srur * std::fabs(yjj), r0 / ewt[jj - 1]);
        const double fac = -hl0 / r;
        const int i1 = std::max(jj - mu, 1);
        const int i2 = std::min(jj + ml, n);
        const int ii = jj * meb1 - ml + 2;
        for (int i = i1; i <= i2; ++i) wm[ii + i - 1] = (ftem[i - 1] - savf[i - 1]) * fac;
      }
    }
    s.nfe = s.nfe + mba;
  }
  s.pdnorm = DBNORM(&s.n, wm + (ml3 - 1), &meband, &ml, &mu, ewt) / std::fabs(hl0);
  for (int i = 0, ii = mband + 1; i < n; ++i, ii += meband) wm[ii] = wm[ii] + 1.0;
  int nn = n;
  DGBFA(wm + 2, &meband, &nn, &ml, &mu, a.iwm + 20, &ier);
  if (ier != 0) s.ierpj = 1;
}

}  // namespace

void DPRJA(const StepArgs& a) {
  Record& s = *a.rec;
  s.nje = s.nje + 1;
  s.ierpj = 0;
  s.jcur = 1;
  if (s.miter == 1 || s.miter == 2)
    build_full_matrix(s, a);
  else
    build_band_matrix(s, a);
}

void DSOLSY(const StepArgs& a, double* x) {
  Record& s = *a.rec;
  s.iersl = 0;
  int n = s.n, job = 0;
  if (s.miter == 1 || s.miter == 2) {
    solve_lu(a.wm + 2, n, a.iwm + 20, x);
    return;
  }
  int ml = a.iwm[0], mu = a.iwm[1];
  int meband = 2 * ml + mu + 1;
  DGBSL(a.wm + 2, &meband, &n, &ml, &mu, a.iwm + 20, x, &job);
}

}  // namespace lsoda
