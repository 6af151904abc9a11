// Forward-mode dual numbers: a value with its derivative with respect to one
// parameter, carried through the formulas that turn the whole-beam model's
// inputs into the coefficients of its local problem, so that the
// coefficients' derivatives are exact (the local problem's sensitivities
// start from them). Only the operations those formulas use are defined.
// Relies only on the C++ standard library.
#ifndef ZSCAN_WHOLE_BEAM_DUAL_H
#define ZSCAN_WHOLE_BEAM_DUAL_H

namespace zscan {

struct Dual {
  double v = 0.0;  // the value
  double d = 0.0;  // its derivative
};

inline Dual operator+(Dual a, Dual b) { return {a.v + b.v, a.d + b.d}; }
inline Dual operator-(Dual a, Dual b) { return {a.v - b.v, a.d - b.d}; }
inline Dual operator-(Dual a) { return {-a.v, -a.d}; }
inline Dual operator*(Dual a, Dual b) { return {a.v * b.v, a.d * b.v + a.v * b.d}; }
inline Dual operator/(Dual a, Dual b) { return {a.v / b.v, (a.d * b.v - a.v * b.d) / (b.v * b.v)}; }
inline Dual operator*(double a, Dual b) { return {a * b.v, a * b.d}; }
inline Dual operator/(double a, Dual b) { return {a / b.v, -(a * b.d) / (b.v * b.v)}; }
inline Dual operator/(Dual a, double b) { return {a.v / b, a.d / b}; }

// The value of either kind of number.
inline double value_of(double x) { return x; }
inline double value_of(Dual x) { return x.v; }

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_DUAL_H
