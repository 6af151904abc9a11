// NumPy's C interface for every source of the module. The table of NumPy C
// functions is one symbol shared by all of them; module_init.cpp, which
// imports it, defines KESP_WRAPPER_IMPORTS_NUMPY before including this
// header. Relies on NumPy's C headers.
#ifndef KESP_WRAPPER_NUMPY_API_H
#define KESP_WRAPPER_NUMPY_API_H

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The oldest NumPy whose C interface the module accepts at import: feature
// version 0xd (NumPy 1.16 to 1.19), whichever NumPy's headers it is built
// with (newer headers would otherwise raise the minimum to their default).
#define NPY_TARGET_VERSION NPY_1_19_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kesp_wrapper_ARRAY_API
#ifndef KESP_WRAPPER_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#endif  // KESP_WRAPPER_NUMPY_API_H
