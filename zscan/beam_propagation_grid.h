// The radial grid of the beam-propagation model: the quasi-discrete Hankel
// transform, a Fourier-Bessel series on [0, R] sampled at the zeros of J0
// (r_n = j_n R / j_(N+1)), whose symmetric matrix is made exactly orthogonal
// so that free diffraction of a band-limited field is exact and keeps its
// energy to rounding. Fields are held weighted, u_n = sqrt(w_n) U(r_n) with
// w_n the weights of int . 2 pi r dr, so that the energy is sum |u_n|^2 and
// the transform maps u to the scaled angular spectrum. Relies on C++17's
// cylindrical Bessel functions.
#ifndef ZSCAN_BEAM_PROPAGATION_GRID_H
#define ZSCAN_BEAM_PROPAGATION_GRID_H

#include <vector>

namespace zscan {

// The part of the transform that does not depend on the radius.
struct HankelTransform {
  int n = 0;
  std::vector<double> zeros;   // [n] j_1 .. j_n, the first zeros of J0
  double edge = 0.0;           // j_(n+1)
  std::vector<double> j1_abs;  // [n] |J1(j_m)|
  // [n * n] row-major: 2 J0(j_m j_k / edge) / (|J1(j_m)| |J1(j_k)| edge),
  // replaced by its orthogonal polar factor (Newton-Schulz steps), so that
  // T T = 1 to rounding.
  std::vector<double> matrix;
};

// The first n zeros of J0 (McMahon's expansion refined by Newton's method).
std::vector<double> bessel_zeros(int n);

// The transform of n nodes. Throws std::bad_alloc when it cannot be stored.
HankelTransform hankel_transform(int n);

// The transform placed on [0, radius] (cm).
struct RadialGrid {
  const HankelTransform* transform = nullptr;
  double radius = 0.0;               // cm
  std::vector<double> r;             // [n] nodes, cm
  std::vector<double> root_weight;   // [n] sqrt(w_n), cm
  std::vector<double> kappa;         // [n] radial wavenumbers j_m / radius, cm^-1
  int size() const { return transform->n; }
};
RadialGrid radial_grid(const HankelTransform& transform, double radius);

// Free diffraction of the weighted fields (re, im: n rows of m columns,
// row-major) over the distance `length` for the wavenumber `wavenumber`
// (cm, cm^-1): every angular component is turned by -kappa^2 length / (2
// wavenumber), and the amplitude is multiplied by `gain`. scratch grows as
// needed.
void diffract(const RadialGrid& grid, double length, double wavenumber, double gain, int m,
              double* re, double* im, std::vector<double>& scratch);

// The series coefficients c_k (per column) of the weighted fields, U(r) =
// sum_k c_k J0(kappa_k r): n rows of m columns into c_re, c_im.
void series_coefficients(const RadialGrid& grid, int m, const double* re, const double* im,
                         double* c_re, double* c_im);

}  // namespace zscan

#endif  // ZSCAN_BEAM_PROPAGATION_GRID_H
