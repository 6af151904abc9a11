// The whole-beam model's inputs in its own terms: which settings it can
// start from, the absorber in units of the pulse duration, the total
// population and the sample's thickness, and the peak intensity at a scan
// position.
#ifndef ZSCAN_WHOLE_BEAM_INPUTS_H
#define ZSCAN_WHOLE_BEAM_INPUTS_H

#include "zscan/whole_beam_local.h"
#include "zscan/zscan.h"

namespace zscan {

// Whether the arrays, counts and values of a call are all within the ranges
// zscan.h states for whole_beam_transmittance.
bool whole_beam_inputs_valid(const WholeBeamExperiment& experiment, const double* spec_pars,
                             const WholeBeamRequest& request, const double* values,
                             const double* errors);

// The absorber of valid inputs. `transparent` is set when nothing can
// absorb (no population, no cross-section or no thickness): Tloc / Te_lin is
// then 1 at every intensity and the absorber is not filled in.
Absorber make_absorber(const WholeBeamExperiment& experiment, const double* spec_pars,
                       bool* transparent);

// Peak intensity (W/cm^2) of a pulse of energy E (J) at position z_mm from
// the focus.
double whole_beam_peak_intensity(const WholeBeamExperiment& experiment, double pulse_energy,
                                 double z_mm);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_INPUTS_H
