// zscanfit._core.beam_propagation_transmittance: the beam-propagation
// model's T = P / P_lin for thick samples at the positions (the front face)
// of several scans at once, each scan with its pulse energy and aperture,
// with the model's estimate of its own error at every point. The points run
// on the model's worker threads with the interpreter lock released; Ctrl-C
// stops a long evaluation. Relies on nanobind, zscan's public interface and
// the bindings' common way of running without the interpreter lock.
#include <Python.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "bindings_common/without_interpreter_lock.h"
#include "zscan/zscan.h"
#include "zscanfit_core/aperture_entry.h"
#include "zscanfit_core/bindings.h"
#include "zscanfit_core/entry_arrays.h"
#include "zscanfit_core/messages.h"

namespace nb = nanobind;

namespace zscanfit_core {
namespace {

nb::dict stats_dict(const zscan::BeamPropagationStats& s) {
  nb::dict d;
  d["grids"] = s.grids;
  d["panel_solves"] = s.panel_solves;
  d["largest_radial_nodes"] = s.largest_radial_nodes;
  d["largest_depth_steps"] = s.largest_depth_steps;
  d["largest_time_panels"] = s.largest_time_panels;
  d["refinements"] = s.refinements;
  d["unconverged_points"] = s.unconverged_points;
  d["largest_modes"] = s.largest_modes;
  d["optical_depth"] = s.optical_depth;
  return d;
}

constexpr ApertureMessages kMessages{
    msg::kPropagationNoScans,   msg::kPropagationPerScan,  msg::kPropagationSpecPars,
    msg::kPropagationPopulations, msg::kPropagationTooMany, msg::kPropagationCounts,
    msg::kPropagationPulseShape, msg::kPropagationRefused,  msg::kPropagationTooThick,
    msg::kPropagationNotStationary, msg::kPropagationOutOfMemory, msg::kPropagationStopped};

nb::tuple beam_propagation(const InArray& positions, const CountArray& counts,
                           const InArray& pulse_energies, const InArray& apertures,
                           const InArray& spec_pars, const InArray& populations,
                           double wavelength, double w0, double M2, double tau,
                           double sample_width, double refractive_index, double beta, double n2,
                           double sigma_r1, double sigma_r3, double tolerance,
                           const nb::object& aperture_distance, const std::string& pulse_shape) {
  const ApertureCall call = aperture_call(
      kMessages, {positions, counts, pulse_energies, apertures, spec_pars, populations},
      {wavelength, w0, M2, tau, sample_width}, pulse_shape);
  const zscan::ClosedApertureOptics optics{beta, n2, sigma_r1, sigma_r3};
  zscan::BeamPropagationRequest request;
  request.scans = call.scans.data();
  request.n_scans = static_cast<int>(call.scans.size());
  request.refractive_index = refractive_index;
  request.tolerance = tolerance;
  if (!aperture_distance.is_none()) request.aperture_distance = nb::cast<double>(aperture_distance);
  const double* pars = spec_pars.data();
  return run_aperture_entry<zscan::BeamPropagationStats>(
      kMessages, call,
      [&](double* values, double* errors, zscan::BeamPropagationStats* stats) {
        const zscan::BeamPropagationOutput output{values, errors, stats};
        return zscan::beam_propagation_transmittance(call.experiment, pars, optics, request,
                                                     output);
      },
      stats_dict);
}

}  // namespace

void bind_beam_propagation_entry(nb::module_& m) {
  m.def("beam_propagation_transmittance", &beam_propagation, nb::arg("positions"),
        nb::arg("counts"), nb::arg("pulse_energies"), nb::arg("apertures"), nb::arg("spec_pars"),
        nb::arg("populations"), nb::arg("wavelength"), nb::arg("w0"), nb::arg("M2"),
        nb::arg("tau"), nb::arg("sample_width"), nb::arg("refractive_index"), nb::arg("beta"),
        nb::arg("n2"), nb::arg("sigma_r1"), nb::arg("sigma_r3"), nb::arg("tolerance"),
        nb::arg("aperture_distance") = nb::none(), nb::arg("pulse_shape") = "gaussian",
        "The beam-propagation model for thick samples at the positions of several scans.\n\n"
        "The beam diffracts inside the sample while the rate equations run; T = P / P_lin,\n"
        "the pulse's energy through each scan's aperture relative to the linear sample's,\n"
        "with an estimate of its error at every point.\n\n"
        "Parameters\n----------\n"
        "positions : 1-D float64 array\n    All scans' positions of the sample's front face from the focus (mm), scan after scan.\n"
        "counts : 1-D int32 array\n    The number of positions of each scan.\n"
        "pulse_energies : 1-D float64 array\n    Each scan's pulse energy, J.\n"
        "apertures : 1-D float64 array\n    Each scan's aperture S, the linear beam's share it passes, in (0, 1]; 1 open.\n"
        "spec_pars : 1-D float64 array (8)\n    sigma_0, sigma_1, sigma_2 (cm^2), lifetimes (s).\n"
        "populations : 1-D float64 array (5)\n    Initial populations N0..N4, cm^-3.\n"
        "wavelength, w0 : float\n    m.\n"
        "M2 : float\n    Beam quality factor.\n"
        "tau : float\n    Intensity FWHM of the pulse, s.\n"
        "sample_width : float\n    Thickness, cm.\n"
        "refractive_index : float\n    The sample's linear refractive index n0 (> 0).\n"
        "beta : float\n    Two-photon absorption, cm/W (>= 0).\n"
        "n2 : float\n    Nonlinear index, cm^2/W.\n"
        "sigma_r1, sigma_r3 : float\n    Refractive cross-sections of levels 1 and 3, cm^2.\n"
        "tolerance : float\n    Absolute, on T (>= 1e-10).\n"
        "aperture_distance : float or None\n    The aperture's distance from the focus, m; None: the far field.\n"
        "pulse_shape : str\n    'gaussian' (the default) or 'sech2'.\n\n"
        "Returns\n-------\n"
        "(values, errors, stats): float64 arrays over all positions and a dict of counts.\n\n"
        "Raises\n------\n"
        "ValueError\n    An argument breaks a rule; the sample is too thick; the initial\n"
        "    populations cannot be kept stationary.\n"
        "MemoryError\n    The working storage exceeds the memory the process may use.\n"
        "KeyboardInterrupt\n    Or whatever a signal handler raises (main thread).");
}

}  // namespace zscanfit_core
