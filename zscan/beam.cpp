// Beam, pulse and grids: the Gaussian beam's intensity and the positions,
// depth and time grids and front-face intensities that evaluations of one
// experiment work on. Relies only on the C++ standard library.
#include "zscan/beam.h"

#include <cmath>
#include <cstddef>

namespace zscan {

namespace {
constexpr double kPi = 3.141592653589793;
// Fixed factor of the intensity formula (no other scale factor enters).
constexpr double kIntensityFactor = 1.88e-4;
constexpr double kSpeedOfLight = 299792458.0;  // m/s
constexpr double kMetresPerMillimetre = 0.001;
}  // namespace

double beam_intensity(const Beam& beam, double E, double r, double t, double z) {
  const double z_rel = z / beam.z0;
  const double w = beam.w0 * std::sqrt(z_rel * z_rel + 1.0);
  const double t_rel = t / beam.tau;
  const double temporal = std::exp(-(t_rel * t_rel));
  const double radial = std::exp((r * r * (-2.0)) / (w * w));
  return radial * ((E * kIntensityFactor) * temporal) / ((beam.tau * kPi) * (w * w));
}

void linspace(double* out, double first, double last, int n) {
  if (n <= 0) return;
  if (n == 1) {
    out[0] = first;
    return;
  }
  const double step = (last - first) * (1.0 / (n - 1));
  for (int i = 0; i < n; ++i) out[i] = i * step + first;
}

double rayleigh_range(const Experiment& e) {
  return (e.w0 * e.w0 * kPi) / (e.M2 * e.wavelength);
}

double optical_frequency(double wavelength) { return kSpeedOfLight / wavelength; }

ModelGrids make_grids(const Experiment& e) {
  ModelGrids g;
  g.beam.w0 = e.w0;
  g.beam.z0 = rayleigh_range(e);
  g.beam.tau = e.tau;
  g.frequency = optical_frequency(e.wavelength);
  g.depth.resize(static_cast<std::size_t>(e.z_slices));
  g.times.resize(static_cast<std::size_t>(e.t_slices));
  linspace(g.depth.data(), 0.0, e.sample_width, e.z_slices);
  linspace(g.times.data(), -(e.tau * 0.5), e.tau * 0.5, e.t_slices);
  return g;
}

void fill_scan_positions(double* metres, const double* millimetres, int n) {
  for (int k = 0; k < n; ++k) metres[k] = millimetres[k] * kMetresPerMillimetre;
}

void fill_intensity_grid(double* intensity, const ModelGrids& grids, const ScanSet& scan) {
  const int t_slices = static_cast<int>(grids.times.size());
  if (scan.num_x_pts <= 0 || t_slices <= 0 || scan.num_datasets <= 0) return;
  const std::size_t nx = static_cast<std::size_t>(scan.num_x_pts);
  const std::size_t nt = static_cast<std::size_t>(t_slices);
  for (std::size_t d = 0; d < static_cast<std::size_t>(scan.num_datasets); ++d) {
    for (std::size_t m = 0; m < nt; ++m) {
      double* slice = intensity + nx * (m + nt * d);
      const double* positions = scan.positions + d * nx;
      for (std::size_t i = 0; i < nx; ++i) {
        slice[i] = beam_intensity(grids.beam, scan.pulse_energy[d], 0.0, grids.times[m],
                                  positions[i]);
      }
    }
  }
}

}  // namespace zscan
