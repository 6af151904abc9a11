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
    if (ctx.model_function != nullptr) {
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

double point_weight(const double* z) {
  return 1.0 + 4.0 * std::exp(-4.0 * (*z * *z));
}

void weighted_residuals(int* /*m*/, int* /*n*/, double* x, double* fvec,
                        int* iflag) {
  FitContext& c = fit_context();
  double pars[kSpecPars];
  for (int k = 0; k < kSpecPars; ++k) pars[k] = c.spec_pars[k];
  for (int i = 0; i < c.n_fit; ++i) pars[c.core_indices[i] - 1] = x[i];

  const std::size_t nx = static_cast<std::size_t>(c.num_x_pts);
  const std::size_t slice = nx * static_cast<std::size_t>(c.t_slices);
  for (int d = 0; d < c.num_datasets; ++d) {
    // A stop asked for by this thread's interrupt check: a negative iflag
    // makes the minimiser return at once (fvec is then not used).
    if (interrupt_requested()) {
      *iflag = -1;
      return;
    }
    const std::size_t first = nx * d;
    c.model_function(&c.model_values[first], &c.scan_positions[first],
                     &c.num_x_pts, c.depth_grid, &c.z_slices, c.time_grid,
                     &c.t_slices, c.populations, c.intensity_grid + slice * d,
                     &c.frequency, pars);
    for (std::size_t p = first; p < first + nx; ++p) {
      const double w = point_weight(&c.scan_positions[p]);
      fvec[p] = std::sqrt(w) * (c.y_data[p] - c.model_values[p]);
    }
  }
}

Status least_squares_fit(const double* scan_positions, const double* y_data,
                         ModelFunction model_function, const double* depth_grid,
                         const int* z_slices, const double* time_grid,
                         const int* t_slices, const double* populations,
                         const double* intensity_grid, double* residuals,
                         const double* frequency, double* spec_pars,
                         const int* num_x_pts, const int* num_datasets,
                         const int* core_indices, const int* n_fit,
                         double* error) {
  if (*num_x_pts < 1 || *num_datasets < 1 || *t_slices < 1 || *z_slices < 1) {
    return Status::invalid_input;
  }
  const long long points = static_cast<long long>(*num_x_pts) * *num_datasets;
  if (points > INT_MAX) return Status::invalid_input;
  int m = static_cast<int>(points);
  int n = *n_fit;
  const int n_stored = n < 0 ? 0 : n;
  for (int i = 0; i < n_stored; ++i) {
    if (core_indices[i] < 1 || core_indices[i] > kSpecPars) return Status::invalid_input;
  }
  // lmdif1 returns at once, without evaluating anything, unless 1 <= n <= m.
  const bool minimiser_runs = n >= 1 && m >= n;
  const long long work_length =
      minimiser_runs ? m + static_cast<long long>(n) * (2LL * m + 5) : 0;
  if (work_length > INT_MAX) return Status::out_of_memory;
  int lwa = static_cast<int>(work_length);

  FitContextScope scope;
  FitContext& ctx = fit_context();
  std::vector<double> fit_values;
  std::vector<int> iwa;
  std::vector<double> wa;
  try {
    ctx.model_values.assign(static_cast<std::size_t>(m), 0.0);
    ctx.core_indices.assign(core_indices, core_indices + n_stored);
    fit_values.resize(static_cast<std::size_t>(n_stored));
    iwa.resize(minimiser_runs ? static_cast<std::size_t>(n) : 0);
    wa.resize(static_cast<std::size_t>(lwa));
  } catch (const std::bad_alloc&) {
    return Status::out_of_memory;
  } catch (const std::length_error&) {
    return Status::out_of_memory;
  }
  ctx.model_function = model_function;
  ctx.frequency = *frequency;
  ctx.num_x_pts = *num_x_pts;
  ctx.num_datasets = *num_datasets;
  ctx.n_fit = n;
  ctx.t_slices = *t_slices;
  ctx.z_slices = *z_slices;
  ctx.intensity_grid = intensity_grid;
  ctx.populations = populations;
  ctx.time_grid = time_grid;
  ctx.depth_grid = depth_grid;
  ctx.spec_pars = spec_pars;
  ctx.y_data = y_data;
  ctx.scan_positions = scan_positions;

  for (int i = 0; i < n_stored; ++i) fit_values[i] = spec_pars[core_indices[i] - 1];

  if (minimiser_runs) {
    double tolerance = kFitTolerance;
    int info = 0;  // convergence status, not reported
    lmdif1_(weighted_residuals, &m, &n, fit_values.data(), residuals,
            &tolerance, &info, iwa.data(), wa.data(), &lwa);
    // lmdif1 hands back the negative iflag of a residual function that
    // asked it to stop.
    if (info < 0) return Status::interrupted;
  } else {
    // Nothing to fit: the error is the weighted norm at the start vector.
    int iflag = 1;
    weighted_residuals(&m, &n, fit_values.data(), residuals, &iflag);
    if (iflag < 0) return Status::interrupted;
  }
  // The residual vector holds the weighted residuals where the minimiser
  // stopped; its norm is the error, neither squared nor divided by m.
  *error = enorm_(&m, residuals);

  for (int i = 0; i < n_stored; ++i) spec_pars[core_indices[i] - 1] = fit_values[i];

  // Unweighted residuals, measured minus model, at the fitted parameters.
  const std::size_t nx = static_cast<std::size_t>(*num_x_pts);
  const std::size_t slice = nx * static_cast<std::size_t>(*t_slices);
  for (int d = 0; d < *num_datasets; ++d) {
    const std::size_t first = nx * d;
    model_function(&ctx.model_values[first], &scan_positions[first], num_x_pts,
                   depth_grid, z_slices, time_grid, t_slices, populations,
                   intensity_grid + slice * d, frequency, spec_pars);
    for (std::size_t p = first; p < first + nx; ++p) {
      residuals[p] = y_data[p] - ctx.model_values[p];
    }
    // A stop asked for during the final pass (the model may have abandoned
    // its evaluation) leaves the residuals unfinished: report the stop.
    if (interrupt_requested()) return Status::interrupted;
  }
  return Status::ok;
}

}  // namespace zscan
