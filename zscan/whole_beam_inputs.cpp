// The whole-beam model's inputs; see whole_beam_inputs.h. Physical
// constants: h = 6.62607015e-34 J s, c = 299792458 m/s. Relies only on the
// C++ standard library.
#include "zscan/whole_beam_inputs.h"

#include <cmath>
#include <limits>

namespace zscan {

namespace {

constexpr double kPlanck = 6.62607015e-34;     // J s
constexpr double kSpeedOfLight = 299792458.0;  // m/s
constexpr double kPi = 3.141592653589793;

bool positive(double x) { return std::isfinite(x) && x > 0.0; }
bool non_negative(double x) { return std::isfinite(x) && x >= 0.0; }

}  // namespace

bool whole_beam_inputs_valid(const WholeBeamExperiment& e, const double* spec_pars,
                             const WholeBeamRequest& r, const double* values,
                             const double* errors) {
  if (values == nullptr || errors == nullptr || spec_pars == nullptr ||
      e.populations == nullptr || r.scans == nullptr || r.n_scans < 1) {
    return false;
  }
  if (!positive(e.wavelength) || !positive(e.w0) || !positive(e.M2) || !positive(e.tau) ||
      !non_negative(e.sample_width)) {
    return false;
  }
  for (int l = 0; l < kLevels; ++l) {
    if (!non_negative(e.populations[l])) return false;
  }
  for (int k = 0; k < 3; ++k) {
    if (!non_negative(spec_pars[k])) return false;
  }
  for (int k = 3; k < kSpecPars; ++k) {
    if (std::isnan(spec_pars[k]) || !(spec_pars[k] > 0.0)) return false;
  }
  if (!std::isfinite(r.tolerance) || !(r.tolerance >= kWholeBeamMinTolerance)) return false;
  long long total = 0;
  for (int s = 0; s < r.n_scans; ++s) {
    const WholeBeamScan& scan = r.scans[s];
    if (scan.positions_mm == nullptr || scan.n_points < 1) return false;
    if (!non_negative(scan.pulse_energy)) return false;
    for (int i = 0; i < scan.n_points; ++i) {
      if (!std::isfinite(scan.positions_mm[i])) return false;
    }
    total += scan.n_points;
    if (total > std::numeric_limits<int>::max()) return false;
  }
  return true;
}

Absorber make_absorber(const WholeBeamExperiment& e, const double* spec_pars,
                       bool* transparent) {
  Absorber a;
  double total = 0.0;
  for (int l = 0; l < kLevels; ++l) total += e.populations[l];
  const double sigma_0 = spec_pars[0], sigma_1 = spec_pars[1], sigma_2 = spec_pars[2];
  a.c0 = sigma_0 * total * e.sample_width;
  a.c1 = sigma_1 * total * e.sample_width;
  a.c3 = sigma_2 * total * e.sample_width;
  *transparent = !(total > 0.0) || (a.c0 == 0.0 && a.c1 == 0.0 && a.c3 == 0.0);
  if (*transparent) return a;
  for (int l = 0; l < kLevels; ++l) a.n_init[l] = e.populations[l] / total;
  // A lifetime of +inf gives a rate of 0.
  a.k10 = e.tau / spec_pars[3];
  a.k13 = e.tau / spec_pars[4];
  a.k21 = e.tau / spec_pars[5];
  a.k30 = e.tau / spec_pars[6];
  a.k43 = e.tau / spec_pars[7];
  const double photon_energy = kPlanck * (kSpeedOfLight / e.wavelength);  // J
  a.rate_per_intensity[0] = sigma_0 * e.tau / photon_energy;
  a.rate_per_intensity[1] = sigma_1 * e.tau / photon_energy;
  a.rate_per_intensity[2] = sigma_2 * e.tau / photon_energy;
  a.linear_depth = (a.c0 * a.n_init[0] + a.c1 * a.n_init[1]) + a.c3 * a.n_init[3];
  return a;
}

double whole_beam_peak_intensity(const WholeBeamExperiment& e, double pulse_energy,
                                 double z_mm) {
  const double z0 = (kPi * e.w0 * e.w0) / (e.M2 * e.wavelength);  // m
  const double z = z_mm * 1e-3 / z0;
  const double w2 = e.w0 * e.w0 * (1.0 + z * z);  // m^2
  return 1e-4 * pulse_energy / ((kPi * w2 / 2.0) * e.tau * kPulseIntegral);
}

}  // namespace zscan
