// zscanfit._core.whole_beam_transmittance: the whole-beam model's Te / Te_lin
// at the positions of several scans at once (one table of the local
// transmittance serves them all), with the model's estimate of its own
// error at every point. The table's nodes run on the model's worker threads
// with the interpreter lock released; Ctrl-C stops a long evaluation.
// Relies on nanobind, zscan's public interface and the bindings' common way
// of running without the interpreter lock.
#include <Python.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
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
using OutArray = nb::ndarray<nb::numpy, double, nb::ndim<1>>;

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
};

[[noreturn]] void value_error(const char* text) { throw nb::value_error(text); }

nb::dict stats_dict(const zscan::WholeBeamStats& s) {
  nb::dict d;
  d["table_nodes"] = s.table_nodes;
  d["table_intervals"] = s.table_intervals;
  d["table_rounds"] = s.table_rounds;
  d["integrations"] = s.integrations;
  d["integrator_steps"] = s.integrator_steps;
  d["failed_integrations"] = s.failed_integrations;
  d["failed_nodes"] = s.failed_nodes;
  return d;
}

nb::tuple whole_beam(const InArray& positions, const CountArray& counts,
                     const InArray& pulse_energies, const InArray& spec_pars,
                     const InArray& populations, double wavelength, double w0, double M2,
                     double tau, double sample_width, double tolerance) {
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

  const zscan::WholeBeamExperiment experiment{wavelength, w0, M2, tau, sample_width,
                                              populations.data()};
  zscan::WholeBeamRequest request;
  request.scans = scans.data();
  request.n_scans = static_cast<int>(n_scans);
  request.tolerance = tolerance;
  Owned values(total), errors(total);
  zscan::WholeBeamStats stats;
  zscan::Status status = zscan::Status::ok;
  const double* pars = spec_pars.data();
  if (bindings_common::run_without_interpreter_lock([&] {
        status = zscan::whole_beam_transmittance(experiment, pars, request, values.data,
                                                 errors.data, &stats);
      })) {
    throw nb::python_error();  // a signal handler raised
  }
  switch (status) {
    case zscan::Status::ok:
      break;
    case zscan::Status::invalid_input:
      value_error(msg::kWholeBeamRefused);
    case zscan::Status::out_of_memory: {
      char text[256];
      std::snprintf(text, sizeof text, msg::kWholeBeamOutOfMemory, total);
      PyErr_SetString(PyExc_MemoryError, text);
      throw nb::python_error();
    }
    case zscan::Status::interrupted:
      PyErr_SetString(PyExc_SystemError, msg::kWholeBeamStopped);
      throw nb::python_error();
  }
  return nb::make_tuple(values.array(total), errors.array(total), stats_dict(stats));
}

}  // namespace

void bind_whole_beam_entry(nb::module_& m) {
  m.def("whole_beam_transmittance", &whole_beam, nb::arg("positions"), nb::arg("counts"),
        nb::arg("pulse_energies"), nb::arg("spec_pars"), nb::arg("populations"),
        nb::arg("wavelength"), nb::arg("w0"), nb::arg("M2"), nb::arg("tau"),
        nb::arg("sample_width"), nb::arg("tolerance"),
        "The whole-beam model at the positions of several scans at once.\n\n"
        "The pulse's energy transmittance over the beam's radius, the pulse and the\n"
        "sample's depth, normalised by its low-energy limit Te_lin, with an estimate\n"
        "of its error at every point (at most the tolerance unless the model could\n"
        "not reach it). One table of the local transmittance serves every scan.\n\n"
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
        "tolerance : float\n    Absolute, on Te / Te_lin (>= 1e-10).\n\n"
        "Returns\n-------\n"
        "(values, errors, stats): two float64 arrays over all positions and a dict of\n"
        "counts (table nodes, integrations, failed nodes, ...). A point the model could\n"
        "not compute is NaN with an infinite error.\n\n"
        "Raises\n------\n"
        "ValueError\n    An argument breaks a rule.\n"
        "MemoryError\n    The working storage exceeds the memory the process may use.\n"
        "KeyboardInterrupt\n    Or whatever a signal handler raises (main thread).");
}

}  // namespace zscanfit_core
