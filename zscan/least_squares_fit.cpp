// One-start least-squares fit: MINPACK's Levenberg-Marquardt minimiser
// (lmdif1, forward-difference Jacobian) over a position-weighted residual
// vector, the weighted norm (enorm) as the error, and a final unweighted pass
// at the fitted parameters. Relies on MINPACK and on the model function
// handed in, reached by the residual function through this thread's fit
// context.
#include "zscan/least_squares_fit.h"

#include <minpack.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "zscan/interrupt.h"

namespace zscan {

namespace {

// Clears this thread's fit context on every way out of a fit. A fit started
// while another one runs on the thread (from its interrupt check, which may
// run arbitrary code between model evaluations) sets the running fit's
// context aside and puts it back when it ends.
struct FitContextScope {
  FitContextScope() {
    FitContext& ctx = fit_context();
    if (ctx.data.model_function != nullptr) {
      outer = std::move(ctx);
      nested = true;
    }
  }
  FitContextScope(const FitContextScope&) = delete;
  FitContextScope& operator=(const FitContextScope&) = delete;
  ~FitContextScope() {
    clear_fit_context();
    if (nested) fit_context() = std::move(outer);
  }

  FitContext outer;  // the running fit's context while a nested fit runs
  bool nested = false;
};

}  // namespace

double point_weight(double z) { return 1.0 + 4.0 * std::exp(-4.0 * (z * z)); }

void weighted_residuals(int* /*m*/, int* /*n*/, double* x, double* fvec,
                        int* iflag) {
  FitContext& c = fit_context();
  const FitData& data = c.data;
  double pars[kSpecPars];
  for (int k = 0; k < kSpecPars; ++k) pars[k] = c.spec_pars[k];
  for (int i = 0; i < c.n_fit; ++i) pars[c.core_indices[i] - 1] = x[i];

  const std::size_t nx = static_cast<std::size_t>(data.num_x_pts);
  const std::size_t slice = nx * static_cast<std::size_t>(data.t_slices);
  for (int d = 0; d < data.num_datasets; ++d) {
    // A stop asked for by this thread's interrupt check: a negative iflag
    // makes the minimiser return at once (fvec is then not used).
    if (interrupt_requested()) {
      *iflag = -1;
      return;
    }
    const std::size_t first = nx * d;
    data.model_function(&c.model_values[first], &data.scan_positions[first],
                        &data.num_x_pts, data.depth_grid, &data.z_slices, data.time_grid,
                        &data.t_slices, data.populations, data.intensity_grid + slice * d,
                        &data.frequency, pars);
    for (std::size_t p = first; p < first + nx; ++p) {
      const double w = point_weight(data.scan_positions[p]);
      fvec[p] = std::sqrt(w) * (data.y_data[p] - c.model_values[p]);
    }
  }
}

namespace {

// The minimiser's work arrays and the fitted values it varies.
struct MinimiserWork {
  int lwa = 0;  // length of wa
  std::vector<double> fit_values;
  std::vector<int> iwa;
  std::vector<double> wa;
};

// Runs the minimiser from the fitted entries of spec_pars (or, when it
// cannot run, one evaluation there), leaving the weighted residuals in
// residuals and the fitted values in work.fit_values.
Status minimise(int m, int n, MinimiserWork& work, double* residuals) {
  // lmdif1 returns at once, without evaluating anything, unless 1 <= n <= m.
  if (n >= 1 && m >= n) {
    double tolerance = kFitTolerance;
    int info = 0;  // convergence status, not reported
    lmdif1_(weighted_residuals, &m, &n, work.fit_values.data(), residuals, &tolerance, &info,
            work.iwa.data(), work.wa.data(), &work.lwa);
    // lmdif1 hands back the negative iflag of a residual function that
    // asked it to stop.
    return info < 0 ? Status::interrupted : Status::ok;
  }
  // Nothing to fit: the error is the weighted norm at the start vector.
  int iflag = 1;
  weighted_residuals(&m, &n, work.fit_values.data(), residuals, &iflag);
  return iflag < 0 ? Status::interrupted : Status::ok;
}

// Unweighted residuals, measured minus model, at spec_pars.
Status final_residuals(const FitData& data, const double* spec_pars,
                       std::vector<double>& model_values, double* residuals) {
  const std::size_t nx = static_cast<std::size_t>(data.num_x_pts);
  const std::size_t slice = nx * static_cast<std::size_t>(data.t_slices);
  for (int d = 0; d < data.num_datasets; ++d) {
    const std::size_t first = nx * d;
    data.model_function(&model_values[first], &data.scan_positions[first], &data.num_x_pts,
                        data.depth_grid, &data.z_slices, data.time_grid, &data.t_slices,
                        data.populations, data.intensity_grid + slice * d, &data.frequency,
                        spec_pars);
    for (std::size_t p = first; p < first + nx; ++p) {
      residuals[p] = data.y_data[p] - model_values[p];
    }
    // A stop asked for during the final pass (the model may have abandoned
    // its evaluation) leaves the residuals unfinished: report the stop.
    if (interrupt_requested()) return Status::interrupted;
  }
  return Status::ok;
}

}  // namespace

Status least_squares_fit(const FitData& data, const int* core_indices, int n_fit,
                         double* spec_pars, double* residuals, double* error) {
  int m = data.num_x_pts * data.num_datasets;
  const int n_stored = n_fit < 0 ? 0 : n_fit;
  const bool minimiser_runs = n_fit >= 1 && m >= n_fit;
  const long long work_length =
      minimiser_runs ? m + static_cast<long long>(n_fit) * (2LL * m + 5) : 0;
  if (work_length > INT_MAX) return Status::out_of_memory;

  FitContextScope scope;
  FitContext& ctx = fit_context();
  MinimiserWork work;
  work.lwa = static_cast<int>(work_length);
  try {
    ctx.model_values.assign(static_cast<std::size_t>(m), 0.0);
    ctx.core_indices.assign(core_indices, core_indices + n_stored);
    work.fit_values.resize(static_cast<std::size_t>(n_stored));
    work.iwa.resize(minimiser_runs ? static_cast<std::size_t>(n_fit) : 0);
    work.wa.resize(static_cast<std::size_t>(work.lwa));
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }
  ctx.data = data;
  ctx.n_fit = n_fit;
  ctx.spec_pars = spec_pars;

  for (int i = 0; i < n_stored; ++i) work.fit_values[i] = spec_pars[core_indices[i] - 1];
  const Status status = minimise(m, n_fit, work, residuals);
  if (status != Status::ok) return status;
  // The residual vector holds the weighted residuals where the minimiser
  // stopped; its norm is the error, neither squared nor divided by m.
  *error = enorm_(&m, residuals);

  for (int i = 0; i < n_stored; ++i) spec_pars[core_indices[i] - 1] = work.fit_values[i];
  return final_residuals(data, spec_pars, ctx.model_values, residuals);
}

}  // namespace zscan
