// Test helper: whole-beam experiments (the demo's settings with named
// absorbers), one evaluation of them (with derivatives on request), the
// pulse shapes written out from their definitions, and quadrature rules for
// the tests' own integrals of the definition.
#ifndef KESP_TESTS_ZSCAN_WHOLE_BEAM_H
#define KESP_TESTS_ZSCAN_WHOLE_BEAM_H

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "zscan/zscan.h"

namespace whole_beam_test {

// The demo's absorbers: a reverse saturable absorber and a saturable one.
inline std::vector<double> rsa() { return {1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12}; }
inline std::vector<double> saturable() { return {4e-17, 2e-18, 1e-18, 2e-9, 1e8, 1e-12, 1e-5, 1e-12}; }

// An experiment and its scans; the defaults are the demo's.
struct Case {
  double wavelength = 532e-9, w0 = 20e-6, M2 = 1.0, tau = 4e-9, width = 0.1;
  std::vector<double> populations{3e17, 0.0, 0.0, 0.0, 0.0};
  std::vector<double> spec_pars = rsa();
  std::vector<double> energies{0.5e-6, 1.5e-6};
  std::vector<double> positions = demo_positions();
  double tolerance = 1e-5;
  zscan::PulseShape pulse_shape = zscan::PulseShape::gaussian;
  std::vector<zscan::WholeBeamParameter> derivatives;  // none: no derivatives

  static std::vector<double> demo_positions() {
    std::vector<double> x;
    for (int i = -20; i <= 20; ++i) x.push_back(i);
    return x;
  }
  zscan::WholeBeamExperiment experiment() const {
    zscan::WholeBeamExperiment e;
    e.wavelength = wavelength;
    e.w0 = w0;
    e.M2 = M2;
    e.tau = tau;
    e.sample_width = width;
    e.populations = populations.data();
    e.pulse_shape = pulse_shape;
    return e;
  }
  int points() const { return static_cast<int>(positions.size() * energies.size()); }
};

struct Result {
  zscan::Status status = zscan::Status::ok;
  std::vector<double> values, errors;
  std::vector<double> derivatives;  // [parameter * points + point]
  zscan::WholeBeamStats stats;
};

// Every scan of the case at its positions.
inline Result evaluate(const Case& c) {
  std::vector<zscan::WholeBeamScan> scans;
  for (double e : c.energies) {
    zscan::WholeBeamScan s;
    s.positions_mm = c.positions.data();
    s.n_points = static_cast<int>(c.positions.size());
    s.pulse_energy = e;
    scans.push_back(s);
  }
  zscan::WholeBeamRequest request;
  request.scans = scans.data();
  request.n_scans = static_cast<int>(scans.size());
  request.tolerance = c.tolerance;
  request.parameters = c.derivatives.data();
  request.n_parameters = static_cast<int>(c.derivatives.size());
  Result r;
  r.values.assign(static_cast<size_t>(c.points()), -7.0);
  r.errors.assign(static_cast<size_t>(c.points()), -7.0);
  r.derivatives.assign(static_cast<size_t>(c.points()) * c.derivatives.size(), -7.0);
  zscan::WholeBeamOutput output;
  output.values = r.values.data();
  output.errors = r.errors.data();
  output.derivatives = r.derivatives.data();
  output.stats = &r.stats;
  r.status = zscan::whole_beam_evaluate(c.experiment(), c.spec_pars.data(), request, output);
  return r;
}

// The pulse shapes from their definitions, t in units of the intensity
// FWHM: exp(-4 ln2 t^2), and sech^2(a t) with cosh(a / 2) = sqrt(2).
inline double gaussian_pulse(double t) { return std::exp(-4.0 * std::log(2.0) * t * t); }
inline double sech2_pulse(double t) {
  const double a = 2.0 * std::acosh(std::sqrt(2.0));
  const double c = std::cosh(a * t);
  return 1.0 / (c * c);
}

// Peak intensity (W/cm^2) of the case's pulse of energy E at z_mm, from the
// definition: I0 = 1e-4 E / ((pi w^2 / 2) tau P), P the pulse's integral
// in units of tau: sqrt(pi / (4 ln 2)) (Gaussian), 2 / a (sech^2).
inline double peak_intensity(const Case& c, double energy, double z_mm) {
  const double pi = 3.141592653589793;
  const double z0 = pi * c.w0 * c.w0 / (c.M2 * c.wavelength);
  const double w2 = c.w0 * c.w0 * (1.0 + std::pow(z_mm * 1e-3 / z0, 2));
  const double integral = c.pulse_shape == zscan::PulseShape::sech2
                              ? 2.0 / (2.0 * std::acosh(std::sqrt(2.0)))
                              : std::sqrt(pi / (4.0 * std::log(2.0)));
  return 1e-4 * energy / ((pi * w2 / 2.0) * c.tau * integral);
}

// Composite Gauss-Legendre rule: `panels` panels of 8 points on [a, b].
struct Rule {
  std::vector<double> x, w;
};
inline Rule composite_gauss(double a, double b, int panels) {
  static const double t[4] = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267,
                              0.9602898564975363};
  static const double v[4] = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745,
                              0.1012285362903763};
  Rule r;
  const double h = (b - a) / panels;
  for (int p = 0; p < panels; ++p) {
    const double mid = a + (p + 0.5) * h;
    for (int k = 0; k < 4; ++k) {
      for (int s : {-1, 1}) {
        r.x.push_back(mid + s * t[k] * h / 2.0);
        r.w.push_back(v[k] * h / 2.0);
      }
    }
  }
  return r;
}

}  // namespace whole_beam_test

#endif  // KESP_TESTS_ZSCAN_WHOLE_BEAM_H
