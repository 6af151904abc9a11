// zscanfit._core.scan_transmittance: the model transmittance of one scan at
// given parameters, experiment settings and pulse energy, at any positions,
// normalised on the wings of the measured scan. The points run on the
// model's worker threads with the interpreter lock released; Ctrl-C stops a
// long evaluation. Relies on nanobind, zscan's public interface and the
// bindings' common way of running without the interpreter lock.
#include <Python.h>

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "bindings_common/without_interpreter_lock.h"
#include "zscan/zscan.h"
#include "zscanfit_core/bindings.h"
#include "zscanfit_core/messages.h"

namespace nb = nanobind;

namespace zscanfit_core {
namespace {

// A 1-D float64 array in memory, read only.
using InArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutArray = nb::ndarray<nb::numpy, double, nb::ndim<1>>;

[[noreturn]] void raise_value_error(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw nb::value_error(text);
}

// The checks below name the argument and the rule; zscan::scan_transmittance
// applies the same rules and answers only with its status.
void check_count(const char* name, const InArray& array) {
  if (array.shape(0) > static_cast<std::size_t>(INT_MAX)) {
    raise_value_error(msg::kTooManyPoints, name, array.shape(0));
  }
}

void check_no_nan(const char* name, const InArray& array) {
  const double* values = array.data();
  for (std::size_t i = 0; i < array.shape(0); ++i) {
    if (std::isnan(values[i])) raise_value_error(msg::kNanEntry, name, i);
  }
}

struct Settings {
  const char* name;
  double value;
};

void check_arguments(const InArray& positions, const InArray& wing_positions,
                     const InArray& spec_pars, const InArray& populations,
                     const zscan::Experiment& experiment, double pulse_energy) {
  if (positions.shape(0) < 1) raise_value_error(msg::kNoPositions);
  check_count("positions", positions);
  check_count("wing_positions", wing_positions);
  if (wing_positions.shape(0) < static_cast<std::size_t>(zscan::kWingPoints)) {
    raise_value_error(msg::kTooFewWingPoints, wing_positions.shape(0), zscan::kWingPoints);
  }
  if (spec_pars.shape(0) != static_cast<std::size_t>(zscan::kSpecPars)) {
    raise_value_error(msg::kSpecParsLength, spec_pars.shape(0), zscan::kSpecPars);
  }
  if (populations.shape(0) != static_cast<std::size_t>(zscan::kLevels)) {
    raise_value_error(msg::kPopulationsLength, populations.shape(0), zscan::kLevels);
  }
  if (experiment.t_slices < zscan::kMinSlices) {
    raise_value_error(msg::kTooFewSlices, "t_slices", zscan::kMinSlices, experiment.t_slices);
  }
  if (experiment.z_slices < zscan::kMinSlices) {
    raise_value_error(msg::kTooFewSlices, "z_slices", zscan::kMinSlices, experiment.z_slices);
  }
  if (experiment.wavelength == 0.0) raise_value_error(msg::kZeroSetting, "wavelength");
  if (experiment.M2 == 0.0) raise_value_error(msg::kZeroSetting, "M2");
  const Settings settings[] = {
      {"pulse_energy", pulse_energy}, {"wavelength", experiment.wavelength},
      {"w0", experiment.w0},          {"M2", experiment.M2},
      {"tau", experiment.tau},        {"sample_width", experiment.sample_width},
  };
  for (const Settings& setting : settings) {
    if (std::isnan(setting.value)) raise_value_error(msg::kNanSetting, setting.name);
  }
  check_no_nan("positions", positions);
  check_no_nan("wing_positions", wing_positions);
  check_no_nan("spec_pars", spec_pars);
  check_no_nan("populations", populations);
}

OutArray scan_transmittance(const InArray& positions, const InArray& wing_positions,
                            double pulse_energy, const InArray& spec_pars,
                            const InArray& populations, double wavelength, double w0,
                            double M2, double tau, double sample_width, int t_slices,
                            int z_slices) {
  const zscan::Experiment experiment{wavelength, w0, M2, tau,
                                     sample_width, t_slices, z_slices, populations.data()};
  check_arguments(positions, wing_positions, spec_pars, populations, experiment, pulse_energy);

  zscan::ScanPoints points;
  points.positions = positions.data();
  points.n_points = static_cast<int>(positions.shape(0));
  points.wing_positions = wing_positions.data();
  points.n_wing = static_cast<int>(wing_positions.shape(0));
  points.pulse_energy = pulse_energy;

  // The result array exists before the lock is released; the capsule owns
  // its storage from then on.
  const std::size_t n = positions.shape(0);
  std::unique_ptr<double[]> storage(new double[n]);
  double* out = storage.get();
  nb::capsule owner(out, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  storage.release();

  const double* pars = spec_pars.data();
  zscan::Status status = zscan::Status::ok;
  if (bindings_common::run_without_interpreter_lock(
          [&] { status = zscan::scan_transmittance(experiment, points, pars, out); })) {
    throw nb::python_error();  // a signal handler raised
  }
  switch (status) {
    case zscan::Status::ok:
      break;
    case zscan::Status::invalid_input:
    case zscan::Status::too_thick:  // the whole-beam model's outcomes: never from this model
    case zscan::Status::not_stationary:
    case zscan::Status::left_physics:
      throw nb::value_error(msg::kRefused);
    case zscan::Status::out_of_memory: {
      char text[256];
      std::snprintf(text, sizeof text, msg::kOutOfMemory, n, t_slices, z_slices);
      PyErr_SetString(PyExc_MemoryError, text);
      throw nb::python_error();
    }
    case zscan::Status::interrupted:
      PyErr_SetString(PyExc_SystemError, msg::kStoppedWithoutException);
      throw nb::python_error();
  }
  const std::size_t shape[1] = {n};
  return OutArray(out, 1, shape, owner);
}

}  // namespace

void bind_model_entry(nb::module_& m) {
  m.def("scan_transmittance", &scan_transmittance, nb::arg("positions"),
        nb::arg("wing_positions"), nb::arg("pulse_energy"), nb::arg("spec_pars"),
        nb::arg("populations"), nb::arg("wavelength"), nb::arg("w0"), nb::arg("M2"),
        nb::arg("tau"), nb::arg("sample_width"), nb::arg("t_slices"), nb::arg("z_slices"),
        "Model transmittance of one scan at the given parameters.\n\n"
        "The same beam, grids and model as kesp_wrapper.fit_zscan: every point\n"
        "sends the pulse through the sample, and the pulse-integrated ratios are\n"
        "shifted so that the ratios at the first and last five wing_positions\n"
        "average 1.0. With wing_positions equal to positions (a measured scan's\n"
        "positions relative to its centre) the result equals fit_zscan's model,\n"
        "y_data - residuals, bit for bit; on any other grid with the measured\n"
        "scan's positions as wing_positions the curve passes through the model\n"
        "values at the data points. The interpreter lock is released while the\n"
        "points run on the model's worker threads.\n\n"
        "Parameters\n----------\n"
        "positions : 1-D float64 array\n    Where to evaluate, mm relative to the scan's centre.\n"
        "wing_positions : 1-D float64 array (>= 5)\n"
        "    The measured scan's positions, mm relative to its centre.\n"
        "pulse_energy : float\n    Pulse energy, J.\n"
        "spec_pars : 1-D float64 array (8)\n"
        "    sigma_0, sigma_1, sigma_2 (cm^2) and tau_10, tau_13, tau_21, tau_30,\n"
        "    tau_43 (s).\n"
        "populations : 1-D float64 array (5)\n    Initial populations N0..N4, cm^-3.\n"
        "wavelength : float\n    m, not 0.\n"
        "w0 : float\n    Beam waist radius, m.\n"
        "M2 : float\n    Beam quality factor, not 0.\n"
        "tau : float\n    Pulse duration parameter, s: the pulse is exp(-(t/tau)**2).\n"
        "sample_width : float\n    Sample thickness, cm.\n"
        "t_slices, z_slices : int (>= 2)\n    Time slices across the pulse, depth slabs.\n\n"
        "Returns\n-------\n"
        "numpy.ndarray of float64, one value per position.\n\n"
        "Raises\n------\n"
        "ValueError\n    An argument breaks a rule; the message names it.\n"
        "MemoryError\n    The working storage exceeds the memory the process may use.\n"
        "KeyboardInterrupt\n"
        "    Or whatever a signal handler raises: stops the evaluation (main thread).");
}

}  // namespace zscanfit_core
