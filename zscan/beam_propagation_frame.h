// The frame the beam-propagation model marches in: the lens (Talanov)
// transformation E(r, z') = (1/s) exp(i kappa r^2 s' / (2 s)) U(r / s, zeta),
// s = 1 + b z' (z' the depth in the sample, cm), d zeta = dz' / s^2, kappa =
// K n0 with K = k / M2, which turns the paraxial equation into the same
// equation for U in (rho, zeta) with the nonlinear rate unchanged per unit
// depth (dU/dz' = (i / (2 kappa s^2)) lap U + c U). b is the front face's
// wavefront curvature, so that U starts at its waist and stays narrow however
// far the sample is from the focus; when the focus lies inside the sample
// (or the front face's lens would close before the back face) another lens
// that needs fewer nodes, found by trying a range of them. The
// linear beam inside (q' = n0 q + z', q = z - i z0) is in U-space the
// Gaussian of parameter q_U = q_U0 + zeta, 1 / q_U0 = 1 / q'(0) - b. The
// radial grid follows from it: its radius so many widest U-space radii plus
// the sideways drift of light a band's worth off axis over the sample, its
// band limit so many over the U-space waist. Relies only on the C++ standard
// library.
#ifndef ZSCAN_BEAM_PROPAGATION_FRAME_H
#define ZSCAN_BEAM_PROPAGATION_FRAME_H

#include <complex>

namespace zscan {

// The smallest scale s(L) the lens transformation is allowed to reach.
constexpr double kMinScale = 0.2;

struct FrameInputs {
  double wavelength = 0.0;  // m
  double w0 = 0.0;          // m
  double M2 = 1.0;
  double length = 0.0;            // sample thickness, cm
  double refractive_index = 1.0;  // n0
  double position_mm = 0.0;       // front face from the focus, mm
};

struct SampleFrame {
  double kappa = 0.0;           // K n0, cm^-1
  double length = 0.0;          // cm
  double curvature = 0.0;       // b, cm^-1
  std::complex<double> q0;      // q_U(0), cm
  double zeta_end = 0.0;        // zeta(L), cm
  double waist = 0.0;           // the U-space beam's waist radius, cm
  double widest = 0.0;          // its widest radius over the sample, cm
  double rayleigh = 0.0;        // its Rayleigh range, cm (in zeta)
  double exit_position = 0.0;   // z + L / n0: where the exit beam seems to come from in air, cm

  double scale(double depth) const { return 1.0 + curvature * depth; }
  double zeta(double depth) const { return depth / (1.0 + curvature * depth); }
  // The linear U-space field at zeta relative to the incident peak
  // amplitude: (q0 / q) exp(i kappa rho^2 / (2 q)).
  std::complex<double> linear_field(double rho, double zeta) const;
  double radius_at(double zeta) const;  // the U-space linear beam's radius
};

SampleFrame sample_frame(const FrameInputs& in);

// How fine the radial grid is: radius = extent * widest + reach * waist *
// zeta_L / (2 rayleigh), nodes for the band limit band / waist.
struct RadialResolution {
  double extent = 0.0;
  double reach = 0.0;
  double band = 0.0;
};

// The most radial nodes a grid may have (its transform takes N^3 work).
constexpr int kMostRadialNodes = 800;

struct RadialPlan {
  double radius = 0.0;  // cm
  int nodes = 0;
};
RadialPlan radial_plan(const SampleFrame& frame, const RadialResolution& resolution);

}  // namespace zscan

#endif  // ZSCAN_BEAM_PROPAGATION_FRAME_H
