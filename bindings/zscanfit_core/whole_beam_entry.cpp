// zscanfit._core.whole_beam_transmittance: the whole-beam model's Te / Te_lin
// at the positions of several scans at once (one table of the local
// transmittance serves them all), with the model's estimate of its own
// error at every point and, on request, the derivatives of every value
// with respect to the parameters named. The table's nodes run on the
// model's worker threads with the interpreter lock released; Ctrl-C stops a
// long evaluation. Relies on nanobind, zscan's public interface and the
// bindings' common way of running without the interpreter lock.
#include <Python.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "bindings_common/without_interpreter_lock.h"
#include "zscan/zscan.h"
#include "zscanfit_core/bindings.h"
#include "zscanfit_core/messages.h"

namespace nb = nanobind;

namespace zscanfit_core {
namespace {

using InArray = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using CountArray = nb::ndarray<const int, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutArray = nb::ndarray<nb::numpy, double>;

// The names of the parameters a derivative may be taken with respect to,
// in the order of zscan::WholeBeamParameter.
const char* const kParameterNames[zscan::kWholeBeamParameters] = {
    "sigma_0", "sigma_1", "sigma_2", "tau_10", "tau_13", "tau_21",
    "tau_30",  "tau_43",  "center_mm", "w0",   "M2"};

// A float64 array the caller receives; the capsule owns its storage.
struct Owned {
  double* data = nullptr;
  nb::capsule owner;
  explicit Owned(std::size_t n) {
    std::unique_ptr<double[]> storage(new double[n > 0 ? n : 1]);
    data = storage.get();
    owner = nb::capsule(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    storage.release();
  }
  OutArray array(std::size_t n) const {
    const std::size_t shape[1] = {n};
    return OutArray(data, 1, shape, owner);
  }
  OutArray matrix(std::size_t rows, std::size_t columns) const {
    const std::size_t shape[2] = {rows, columns};
    return OutArray(data, 2, shape, owner);
  }
};

[[noreturn]] void value_error(const char* text) { throw nb::value_error(text); }

// A message with one %s field filled.
[[noreturn]] void value_error(const char* format, const std::string& field) {
  char text[512];
  std::snprintf(text, sizeof text, format, field.c_str());
  value_error(text);
}

nb::dict stats_dict(const zscan::WholeBeamStats& s) {
  nb::dict d;
  d["table_nodes"] = s.table_nodes;
  d["table_intervals"] = s.table_intervals;
  d["table_rounds"] = s.table_rounds;
  d["integrations"] = s.integrations;
  d["integrator_steps"] = s.integrator_steps;
  d["failed_integrations"] = s.failed_integrations;
  d["failed_nodes"] = s.failed_nodes;
  d["optical_depth"] = s.optical_depth;
  return d;
}

zscan::PulseShape pulse_shape_of(const std::string& name) {
  if (name == "gaussian") return zscan::PulseShape::gaussian;
  if (name == "sech2") return zscan::PulseShape::sech2;
  value_error(msg::kWholeBeamPulseShape, nb::repr(nb::str(name.c_str())).c_str());
}

// The parameters named in `derivatives` (names or positions), each once,
// finite when a lifetime.
std::vector<zscan::WholeBeamParameter> parameters_of(const nb::handle& derivatives,
                                                     const double* spec_pars) {
  std::vector<zscan::WholeBeamParameter> out;
  std::size_t index = 0;
  for (nb::handle item : derivatives) {
    int id = -1;
    std::string shown;
    if (nb::isinstance<nb::str>(item)) {
      shown = nb::cast<std::string>(item);
      for (int k = 0; k < zscan::kWholeBeamParameters; ++k)
        if (shown == kParameterNames[k]) id = k;
      shown = nb::repr(item).c_str();
    } else if (nb::isinstance<nb::int_>(item) && !nb::isinstance<nb::bool_>(item)) {
      const long long value = nb::cast<long long>(item);
      if (value >= 0 && value < zscan::kWholeBeamParameters) id = static_cast<int>(value);
      shown = nb::repr(item).c_str();
    } else {
      char text[256];
      std::snprintf(text, sizeof text, msg::kWholeBeamDerivativeType, index);
      value_error(text);
    }
    if (id < 0) value_error(msg::kWholeBeamUnknownParameter, shown);
    const zscan::WholeBeamParameter p = static_cast<zscan::WholeBeamParameter>(id);
    for (zscan::WholeBeamParameter q : out)
      if (q == p) value_error(msg::kWholeBeamRepeatedParameter, kParameterNames[id]);
    if (id < zscan::kSpecPars && !std::isfinite(spec_pars[id]))
      value_error(msg::kWholeBeamInfiniteLifetime, kParameterNames[id]);
    out.push_back(p);
    ++index;
  }
  return out;
}

// The lifetimes whose bits are set, as "tau_10, tau_30", or with " or ".
std::string lifetime_names(unsigned lifetimes, const char* separator) {
  std::string out;
  for (int k = 0; k < zscan::kSpecPars; ++k) {
    if ((lifetimes & (1u << k)) == 0) continue;
    if (!out.empty()) out += separator;
    out += kParameterNames[k];
  }
  return out;
}

// The exception for an outcome other than Status::ok.
[[noreturn]] void raise_for(zscan::Status status, const zscan::WholeBeamStats& stats,
                            std::size_t total) {
  char text[768];
  switch (status) {
    case zscan::Status::too_thick:
      std::snprintf(text, sizeof text, msg::kWholeBeamTooThick, stats.optical_depth,
                    zscan::kWholeBeamMaxOpticalDepth);
      value_error(text);
    case zscan::Status::not_stationary: {
      const std::string all = lifetime_names(stats.drain_lifetimes, ", ");
      const std::string any = lifetime_names(stats.drain_lifetimes, " or ");
      std::snprintf(text, sizeof text, msg::kWholeBeamNotStationary, stats.drained_level,
                    all.c_str(), any.c_str());
      value_error(text);
    }
    case zscan::Status::left_physics:
      std::snprintf(text, sizeof text, msg::kWholeBeamLeftPhysics, stats.physics_level,
                    stats.physics_population, stats.physics_intensity);
      value_error(text);
    case zscan::Status::out_of_memory:
      std::snprintf(text, sizeof text, msg::kWholeBeamOutOfMemory, total);
      PyErr_SetString(PyExc_MemoryError, text);
      throw nb::python_error();
    case zscan::Status::interrupted:
      PyErr_SetString(PyExc_SystemError, msg::kWholeBeamStopped);
      throw nb::python_error();
    case zscan::Status::ok:
    case zscan::Status::invalid_input:
      break;
  }
  value_error(msg::kWholeBeamRefused);
}

nb::tuple whole_beam(const InArray& positions, const CountArray& counts,
                     const InArray& pulse_energies, const InArray& spec_pars,
                     const InArray& populations, double wavelength, double w0, double M2,
                     double tau, double sample_width, double tolerance,
                     const nb::object& derivatives, const std::string& pulse_shape) {
  const std::size_t n_scans = counts.shape(0);
  if (n_scans < 1) value_error(msg::kWholeBeamNoScans);
  if (pulse_energies.shape(0) != n_scans) value_error(msg::kWholeBeamEnergies);
  if (spec_pars.shape(0) != static_cast<std::size_t>(zscan::kSpecPars)) {
    value_error(msg::kWholeBeamSpecPars);
  }
  if (populations.shape(0) != static_cast<std::size_t>(zscan::kLevels)) {
    value_error(msg::kWholeBeamPopulations);
  }
  if (positions.shape(0) > static_cast<std::size_t>(INT_MAX)) value_error(msg::kWholeBeamTooMany);
  const zscan::PulseShape shape = pulse_shape_of(pulse_shape);
  const bool with_derivatives = !derivatives.is_none();
  const std::vector<zscan::WholeBeamParameter> parameters =
      with_derivatives ? parameters_of(derivatives, spec_pars.data())
                       : std::vector<zscan::WholeBeamParameter>();
  std::vector<zscan::WholeBeamScan> scans(n_scans);
  std::size_t total = 0;
  for (std::size_t k = 0; k < n_scans; ++k) {
    const int n = counts.data()[k];
    if (n < 1) value_error(msg::kWholeBeamEmptyScan);
    scans[k].positions_mm = positions.data() + total;
    scans[k].n_points = n;
    scans[k].pulse_energy = pulse_energies.data()[k];
    total += static_cast<std::size_t>(n);
    if (total > positions.shape(0)) value_error(msg::kWholeBeamCounts);
  }
  if (total != positions.shape(0)) value_error(msg::kWholeBeamCounts);
  if (total * (parameters.size() + 1) > static_cast<std::size_t>(INT_MAX)) {
    value_error(msg::kWholeBeamTooMany);
  }

  zscan::WholeBeamExperiment experiment{wavelength, w0, M2, tau, sample_width,
                                        populations.data()};
  experiment.pulse_shape = shape;
  zscan::WholeBeamRequest request;
  request.scans = scans.data();
  request.n_scans = static_cast<int>(n_scans);
  request.tolerance = tolerance;
  request.parameters = parameters.data();
  request.n_parameters = static_cast<int>(parameters.size());
  Owned values(total), errors(total), slopes(total * parameters.size());
  zscan::WholeBeamStats stats;
  zscan::WholeBeamOutput output;
  output.values = values.data;
  output.errors = errors.data;
  output.derivatives = slopes.data;
  output.stats = &stats;
  zscan::Status status = zscan::Status::ok;
  const double* pars = spec_pars.data();
  if (bindings_common::run_without_interpreter_lock([&] {
        status = zscan::whole_beam_evaluate(experiment, pars, request, output);
      })) {
    throw nb::python_error();  // a signal handler raised
  }
  if (status != zscan::Status::ok) raise_for(status, stats, total);
  if (!with_derivatives)
    return nb::make_tuple(values.array(total), errors.array(total), stats_dict(stats));
  return nb::make_tuple(values.array(total), errors.array(total),
                        slopes.matrix(parameters.size(), total), stats_dict(stats));
}

}  // namespace

void bind_whole_beam_entry(nb::module_& m) {
  m.def("whole_beam_transmittance", &whole_beam, nb::arg("positions"), nb::arg("counts"),
        nb::arg("pulse_energies"), nb::arg("spec_pars"), nb::arg("populations"),
        nb::arg("wavelength"), nb::arg("w0"), nb::arg("M2"), nb::arg("tau"),
        nb::arg("sample_width"), nb::arg("tolerance"), nb::arg("derivatives") = nb::none(),
        nb::arg("pulse_shape") = "gaussian",
        "The whole-beam model at the positions of several scans at once.\n\n"
        "The pulse's energy transmittance over the beam's radius, the pulse and the\n"
        "sample's depth, normalised by its low-energy limit Te_lin, with an estimate\n"
        "of its error at every point (at most the tolerance unless the model could\n"
        "not reach it), and on request its derivatives. One table of the local\n"
        "transmittance serves every scan.\n\n"
        "Parameters\n----------\n"
        "positions : 1-D float64 array\n    All scans' positions from the focus (mm), scan after scan.\n"
        "counts : 1-D int32 array\n    The number of positions of each scan.\n"
        "pulse_energies : 1-D float64 array\n    Each scan's pulse energy, J.\n"
        "spec_pars : 1-D float64 array (8)\n    sigma_0, sigma_1, sigma_2 (cm^2), lifetimes (s).\n"
        "populations : 1-D float64 array (5)\n    Initial populations N0..N4, cm^-3.\n"
        "wavelength, w0 : float\n    m.\n"
        "M2 : float\n    Beam quality factor.\n"
        "tau : float\n    Intensity FWHM of the pulse, s.\n"
        "sample_width : float\n    cm.\n"
        "tolerance : float\n    Absolute, on Te / Te_lin (>= 1e-10).\n"
        "derivatives : sequence of str or int, optional\n"
        "    The parameters whose derivatives are wanted, by name (sigma_0, sigma_1,\n"
        "    sigma_2, tau_10, tau_13, tau_21, tau_30, tau_43, center_mm, w0, M2) or\n"
        "    position (0 to 10), each once; per unit of the parameter (cm^2, s, mm, m).\n"
        "    The values are the same bits with and without them.\n"
        "pulse_shape : str\n    'gaussian' (the default) or 'sech2', of intensity FWHM tau.\n\n"
        "Returns\n-------\n"
        "(values, errors, stats), or with derivatives (values, errors, derivatives,\n"
        "stats): float64 arrays over all positions (derivatives: one row per\n"
        "parameter) and a dict of counts (table nodes, integrations, failed nodes,\n"
        "the optical depth, ...). A point the model could not compute is NaN with an\n"
        "infinite error.\n\n"
        "Raises\n------\n"
        "ValueError\n    An argument breaks a rule; the sample is too thick; the initial\n"
        "    populations cannot be kept stationary; the model left physics.\n"
        "MemoryError\n    The working storage exceeds the memory the process may use.\n"
        "KeyboardInterrupt\n    Or whatever a signal handler raises (main thread).");
}

}  // namespace zscanfit_core
