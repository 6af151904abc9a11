// The whole-beam model's inputs in its own terms: which settings it can
// start from, and the peak intensity at a scan position and its
// derivatives with respect to the beam's settings.
#ifndef ZSCAN_WHOLE_BEAM_INPUTS_H
#define ZSCAN_WHOLE_BEAM_INPUTS_H

#include "zscan/whole_beam_absorber.h"
#include "zscan/zscan.h"

namespace zscan {

// Whether the arrays, counts and values of a call are all within the ranges
// zscan.h states for whole_beam_evaluate.
bool whole_beam_inputs_valid(const WholeBeamExperiment& experiment, const double* spec_pars,
                             const WholeBeamRequest& request, const WholeBeamOutput& output);

// Peak intensity (W/cm^2) of a pulse of energy E (J) at position z_mm from
// the focus.
double whole_beam_peak_intensity(const WholeBeamExperiment& experiment, double pulse_energy,
                                 double z_mm);

// d ln I0 / d(setting) at position z_mm from the focus, for the position
// itself (per mm), the waist w0 (per m) and M2.
struct IntensitySlopes {
  double position = 0.0, w0 = 0.0, M2 = 0.0;
};
IntensitySlopes peak_intensity_slopes(const WholeBeamExperiment& experiment, double z_mm);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_INPUTS_H
