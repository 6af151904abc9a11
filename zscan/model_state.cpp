// Per-thread instances of the model coefficients and of the fit context; see
// model_state.h. Relies only on C++ thread-local storage.
#include "zscan/model_state.h"

namespace zscan {

namespace {
thread_local ModelCoefficients t_model_coefficients;
thread_local FitContext t_fit_context;
}  // namespace

ModelCoefficients& model_coefficients() { return t_model_coefficients; }

FitContext& fit_context() { return t_fit_context; }

void clear_fit_context() {
  FitContext& ctx = t_fit_context;
  ctx.model_function = nullptr;
  ctx.n_fit = 0;
  ctx.t_slices = 0;
  ctx.z_slices = 0;
  std::vector<double>().swap(ctx.model_values);
  std::vector<int>().swap(ctx.core_indices);
  ctx.intensity_grid = nullptr;
  ctx.populations = nullptr;
  ctx.time_grid = nullptr;
  ctx.depth_grid = nullptr;
  ctx.spec_pars = nullptr;
  ctx.y_data = nullptr;
  ctx.scan_positions = nullptr;
}

}  // namespace zscan
