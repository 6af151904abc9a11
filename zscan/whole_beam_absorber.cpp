// The whole-beam model's absorber and its derivatives; see
// whole_beam_absorber.h. One template makes the coefficients from the
// spectroscopic parameters, in doubles for the values and in dual numbers
// for the derivatives. Physical constants: h = 6.62607015e-34 J s,
// c = 299792458 m/s. Relies on the dark compensation and the dual numbers.
#include "zscan/whole_beam_absorber.h"

#include "zscan/whole_beam_dual.h"

namespace zscan {

namespace {

constexpr double kPlanck = 6.62607015e-34;     // J s
constexpr double kSpeedOfLight = 299792458.0;  // m/s

template <typename T>
struct Coefficients {
  T dark[4][4];
  T rate_per_intensity[3];
  T depth[3];
  T linear_depth;
};

double total_population(const WholeBeamExperiment& e) {
  double total = 0.0;
  for (int l = 0; l < kLevels; ++l) total += e.populations[l];
  return total;
}

template <typename T>
DecayRates<T> decay_rates(const WholeBeamExperiment& e, const T* spec_pars) {
  // A lifetime of +inf gives a rate of 0.
  DecayRates<T> k;
  k.k10 = e.tau / spec_pars[3];
  k.k13 = e.tau / spec_pars[4];
  k.k21 = e.tau / spec_pars[5];
  k.k30 = e.tau / spec_pars[6];
  k.k43 = e.tau / spec_pars[7];
  return k;
}

template <typename T>
Coefficients<T> coefficients(const WholeBeamExperiment& e, const double* n_init,
                             const T* spec_pars, const DarkRoles& roles) {
  Coefficients<T> c;
  const double total = total_population(e);
  const double photon_energy = kPlanck * (kSpeedOfLight / e.wavelength);  // J
  for (int l = 0; l < 3; ++l) {
    c.depth[l] = (total * e.sample_width) * spec_pars[l];
    c.rate_per_intensity[l] = (e.tau / photon_energy) * spec_pars[l];
  }
  c.linear_depth = (n_init[0] * c.depth[0] + n_init[1] * c.depth[1]) + n_init[3] * c.depth[2];
  dark_matrix(n_init, decay_rates(e, spec_pars), roles, c.dark);
  return c;
}

}  // namespace

void absorption_change(const Absorber& a, double beta[4]) {
  beta[0] = a.depth[1] - a.depth[0];
  beta[1] = -a.depth[0];
  beta[2] = a.depth[2] - a.depth[0];
  beta[3] = -a.depth[0];
}

AbsorberOutcome make_absorber(const WholeBeamExperiment& e, const double* spec_pars) {
  AbsorberOutcome out;
  Absorber& a = out.absorber;
  const double total = total_population(e);
  out.transparent = !(total > 0.0) || !(e.sample_width > 0.0) ||
                    (spec_pars[0] == 0.0 && spec_pars[1] == 0.0 && spec_pars[2] == 0.0);
  if (out.transparent) return out;
  for (int l = 0; l < kLevels; ++l) a.n_init[l] = e.populations[l] / total;
  out.roles = dark_roles(a.n_init, decay_rates(e, spec_pars));
  if (out.roles.empty_drained >= 0) return out;
  const Coefficients<double> c = coefficients(e, a.n_init, spec_pars, out.roles);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) a.dark[i][j] = c.dark[i][j];
  for (int l = 0; l < 3; ++l) {
    a.rate_per_intensity[l] = c.rate_per_intensity[l];
    a.depth[l] = c.depth[l];
  }
  a.linear_depth = c.linear_depth;
  return out;
}

Absorber absorber_derivative(const WholeBeamExperiment& e, const double* spec_pars,
                             const DarkRoles& roles, int parameter) {
  Absorber a;
  const double total = total_population(e);
  double n_init[kLevels];
  for (int l = 0; l < kLevels; ++l) n_init[l] = e.populations[l] / total;
  Dual pars[kSpecPars];
  for (int k = 0; k < kSpecPars; ++k) pars[k] = Dual{spec_pars[k], k == parameter ? 1.0 : 0.0};
  const Coefficients<Dual> c = coefficients(e, n_init, pars, roles);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) a.dark[i][j] = c.dark[i][j].d;
  for (int l = 0; l < 3; ++l) {
    a.rate_per_intensity[l] = c.rate_per_intensity[l].d;
    a.depth[l] = c.depth[l].d;
  }
  a.linear_depth = c.linear_depth.d;
  return a;
}

}  // namespace zscan
