// Module initialisation (multi-phase): the create slot enforces one
// interpreter per process and returns the one module object once there is
// one; the exec slot initialises that module once, in order: __builtins__,
// the interpreter version, the module's strings, the function type and the
// sys.modules entry, the layout checks of the types the module relies on,
// `np`, NumPy's C interface and the fit_zscan object. Relies on the CPython
// 3.9 C API and on NumPy's C interface, imported here for every source of
// the module.
#define KESP_WRAPPER_IMPORTS_NUMPY
#include "numpy_api.h"

#include <frameobject.h>

#include <cstdlib>

#include "function_type.h"
#include "messages.h"
#include "module_state.h"
#include "ref.h"
#include "type_checks.h"

namespace kesp {
namespace {

// Adds an entry named `funcname` to the traceback of the current exception.
void add_traceback_entry(const char* funcname) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(msg::kTracebackFile, funcname, 0)));
  Ref globals(code ? PyDict_New() : nullptr);
  Ref frame(globals ? reinterpret_cast<PyObject*>(
                          PyFrame_New(PyThreadState_Get(),
                                      reinterpret_cast<PyCodeObject*>(code.get()),
                                      globals.get(), nullptr))
                    : nullptr);
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// Replaces an error of the NumPy C interface import (a subclass of
// Exception) by ImportError, with the first error as its context.
void replace_numpy_import_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  PyErr_SetString(PyExc_ImportError, msg::kNumpyImportFailed);
  PyObject *new_type, *new_value, *new_traceback;
  PyErr_Fetch(&new_type, &new_value, &new_traceback);
  PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
  if (new_value != nullptr) {
    PyException_SetContext(new_value, value);  // steals `value`
  } else {
    Py_XDECREF(value);
  }
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyErr_Restore(new_type, new_value, new_traceback);
}

// Major and minor number at the start of the interpreter's version string.
void read_runtime_version() {
  const char* text = Py_GetVersion();
  char* end = nullptr;
  g.runtime_major = static_cast<int>(std::strtol(text, &end, 10));
  g.runtime_minor = (*end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
}

// Sets `*slot` to the interned `text` unless an earlier, failed
// initialisation made it already.
int intern(PyObject** slot, const char* text) {
  if (*slot == nullptr) *slot = PyUnicode_InternFromString(text);
  return *slot == nullptr ? -1 : 0;
}

int make_strings() {
  for (int i = 0; i < kNumParams; ++i) {
    if (intern(&g.param_names[i], kParamNames[i]) < 0) return -1;
  }
  for (int i = 0; i < kNumNumpyNames; ++i) {
    if (intern(&g.numpy_names[i], kNumpyNames[i]) < 0) return -1;
  }
  if (intern(&g.str_np, "np") < 0 || intern(&g.str_module_name, kModuleName) < 0 ||
      intern(&g.str_function_name, kFunctionName) < 0) {
    return -1;
  }
  if (g.int_one == nullptr && (g.int_one = PyLong_FromLong(1)) == nullptr) return -1;
  return 0;
}

// __builtins__, and the builtins namespace in which `np` is looked up last.
int set_builtins(PyObject* module_dict) {
  Ref builtins(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  PyObject* builtins_dict = PyModule_GetDict(builtins.get());
  Py_INCREF(builtins_dict);
  Py_XSETREF(g.builtins_dict, builtins_dict);
  return PyDict_SetItemString(module_dict, "__builtins__", builtins.get());
}

// Interpreter version against the headers the module was built with.
int check_runtime_version() {
  if (g.runtime_major < 0) read_runtime_version();
  if ((g.runtime_major != PY_MAJOR_VERSION || g.runtime_minor != PY_MINOR_VERSION) &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 1, msg::kVersionMismatch, PY_MAJOR_VERSION,
                       PY_MINOR_VERSION, kModuleName, msg::kDoesNotMatch, g.runtime_major,
                       g.runtime_minor) < 0) {
    return -1;
  }
  return 0;
}

// The module's entry in sys.modules, added when missing.
int register_module(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* present = PyDict_GetItemWithError(modules, g.str_module_name);
  if (present == nullptr) {
    if (PyErr_Occurred() || PyDict_SetItem(modules, g.str_module_name, module) < 0) return -1;
  }
  return 0;
}

// `np`: the numpy package, imported at level 0.
int set_np(PyObject* module_dict) {
  Ref numpy(PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0));
  if (!numpy) return -1;
  return PyDict_SetItem(module_dict, g.str_np, numpy.get());
}

// NumPy's C interface; its errors that are Exceptions become ImportError.
int import_numpy_c_interface() {
  if (_import_array() < 0) {
    replace_numpy_import_error();
    return -1;
  }
  return 0;
}

// Everything after the one-initialisation check, in order; any failure stops.
int exec_steps(PyObject* module, PyObject* module_dict) {
  if (set_builtins(module_dict) < 0 || check_runtime_version() < 0 || make_strings() < 0) {
    return -1;
  }
  if (g.function_type == nullptr && (g.function_type = make_function_type()) == nullptr) {
    return -1;
  }
  if (register_module(module) < 0 || check_types() < 0 || set_np(module_dict) < 0 ||
      import_numpy_c_interface() < 0) {
    return -1;
  }
  return make_function(module_dict);
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (g.interpreter_id == -1) {
    g.interpreter_id = id;
  } else if (id != g.interpreter_id) {
    PyErr_SetString(PyExc_ImportError, msg::kInterpreterChange);
    return nullptr;
  }
  if (g.module != nullptr) {
    Py_INCREF(g.module);
    return g.module;
  }

  Ref name(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  Ref module(PyModule_NewObject(name.get()));
  name.reset();
  if (!module) return nullptr;

  // Copies module_spec.<from> to module.<to>; a missing attribute is skipped, and
  // __path__ only when it is not None.
  const struct { const char* from; const char* to; bool skip_none; } copies[] = {
      {"loader", "__loader__", false},
      {"origin", "__file__", false},
      {"parent", "__package__", false},
      {"submodule_search_locations", "__path__", true},
  };
  PyObject* dict = PyModule_GetDict(module.get());
  for (const auto& copy : copies) {
    Ref value(PyObject_GetAttrString(module_spec, copy.from));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
      continue;
    }
    if (!(copy.skip_none && value.get() == Py_None) &&
        PyDict_SetItemString(dict, copy.to, value.get()) < 0) {
      return nullptr;
    }
  }
  return module.release();
}

int module_exec(PyObject* module) {
  if (g.module != nullptr) {
    if (module == g.module) return 0;
    PyErr_SetString(PyExc_RuntimeError, msg::kReinitialisation);
    add_traceback_entry(msg::kInitFailed);
    return -1;
  }
  Py_INCREF(module);
  g.module = module;
  PyObject* module_dict = PyModule_GetDict(module);
  Py_INCREF(module_dict);
  Py_XSETREF(g.module_dict, module_dict);

  if (exec_steps(module, module_dict) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, msg::kInitFailed);
    add_traceback_entry(msg::kInitFailed);
    Py_CLEAR(g.module);
    Py_CLEAR(g.module_dict);
    return -1;
  }
  return 0;
}

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,     // m_name
    nullptr,         // m_doc
    0,               // m_size: all state is process-wide
    module_methods,  // m_methods
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

}  // namespace
}  // namespace kesp

PyMODINIT_FUNC PyInit_kesp_wrapper(void) { return PyModuleDef_Init(&kesp::module_def); }
