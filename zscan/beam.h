// The light entering the sample and the grids the model runs on: the
// intensity of a focused Gaussian beam carrying a Gaussian pulse, equally
// spaced grids, and what one experiment's evaluations share (beam, optical
// frequency, depth and time grids, front-face intensities).
#ifndef ZSCAN_BEAM_H
#define ZSCAN_BEAM_H

#include <vector>

#include "zscan/zscan.h"

namespace zscan {

// The focused beam and its pulse.
struct Beam {
  double w0 = 0.0;   // waist radius, m
  double z0 = 0.0;   // Rayleigh range, m
  double tau = 0.0;  // pulse duration parameter, s
};

// Intensity at radius r from the axis, time t from the pulse centre and
// sample position z from the focus (m, s, m), for pulse energy E (J):
//   1.88e-4 E exp(-t^2/tau^2) exp(-2 r^2/w(z)^2) / (pi tau w(z)^2),
//   w(z) = w0 sqrt((z/z0)^2 + 1).
double beam_intensity(const Beam& beam, double E, double r, double t, double z);

// n equally spaced values from first towards last: out[i] = i*((last -
// first)/(n - 1)) + first; n = 1 writes first only, n <= 0 writes nothing.
// The last value is whatever the formula gives, not forced to equal last.
void linspace(double* out, double first, double last, int n);

// Rayleigh range z0 = (w0^2 pi) / (M2 wavelength).
double rayleigh_range(const Experiment& experiment);

// Optical frequency nu = c / wavelength, c = 299792458.0 m/s.
double optical_frequency(double wavelength);

// What every evaluation of one experiment shares.
struct ModelGrids {
  Beam beam;
  double frequency = 0.0;     // optical frequency, Hz
  std::vector<double> depth;  // [z_slices] from 0.0 to sample_width, cm; the
                              // second is the slab thickness
  std::vector<double> times;  // [t_slices] from -tau/2 to +tau/2: the window
                              // spans one tau in all
};

// The grids of `experiment` (slice counts >= 1). Throws std::bad_alloc or
// std::length_error when their storage cannot be obtained.
ModelGrids make_grids(const Experiment& experiment);

// The points of one or more data sets, data set after data set.
struct ScanSet {
  const double* positions = nullptr;     // [num_x_pts*num_datasets] m, from the focus
  const double* pulse_energy = nullptr;  // [num_datasets] J
  int num_x_pts = 0;
  int num_datasets = 0;
};

// Positions in metres from positions in millimetres, n values.
void fill_scan_positions(double* metres, const double* millimetres, int n);

// On-axis front-face intensity of every point of every data set at every
// time slice: element (i, m, d) at offset i + num_x_pts*(m + t_slices*d) is
// beam_intensity(grids.beam, pulse_energy[d], 0, times[m],
// positions[d*num_x_pts + i]).
void fill_intensity_grid(double* intensity, const ModelGrids& grids, const ScanSet& scan);

}  // namespace zscan

#endif  // ZSCAN_BEAM_H
