// Conversion of fit_zscan's arguments to C values and the checks of the
// buffers the arrays export. Relies on the CPython C API and on the
// module's message table.
#include "conversions.h"

#include <climits>
#include <cstddef>

#include "messages.h"
#include "ref.h"

namespace kesp {
namespace {

// Name of the element type that a buffer format describes, as it appears in
// the dtype-mismatch message. `fmt` has its byte-order prefix removed.
const char* describe_format(const char* fmt) {
  bool complex_type = false;
  const char* p = fmt;
  if (*p == 'Z') {
    complex_type = true;
    ++p;
  }
  if (*p != '\0' && p[1] != '\0') return "a struct";  // several fields or counts
  switch (*p) {
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case '?': return "'bool'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'n': return "'Py_ssize_t'";
    case 'N': return "'size_t'";
    case 'e': return complex_type ? "'complex half'" : "'half'";
    case 'f': return complex_type ? "'complex float'" : "'float'";
    case 'd': return complex_type ? "'complex double'" : "'double'";
    case 'g': return complex_type ? "'complex long double'" : "'long double'";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's':
    case 'p': return "a string";
    case '\0': return "end";
    default: return "unparseable format string";
  }
}

// Checks an exported buffer against the declared dimension count and
// element type: dimensions, byte order and element type, item size, then
// C contiguity.
int validate_buffer(const Py_buffer* view, int ndim, Element element) {
  const char* type_name = element == Element::kDouble ? "double" : "int";
  const char type_code = element == Element::kDouble ? 'd' : 'i';
  const size_t type_size = element == Element::kDouble ? sizeof(double) : sizeof(int);

  if (view->ndim != ndim) {
    PyErr_Format(PyExc_ValueError, msg::kWrongDimensions, ndim, view->ndim);
    return -1;
  }
  const char* fmt = view->format != nullptr ? view->format : "B";
  while (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '>' ||
         *fmt == '!' || *fmt == '^') {
    if (*fmt == '>' || *fmt == '!') {
      PyErr_SetString(PyExc_ValueError, msg::kBigEndian);
      return -1;
    }
    ++fmt;
  }
  if (fmt[0] != type_code || fmt[1] != '\0') {
    PyErr_Format(PyExc_ValueError, msg::kDtypeMismatch, "'", type_name, "'",
                 describe_format(fmt));
    return -1;
  }
  const size_t item_size = static_cast<size_t>(view->itemsize);
  if (item_size != type_size) {
    PyErr_Format(PyExc_ValueError, msg::kItemSize, item_size,
                 item_size == 1 ? "" : "s", type_name, type_size,
                 type_size == 1 ? "" : "s");
    return -1;
  }
  if (view->suboffsets != nullptr) {
    for (int d = 0; d < ndim; ++d) {
      if (view->suboffsets[d] >= 0) {
        PyErr_SetString(PyExc_ValueError, msg::kNotCContiguous);
        return -1;
      }
    }
  }
  if (view->strides != nullptr) {
    Py_ssize_t expected_stride = view->itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
      if (view->shape[d] > 1 && view->strides[d] != expected_stride) {
        PyErr_SetString(PyExc_ValueError, msg::kNotContiguousSameDimension);
        return -1;
      }
      expected_stride *= view->shape[d];
    }
  }
  return 0;
}

}  // namespace

int convert_int(PyObject* obj, int* out) {
  Ref number;
  if (PyLong_Check(obj)) {
    number = Ref::borrow(obj);
  } else {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
      PyErr_SetString(PyExc_TypeError, msg::kIntegerRequired);
      return -1;
    }
    number = Ref(nb->nb_int(obj));
    if (!number) return -1;
    if (!PyLong_Check(number.get())) {
      PyErr_Format(PyExc_TypeError, msg::kIntReturnedNonInt, Py_TYPE(number.get())->tp_name);
      return -1;
    }
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(number.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, msg::kIntTooLarge);
    return -1;
  }
  *out = static_cast<int>(value);
  return 0;
}

int convert_double(PyObject* obj, double* out) {
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return 0;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return -1;
  *out = value;
  return 0;
}

int acquire_buffer(PyObject* obj, int ndim, Element element, Py_buffer* view) {
  if (PyObject_GetBuffer(obj, view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) < 0) {
    return -1;
  }
  if (validate_buffer(view, ndim, element) < 0) {
    PyBuffer_Release(view);
    return -1;
  }
  return 0;
}

void raise_out_of_bounds(int axis) {
  PyErr_Format(PyExc_IndexError, msg::kOutOfBounds, axis);
}

}  // namespace kesp
