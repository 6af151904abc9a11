// Binding of fit_zscan's positional and keyword arguments to its seventeen
// parameters, with the interpreter's messages for a wrong call. Relies on the
// CPython C API and on the interned parameter names of the module state.
#ifndef KESP_WRAPPER_ARGUMENTS_H
#define KESP_WRAPPER_ARGUMENTS_H

#include <Python.h>

#include "module_state.h"

namespace kesp {

// Fills `values` (new references) from the positional and keyword
// arguments; missing optional parameters take `defaults`. On failure the
// references taken so far stay in `values` for the caller to release.
int bind_arguments(PyObject* args, PyObject* kwargs, PyObject* defaults,
                   PyObject* values[kNumParams]);

}  // namespace kesp

#endif  // KESP_WRAPPER_ARGUMENTS_H
