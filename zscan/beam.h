// The light entering the sample and the grids the model is evaluated on:
// the intensity of a focused Gaussian beam carrying a Gaussian pulse, an
// equally spaced grid generator, and the arrays derived once per fit from the
// experiment's description. Every argument is passed by address.
#ifndef ZSCAN_BEAM_H
#define ZSCAN_BEAM_H

namespace zscan {

// Intensity at radius r from the axis, time t from the pulse centre and
// sample position z from the focus, for pulse energy E, pulse duration
// parameter tau, waist radius w0 and Rayleigh range z0:
//   1.88e-4 E exp(-t^2/tau^2) exp(-2 r^2/w(z)^2) / (pi tau w(z)^2),
//   w(z) = w0 sqrt((z/z0)^2 + 1).
double beam_intensity(const double* r, const double* t, const double* z,
                      const double* E, const double* tau, const double* w0,
                      const double* z0);

// n equally spaced values from first towards last: out[i] = i*((last -
// first)/(n - 1)) + first; n = 1 writes first only, n <= 0 writes nothing.
// The last value is whatever the formula gives, not forced to equal last.
void linspace(double* out, const double* first, const double* last,
              const int* n);

// Positions in metres from positions in millimetres, n values.
void fill_scan_positions(double* scan_positions, const double* centered_x,
                         const int* n);

// Rayleigh range z0 = (w0^2 pi) / (M2 wavelength).
double rayleigh_range(const double* w0, const double* M2,
                      const double* wavelength);

// Optical frequency nu = c / wavelength, c = 299792458.0 m/s.
double optical_frequency(const double* wavelength);

// z_slices depths from 0.0 to sample_width; the second is the slab thickness.
void fill_depth_grid(double* depth_grid, const double* sample_width,
                     const int* z_slices);

// t_slices times from -tau/2 to +tau/2: the window spans one tau in all.
void fill_time_grid(double* time_grid, const double* tau, const int* t_slices);

// On-axis front-face intensity of every point of every data set at every
// time slice: element (i, m, d) at offset i + num_x_pts*(m + t_slices*d) is
// beam_intensity(0, time_grid[m], scan_positions[d*num_x_pts + i],
// pulse_energy[d], tau, w0, z0).
void fill_intensity_grid(double* intensity_grid, const double* scan_positions,
                         const double* time_grid, const double* pulse_energy,
                         const double* tau, const double* w0, const double* z0,
                         const int* num_x_pts, const int* t_slices,
                         const int* num_datasets);

}  // namespace zscan

#endif  // ZSCAN_BEAM_H
