// One-start least-squares fit of chosen spectroscopic parameters to all
// points of all data sets, and the position-weighted residual function the
// minimiser evaluates.
#ifndef ZSCAN_LEAST_SQUARES_FIT_H
#define ZSCAN_LEAST_SQUARES_FIT_H

#include "zscan/model_state.h"
#include "zscan/zscan.h"

namespace zscan {

// Relative tolerance of the minimiser on the sum of squares and on the step.
constexpr double kFitTolerance = 1.0e-3;

// Weight of a point at position z (metres): 1 + 4 exp(-4 z^2), 5 at the
// focus, tending to 1 far from it.
double point_weight(double z);

// Fits spec_pars[core_indices[i] - 1], i < n_fit, by Levenberg-Marquardt
// (MINPACK lmdif1, forward-difference Jacobian) minimising
// sum_p w_p (y_data_p - model_p)^2 over all m = num_x_pts*num_datasets
// points of `data`, the model evaluated per data set by data.model_function
// on the data set's positions and intensity slice. The counts and indices
// must satisfy check_fit_inputs (as fit_core checks them).
//  residuals [m] out: y_data - model at the fitted parameters (unweighted);
//  spec_pars [kSpecPars] in/out: fitted entries replaced (of two equal
//  indices the later wins), the others untouched; error out: the weighted
//  norm sqrt(sum_p w_p (y_p - model_p)^2) where the minimiser stopped.
// When the minimiser cannot run (n_fit < 1 or n_fit > m) nothing is fitted
// and the error is the weighted norm at the start vector. The minimiser's
// convergence status is not reported. Returns Status::out_of_memory when
// working storage cannot be obtained; then nothing is written. Returns
// Status::interrupted when this thread's interrupt check (interrupt.h) asked
// the fit to stop: the minimiser ends at the next model evaluation, the
// final pass is skipped, spec_pars and error are left alone and residuals
// holds no meaningful values. A fit started from inside the interrupt check
// leaves this fit's context as it found it.
Status least_squares_fit(const FitData& data, const int* core_indices, int n_fit,
                         double* spec_pars, double* residuals, double* error);

// MINPACK residual function: fvec[p] = sqrt(w_p) (y_data_p - model_p) for the
// start vector of this thread's fit context with its fitted entries set to
// x[0..n_fit-1]. The counts come from the context; m, n and iflag are not
// read. Before the model of each data set it consults this thread's
// interrupt check; when that asks to stop it sets *iflag = -1 (MINPACK's
// request to end the minimisation) and returns with fvec incomplete.
void weighted_residuals(int* m, int* n, double* x, double* fvec, int* iflag);

}  // namespace zscan

#endif  // ZSCAN_LEAST_SQUARES_FIT_H
