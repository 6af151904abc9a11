// What the closed-aperture and beam-propagation entries share: the rules
// their inputs (scans with apertures, the sample's optics, the aperture's
// plane) must satisfy on top of the whole-beam model's, the values a
// refused or failed call leaves, and the guard that turns a failed
// allocation into Status::out_of_memory, and the optical constants both
// take from the wavelength. Relies on the whole-beam inputs.
#ifndef ZSCAN_APERTURE_SCANS_H
#define ZSCAN_APERTURE_SCANS_H

#include <functional>

#include "zscan/zscan.h"

namespace zscan {

struct ApertureInputs {
  const WholeBeamExperiment* experiment = nullptr;
  const double* spec_pars = nullptr;
  const ClosedApertureOptics* optics = nullptr;
  const ClosedApertureScan* scans = nullptr;
  int n_scans = 0;
  double aperture_distance = 0.0;  // m from the focus
  double tolerance = 0.0;
  const double* values = nullptr;  // the output arrays (only checked for null)
  const double* errors = nullptr;
  double depth_m = 0.0;  // how far beyond a scan position the sample reaches, m
};

// The inputs of an entry whose request has scans, n_scans,
// aperture_distance and tolerance and whose output has values and errors.
template <typename Request, typename Output>
ApertureInputs aperture_inputs(const WholeBeamExperiment& experiment, const double* spec_pars,
                               const ClosedApertureOptics& optics, const Request& request,
                               const Output& output) {
  ApertureInputs in;
  in.experiment = &experiment;
  in.spec_pars = spec_pars;
  in.optics = &optics;
  in.scans = request.scans;
  in.n_scans = request.n_scans;
  in.aperture_distance = request.aperture_distance;
  in.tolerance = request.tolerance;
  in.values = output.values;
  in.errors = output.errors;
  return in;
}

// Whether the inputs satisfy the whole-beam model's rules, every aperture
// lies in (0, 1], beta >= 0, the optics are finite and the aperture's plane
// lies beyond every position plus depth_m.
bool aperture_inputs_valid(const ApertureInputs& in);

// evaluate() for valid inputs (else Status::invalid_input),
// Status::out_of_memory when it throws std::bad_alloc or std::length_error;
// on any outcome but Status::ok NaN values and +inf errors at every point of
// the scans (when given).
Status run_checked(const ApertureInputs& in, double* values, double* errors,
                   const std::function<Status()>& evaluate);

// The vacuum wavenumber k = 2 pi / wavelength, cm^-1.
inline double vacuum_wavenumber_cm(const WholeBeamExperiment& e) {
  constexpr double kPi = 3.14159265358979323846;
  return 2.0 * kPi / (e.wavelength * 1e2);
}

// The rate of two-photon excitation per unit I^2 and N_total, in the local
// problems' units: beta tau / (2 h nu N_total).
inline double two_photon_excitation(const WholeBeamExperiment& e, double beta, double total) {
  constexpr double kPlanck = 6.62607015e-34;     // J s
  constexpr double kSpeedOfLight = 299792458.0;  // m/s
  const double photon_energy = kPlanck * (kSpeedOfLight / e.wavelength);  // J
  return beta * e.tau / (2.0 * photon_energy * total);
}

}  // namespace zscan

#endif  // ZSCAN_APERTURE_SCANS_H
