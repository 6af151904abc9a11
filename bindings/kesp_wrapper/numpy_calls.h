// The NumPy functions fit_zscan uses, reached through the module attribute
// `np` (looked up at each use in the module namespace, then in the
// builtins), and the one-dimensional views of table rows it returns. Relies
// on the module state and on NumPy's C interface.
#ifndef KESP_WRAPPER_NUMPY_CALLS_H
#define KESP_WRAPPER_NUMPY_CALLS_H

#include <Python.h>

#include "module_state.h"

namespace kesp {

// np.<name>, new reference; NameError when `np` is nowhere to be found.
PyObject* numpy_attr(NumpyName name);

// np.<name>(arg), with dtype=np.float64 when `float64` is set.
PyObject* call_numpy(NumpyName name, PyObject* arg, bool float64);

// np.asarray(memoryview(obj)): a NumPy view of a caller's array that holds an
// export of its own, so nothing made from it can outlive the memory.
PyObject* numpy_view_of(PyObject* obj);

// A one-dimensional float64 array viewing row `row` of a two-dimensional
// table; it keeps the table (or, for a table that is no NumPy array, an
// export of it) alive.
PyObject* row_view(PyObject* table, const Py_buffer* view, Py_ssize_t row);

}  // namespace kesp

#endif  // KESP_WRAPPER_NUMPY_CALLS_H
