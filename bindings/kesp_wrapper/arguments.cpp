// Binding of fit_zscan's arguments to its parameters. Relies on the CPython
// C API, the module state and the module's message table.
#include "arguments.h"

#include "messages.h"

namespace kesp {

int bind_arguments(PyObject* args, PyObject* kwargs, PyObject* defaults,
                   PyObject* values[kNumParams]) {
  const Py_ssize_t n_positional = PyTuple_GET_SIZE(args);
  if (n_positional > kNumParams) {
    PyErr_Format(PyExc_TypeError, msg::kArgumentCount, kFunctionName, msg::kAtMost,
                 static_cast<Py_ssize_t>(kNumParams), "s", n_positional);
    return -1;
  }
  for (Py_ssize_t i = 0; i < n_positional; ++i) {
    values[i] = PyTuple_GET_ITEM(args, i);
    Py_INCREF(values[i]);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, msg::kKeywordsMustBeStrings, kFunctionName);
        return -1;
      }
      int index = -1;
      for (int j = 0; j < kNumParams && index < 0; ++j) {
        if (key == g.param_names[j] || PyUnicode_Compare(key, g.param_names[j]) == 0) {
          index = j;
        }
      }
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, kFunctionName, key);
        return -1;
      }
      if (index < n_positional || values[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, msg::kMultipleValues, kFunctionName, key);
        return -1;
      }
      Py_INCREF(value);
      values[index] = value;
    }
  }
  for (int i = 0; i < kNumParams; ++i) {
    if (values[i] != nullptr) continue;
    if (i < kNumRequired) {
      PyErr_Format(PyExc_TypeError, msg::kArgumentCount, kFunctionName, msg::kAtLeast,
                   static_cast<Py_ssize_t>(kNumRequired), "s", static_cast<Py_ssize_t>(i));
      return -1;
    }
    values[i] = PyTuple_GET_ITEM(defaults, i - kNumRequired);
    Py_INCREF(values[i]);
  }
  return 0;
}

}  // namespace kesp
