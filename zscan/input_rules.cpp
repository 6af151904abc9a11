// The one check of what a fit call's arrays and counts must satisfy; see
// check_fit_inputs in zscan.h. Relies only on the limits declared there.
#include <climits>

#include "zscan/zscan.h"

namespace zscan {

InputRule check_fit_inputs(const FitShape& s) {
  if (s.num_x_pts < kMinPoints) return InputRule::too_few_points;
  if (s.num_datasets < 1) return InputRule::too_few_datasets;
  const long long points = static_cast<long long>(s.num_x_pts) * s.num_datasets;
  if (points > INT_MAX) return InputRule::too_many_points;
  if (s.x_length != points) return InputRule::x_length;
  if (s.y_length != points) return InputRule::y_length;
  if (s.pulse_energy_length < s.num_datasets) return InputRule::pulse_energy_length;
  if (s.spec_pars_length < kSpecPars) return InputRule::spec_pars_length;
  if (s.populations_length < kLevels) return InputRule::populations_length;
  if (s.populations_length > INT_MAX) return InputRule::populations_too_long;
  if (s.t_slices < kMinSlices) return InputRule::too_few_time_slices;
  if (s.z_slices < kMinSlices) return InputRule::too_few_depth_slices;
  if (s.n_fit > points) return InputRule::too_many_fitted;
  if (s.wavelength == 0.0) return InputRule::zero_wavelength;
  if (s.M2 == 0.0) return InputRule::zero_M2;
  for (long long i = 0; s.fit_indices != nullptr && i < s.n_indices; ++i) {
    if (s.fit_indices[i] < 1 || s.fit_indices[i] > kSpecPars) {
      return InputRule::fit_index_out_of_range;
    }
  }
  return InputRule::ok;
}

}  // namespace zscan
