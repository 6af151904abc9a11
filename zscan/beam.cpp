// Beam, pulse and grids: the Gaussian beam's intensity and the positions,
// depth and time grids and front-face intensities that one fit works on.
// Relies only on the C++ standard library.
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

double beam_intensity(const double* r, const double* t, const double* z,
                      const double* E, const double* tau, const double* w0,
                      const double* z0) {
  const double z_rel = *z / *z0;
  const double w = *w0 * std::sqrt(z_rel * z_rel + 1.0);
  const double t_rel = *t / *tau;
  const double temporal = std::exp(-(t_rel * t_rel));
  const double radial = std::exp((*r * *r * (-2.0)) / (w * w));
  return radial * ((*E * kIntensityFactor) * temporal) / ((*tau * kPi) * (w * w));
}

void linspace(double* out, const double* first, const double* last,
              const int* n) {
  if (*n <= 0) return;
  if (*n == 1) {
    out[0] = *first;
    return;
  }
  const double step = (*last - *first) * (1.0 / (*n - 1));
  for (int i = 0; i < *n; ++i) out[i] = i * step + *first;
}

void fill_scan_positions(double* scan_positions, const double* centered_x,
                         const int* n) {
  for (int k = 0; k < *n; ++k) scan_positions[k] = centered_x[k] * kMetresPerMillimetre;
}

double rayleigh_range(const double* w0, const double* M2,
                      const double* wavelength) {
  return (*w0 * *w0 * kPi) / (*M2 * *wavelength);
}

double optical_frequency(const double* wavelength) {
  return kSpeedOfLight / *wavelength;
}

void fill_depth_grid(double* depth_grid, const double* sample_width,
                     const int* z_slices) {
  const double front = 0.0;
  linspace(depth_grid, &front, sample_width, z_slices);
}

void fill_time_grid(double* time_grid, const double* tau, const int* t_slices) {
  const double first = -(*tau * 0.5);
  const double last = *tau * 0.5;
  linspace(time_grid, &first, &last, t_slices);
}

void fill_intensity_grid(double* intensity_grid, const double* scan_positions,
                         const double* time_grid, const double* pulse_energy,
                         const double* tau, const double* w0, const double* z0,
                         const int* num_x_pts, const int* t_slices,
                         const int* num_datasets) {
  if (*num_x_pts <= 0 || *t_slices <= 0 || *num_datasets <= 0) return;
  const double on_axis = 0.0;
  const std::size_t nx = static_cast<std::size_t>(*num_x_pts);
  const std::size_t nt = static_cast<std::size_t>(*t_slices);
  for (std::size_t d = 0; d < static_cast<std::size_t>(*num_datasets); ++d) {
    for (std::size_t m = 0; m < nt; ++m) {
      double* slice = intensity_grid + nx * (m + nt * d);
      const double* positions = scan_positions + d * nx;
      for (std::size_t i = 0; i < nx; ++i) {
        slice[i] = beam_intensity(&on_axis, &time_grid[m], &positions[i],
                                  &pulse_energy[d], tau, w0, z0);
      }
    }
  }
}

}  // namespace zscan
