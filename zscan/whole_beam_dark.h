// How the whole-beam model keeps the initial populations stationary in the
// dark. With c = -R(N_init, 0) (the rates the plain rate equations would
// have in the dark; a vector over the five levels summing to zero), a level
// with c_l < 0 is drained by the compensation: its term is c_l N_l / N_l,init,
// proportional to what the level holds, so that it vanishes as the level
// empties. The total drained, D = sum over drained levels of -c_l N_l /
// N_l,init, goes to the filled levels (c_l > 0) in proportion to c_l. At N =
// N_init this is -R(N_init, 0) exactly, so the initial state is stationary in
// the dark and a true dark steady state follows the plain rate equations;
// the terms are linear in N and conserve the total population. A drained
// level that holds nothing cannot be compensated, and the inputs are
// refused. Relies only on the C++ standard library.
#ifndef ZSCAN_WHOLE_BEAM_DARK_H
#define ZSCAN_WHOLE_BEAM_DARK_H

#include "zscan/zscan.h"

namespace zscan {

// Decay rates times the pulse duration: 1->0, 1->3, 2->1, 3->0, 4->3.
template <typename T>
struct DecayRates {
  T k10{}, k13{}, k21{}, k30{}, k43{};
};

// The part each level plays in the compensation, from the signs of c.
struct DarkRoles {
  int role[kLevels] = {};  // -1 drained, +1 filled, 0 neither
  int empty_drained = -1;  // the first drained level without population, or -1
  unsigned lifetimes = 0;  // bit k set: spec_pars[k], a lifetime, drains that level
};

DarkRoles dark_roles(const double* n_init /*[kLevels]*/, const DecayRates<double>& k);

// dark[l - 1][k - 1] = d(dn_l/ds)/dx_k without light, for l, k = 1..4, with
// x_k = n_k - n_k,init the departures from the initial populations and
// level 0 holding the rest: the decays and the compensation, for roles
// without an empty drained level. Defined for double and Dual.
template <typename T>
void dark_matrix(const double* n_init, const DecayRates<T>& k, const DarkRoles& roles,
                 T dark[4][4]);

}  // namespace zscan

#endif  // ZSCAN_WHOLE_BEAM_DARK_H
