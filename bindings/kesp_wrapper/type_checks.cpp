// The layout checks of the built-in `type` and the NumPy types the module
// relies on. Relies on the CPython C API, on NumPy's C headers for the sizes
// of their structures and on the module's message table.
#include "type_checks.h"

#include <cstddef>

#include "messages.h"
#include "numpy_api.h"
#include "ref.h"
#include <numpy/ufuncobject.h>  // only for the size of the ufunc structure

namespace kesp {
namespace {

// Types whose layout the module relies on, with the size of the structure
// in the headers it is built against. Types marked `warn` raise a warning when
// they have grown; the others may grow silently. broadcast's structure ends
// in a flexible array of iterators (sized only to please C++), which is not
// part of the fixed layout.
struct TypeRef {
  const char* module;
  const char* name;
  Py_ssize_t expected_size;
  bool warn;
};
const TypeRef kTypeRefs[] = {
    {"builtins", "type", static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject)), true},
    {"numpy", "dtype", static_cast<Py_ssize_t>(sizeof(PyArray_Descr)), false},
    {"numpy", "flatiter", static_cast<Py_ssize_t>(sizeof(PyArrayIterObject)), false},
    {"numpy", "broadcast",
     static_cast<Py_ssize_t>(offsetof(PyArrayMultiIterObject, iters)), false},
    {"numpy", "ndarray", static_cast<Py_ssize_t>(sizeof(PyArrayObject_fields)), false},
    {"numpy", "generic", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "number", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "integer", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "signedinteger", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "unsignedinteger", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "inexact", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "floating", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "complexfloating", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "flexible", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "character", static_cast<Py_ssize_t>(sizeof(PyObject)), true},
    {"numpy", "ufunc", static_cast<Py_ssize_t>(sizeof(PyUFuncObject)), false},
};
constexpr int kNumTypeRefs = sizeof(kTypeRefs) / sizeof(kTypeRefs[0]);

// Checks that module.name is a type at least as large as the structure the
// module was built against.
int check_type(PyObject* module, const TypeRef& ref) {
  Ref obj(PyObject_GetAttrString(module, ref.name));
  if (!obj) return -1;
  if (!PyType_Check(obj.get())) {
    PyErr_Format(PyExc_TypeError, msg::kNotATypeObject, ref.module, ref.name);
    return -1;
  }
  const PyTypeObject* type = reinterpret_cast<PyTypeObject*>(obj.get());
  const Py_ssize_t basic_size = type->tp_basicsize;
  const Py_ssize_t size = basic_size + type->tp_itemsize;
  if (size < ref.expected_size) {
    PyErr_Format(PyExc_ValueError, msg::kSizeChanged, ref.module, ref.name,
                 ref.expected_size, size);
    return -1;
  }
  if (ref.warn && basic_size > ref.expected_size &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 0, msg::kSizeChanged, ref.module, ref.name,
                       ref.expected_size, basic_size) < 0) {
    return -1;
  }
  return 0;
}

}  // namespace

int check_types() {
  Ref builtins(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  int status = check_type(builtins.get(), kTypeRefs[0]);
  builtins.reset();
  if (status < 0) return -1;
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  for (int i = 1; i < kNumTypeRefs && status == 0; ++i) {
    status = check_type(numpy.get(), kTypeRefs[i]);
  }
  return status;
}

}  // namespace kesp
