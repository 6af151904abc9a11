// The aperture entries' shared rules and outcomes; see aperture_scans.h.
// Relies on the whole-beam inputs.
#include "zscan/aperture_scans.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "zscan/whole_beam_inputs.h"

namespace zscan {

bool aperture_inputs_valid(const ApertureInputs& in) {
  if (in.scans == nullptr || in.n_scans < 1 || in.values == nullptr || in.errors == nullptr)
    return false;
  const ClosedApertureOptics& optics = *in.optics;
  if (!(optics.beta >= 0.0) || !std::isfinite(optics.beta) || !std::isfinite(optics.n2) ||
      !std::isfinite(optics.sigma_r1) || !std::isfinite(optics.sigma_r3))
    return false;
  if (!(in.aperture_distance > 0.0)) return false;
  std::vector<WholeBeamScan> scans(static_cast<std::size_t>(in.n_scans));
  for (int s = 0; s < in.n_scans; ++s) {
    const ClosedApertureScan& scan = in.scans[s];
    if (!(scan.aperture > 0.0 && scan.aperture <= 1.0)) return false;
    scans[static_cast<std::size_t>(s)] = {scan.positions_mm, scan.n_points, scan.pulse_energy};
    if (scan.positions_mm == nullptr) return false;
    for (int i = 0; i < scan.n_points; ++i)
      if (!(scan.positions_mm[i] * 1e-3 + in.depth_m < in.aperture_distance)) return false;
  }
  WholeBeamRequest whole;
  whole.scans = scans.data();
  whole.n_scans = in.n_scans;
  whole.tolerance = in.tolerance;
  // Only checked for null: the whole-beam rules never write.
  WholeBeamOutput whole_out;
  whole_out.values = const_cast<double*>(in.values);
  whole_out.errors = const_cast<double*>(in.errors);
  return whole_beam_inputs_valid(*in.experiment, in.spec_pars, whole, whole_out);
}

Status run_checked(const ApertureInputs& in, double* values, double* errors,
                   const std::function<Status()>& evaluate) {
  Status status = Status::invalid_input;
  try {
    if (aperture_inputs_valid(in)) status = evaluate();
  } catch (const std::bad_alloc&) {
    status = Status::out_of_memory;
  } catch (const std::length_error&) {
    status = Status::out_of_memory;
  }
  if (status != Status::ok && in.scans != nullptr && in.n_scans > 0 && values != nullptr &&
      errors != nullptr) {
    long long k = 0;
    for (int s = 0; s < in.n_scans; ++s) {
      for (int i = 0; i < in.scans[s].n_points; ++i, ++k) {
        values[k] = std::numeric_limits<double>::quiet_NaN();
        errors[k] = std::numeric_limits<double>::infinity();
      }
    }
  }
  return status;
}

}  // namespace zscan
