// Per-thread instances of the model coefficients and of the fit context; see
// model_state.h. Relies only on C++ thread-local storage.
#include "zscan/model_state.h"

namespace zscan {

namespace {
thread_local ModelCoefficients t_model_coefficients;
thread_local FitContext t_fit_context;
}  // namespace

ModelCoefficients& model_coefficients() { return t_model_coefficients; }

void write_model_coefficients(const double* frequency, const double* spec_pars) {
  // 1/h with the Planck constant h = 6.62607015e-34 J s: photons per joule
  // at a frequency of 1 Hz.
  constexpr double kInversePlanck = 1.5091901796421518e33;
  ModelCoefficients& c = t_model_coefficients;
  c.photons_per_joule = kInversePlanck / *frequency;
  c.sigma_0 = spec_pars[0];
  c.sigma_1 = spec_pars[1];
  c.sigma_2 = spec_pars[2];
  c.k_10 = 1.0 / spec_pars[3];
  c.k_13 = 1.0 / spec_pars[4];
  c.k_21 = 1.0 / spec_pars[5];
  c.k_30 = 1.0 / spec_pars[6];
  c.k_43 = 1.0 / spec_pars[7];
}

FitContext& fit_context() { return t_fit_context; }

void clear_fit_context() {
  FitContext& ctx = t_fit_context;
  FitData kept;
  kept.frequency = ctx.data.frequency;
  kept.num_x_pts = ctx.data.num_x_pts;
  kept.num_datasets = ctx.data.num_datasets;
  ctx.data = kept;
  ctx.n_fit = 0;
  std::vector<double>().swap(ctx.model_values);
  std::vector<int>().swap(ctx.core_indices);
  ctx.spec_pars = nullptr;
}

}  // namespace zscan
