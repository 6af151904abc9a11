// The working tables of one call of fit_zscan, made through NumPy (reached
// as `np`): the core's 1-based indices, the centred positions, one parameter
// row, one residual row and one error slot per start, and the start
// multipliers. Relies on the NumPy calls, the per-call record and the fit
// core's memory limit.
#ifndef KESP_WRAPPER_TABLES_H
#define KESP_WRAPPER_TABLES_H

#include "call.h"

namespace kesp {

// core_indices = fit_indices + 1.
int make_core_indices(Call& c);

// The other tables, for the centre `center_x`: refused with MemoryError,
// before any is made, when together they exceed the memory the process may
// use; all_spec_pars rows are copies of spec_pars, the residual and error
// tables are zero-filled.
int make_tables(Call& c, double center_x);

}  // namespace kesp

#endif  // KESP_WRAPPER_TABLES_H
