// What the aperture entries of zscanfit._core (closed_aperture_transmittance
// and beam_propagation_transmittance) share: the checks of their per-scan
// arrays and pulse shape, the scans, experiment and optics they build from
// them, the call without the interpreter lock and the exception for an
// evaluation's outcome, each with the entry's own messages. Relies on nanobind, zscan's public interface and
// the entries' common arrays.
#ifndef ZSCANFIT_CORE_APERTURE_ENTRY_H
#define ZSCANFIT_CORE_APERTURE_ENTRY_H

#include <climits>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "bindings_common/without_interpreter_lock.h"

#include "zscan/zscan.h"
#include "zscanfit_core/entry_arrays.h"

namespace zscanfit_core {

// One entry's message texts (messages.h).
struct ApertureMessages {
  const char* no_scans;
  const char* per_scan;
  const char* spec_pars;
  const char* populations;
  const char* too_many;
  const char* counts;
  const char* pulse_shape;
  const char* refused;
  const char* too_thick;
  const char* not_stationary;
  const char* out_of_memory;
  const char* stopped;
};

// The arrays of a call as the entries take them.
struct ApertureArrays {
  const InArray& positions;
  const CountArray& counts;
  const InArray& pulse_energies;
  const InArray& apertures;
  const InArray& spec_pars;
  const InArray& populations;
};

// The experiment's scalar settings as the entries take them.
struct ApertureSettings {
  double wavelength, w0, M2, tau, sample_width;
};

// What the checked arguments make: the scans (pointing into the arrays), the
// experiment and the number of points.
struct ApertureCall {
  std::vector<zscan::ClosedApertureScan> scans;
  zscan::WholeBeamExperiment experiment;
  std::size_t total = 0;
};

// ValueError with the entry's message for arrays of the wrong lengths, an
// unknown pulse shape or counts that do not split the positions.
inline ApertureCall aperture_call(const ApertureMessages& m, const ApertureArrays& a,
                                  const ApertureSettings& settings,
                                  const std::string& pulse_shape) {
  const std::size_t n_scans = a.counts.shape(0);
  if (n_scans < 1) value_error(m.no_scans);
  if (a.pulse_energies.shape(0) != n_scans || a.apertures.shape(0) != n_scans)
    value_error(m.per_scan);
  if (a.spec_pars.shape(0) != static_cast<std::size_t>(zscan::kSpecPars)) value_error(m.spec_pars);
  if (a.populations.shape(0) != static_cast<std::size_t>(zscan::kLevels))
    value_error(m.populations);
  if (a.positions.shape(0) > static_cast<std::size_t>(INT_MAX)) value_error(m.too_many);
  ApertureCall call;
  call.experiment.pulse_shape = zscan::PulseShape::gaussian;
  if (pulse_shape == "sech2")
    call.experiment.pulse_shape = zscan::PulseShape::sech2;
  else if (pulse_shape != "gaussian")
    value_error(m.pulse_shape, nanobind::repr(nanobind::str(pulse_shape.c_str())).c_str());
  call.experiment.populations = a.populations.data();
  call.experiment.wavelength = settings.wavelength;
  call.experiment.w0 = settings.w0;
  call.experiment.M2 = settings.M2;
  call.experiment.tau = settings.tau;
  call.experiment.sample_width = settings.sample_width;
  call.scans.resize(n_scans);
  call.total = split_scans(a.positions, a.counts, m.counts, m.counts,
                           [&](std::size_t k, const double* first, int n) {
                             call.scans[k] = {first, n, a.pulse_energies.data()[k],
                                              a.apertures.data()[k]};
                           });
  return call;
}

// The exception for an outcome other than Status::ok.
[[noreturn]] inline void raise_aperture_outcome(const ApertureMessages& m, zscan::Status status,
                                                double optical_depth, int drained_level,
                                                std::size_t total) {
  char text[768];
  switch (status) {
    case zscan::Status::too_thick:
      std::snprintf(text, sizeof text, m.too_thick, optical_depth,
                    zscan::kWholeBeamMaxOpticalDepth);
      value_error(text);
    case zscan::Status::not_stationary:
      std::snprintf(text, sizeof text, m.not_stationary, drained_level);
      value_error(text);
    case zscan::Status::out_of_memory:
      memory_error(m.out_of_memory, total);
    case zscan::Status::interrupted:
      stopped_error(m.stopped);
    default:
      break;
  }
  value_error(m.refused);
}

// Runs evaluate(values, errors, &stats) -> zscan::Status without the
// interpreter lock and returns (values, errors, stats_dict(stats)), or raises
// for its outcome (or what a signal handler raised).
template <typename Stats, typename Evaluate, typename StatsDict>
nanobind::tuple run_aperture_entry(const ApertureMessages& m, const ApertureCall& call,
                                   const Evaluate& evaluate, const StatsDict& stats_dict) {
  const std::size_t total = call.total;
  Owned values(total), errors(total);
  Stats stats;
  zscan::Status status = zscan::Status::ok;
  if (bindings_common::run_without_interpreter_lock(
          [&] { status = evaluate(values.data, errors.data, &stats); })) {
    throw nanobind::python_error();  // a signal handler raised
  }
  if (status != zscan::Status::ok)
    raise_aperture_outcome(m, status, stats.optical_depth, stats.drained_level, total);
  return nanobind::make_tuple(values.array(total), errors.array(total), stats_dict(stats));
}

}  // namespace zscanfit_core

#endif  // ZSCANFIT_CORE_APERTURE_ENTRY_H
