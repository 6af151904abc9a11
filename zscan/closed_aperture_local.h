// The closed-aperture model's local problem: the field leaving the sample at
// one radius for one peak intensity, at fixed times of the pulse, relative
// to the field the linear sample lets through. Through the sample (depth z'
// in units of its thickness L, no diffraction inside it)
//   dI/dz' = -alpha I - beta f0 I^2 L,  dphi/dz' = (k n2 I + sr1 N1 + sr3 N3) L,
// alpha L the absorber's optical depth per thickness; with A(z') = int alpha
// and B(z') = int f0 e^-A the light is the Bernoulli solution I = I_in e^-A /
// (1 + beta L I_in B). Populations (as the whole-beam model's rate
// equations, plus two-photon excitation beta f0 I^2 / (2 h nu) from level 0
// to level 2, f0 = N0 / N_total) are integrated over the pulse at the depth
// nodes; without them (a host's two-photon absorption and Kerr effect, f0 =
// 1) the closed forms I_exit = I_in / (1 + b p), phi = kappa ln(1 + b p) / b
// need no integration. Relies on the integrator, the depth grid, the pulse
// and the whole-beam absorber.
#ifndef ZSCAN_CLOSED_APERTURE_LOCAL_H
#define ZSCAN_CLOSED_APERTURE_LOCAL_H

#include <vector>

#include "zscan/whole_beam_absorber.h"
#include "zscan/whole_beam_depth.h"
#include "zscan/whole_beam_pulse.h"

namespace zscan {

// The sample's instantaneous responses and excited-state refraction, per
// unit of peak intensity (W/cm^2) where they scale with it.
struct SampleOptics {
  double two_photon = 0.0;     // beta L, cm^2/W: b = two_photon * I_p
  double kerr = 0.0;           // k n2 L, cm^2/W: kappa = kerr * I_p (rad)
  double refraction[2] = {};   // sr1 N_total L, sr3 N_total L (rad per unit population)
  // beta tau / (2 h nu N_total), cm^2/W^2 ... per (W/cm^2)^2: two-photon
  // excitations per molecule and pulse duration at unit light.
  double excitation = 0.0;
  bool populated = false;  // the absorber's populations are integrated
};

// How one integration is carried out.
struct FieldSettings {
  const DepthGrid* depth = nullptr;
  Pulse pulse;
  double accuracy = 0.0;   // integrator tolerance on the populations
  double max_step = 0.0;   // pulse durations
  bool full_jacobian = false;
  const double* times = nullptr;  // [n_times] increasing, pulse durations
  int n_times = 0;
};

// Integrator work arrays of one worker.
struct FieldWork {
  std::vector<double> y, rwork, rtol, atol;
  std::vector<int> iwork;
};

// The exit field at one time: amplitude and phase relative to the linear
// sample's (amplitude sqrt(I_exit / (I_in Te_lin)), phase in rad).
struct FieldValue {
  double amplitude = 1.0;
  double phase = 0.0;
};

struct FieldOutcome {
  bool completed = false;
  int steps = 0;
};

// The exit field at peak intensity `intensity` (W/cm^2) at every time of
// settings.times into out[0 .. n_times - 1]. Without populations
// (optics.populated false) the closed forms, and `absorber`, `settings.depth`
// and `work` are not used. Throws std::bad_alloc when the work arrays cannot
// grow.
FieldOutcome exit_field(const Absorber& absorber, const SampleOptics& optics, double intensity,
                        const FieldSettings& settings, FieldWork& work, FieldValue* out);

// The closed forms without populations at relative intensity `light`
// (I_in / I_p) and peak intensity `intensity`.
FieldValue host_field(const SampleOptics& optics, double intensity, double light);

}  // namespace zscan

#endif  // ZSCAN_CLOSED_APERTURE_LOCAL_H
