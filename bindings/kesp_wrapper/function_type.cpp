// The fit_zscan function object: its type, its documentation string and
// signature, and its one instance. Relies on the CPython C API, the module
// state and the call itself (fit_zscan.h).
#include "function_type.h"

#include <structmember.h>

#include <cstddef>

#include "fit_zscan.h"
#include "module_state.h"
#include "ref.h"

namespace kesp {
namespace {

constexpr char kFitZscanDoc[] =
    "Fit a five-level rate-equation model of an open-aperture z-scan to\n"
    "measured transmittance; return the best of several starts.\n"
    "\n"
    "The points of all data sets form one sequence, data set after data set:\n"
    "point i of data set d is entry d*num_x_pts + i (0-based). The six arrays\n"
    "must be one-dimensional, C-contiguous and writable (they are read in\n"
    "place, never written, and must not change during the call); float64\n"
    "except fit_indices (int32).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "x_data : float64 array, num_x_pts*num_datasets values\n"
    "    Scan positions in millimetres. The fit uses them relative to the\n"
    "    position of the extremum of y_data (see is_sa).\n"
    "y_data : float64 array, same length\n"
    "    Measured transmittance, normalised to 1 far from focus.\n"
    "populations : float64 array, at least 5 values\n"
    "    Initial populations N0..N4 of the five levels, in cm^-3; level 0 is\n"
    "    the ground level. Further entries are ignored.\n"
    "t_slices : int, at least 2\n"
    "    Time slices across the pulse, equally spaced from -tau/2 to +tau/2.\n"
    "z_slices : int, at least 2\n"
    "    Depth slabs through the sample, each sample_width/(z_slices - 1) thick.\n"
    "sample_width : float\n"
    "    Sample thickness in cm.\n"
    "tau : float\n"
    "    Pulse duration parameter in seconds: the pulse's time profile is\n"
    "    exp(-(t/tau)**2).\n"
    "wavelength : float, non-zero\n"
    "    Laser wavelength in metres.\n"
    "w0 : float\n"
    "    Beam waist radius (1/e^2 of the intensity) in metres.\n"
    "M2 : float, non-zero\n"
    "    Beam quality factor; the Rayleigh range is pi*w0**2/(M2*wavelength).\n"
    "pulse_energy : float64 array, at least num_datasets values\n"
    "    Pulse energy of each data set in joules. The on-axis intensity at\n"
    "    focus is 1.88e-4*E/(pi*tau*w0**2)*exp(-(t/tau)**2) W/cm^2.\n"
    "spec_pars : float64 array, at least 8 values\n"
    "    Spectroscopic parameters, initial values:\n"
    "      [0] absorption cross-section of level 0 (0 -> 1), cm^2\n"
    "      [1] absorption cross-section of level 1 (1 -> 2), cm^2\n"
    "      [2] absorption cross-section of level 3 (3 -> 4), cm^2\n"
    "      [3] lifetime of the decay 1 -> 0, s\n"
    "      [4] lifetime of the transfer 1 -> 3, s\n"
    "      [5] lifetime of the decay 2 -> 1, s\n"
    "      [6] lifetime of the decay 3 -> 0, s\n"
    "      [7] lifetime of the decay 4 -> 3, s\n"
    "fit_indices : int32 array, 1 to num_x_pts*num_datasets values\n"
    "    0-based indices (0 to 7) of the spec_pars entries to fit; they are\n"
    "    handed to the fit core as 1-based indices. Duplicates are allowed.\n"
    "num_x_pts : int, at least 5\n"
    "    Points per data set; the model's baseline is the mean of the five\n"
    "    first and five last points of each data set.\n"
    "num_datasets : int, at least 1\n"
    "    Number of data sets, one pulse energy each.\n"
    "is_sa : object, default False\n"
    "    True for a saturable absorber: the scan is centred on the maximum\n"
    "    of y_data. False for a reverse saturable absorber: centred on the\n"
    "    minimum. The first extremum counts.\n"
    "n_starts : int, default 3\n"
    "    Number of starting points. Start i fits from the fitted entries of\n"
    "    spec_pars times 10**(1.04*i/max(n_starts - 1, 1) - 0.52), from 0.302\n"
    "    to 3.311 times the given values. With n_starts=1 the only start is\n"
    "    0.302 times the given values, not the values themselves. To start\n"
    "    at exactly the given values, use n_starts=3: its middle start has\n"
    "    the factor 1 (the others 0.302 and 3.311).\n"
    "\n"
    "Returns\n"
    "-------\n"
    "(residuals, error, spec_pars) of the start with the smallest error; of\n"
    "equal errors the earliest start, and a NaN error never wins (start 0 is\n"
    "returned when all are NaN).\n"
    "residuals : float64 array, len(y_data) values\n"
    "    y_data minus the model at the fitted parameters.\n"
    "error : float\n"
    "    sqrt(sum_p w_p*(y_p - model_p)**2), with the point weight\n"
    "    w_p = 1 + 4*exp(-4*z_p**2) and z_p the centred position in metres.\n"
    "spec_pars : float64 array, len(spec_pars) values\n"
    "    The given spec_pars with the fitted entries replaced by their fitted\n"
    "    values; the other entries are returned unchanged.\n"
    "The two arrays are writable views of the call's result tables.\n"
    "\n"
    "Raises TypeError or OverflowError for arguments of the wrong kind,\n"
    "ValueError for arrays of the wrong shape or type and for violated\n"
    "rules above, IndexError for an empty array or an index beyond one,\n"
    "MemoryError when the call's tables or the fit's working storage would\n"
    "exceed the memory the process may use.\n"
    "The interpreter lock is released while the starts run; calls from\n"
    "several threads may run at the same time. In the main thread a\n"
    "KeyboardInterrupt (or any signal whose handler raises) stops the fit\n"
    "within about one model evaluation and is raised; no result is returned.";

constexpr char kFitZscanSignature[] =
    "(x_data, y_data, populations, t_slices, z_slices, sample_width, tau, "
    "wavelength, w0, M2, pulse_energy, spec_pars, fit_indices, num_x_pts, "
    "num_datasets, is_sa=False, n_starts=3)";

struct FunctionObject {
  PyObject_HEAD
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* defaults;
  PyObject* text_signature;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return fit_zscan_impl(args, kwargs, as_function(self)->defaults);
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FunctionObject* f = as_function(self);
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->doc);
  Py_XDECREF(f->defaults);
  Py_XDECREF(f->text_signature);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->name);
}

PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) {
  Py_INCREF(self);
  return self;
}

// Pickled by reference to the module attribute.
PyObject* function_reduce(PyObject* self, PyObject*) {
  Py_INCREF(as_function(self)->qualname);
  return as_function(self)->qualname;
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(FunctionObject, text_signature), READONLY,
     nullptr},
    {"__kwdefaults__", T_NONE, 0, READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* make_function_type() {
  PyType_Slot slots[] = {
      {Py_tp_call, reinterpret_cast<void*>(function_call)},
      {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
      {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
      {Py_tp_members, function_members},
      {Py_tp_methods, function_methods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"kesp_wrapper.fit_function",
                           static_cast<int>(sizeof(FunctionObject)), 0, Py_TPFLAGS_DEFAULT,
                           slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  // Only the module makes instances.
  reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
  return type;
}

int make_function(PyObject* module_dict) {
  if (g.fit_zscan == nullptr) {
    FunctionObject* f =
        PyObject_New(FunctionObject, reinterpret_cast<PyTypeObject*>(g.function_type));
    if (f == nullptr) return -1;
    f->name = g.str_function_name;
    f->qualname = g.str_function_name;
    Py_INCREF(f->name);
    Py_INCREF(f->qualname);
    f->doc = PyUnicode_FromString(kFitZscanDoc);
    f->text_signature = PyUnicode_FromString(kFitZscanSignature);
    Ref three(PyLong_FromLong(3));
    f->defaults = three ? PyTuple_Pack(2, Py_False, three.get()) : nullptr;
    three.reset();
    if (f->doc == nullptr || f->text_signature == nullptr || f->defaults == nullptr) {
      Py_DECREF(f);
      return -1;
    }
    g.fit_zscan = reinterpret_cast<PyObject*>(f);
  }
  return PyDict_SetItem(module_dict, g.str_function_name, g.fit_zscan);
}

}  // namespace kesp
