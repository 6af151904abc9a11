// The two processes the model advances in alternation: the populations of
// the absorber's five levels under light of fixed intensity (five equations
// in time) and the loss of intensity across one slab of fixed populations
// (one equation in depth), with the integrator settings both steps use.
#ifndef ZSCAN_RATE_EQUATIONS_H
#define ZSCAN_RATE_EQUATIONS_H

namespace zscan {

// Integrator settings shared by both steps: scalar tolerances, one stored
// value serving as both the relative and the absolute tolerance.
constexpr double kIntegratorTolerance = 1e-6;
// Work arrays large enough for five equations and both methods (100 reals and
// 25 integers needed).
constexpr int kRworkLength = 102;
constexpr int kIworkLength = 25;
// Entries of the state vector of either step: the integrated values come
// first, the fixed parameters the right-hand side reads after them.
constexpr int kStateLength = 6;

// Rate step, NEQ = 5: y = (N0, N1, N2, N3, N4, I) with I the intensity at the
// slab's front face, held fixed. Writes dN/dt into ydot[0..4] from this
// thread's model coefficients; the five derivatives sum to zero.
void rate_equations(int* neq, double* t, double* y, double* ydot);

// Attenuation step, NEQ = 1: y = (I, N0, N1, N2, N3, N4) with the populations
// held fixed. Writes dI/dz = -I (sigma_2 N3 + sigma_1 N1 + sigma_0 N0).
void attenuation_rhs(int* neq, double* z, double* y, double* ydot);

// Jacobian routine the integrator requires; with the internally generated
// Jacobian it is never called.
void no_jacobian(int* neq, double* t, double* y, int* ml, int* mu, double* pd,
                 int* nrowpd);

// The integrator's work arrays; one pair serves every step of a model call.
struct IntegratorWork {
  double rwork[kRworkLength];
  int iwork[kIworkLength];  // iwork[10] ends as the number of steps taken
};

// Copy the six entries of state into y and integrate the rate step over
// `duration` seconds, from 0, as a fresh problem; y[0..4] end as the
// populations at its end, y[5] is unchanged. The integrator's outcome is not
// examined: on a failed step y holds the solution at the last point it
// reached.
void integrate_rates(const double* state, double duration, IntegratorWork& work, double* y);

// The same for the attenuation step across `thickness` cm: y[0] ends as the
// intensity behind the slab, y[1..5] are unchanged.
void integrate_attenuation(const double* state, double thickness, IntegratorWork& work,
                           double* y);

}  // namespace zscan

#endif  // ZSCAN_RATE_EQUATIONS_H
