// Whole-beam values of every scan point from the table of the local
// transmittance, their derivatives, and their normalisation on a scan's
// wings; see whole_beam_scan.h and zscan.h. Te(I0) is the mean of Tloc over
// [0, I0], so dTe/dI0 = (Tloc(I0) - Te(I0)) / I0: the beam's settings act
// through ln I0. Relies on the table's beam average and on the peak
// intensity of the inputs.
#include "zscan/whole_beam_scan.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "zscan/whole_beam_inputs.h"

namespace zscan {

double largest_peak_intensity(const WholeBeamExperiment& e, const WholeBeamRequest& r) {
  double largest = 0.0;
  for (int s = 0; s < r.n_scans; ++s) {
    const WholeBeamScan& scan = r.scans[s];
    for (int i = 0; i < scan.n_points; ++i)
      largest = std::max(largest, whole_beam_peak_intensity(e, scan.pulse_energy, scan.positions_mm[i]));
  }
  return largest;
}

void scan_values(const WholeBeamExperiment& e, const WholeBeamRequest& r, const Table& table,
                 const DerivativeSlots& slots, double error_floor, const WholeBeamOutput& out) {
  long long total = 0;
  for (int s = 0; s < r.n_scans; ++s) total += r.scans[s].n_points;
  std::vector<double> tabulated(static_cast<std::size_t>(table.derivatives));
  long long k = 0;
  for (int s = 0; s < r.n_scans; ++s) {
    const WholeBeamScan& scan = r.scans[s];
    for (int i = 0; i < scan.n_points; ++i, ++k) {
      const double z = scan.positions_mm[i];
      const double intensity = whole_beam_peak_intensity(e, scan.pulse_energy, z);
      const BeamAverage average = beam_average(table, intensity, tabulated.data());
      const bool finite = std::isfinite(average.value);
      out.values[k] = average.value;
      out.errors[k] = finite ? std::max(average.error, error_floor)
                             : std::numeric_limits<double>::infinity();
      if (r.n_parameters == 0) continue;
      // dTe / d ln I0.
      const double slope = average.local - average.value;
      const IntensitySlopes beam = peak_intensity_slopes(e, z);
      for (int p = 0; p < r.n_parameters; ++p) {
        const WholeBeamParameter id = r.parameters[p];
        const int slot = slots.slot[static_cast<int>(id)];
        double d = 0.0;
        if (slot >= 0)
          d = tabulated[static_cast<std::size_t>(slot)];
        else if (id == WholeBeamParameter::center_mm)
          d = -slope * beam.position;
        else if (id == WholeBeamParameter::w0)
          d = slope * beam.w0;
        else
          d = slope * beam.M2;
        if (intensity == 0.0 && slot < 0) d = 0.0;
        out.derivatives[p * total + k] =
            finite ? d : std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
}

Status whole_beam_wing_normalise(const double* values, const double* errors, int n_points,
                                 double* out, double* out_errors) {
  if (values == nullptr || errors == nullptr || out == nullptr || out_errors == nullptr ||
      n_points < kWingPoints) {
    return Status::invalid_input;
  }
  double mean = 0.0, mean_error = 0.0;
  for (int k = 0; k < kWingPoints; ++k) {
    mean += values[k] + values[n_points - kWingPoints + k];
    mean_error += errors[k] + errors[n_points - kWingPoints + k];
  }
  mean /= 2.0 * kWingPoints;
  mean_error /= 2.0 * kWingPoints;
  // |v'/m' - v/m| <= (e_v + |v/m| e_m) / (m - e_m) for |v' - v| <= e_v,
  // |m' - m| <= e_m < m.
  const double margin = mean - mean_error;
  for (int i = 0; i < n_points; ++i) {
    const double ratio = values[i] / mean;
    const double error = margin > 0.0 ? (errors[i] + std::fabs(ratio) * mean_error) / margin
                                       : std::numeric_limits<double>::infinity();
    out[i] = ratio;
    out_errors[i] = error;
  }
  return Status::ok;
}

}  // namespace zscan
