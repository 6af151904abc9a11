// The lens frame and the radial grid's size; see beam_propagation_frame.h.
// Relies only on the C++ standard library.
#include "zscan/beam_propagation_frame.h"

#include <algorithm>
#include <cmath>

namespace zscan {

namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

std::complex<double> SampleFrame::linear_field(double rho, double z) const {
  const std::complex<double> q = q0 + z;
  const std::complex<double> i(0.0, 1.0);
  return (q0 / q) * std::exp(i * (kappa * rho * rho) / (2.0 * q));
}

double SampleFrame::radius_at(double z) const {
  const std::complex<double> inv = 1.0 / (q0 + z);
  return std::sqrt(2.0 / (kappa * inv.imag()));
}

namespace {

// The lens search's trials and the grid it compares them on.
constexpr int kLensTrials = 48;
constexpr RadialResolution kLensResolution{5.0, 6.0, 11.0};

// f completed for the lens b.
SampleFrame framed(SampleFrame f, std::complex<double> q_face, double b, const FrameInputs& in) {
  f.curvature = b;
  f.q0 = 1.0 / (1.0 / q_face - b);
  f.zeta_end = f.zeta(in.length);
  f.rayleigh = -f.q0.imag();
  f.waist = std::sqrt(2.0 * f.rayleigh / f.kappa);
  f.widest = std::max(f.radius_at(0.0), f.radius_at(f.zeta_end));
  f.exit_position = 0.1 * in.position_mm + in.length / in.refractive_index;
  return f;
}

}  // namespace

SampleFrame sample_frame(const FrameInputs& in) {
  SampleFrame f;
  const double k = 2.0 * kPi / (in.wavelength * 1e2);     // cm^-1
  const double w0 = in.w0 * 1e2;                          // cm
  const double z0 = kPi * w0 * w0 / (in.M2 * in.wavelength * 1e2);  // cm
  const double n0 = in.refractive_index;
  const double z = 0.1 * in.position_mm;  // cm
  f.kappa = k / in.M2 * n0;
  f.length = in.length;
  const std::complex<double> q_face(n0 * z, -n0 * z0);
  const std::complex<double> inv = 1.0 / q_face;
  // The front face's curvature, unless another lens makes the U-space beam
  // need fewer nodes (a focus inside the sample): the fewest nodes among
  // kLensTrials lenses from s(L) = kMinScale to s(L) = 2 beyond the larger
  // of the front face's and no lens.
  const double front = inv.real();
  double b = front;
  if (in.length > 0.0) {
    const double lowest = (kMinScale - 1.0) / in.length;
    const auto nodes_for = [&](double trial) {
      SampleFrame g = framed(f, q_face, trial, in);
      return radial_plan(g, kLensResolution).nodes;
    };
    if (front < lowest) b = lowest;
    int best = nodes_for(b);
    const double top = std::max(front, 0.0) + 1.0 / in.length;
    for (int j = 0; j < kLensTrials; ++j) {
      const double trial = lowest + (top - lowest) * j / kLensTrials;
      const int nodes = nodes_for(trial);
      if (nodes < best) best = nodes, b = trial;
    }
  }
  return framed(f, q_face, b, in);
}

RadialPlan radial_plan(const SampleFrame& frame, const RadialResolution& res) {
  RadialPlan p;
  p.radius = res.extent * frame.widest +
             res.reach * frame.waist * frame.zeta_end / (2.0 * frame.rayleigh);
  // j_N ~ pi (N - 1/4): the fewest nodes whose band limit j_N / R reaches band / waist.
  const double nodes = std::ceil(res.band * p.radius / (kPi * frame.waist) + 0.25);
  p.nodes = static_cast<int>(std::min(nodes, static_cast<double>(kMostRadialNodes)));
  return p;
}

}  // namespace zscan
