// One call of fit_zscan, from the bound arguments to the result tuple.
// Relies on the CPython C API, NumPy and the z-scan fit core.
#ifndef KESP_WRAPPER_FIT_ZSCAN_H
#define KESP_WRAPPER_FIT_ZSCAN_H

#include <Python.h>

namespace kesp {

// fit_zscan(*args, **kwargs) with the function's __defaults__ `defaults`:
// (residuals, error, spec_pars) of the best start, or null with an
// exception set.
PyObject* fit_zscan_impl(PyObject* args, PyObject* kwargs, PyObject* defaults);

}  // namespace kesp

#endif  // KESP_WRAPPER_FIT_ZSCAN_H
