// The NumPy functions fit_zscan uses and the views of table rows it returns.
// Relies on the module state (the interned names, the module and builtins
// namespaces) and on NumPy's C interface.
#include "numpy_calls.h"

#include "messages.h"
#include "numpy_api.h"
#include "ref.h"

namespace kesp {
namespace {

// Looks `np` up in the module namespace, then in the builtins; new reference.
PyObject* lookup_np() {
  PyObject* np = PyDict_GetItemWithError(g.module_dict, g.str_np);
  if (np == nullptr && !PyErr_Occurred()) {
    np = PyDict_GetItemWithError(g.builtins_dict, g.str_np);
    if (np == nullptr && !PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, msg::kNameNotDefined, g.str_np);
    }
  }
  Py_XINCREF(np);
  return np;
}

}  // namespace

PyObject* numpy_attr(NumpyName name) {
  Ref np(lookup_np());
  if (!np) return nullptr;
  return PyObject_GetAttr(np.get(), g.numpy_names[name]);
}

PyObject* call_numpy(NumpyName name, PyObject* arg, bool float64) {
  Ref func(numpy_attr(name));
  if (!func) return nullptr;
  Ref args(PyTuple_Pack(1, arg));
  if (!args) return nullptr;
  Ref kwargs;
  if (float64) {
    Ref dtype(numpy_attr(kFloat64));
    if (!dtype) return nullptr;
    kwargs = Ref(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), g.numpy_names[kDtype], dtype.get()) < 0) {
      return nullptr;
    }
  }
  return PyObject_Call(func.get(), args.get(), kwargs.get());
}

PyObject* numpy_view_of(PyObject* obj) {
  Ref view(PyMemoryView_FromObject(obj));
  if (!view) return nullptr;
  return call_numpy(kAsarray, view.get(), false);
}

PyObject* row_view(PyObject* table, const Py_buffer* view, Py_ssize_t row) {
  npy_intp length = view->shape[1];
  void* data = static_cast<char*>(view->buf) + row * view->strides[0];
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
  if (descr == nullptr) return nullptr;
  Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, nullptr, data,
                                 NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  PyObject* base = table;
  if (PyArray_Check(table)) {
    Py_INCREF(table);
  } else {
    base = PyMemoryView_FromObject(table);
  }
  // PyArray_SetBaseObject takes over `base`, also when it fails.
  if (base == nullptr ||
      PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base) < 0) {
    return nullptr;
  }
  return array.release();
}

}  // namespace kesp
