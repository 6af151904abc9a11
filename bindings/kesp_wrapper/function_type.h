// The type of the fit_zscan object: a small callable of its own, so that
// fit_zscan can carry __defaults__ besides the usual function attributes.
// It binds to no instance when stored in a class, like a built-in function,
// and pickles by reference to the module attribute. Relies on the CPython
// C API and on the module state.
#ifndef KESP_WRAPPER_FUNCTION_TYPE_H
#define KESP_WRAPPER_FUNCTION_TYPE_H

#include <Python.h>

namespace kesp {

// Creates the function type (its __module__ comes from the dotted name).
PyObject* make_function_type();

// Makes the fit_zscan object once per process (the function type must
// exist) and stores it in `module_dict`.
int make_function(PyObject* module_dict);

}  // namespace kesp

#endif  // KESP_WRAPPER_FUNCTION_TYPE_H
