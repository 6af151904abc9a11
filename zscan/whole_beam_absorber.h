// The absorber of the whole-beam model in the units of its local problem
// (time in pulse durations, populations in units of the total, depths in
// units of the sample's thickness), and the derivatives of those
// coefficients with respect to the spectroscopic parameters. Relies on the
// dark compensation and on dual numbers for the derivatives.
#ifndef ZSCAN_WHOLE_BEAM_ABSORBER_H
#define ZSCAN_WHOLE_BEAM_ABSORBER_H

#include "zscan/whole_beam_dark.h"
#include "zscan/zscan.h"

namespace zscan {

struct Absorber {
  double n_init[kLevels] = {};  // initial populations / total population
  // d(dx/ds)/dx without light for the departures x_1..x_4 of levels 1..4
  // (whole_beam_dark.h): decays times the pulse duration and compensation.
  double dark[4][4] = {};
  // Absorption rate times the pulse duration per W/cm^2 of local intensity
  // of levels 0, 1 and 3: sigma_l tau / (h nu).
  double rate_per_intensity[3] = {};
  // Optical depth of the whole sample with all of the population in level
  // 0, 1 or 3: sigma_l N_total L.
  double depth[3] = {};
  double linear_depth = 0.0;  // depth . (n0, n1, n3) = -ln Te_lin
};

// The absorption coefficient's change per unit departure x_1..x_4, times
// the thickness: (c1 - c0, -c0, c3 - c0, -c0) with c = depth.
void absorption_change(const Absorber& a, double beta[4]);

// What the inputs make of the absorber.
struct AbsorberOutcome {
  Absorber absorber;
  DarkRoles roles;
  // Nothing can absorb (no population, no cross-section or no thickness):
  // Tloc / Te_lin is 1 at every intensity and the absorber is not filled in.
  bool transparent = false;
};

// The absorber of valid inputs. roles.empty_drained >= 0 says the initial
// state cannot be kept stationary (the inputs are refused).
AbsorberOutcome make_absorber(const WholeBeamExperiment& experiment, const double* spec_pars);

// The derivatives of every coefficient of the absorber (n_init excepted,
// left 0) with respect to spec_pars[parameter], the roles held fixed.
Absorber absorber_derivative(const WholeBeamExperiment& experiment, const double* spec_pars,
                             const DarkRoles& roles, int parameter);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_ABSORBER_H
