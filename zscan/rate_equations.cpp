// Right-hand sides of the five-level rate equations and of the beam's
// attenuation, and one fresh integration of either over one step. Relies on
// the LSODA integrator and on this thread's model coefficients.
#include "zscan/rate_equations.h"

#include "lsoda/lsoda.h"
#include "zscan/model_state.h"

namespace zscan {

void rate_equations(int* /*neq*/, double* /*t*/, double* y, double* ydot) {
  const ModelCoefficients& c = model_coefficients();
  const double phi = c.photons_per_joule * y[5];  // photon flux
  const double n0 = y[0], n1 = y[1], n2 = y[2], n3 = y[3], n4 = y[4];

  const double a0 = c.sigma_0 * n0 * phi;  // absorption 0 -> 1
  const double a1 = c.sigma_1 * phi * n1;  // absorption 1 -> 2
  const double a2 = phi * c.sigma_2 * n3;  // absorption 3 -> 4
  const double d10 = c.k_10 * n1;          // decay 1 -> 0
  const double d13 = c.k_13 * n1;          // transfer 1 -> 3
  const double d21 = c.k_21 * n2;          // decay 2 -> 1
  const double d30 = c.k_30 * n3;          // decay 3 -> 0
  const double d43 = c.k_43 * n4;          // decay 4 -> 3

  ydot[0] = (d10 - a0) + d30;
  ydot[1] = (a0 + d21) - ((d10 + d13) + a1);
  ydot[2] = a1 - d21;
  ydot[3] = (d13 - (d30 + a2)) + d43;
  ydot[4] = a2 - d43;
}

void attenuation_rhs(int* /*neq*/, double* /*z*/, double* y, double* ydot) {
  const ModelCoefficients& c = model_coefficients();
  const double intensity = y[0];
  const double n0 = y[1], n1 = y[2], n3 = y[4];
  // Levels 2 and 4 are transparent.
  ydot[0] = -intensity * ((n3 * c.sigma_2) + ((n1 * c.sigma_1) + (n0 * c.sigma_0)));
}

void no_jacobian(int* /*neq*/, double* /*t*/, double* /*y*/, int* /*ml*/,
                 int* /*mu*/, double* /*pd*/, int* /*nrowpd*/) {}

namespace {

// One fresh integration of the first neq entries of y from 0 to end.
void integrate_step(lsoda::lsoda_rhs rhs, int neq, const double* state, double end,
                    IntegratorWork& work, double* y) {
  for (int k = 0; k < kStateLength; ++k) y[k] = state[k];
  double t = 0.0;
  double tout = end;
  int itol = 1;
  double tolerance = kIntegratorTolerance;  // relative and absolute
  int itask = 1;   // solution at tout
  int istate = 1;  // every step is a new problem
  int iopt = 0;    // no optional inputs
  int lrw = kRworkLength;
  int liw = kIworkLength;
  int jt = 2;      // full Jacobian generated internally
  lsoda::DLSODA(rhs, &neq, y, &t, &tout, &itol, &tolerance, &tolerance, &itask,
                &istate, &iopt, work.rwork, &lrw, work.iwork, &liw, no_jacobian, &jt);
}

}  // namespace

void integrate_rates(const double* state, double duration, IntegratorWork& work, double* y) {
  integrate_step(rate_equations, kLevels, state, duration, work, y);
}

void integrate_attenuation(const double* state, double thickness, IntegratorWork& work,
                           double* y) {
  integrate_step(attenuation_rhs, 1, state, thickness, work, y);
}

}  // namespace zscan
