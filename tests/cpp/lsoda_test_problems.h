// Small problems and a call wrapper shared by the integrator's tests.
#ifndef KESP_TESTS_LSODA_TEST_PROBLEMS_H
#define KESP_TESTS_LSODA_TEST_PROBLEMS_H

#include <cmath>
#include <vector>

#include "lsoda/lsoda.h"

namespace lsoda_test {

inline void decay(int*, double*, double* y, double* ydot) { ydot[0] = -y[0]; }

inline void oscillator(int*, double*, double* y, double* ydot) {
  ydot[0] = y[1];
  ydot[1] = -y[0];
}

inline void robertson(int*, double*, double* y, double* ydot) {
  ydot[0] = -0.04 * y[0] + 1e4 * y[1] * y[2];
  ydot[1] = 0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] * y[1];
  ydot[2] = 3e7 * y[1] * y[1];
}

// Robertson's Jacobian, full column-major (JT = 1) ...
inline void robertson_jac_full(int*, double*, double* y, int*, int*, double* pd, int* nrowpd) {
  const int ld = *nrowpd;
  pd[0 + 0 * ld] = -0.04;
  pd[1 + 0 * ld] = 0.04;
  pd[2 + 0 * ld] = 0.0;
  pd[0 + 1 * ld] = 1e4 * y[2];
  pd[1 + 1 * ld] = -1e4 * y[2] - 6e7 * y[1];
  pd[2 + 1 * ld] = 6e7 * y[1];
  pd[0 + 2 * ld] = 1e4 * y[1];
  pd[1 + 2 * ld] = -1e4 * y[1];
  pd[2 + 2 * ld] = 0.0;
}

// ... and in band form with ML = MU = 2 (JT = 4): (i,j) at pd(i-j+MU+1, j).
inline void robertson_jac_band(int* neq, double* t, double* y, int* ml, int* mu, double* pd,
                               int* nrowpd) {
  double full[9];
  int three = 3;
  robertson_jac_full(neq, t, y, ml, mu, full, &three);
  const int ld = *nrowpd;
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) pd[(i - j + *mu) + j * ld] = full[i + 3 * j];
}

inline void no_jac(int*, double*, double*, int*, int*, double*, int*) {}

// One integrator problem with its work arrays and settings.
struct Integration {
  lsoda::lsoda_rhs f;
  std::vector<double> y;
  int neq;
  double t = 0.0, tout = 1.0;
  int itol = 1, itask = 1, istate = 1, iopt = 0, jt = 2;
  std::vector<double> rtol{1e-6}, atol{1e-6};
  std::vector<double> rwork;
  std::vector<int> iwork;
  int lrw, liw;
  lsoda::lsoda_jac jac = no_jac;

  Integration(lsoda::lsoda_rhs f_, std::vector<double> y0)
      : f(f_), y(std::move(y0)), neq(static_cast<int>(y.size())) {
    rwork.assign(22 + neq * 16 + neq * neq + 3 * neq, 0.0);
    iwork.assign(20 + neq, 0);
    lrw = static_cast<int>(rwork.size());
    liw = static_cast<int>(iwork.size());
  }
  void call() {
    lsoda::DLSODA(f, &neq, y.data(), &t, &tout, &itol, rtol.data(), atol.data(), &itask,
                  &istate, &iopt, rwork.data(), &lrw, iwork.data(), &liw, jac, &jt);
  }
  int nst() const { return iwork[10]; }
  int nfe() const { return iwork[11]; }
  int nje() const { return iwork[12]; }
  int mused() const { return iwork[18]; }
  double tcur() const { return rwork[12]; }
  double tsw() const { return rwork[14]; }
};

}  // namespace lsoda_test

#endif  // KESP_TESTS_LSODA_TEST_PROBLEMS_H
