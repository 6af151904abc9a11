// Makes the bundled demo data set: the transmittance model of a reverse
// saturable absorber at two pulse energies, plus seeded Gaussian noise,
// written as CSV with the parameters it was made with in '#' lines.
// Relies on the z-scan model's public entry. Usage: make_demo_data > demo_rsa.csv
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "zscan/zscan.h"

namespace {

// Standard normal deviates by the Box-Muller transform from a fully
// specified generator, so that the data can be made again anywhere.
class Gaussian {
 public:
  explicit Gaussian(std::uint32_t seed) : rng_(seed) {}
  double operator()() {
    const double u1 = uniform(), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.141592653589793 * u2);
  }

 private:
  double uniform() {  // in (0, 1]
    const std::uint64_t bits = (static_cast<std::uint64_t>(rng_()) << 21) ^ rng_();
    return (static_cast<double>(bits & ((1ULL << 53) - 1)) + 1.0) / 9007199254740992.0;
  }
  std::mt19937 rng_;
};

// The shortest decimal form that reads back as the same double.
std::string shortest(double v) {
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, result.ptr);
}

}  // namespace

int main() {
  // The experiment: 532 nm, 4 ns pulses, 20 um waist, 1 mm sample.
  const int num_x_pts = 41;
  const double first_mm = -20.0, step_mm = 1.0;
  const std::vector<double> pulse_energy = {0.5e-6, 1.5e-6};  // J
  const int t_slices = 10, z_slices = 10;
  const double sample_width = 0.1;  // cm
  const double tau = 4e-9, wavelength = 532e-9, w0 = 20e-6, M2 = 1.0;
  const double populations[5] = {3e17, 0.0, 0.0, 0.0, 0.0};  // cm^-3
  const double spec_pars[8] = {1e-17, 4e-17, 6e-17, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12};
  const double noise_sd = 0.005;
  const std::uint32_t seed = 20261208;

  const int num_datasets = static_cast<int>(pulse_energy.size());
  std::vector<double> x_mm(num_x_pts * num_datasets), model(x_mm.size());
  for (int d = 0; d < num_datasets; ++d)
    for (int i = 0; i < num_x_pts; ++i) x_mm[d * num_x_pts + i] = first_mm + step_mm * i;
  const zscan::Experiment experiment{wavelength, w0, M2, tau,
                                     sample_width, t_slices, z_slices, populations};
  for (int d = 0; d < num_datasets; ++d) {
    // Each data set normalised on its own wings, as a fit does.
    zscan::ScanPoints points;
    points.positions = &x_mm[d * num_x_pts];
    points.n_points = num_x_pts;
    points.wing_positions = points.positions;
    points.n_wing = num_x_pts;
    points.pulse_energy = pulse_energy[d];
    if (zscan::scan_transmittance(experiment, points, spec_pars, &model[d * num_x_pts]) !=
        zscan::Status::ok) {
      std::fprintf(stderr, "make_demo_data: the model could not be evaluated\n");
      return 1;
    }
  }

  Gaussian gauss(seed);
  std::printf("# Reverse saturable absorber at two pulse energies, made by the model\n");
  std::printf("# with Gaussian noise of standard deviation %g (seed %u).\n", noise_sd, seed);
  std::printf("# t_slices = %d\n# z_slices = %d\n", t_slices, z_slices);
  std::printf("# sample_width = %s\n", shortest(sample_width).c_str());
  std::printf("# tau = %s\n", shortest(tau).c_str());
  std::printf("# wavelength = %s\n", shortest(wavelength).c_str());
  std::printf("# w0 = %s\n", shortest(w0).c_str());
  std::printf("# M2 = %s\n", shortest(M2).c_str());
  std::printf("# populations =");
  for (double v : populations) std::printf(" %s", shortest(v).c_str());
  std::printf("\n# spec_pars =");
  for (double v : spec_pars) std::printf(" %s", shortest(v).c_str());
  std::printf("\n");
  std::printf("# noise_sd = %g\n", noise_sd);
  std::printf("dataset,pulse_energy,x_mm,transmittance\n");
  for (int d = 0; d < num_datasets; ++d)
    for (int i = 0; i < num_x_pts; ++i) {
      const int p = d * num_x_pts + i;
      std::printf("%d,%s,%s,%.10f\n", d, shortest(pulse_energy[d]).c_str(),
                  shortest(x_mm[p]).c_str(), model[p] + noise_sd * gauss());
    }
  return 0;
}
