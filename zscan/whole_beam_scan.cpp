// Whole-beam values of every scan point from the table of the local
// transmittance, and their normalisation on a scan's wings; see
// whole_beam_scan.h and zscan.h. Relies on the table's beam average and on
// the peak intensity of the inputs.
#include "zscan/whole_beam_scan.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
                 double error_floor, double* values, double* errors) {
  long long k = 0;
  for (int s = 0; s < r.n_scans; ++s) {
    const WholeBeamScan& scan = r.scans[s];
    for (int i = 0; i < scan.n_points; ++i, ++k) {
      const double intensity = whole_beam_peak_intensity(e, scan.pulse_energy, scan.positions_mm[i]);
      const BeamAverage average = beam_average(table, intensity);
      values[k] = average.value;
      errors[k] = std::isfinite(average.value) ? std::max(average.error, error_floor)
                                               : std::numeric_limits<double>::infinity();
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
