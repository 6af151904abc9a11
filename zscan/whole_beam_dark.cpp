// The dark compensation of the whole-beam model; see whole_beam_dark.h.
// The decays: 1 -> 0 (k10), 1 -> 3 (k13), 2 -> 1 (k21), 3 -> 0 (k30),
// 4 -> 3 (k43). Relies on the dual numbers, for the derivatives of the
// matrix with respect to the lifetimes.
#include "zscan/whole_beam_dark.h"

#include "zscan/whole_beam_dual.h"

namespace zscan {

namespace {

// Positions of the lifetimes in spec_pars.
constexpr int kTau10 = 3, kTau13 = 4, kTau21 = 5, kTau30 = 6, kTau43 = 7;

// rates[to][from]: the decay matrix K, dN/ds = K N in the dark.
template <typename T>
void decay_matrix(const DecayRates<T>& k, T rates[kLevels][kLevels]) {
  for (int i = 0; i < kLevels; ++i)
    for (int j = 0; j < kLevels; ++j) rates[i][j] = T{};
  rates[0][1] = k.k10;
  rates[0][3] = k.k30;
  rates[1][1] = -(k.k10 + k.k13);
  rates[1][2] = k.k21;
  rates[2][2] = -k.k21;
  rates[3][1] = k.k13;
  rates[3][3] = -k.k30;
  rates[3][4] = k.k43;
  rates[4][4] = -k.k43;
}

// c = -K n_init.
template <typename T>
void compensation(const T rates[kLevels][kLevels], const double* n_init, T c[kLevels]) {
  for (int i = 0; i < kLevels; ++i) {
    T sum{};
    for (int j = 0; j < kLevels; ++j) sum = sum + n_init[j] * rates[i][j];
    c[i] = -sum;
  }
}

}  // namespace

DarkRoles dark_roles(const double* n_init, const DecayRates<double>& k) {
  double rates[kLevels][kLevels], c[kLevels];
  decay_matrix(k, rates);
  compensation(rates, n_init, c);
  DarkRoles roles;
  for (int l = 0; l < kLevels; ++l) roles.role[l] = c[l] < 0.0 ? -1 : (c[l] > 0.0 ? 1 : 0);
  for (int l = 0; l < kLevels; ++l) {
    if (roles.role[l] != -1 || n_init[l] > 0.0) continue;
    // What flows into the empty level in the dark: the decays of populated levels.
    roles.empty_drained = l;
    auto add = [&](double rate, double population, int lifetime) {
      if (rate > 0.0 && population > 0.0) roles.lifetimes |= 1u << lifetime;
    };
    if (l == 0) {
      add(k.k10, n_init[1], kTau10);
      add(k.k30, n_init[3], kTau30);
    } else if (l == 1) {
      add(k.k21, n_init[2], kTau21);
    } else if (l == 3) {
      add(k.k13, n_init[1], kTau13);
      add(k.k43, n_init[4], kTau43);
    }
    break;
  }
  return roles;
}

template <typename T>
void dark_matrix(const double* n_init, const DecayRates<T>& k, const DarkRoles& roles,
                 T dark[4][4]) {
  T rates[kLevels][kLevels], c[kLevels];
  decay_matrix(k, rates);
  compensation(rates, n_init, c);
  // The filled levels share what the drained ones lose, in proportion to c.
  T filled{};
  for (int l = 0; l < kLevels; ++l)
    if (roles.role[l] == 1) filled = filled + c[l];
  for (int d = 0; d < kLevels; ++d) {
    if (roles.role[d] != -1 || !(n_init[d] > 0.0)) continue;
    const T drain = c[d] / n_init[d];  // < 0: the drained level's term per unit of it
    rates[d][d] = rates[d][d] + drain;
    if (!(value_of(filled) > 0.0)) continue;
    for (int f = 0; f < kLevels; ++f)
      if (roles.role[f] == 1) rates[f][d] = rates[f][d] - (c[f] / filled) * drain;
  }
  // The departures x_1..x_4; level 0 moves by -(x_1 + ... + x_4).
  for (int l = 1; l < kLevels; ++l)
    for (int j = 1; j < kLevels; ++j) dark[l - 1][j - 1] = rates[l][j] - rates[l][0];
}

template void dark_matrix<double>(const double*, const DecayRates<double>&, const DarkRoles&,
                                  double[4][4]);
template void dark_matrix<Dual>(const double*, const DecayRates<Dual>&, const DarkRoles&,
                                Dual[4][4]);

}  // namespace zscan
