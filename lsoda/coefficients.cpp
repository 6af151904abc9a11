// DCFODE: corrector and error-test coefficients of the Adams (orders 1-12)
// and BDF (orders 1-5) method families, from the polynomials that define
// them. ELCO(i,q) are the l vectors, TESCO(k,q) the error constants of
// orders q-1, q and q+1 seen from order q. They depend on nothing but the
// family, so method_families() computes both once per process and keeps
// them without a lock or an initialisation guard: a fork() while another
// thread computes them cannot leave the child waiting.
#include <atomic>

#include "lsoda/record.h"

namespace lsoda {

void DCFODE(int* meth, double elco[12][13], double tesco[12][3]) {
  double pc[12];
  if (*meth == 1) {
    // Adams: p(x) = prod_{i=1}^{q-1} (x + i); l0 = integral of p over [-1,0]
    // scaled by 1/(q-1)!, and the error constant from the integral of x p(x).
    elco[0][0] = 1.0;
    elco[0][1] = 1.0;
    tesco[0][0] = 0.0;
    tesco[0][1] = 2.0;
    tesco[1][0] = 1.0;
    tesco[11][2] = 0.0;
    pc[0] = 1.0;
    double rqfac = 1.0;
    for (int nq = 2; nq <= 12; ++nq) {
      const double rq1fac = rqfac;
      rqfac = rqfac / nq;
      const int nqm1 = nq - 1;
      const double fnqm1 = nqm1;
      const int nqp1 = nq + 1;
      // p(x) *= (x + nq - 1); pc[i-1] is the coefficient of x^(i-1).
      pc[nq - 1] = 0.0;
      for (int ib = 1; ib <= nqm1; ++ib) {
        const int i = nqp1 - ib;
        pc[i - 1] = pc[i - 2] + fnqm1 * pc[i - 1];
      }
      pc[0] = fnqm1 * pc[0];
      // Integrals over [-1, 0] of p(x) and (with the sign that makes the
      // error constants positive) of x p(x), term by term.
      double pint = pc[0];
      double xpin = pc[0] / 2.0;
      double tsign = 1.0;
      for (int i = 2; i <= nq; ++i) {
        tsign = -tsign;
        pint = pint + tsign * pc[i - 1] / i;
        xpin = xpin + tsign * pc[i - 1] / (i + 1);
      }
      elco[nq - 1][0] = pint * rq1fac;
      elco[nq - 1][1] = 1.0;
      for (int i = 2; i <= nq; ++i) elco[nq - 1][i] = rq1fac * pc[i - 1] / i;
      const double agamq = rqfac * xpin;
      const double ragq = 1.0 / agamq;
      tesco[nq - 1][1] = ragq;
      if (nq < 12) tesco[nqp1 - 1][0] = ragq * rqfac / nqp1;
      tesco[nqm1 - 1][2] = ragq;
    }
    return;
  }

  // BDF: p(x) = prod_{i=1}^{q} (x + i); the l vector is p's coefficients
  // normalised so that l1 = 1.
  pc[0] = 1.0;
  double rq1fac = 1.0;
  for (int nq = 1; nq <= 5; ++nq) {
    const double fnq = nq;
    const int nqp1 = nq + 1;
    pc[nqp1 - 1] = 0.0;
    for (int ib = 1; ib <= nq; ++ib) {
      const int i = nq + 2 - ib;
      pc[i - 1] = pc[i - 2] + fnq * pc[i - 1];
    }
    pc[0] = fnq * pc[0];
    for (int i = 1; i <= nqp1; ++i) elco[nq - 1][i - 1] = pc[i - 1] / pc[1];
    elco[nq - 1][1] = 1.0;
    tesco[nq - 1][0] = rq1fac;
    tesco[nq - 1][1] = nqp1 / elco[nq - 1][0];
    tesco[nq - 1][2] = (nq + 2) / elco[nq - 1][0];
    rq1fac = rq1fac / fnq;
  }
}

namespace {

MethodFamilies compute_method_families() {
  MethodFamilies f;
  int meth = 2;
  DCFODE(&meth, f.bdf.elco, f.bdf.tesco);
  for (int i = 0; i < 5; ++i) f.cm2[i] = f.bdf.tesco[i][1] * f.bdf.elco[i][i + 1];
  meth = 1;
  DCFODE(&meth, f.adams.elco, f.adams.tesco);
  for (int i = 0; i < 12; ++i) f.cm1[i] = f.adams.tesco[i][1] * f.adams.elco[i][i + 1];
  return f;
}

std::atomic<const MethodFamilies*> g_method_families{nullptr};  // never freed

}  // namespace

const MethodFamilies& method_families() {
  const MethodFamilies* families = g_method_families.load(std::memory_order_acquire);
  if (families != nullptr) return *families;
  // Threads that race here compute the same tables; the first to publish wins.
  const MethodFamilies* mine = new MethodFamilies(compute_method_families());
  if (g_method_families.compare_exchange_strong(families, mine, std::memory_order_acq_rel)) {
    return *mine;
  }
  delete mine;
  return *families;
}

}  // namespace lsoda
