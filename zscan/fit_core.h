// The fit core entry with its outcome: fit_core (zscan.h) is this routine
// with the status dropped.
#ifndef ZSCAN_FIT_CORE_H
#define ZSCAN_FIT_CORE_H

#include "zscan/status.h"

namespace zscan {

// fit_core's arguments and results. Returns Status::invalid_input when a
// count or index would lead outside the arrays (num_x_pts < 5,
// num_datasets < 1, more points than a 32-bit count holds, t_slices or
// z_slices < 2, n_pop < 5, an entry of core_indices outside 1..8),
// Status::out_of_memory when working storage cannot be obtained or would
// exceed the memory the process may use (memory_limit.h, checked before
// anything is allocated), and Status::interrupted when this thread's
// interrupt check (interrupt.h) asked the fit to stop; in each case
// spec_pars is unchanged and the error and the n_res residuals are NaN.
Status run_fit_core(const double* centered_x, const double* y_data,
                    const double* populations, double* residuals, double* error,
                    const int* t_slices, const int* z_slices,
                    const double* sample_width, const double* tau,
                    const double* wavelength, const double* w0, const double* M2,
                    const double* pulse_energy, double* spec_pars,
                    const int* core_indices, const int* n_fit,
                    const int* num_x_pts, const int* num_datasets,
                    const int* n_pop, const int* n_res);

}  // namespace zscan

#endif  // ZSCAN_FIT_CORE_H
