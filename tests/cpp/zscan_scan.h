// Test helper: a z-scan experiment, the grids, intensities and model
// transmittance the library derives from it, the cases of the model
// reference file, and bitwise comparison of results.
#ifndef KESP_TESTS_ZSCAN_SCAN_H
#define KESP_TESTS_ZSCAN_SCAN_H

#include <cstring>
#include <string>
#include <vector>

#include "json_reader.h"
#include "zscan/beam.h"
#include "zscan/zscan.h"

namespace zscan_test {

struct Scan {
  int nx = 9, nd = 1, t_slices = 4, z_slices = 2, n_pop = 5;
  double width = 0.1, tau = 4e-9, wavelength = 532e-9, w0 = 2e-5, m2 = 1.0;
  std::vector<double> centered_x, energy, populations{3e17, 0.0, 0.0, 0.0, 0.0};
};

struct Grids {
  std::vector<double> positions, depth, times, intensity;
  double rayleigh_range = 0.0, frequency = 0.0;
};

inline zscan::Experiment experiment_of(const Scan& s);

// What a fit derives from the scan before it varies the parameters.
inline Grids grids_of(const Scan& s) {
  Grids g;
  const int m = s.nx * s.nd;
  const zscan::ModelGrids model = zscan::make_grids(experiment_of(s));
  g.depth = model.depth;
  g.times = model.times;
  g.rayleigh_range = model.beam.z0;
  g.frequency = model.frequency;
  g.positions.resize(m);
  g.intensity.resize(static_cast<size_t>(m) * s.t_slices);
  zscan::fill_scan_positions(g.positions.data(), s.centered_x.data(), m);
  zscan::ScanSet scan;
  scan.positions = g.positions.data();
  scan.pulse_energy = s.energy.data();
  scan.num_x_pts = s.nx;
  scan.num_datasets = s.nd;
  zscan::fill_intensity_grid(g.intensity.data(), model, scan);
  return g;
}

// Model transmittance of every point of every data set at spec_pars.
inline std::vector<double> model_of(const Scan& s, const Grids& g,
                                    const std::vector<double>& spec_pars) {
  std::vector<double> out(static_cast<size_t>(s.nx) * s.nd);
  for (int d = 0; d < s.nd; ++d) {
    zscan::transmittance_model(&out[d * s.nx], &g.positions[d * s.nx], &s.nx,
                               g.depth.data(), &s.z_slices, g.times.data(),
                               &s.t_slices, s.populations.data(),
                               &g.intensity[static_cast<size_t>(d) * s.nx * s.t_slices],
                               &g.frequency, spec_pars.data());
  }
  return out;
}

// The experiment's settings of a scan, for scan_transmittance.
inline zscan::Experiment experiment_of(const Scan& s) {
  zscan::Experiment e;
  e.wavelength = s.wavelength;
  e.w0 = s.w0;
  e.M2 = s.m2;
  e.tau = s.tau;
  e.sample_width = s.width;
  e.t_slices = s.t_slices;
  e.z_slices = s.z_slices;
  e.populations = s.populations.data();
  return e;
}

// A case of the model reference file: its scan (one data set), parameters
// and model values.
struct ReferenceCase {
  std::string name;
  Scan scan;
  std::vector<double> spec_pars, model;
  const testjson::Value* json = nullptr;  // the whole case, for further figures
};

inline ReferenceCase reference_case(size_t index) {
  static const testjson::Value cases =
      testjson::load(std::string(KESP_REFERENCE_DIR) + "/model_reference.json");
  const testjson::Value& c = cases[index];
  ReferenceCase r;
  r.json = &c;
  r.name = c["name"].text;
  r.scan.centered_x = c["centered_x_mm"].as_doubles();
  r.scan.nx = static_cast<int>(r.scan.centered_x.size());
  r.scan.t_slices = c["t_slices"].as_int();
  r.scan.z_slices = c["z_slices"].as_int();
  r.scan.energy = {c["pulse_energy"].number};
  r.scan.width = c["sample_width"].number;
  r.scan.tau = c["tau"].number;
  r.scan.wavelength = c["wavelength"].number;
  r.scan.w0 = c["w0"].number;
  r.scan.m2 = c["M2"].number;
  r.scan.populations = c["populations"].as_doubles();
  r.spec_pars = c["spec_pars"].as_doubles();
  r.model = c["model"].as_doubles();
  return r;
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace zscan_test

#endif  // KESP_TESTS_ZSCAN_SCAN_H
