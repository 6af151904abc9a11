// Conversion of fit_zscan's arguments to C values: ints and floats the way
// the interpreter's own conversions do it, and the six arrays as exported
// buffers checked for their shape and element type. Relies on the CPython
// C API (number protocol, buffer protocol).
#ifndef KESP_WRAPPER_CONVERSIONS_H
#define KESP_WRAPPER_CONVERSIONS_H

#include <Python.h>

namespace kesp {

// An int parameter: a Python int as it is, anything else through __int__;
// OverflowError outside the range of a C int.
int convert_int(PyObject* obj, int* out);

// A float parameter: a Python float as it is, anything else through the
// interpreter's float conversion.
int convert_double(PyObject* obj, double* out);

// Element types that buffers must hold.
enum class Element { kDouble, kInt };

// Exports `obj` as a C-contiguous, writable buffer of `ndim` dimensions and
// the given element type. On failure nothing is held.
int acquire_buffer(PyObject* obj, int ndim, Element element, Py_buffer* view);

// IndexError for an access beyond the end of a buffer along `axis`.
void raise_out_of_bounds(int axis);

}  // namespace kesp

#endif  // KESP_WRAPPER_CONVERSIONS_H
