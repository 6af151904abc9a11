// The whole-beam model's inputs; see whole_beam_inputs.h. The peak
// intensity is I0 = 1e-4 E / ((pi w^2 / 2) tau P) W/cm^2 with P the pulse's
// integral over time in units of tau, w^2 = w0^2 + (z M2 wavelength /
// (pi w0))^2. Relies on the pulse shapes and the C++ standard library.
#include "zscan/whole_beam_inputs.h"

#include <cmath>
#include <limits>

#include "zscan/whole_beam_pulse.h"

namespace zscan {

namespace {

constexpr double kPi = 3.141592653589793;

bool positive(double x) { return std::isfinite(x) && x > 0.0; }
bool non_negative(double x) { return std::isfinite(x) && x >= 0.0; }

bool known_parameter(WholeBeamParameter p) {
  const int id = static_cast<int>(p);
  return id >= 0 && id < kWholeBeamParameters;
}

}  // namespace

bool whole_beam_inputs_valid(const WholeBeamExperiment& e, const double* spec_pars,
                             const WholeBeamRequest& r, const WholeBeamOutput& out) {
  if (out.values == nullptr || out.errors == nullptr || spec_pars == nullptr ||
      e.populations == nullptr || r.scans == nullptr || r.n_scans < 1) {
    return false;
  }
  if (!positive(e.wavelength) || !positive(e.w0) || !positive(e.M2) || !positive(e.tau) ||
      !non_negative(e.sample_width)) {
    return false;
  }
  if (e.pulse_shape != PulseShape::gaussian && e.pulse_shape != PulseShape::sech2) return false;
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
  if (r.n_parameters < 0 || r.n_parameters > kWholeBeamParameters) return false;
  if (r.n_parameters > 0 && (r.parameters == nullptr || out.derivatives == nullptr)) return false;
  for (int k = 0; k < r.n_parameters; ++k) {
    const WholeBeamParameter p = r.parameters[k];
    if (!known_parameter(p)) return false;
    // A lifetime of +inf is fixed: it has no derivative.
    const int id = static_cast<int>(p);
    if (id < kSpecPars && !std::isfinite(spec_pars[id])) return false;
    for (int j = 0; j < k; ++j)
      if (r.parameters[j] == p) return false;
  }
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
  if (total * (r.n_parameters + 1LL) > std::numeric_limits<int>::max()) return false;
  return true;
}

double whole_beam_peak_intensity(const WholeBeamExperiment& e, double pulse_energy,
                                 double z_mm) {
  const double z0 = (kPi * e.w0 * e.w0) / (e.M2 * e.wavelength);  // m
  const double z = z_mm * 1e-3 / z0;
  const double w2 = e.w0 * e.w0 * (1.0 + z * z);  // m^2
  return 1e-4 * pulse_energy / ((kPi * w2 / 2.0) * e.tau * pulse_of(e.pulse_shape).integral);
}

IntensitySlopes peak_intensity_slopes(const WholeBeamExperiment& e, double z_mm) {
  // ln I0 = const - ln(w^2), w^2 = w0^2 + b^2 z^2 / w0^2 with b = M2
  // wavelength / pi and z in m.
  const double z = z_mm * 1e-3;
  const double b = e.M2 * e.wavelength / kPi;
  const double w0_2 = e.w0 * e.w0;
  const double spread = (b * z) * (b * z) / w0_2;  // (b z / w0)^2
  const double w2 = w0_2 + spread;
  IntensitySlopes s;
  s.position = -(2.0 * b * b * z / w0_2) * 1e-3 / w2;
  s.w0 = -(2.0 * e.w0 - 2.0 * spread / e.w0) / w2;
  s.M2 = -(2.0 * spread / e.M2) / w2;
  return s;
}

}  // namespace zscan
