// kesp_wrapper: the Python extension module around the z-scan fit core.
//
// fit_zscan binds, checks and converts its seventeen arguments, centres the
// scan on the extremum of the measured transmittance, builds one start vector
// per starting point, runs zscan::fit_core for every start with the
// interpreter lock released and returns the start with the smallest error.
// Relies on the CPython 3.9 C API (multi-phase initialisation, the buffer
// protocol, signal handling), on NumPy (its Python functions, reached
// through the module attribute `np`, and its C interface) and on the fit
// core (zscan/fit_core.h, its interrupt check and its memory limit).

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>  // only for the size of the ufunc structure

#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "zscan/fit_core.h"
#include "zscan/interrupt.h"
#include "zscan/memory_limit.h"

// ---------------------------------------------------------------- messages
// Every text this module raises or warns with. Tests compare against them
// verbatim, so they live here and nowhere else.
namespace msg {

// Import.
constexpr char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one "
    "interpreter per process.";
constexpr char kReinitialisation[] =
    "Module 'kesp_wrapper' has already been imported. Re-initialisation is "
    "not supported.";
constexpr char kVersionMismatch[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version "
    "%d.%d";
constexpr char kDoesNotMatch[] = "does not match";
constexpr char kNotATypeObject[] = "%.200s.%.200s is not a type object";
constexpr char kSizeChanged[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. "
    "Expected %zd from C header, got %zd from PyObject";
constexpr char kNumpyImportFailed[] = "numpy._core.multiarray failed to import";
constexpr char kInitFailed[] = "init kesp_wrapper";

// Binding.
constexpr char kArgumentCount[] =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr char kAtMost[] = "at most";
constexpr char kAtLeast[] = "at least";
constexpr char kUnexpectedKeyword[] =
    "%s() got an unexpected keyword argument '%U'";
constexpr char kMultipleValues[] =
    "%s() got multiple values for keyword argument '%U'";
constexpr char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";

// Conversion.
constexpr char kIntegerRequired[] = "an integer is required";
constexpr char kIntReturnedNonInt[] = "__int__ returned non-int (type %.200s)";
constexpr char kIntTooLarge[] = "Python int too large to convert to C int";
constexpr char kMustNotBeNone[] = "Argument '%.200s' must not be None";
constexpr char kWrongDimensions[] =
    "Buffer has wrong number of dimensions (expected %d, got %d)";
constexpr char kDtypeMismatch[] = "Buffer dtype mismatch, expected %s%s%s but got %s";
constexpr char kItemSize[] =
    "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
constexpr char kBigEndian[] = "Big-endian buffer not supported on little-endian compiler";
constexpr char kNotContiguousSameDimension[] =
    "Buffer and memoryview are not contiguous in the same dimension.";
constexpr char kNotCContiguous[] = "Buffer not C contiguous.";

// Checks of the call.
constexpr char kFitIndexOutOfRange[] = "fit_indices[%zd]=%d out of range [0,7]";
constexpr char kOutOfBounds[] = "Out of bounds on buffer access (axis %d)";
constexpr char kNameNotDefined[] = "name '%U' is not defined";

// Preconditions of the fit core, checked just before its first call.
constexpr char kTooFewPoints[] = "num_x_pts must be at least 5 (got %d)";
constexpr char kTooFewDatasets[] = "num_datasets must be at least 1 (got %d)";
constexpr char kTooManyPoints[] =
    "num_x_pts * num_datasets must fit in a 32-bit signed integer (got %d * %d)";
constexpr char kXDataLength[] =
    "len(x_data) must equal num_x_pts * num_datasets = %d (got %zd)";
constexpr char kYDataLength[] =
    "len(y_data) must equal num_x_pts * num_datasets = %d (got %zd)";
constexpr char kPulseEnergyLength[] =
    "len(pulse_energy) must be at least num_datasets = %d (got %zd)";
constexpr char kSpecParsLength[] = "len(spec_pars) must be at least 8 (got %zd)";
constexpr char kPopulationsLength[] = "len(populations) must be at least 5 (got %zd)";
constexpr char kPopulationsTooLong[] =
    "len(populations) must fit in a 32-bit signed integer (got %zd)";
constexpr char kTooFewTimeSlices[] = "t_slices must be at least 2 (got %d)";
constexpr char kTooFewDepthSlices[] = "z_slices must be at least 2 (got %d)";
constexpr char kTooManyFitted[] =
    "len(fit_indices) must not exceed the number of points %d (got %zd)";
constexpr char kZeroWavelength[] = "wavelength must be non-zero";
constexpr char kZeroM2[] = "M2 must be non-zero";

// Memory.
constexpr char kTablesTooLarge[] =
    "fit_zscan needs %llu bytes for the tables of %d starts and %zd points, "
    "more than the %llu bytes of memory this process may use";
constexpr char kFitOutOfMemory[] =
    "not enough memory for the working storage of the fit (%d points, "
    "t_slices=%d, z_slices=%d)";
constexpr char kFitCoreRefused[] =
    "the fit core failed start %d on arguments that passed every check";

}  // namespace msg

// ---------------------------------------------------------------- state
// All state is process-wide and set up once by the exec slot; fit_zscan only
// reads it. One interpreter per process is enforced by the create slot.

namespace {

constexpr char kModuleName[] = "kesp_wrapper";
constexpr char kFunctionName[] = "fit_zscan";

// Parameters of fit_zscan, in positional order.
enum Param {
  kXData, kYData, kPopulations, kTSlices, kZSlices, kSampleWidth, kTau,
  kWavelength, kW0, kM2, kPulseEnergy, kSpecPars, kFitIndices, kNumXPts,
  kNumDatasets, kIsSa, kNStarts, kNumParams
};
constexpr int kNumRequired = 15;
constexpr const char* kParamNames[kNumParams] = {
    "x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width",
    "tau", "wavelength", "w0", "M2", "pulse_energy", "spec_pars",
    "fit_indices", "num_x_pts", "num_datasets", "is_sa", "n_starts"};

// The array parameters, in the order in which `None` is rejected.
constexpr Param kArrayParams[] = {kXData, kYData, kPopulations,
                                  kPulseEnergy, kSpecPars, kFitIndices};

// NumPy names used at run time.
enum NumpyName { kAsarray, kArgmax, kArgmin, kTile, kZeros, kArray, kFloat64,
                 kDtype, kNumNumpyNames };
constexpr const char* kNumpyNames[kNumNumpyNames] = {
    "asarray", "argmax", "argmin", "tile", "zeros", "array", "float64", "dtype"};

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

struct ModuleState {
  int64_t interpreter_id = -1;     // first interpreter that created the module
  PyObject* module = nullptr;      // the one initialised module
  PyObject* module_dict = nullptr;
  PyObject* builtins_dict = nullptr;
  int runtime_major = -1;          // interpreter version, read once
  int runtime_minor = -1;
  PyObject* param_names[kNumParams] = {};
  PyObject* numpy_names[kNumNumpyNames] = {};
  PyObject* str_np = nullptr;
  PyObject* str_module_name = nullptr;
  PyObject* str_function_name = nullptr;
  PyObject* int_one = nullptr;
  PyTypeObject* types[kNumTypeRefs] = {};
  PyObject* function_type = nullptr;
  PyObject* fit_zscan = nullptr;
};
ModuleState g;

// ---------------------------------------------------------------- helpers

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

// np.<name>, new reference.
PyObject* numpy_attr(NumpyName name) {
  PyObject* np = lookup_np();
  if (np == nullptr) return nullptr;
  PyObject* attr = PyObject_GetAttr(np, g.numpy_names[name]);
  Py_DECREF(np);
  return attr;
}

// np.<name>(arg), with dtype=np.float64 when `float64` is set.
PyObject* call_numpy(NumpyName name, PyObject* arg, bool float64) {
  PyObject* result = nullptr;
  PyObject* args = nullptr;
  PyObject* kwargs = nullptr;
  PyObject* dtype = nullptr;
  PyObject* func = numpy_attr(name);
  if (func == nullptr) goto done;
  args = PyTuple_Pack(1, arg);
  if (args == nullptr) goto done;
  if (float64) {
    dtype = numpy_attr(kFloat64);
    if (dtype == nullptr) goto done;
    kwargs = PyDict_New();
    if (kwargs == nullptr) goto done;
    if (PyDict_SetItem(kwargs, g.numpy_names[kDtype], dtype) < 0) goto done;
  }
  result = PyObject_Call(func, args, kwargs);
done:
  Py_XDECREF(func);
  Py_XDECREF(args);
  Py_XDECREF(kwargs);
  Py_XDECREF(dtype);
  return result;
}

void raise_out_of_bounds(int axis) {
  PyErr_Format(PyExc_IndexError, msg::kOutOfBounds, axis);
}

// ---------------------------------------------------------------- conversions

// An int parameter: a Python int as it is, anything else through __int__.
int convert_int(PyObject* obj, int* out) {
  PyObject* number = nullptr;
  long value = 0;
  int overflow = 0;
  int status = -1;
  if (PyLong_Check(obj)) {
    Py_INCREF(obj);
    number = obj;
  } else {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
      PyErr_SetString(PyExc_TypeError, msg::kIntegerRequired);
      goto done;
    }
    number = nb->nb_int(obj);
    if (number == nullptr) goto done;
    if (!PyLong_Check(number)) {
      PyErr_Format(PyExc_TypeError, msg::kIntReturnedNonInt, Py_TYPE(number)->tp_name);
      goto done;
    }
  }
  value = PyLong_AsLongAndOverflow(number, &overflow);
  if (value == -1 && PyErr_Occurred()) goto done;
  if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, msg::kIntTooLarge);
    goto done;
  }
  *out = static_cast<int>(value);
  status = 0;
done:
  Py_XDECREF(number);
  return status;
}

// A float parameter: a Python float as it is, anything else through the
// interpreter's float conversion.
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

// Element types that buffers must hold.
enum class Element { kDouble, kInt };

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

// Exports `obj` as a C-contiguous, writable buffer of `ndim` dimensions and
// the given element type. On failure nothing is held.
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

// ---------------------------------------------------------------- binding

// Fills `values` (new references) from the positional and keyword
// arguments; missing optional parameters take `defaults`.
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

// ---------------------------------------------------------------- fit_zscan

// Per-start factor: the starts spread logarithmically from 10^-0.52 to
// 10^0.52 times the given values; an odd count puts one start at exactly 1.
double start_multiplier(int i, int n_starts) {
  const int denominator = n_starts - 1 > 1 ? n_starts - 1 : 1;
  return std::pow(10.0, static_cast<double>(i) * 1.04 / static_cast<double>(denominator) - 0.52);
}

// Index of the start to return: the smallest error that is not NaN, the
// earliest of equal ones; start 0 when every error is NaN.
Py_ssize_t best_start(const double* errors, Py_ssize_t n_starts) {
  Py_ssize_t best = -1;
  for (Py_ssize_t i = 0; i < n_starts; ++i) {
    if (std::isnan(errors[i])) continue;
    if (best < 0 || errors[i] < errors[best]) best = i;
  }
  return best < 0 ? 0 : best;
}

// The per-call working tables, each with the typed view through which it is
// read and written.
enum Table { kCoreIndices, kCenteredX, kAllSpecPars, kAllResiduals, kAllErrors,
             kStartMultipliers, kNumTables };

// Everything one call holds; released on every way out.
struct Call {
  PyObject* values[kNumParams] = {};
  Py_buffer arrays[kNumParams];
  bool array_held[kNumParams] = {};
  PyObject* tables[kNumTables] = {};
  Py_buffer table_views[kNumTables];
  bool table_held[kNumTables] = {};

  ~Call() {
    for (int t = 0; t < kNumTables; ++t) {
      if (table_held[t]) PyBuffer_Release(&table_views[t]);
      Py_XDECREF(tables[t]);
    }
    for (int p = 0; p < kNumParams; ++p) {
      if (array_held[p]) PyBuffer_Release(&arrays[p]);
      Py_XDECREF(values[p]);
    }
  }

  Py_ssize_t length(Param p) const { return arrays[p].shape[0]; }
  const double* doubles(Param p) const { return static_cast<const double*>(arrays[p].buf); }
  const int* ints(Param p) const { return static_cast<const int*>(arrays[p].buf); }

  // Stores `obj` (a new reference, may be null) as table `t` and takes its
  // typed view. A table smaller than the call will index (only possible
  // when `np` is not NumPy) is refused as an index beyond its end.
  int set_table(Table t, PyObject* obj, int ndim, Element element, Py_ssize_t rows,
                Py_ssize_t columns = 0) {
    tables[t] = obj;
    if (obj == nullptr) return -1;
    if (acquire_buffer(obj, ndim, element, &table_views[t]) < 0) return -1;
    table_held[t] = true;
    for (int axis = 0; axis < ndim; ++axis) {
      if (table_views[t].shape[axis] < (axis == 0 ? rows : columns)) {
        raise_out_of_bounds(axis);
        return -1;
      }
    }
    return 0;
  }
  double* table_doubles(Table t) const { return static_cast<double*>(table_views[t].buf); }
  double* table_row(Table t, Py_ssize_t i) const {
    return reinterpret_cast<double*>(static_cast<char*>(table_views[t].buf) +
                                     i * table_views[t].strides[0]);
  }
};

// np.asarray(memoryview(obj)): a NumPy view of a caller's array that holds an
// export of its own, so nothing made from it can outlive the memory.
PyObject* numpy_view_of(PyObject* obj) {
  PyObject* view = PyMemoryView_FromObject(obj);
  if (view == nullptr) return nullptr;
  PyObject* array = call_numpy(kAsarray, view, false);
  Py_DECREF(view);
  return array;
}

// A one-dimensional float64 array viewing row `row` of a table; it keeps the
// table (or, for a table that is no NumPy array, an export of it) alive.
PyObject* row_view(PyObject* table, const Py_buffer* view, Py_ssize_t row) {
  npy_intp length = view->shape[1];
  void* data = static_cast<char*>(view->buf) + row * view->strides[0];
  PyObject* base = nullptr;
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
  if (descr == nullptr) return nullptr;
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, 1, &length, nullptr,
                                         data, NPY_ARRAY_CARRAY, nullptr);
  if (array == nullptr) return nullptr;
  if (PyArray_Check(table)) {
    Py_INCREF(table);
    base = table;
  } else {
    base = PyMemoryView_FromObject(table);
  }
  if (base == nullptr || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), base) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

// Rejects what the fit core would read beyond the ends of its arrays.
int check_core_preconditions(const Call& c, int t_slices, int z_slices, double wavelength,
                             double M2, int num_x_pts, int num_datasets) {
  if (num_x_pts < 5) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewPoints, num_x_pts);
    return -1;
  }
  if (num_datasets < 1) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewDatasets, num_datasets);
    return -1;
  }
  const long long points = static_cast<long long>(num_x_pts) * num_datasets;
  if (points > INT_MAX) {
    PyErr_Format(PyExc_ValueError, msg::kTooManyPoints, num_x_pts, num_datasets);
    return -1;
  }
  const int n_points = static_cast<int>(points);
  if (c.length(kXData) != n_points) {
    PyErr_Format(PyExc_ValueError, msg::kXDataLength, n_points, c.length(kXData));
    return -1;
  }
  if (c.length(kYData) != n_points) {
    PyErr_Format(PyExc_ValueError, msg::kYDataLength, n_points, c.length(kYData));
    return -1;
  }
  if (c.length(kPulseEnergy) < num_datasets) {
    PyErr_Format(PyExc_ValueError, msg::kPulseEnergyLength, num_datasets,
                 c.length(kPulseEnergy));
    return -1;
  }
  if (c.length(kSpecPars) < 8) {
    PyErr_Format(PyExc_ValueError, msg::kSpecParsLength, c.length(kSpecPars));
    return -1;
  }
  if (c.length(kPopulations) < 5) {
    PyErr_Format(PyExc_ValueError, msg::kPopulationsLength, c.length(kPopulations));
    return -1;
  }
  if (c.length(kPopulations) > INT_MAX) {
    PyErr_Format(PyExc_ValueError, msg::kPopulationsTooLong, c.length(kPopulations));
    return -1;
  }
  if (t_slices < 2) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewTimeSlices, t_slices);
    return -1;
  }
  if (z_slices < 2) {
    PyErr_Format(PyExc_ValueError, msg::kTooFewDepthSlices, z_slices);
    return -1;
  }
  if (c.length(kFitIndices) > n_points) {
    PyErr_Format(PyExc_ValueError, msg::kTooManyFitted, n_points, c.length(kFitIndices));
    return -1;
  }
  if (wavelength == 0.0) {
    PyErr_SetString(PyExc_ValueError, msg::kZeroWavelength);
    return -1;
  }
  if (M2 == 0.0) {
    PyErr_SetString(PyExc_ValueError, msg::kZeroM2);
    return -1;
  }
  return 0;
}

// Bytes of the working tables of a call with n_starts starts (saturating):
// centered_x, all_spec_pars, all_residuals, all_errors, and the start
// multipliers, made as a list of Python floats and then an array.
std::uint64_t table_bytes(Py_ssize_t n_x, Py_ssize_t n_spec_pars, Py_ssize_t n_res,
                          int n_starts) {
  using zscan::saturating_add;
  using zscan::saturating_mul;
  using U = std::uint64_t;
  const U per_start = saturating_add(
      saturating_mul(static_cast<U>(n_spec_pars) + static_cast<U>(n_res) + 2, sizeof(double)),
      sizeof(PyFloatObject) + sizeof(PyObject*));
  const U starts = static_cast<U>(n_starts > 0 ? n_starts : 0);
  return saturating_add(saturating_mul(starts, per_start),
                        saturating_mul(static_cast<U>(n_x), sizeof(double)));
}

// ---------------------------------------------------------------- interrupts
// Python runs signal handlers only in the main thread and only with the
// interpreter lock, so while the starts run without it a Ctrl-C would wait
// for the whole fit. Instead the fit core consults this check between model
// evaluations (zscan/interrupt.h): at most every kSignalCheckInterval it
// takes the lock back for a moment and lets Python run its handlers. A
// handler that raises stops the fit; its exception is kept and raised once
// the loop has ended. Without a signal nothing about the fit changes.

// Long enough that taking the lock back costs nothing measurable, even when
// another Python thread keeps it busy (up to the interpreter's 5 ms switch
// interval per check); short enough that Ctrl-C feels immediate.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(20);

struct SignalWatch {
  PyThreadState* thread_state = nullptr;  // saved when the lock was released
  std::chrono::steady_clock::time_point next_check;
  bool raised = false;                    // a handler raised: stop every fit
  PyObject* type = nullptr;               // its exception, to raise after the loop
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

bool check_signals(void* data) {
  SignalWatch* watch = static_cast<SignalWatch*>(data);
  if (watch->raised) return true;
  if (std::chrono::steady_clock::now() < watch->next_check) return false;
  PyEval_RestoreThread(watch->thread_state);
  if (PyErr_CheckSignals() < 0) {
    PyErr_Fetch(&watch->type, &watch->value, &watch->traceback);
    watch->raised = true;
  }
  watch->thread_state = PyEval_SaveThread();
  watch->next_check = std::chrono::steady_clock::now() + kSignalCheckInterval;
  return watch->raised;
}

PyObject* fit_zscan_impl(PyObject* args, PyObject* kwargs, PyObject* defaults) {
  Call c;
  int t_slices = 0, z_slices = 0, num_x_pts = 0, num_datasets = 0, n_starts = 0;
  double sample_width = 0.0, tau = 0.0, wavelength = 0.0, w0 = 0.0, M2 = 0.0;
  int is_sa = 0;

  if (bind_arguments(args, kwargs, defaults, c.values) < 0) return nullptr;

  // Convert, in parameter order; `None` arrays pass here and fail below.
  for (int p = 0; p < kNumParams; ++p) {
    PyObject* value = c.values[p];
    int status = 0;
    switch (p) {
      case kXData: case kYData: case kPopulations: case kPulseEnergy: case kSpecPars:
      case kFitIndices:
        if (value == Py_None) break;
        status = acquire_buffer(value, 1, p == kFitIndices ? Element::kInt : Element::kDouble,
                                &c.arrays[p]);
        if (status == 0) c.array_held[p] = true;
        break;
      case kTSlices: status = convert_int(value, &t_slices); break;
      case kZSlices: status = convert_int(value, &z_slices); break;
      case kNumXPts: status = convert_int(value, &num_x_pts); break;
      case kNumDatasets: status = convert_int(value, &num_datasets); break;
      case kNStarts: status = convert_int(value, &n_starts); break;
      case kSampleWidth: status = convert_double(value, &sample_width); break;
      case kTau: status = convert_double(value, &tau); break;
      case kWavelength: status = convert_double(value, &wavelength); break;
      case kW0: status = convert_double(value, &w0); break;
      case kM2: status = convert_double(value, &M2); break;
      case kIsSa:
        is_sa = PyObject_IsTrue(value);
        status = is_sa < 0 ? -1 : 0;
        break;
      default: break;
    }
    if (status < 0) return nullptr;
  }
  for (Param p : kArrayParams) {
    if (!c.array_held[p]) {
      PyErr_Format(PyExc_TypeError, msg::kMustNotBeNone, kParamNames[p]);
      return nullptr;
    }
  }

  // fit_indices: 0-based indices into spec_pars, 0 to 7.
  const Py_ssize_t n_fit = c.length(kFitIndices);
  const int* fit_indices = c.ints(kFitIndices);
  for (Py_ssize_t i = 0; i < n_fit; ++i) {
    if (fit_indices[i] < 0 || fit_indices[i] > 7) {
      PyErr_Format(PyExc_ValueError, msg::kFitIndexOutOfRange, i, fit_indices[i]);
      return nullptr;
    }
  }

  // core_indices = fit_indices + 1, the core's 1-based indices.
  {
    PyObject* indices = numpy_view_of(c.values[kFitIndices]);
    PyObject* core = indices ? PyNumber_Add(indices, g.int_one) : nullptr;
    Py_XDECREF(indices);
    if (c.set_table(kCoreIndices, core, 1, Element::kInt, n_fit) < 0) return nullptr;
  }

  // Centre of the scan: the position of the maximum (saturable absorber) or
  // the minimum (reverse saturable absorber) of y_data, first one on ties.
  double center_x = 0.0;
  {
    PyObject* y = numpy_view_of(c.values[kYData]);
    PyObject* found = y ? call_numpy(is_sa ? kArgmax : kArgmin, y, false) : nullptr;
    Py_XDECREF(y);
    if (found == nullptr) return nullptr;
    const Py_ssize_t idx = PyNumber_AsSsize_t(found, PyExc_IndexError);
    Py_DECREF(found);
    if (idx == -1 && PyErr_Occurred()) return nullptr;
    if (idx < 0 || idx >= c.length(kXData)) {
      raise_out_of_bounds(0);
      return nullptr;
    }
    center_x = c.doubles(kXData)[idx];
  }

  // The working tables. Tables larger than the memory the process may use
  // are refused before any is made: obtained on credit and filled, they
  // would have the kernel stop the process.
  {
    const std::uint64_t needed = table_bytes(c.length(kXData), c.length(kSpecPars),
                                             c.length(kYData), n_starts);
    const std::uint64_t usable = zscan::usable_memory_bytes();
    if (needed > usable) {
      PyErr_Format(PyExc_MemoryError, msg::kTablesTooLarge,
                   static_cast<unsigned long long>(needed), n_starts, c.length(kYData),
                   static_cast<unsigned long long>(usable));
      return nullptr;
    }
  }
  // all_spec_pars is tiled from a NumPy array so that it is always a copy:
  // the caller's spec_pars is never written.
  {
    PyObject* x = numpy_view_of(c.values[kXData]);
    PyObject* center = x ? PyFloat_FromDouble(center_x) : nullptr;
    PyObject* centered = center ? PyNumber_Subtract(x, center) : nullptr;
    Py_XDECREF(x);
    Py_XDECREF(center);
    if (c.set_table(kCenteredX, centered, 1, Element::kDouble, c.length(kXData)) < 0) {
      return nullptr;
    }
  }
  {
    PyObject* tile = numpy_attr(kTile);
    PyObject* pars = tile ? numpy_view_of(c.values[kSpecPars]) : nullptr;
    PyObject* reps = pars ? Py_BuildValue("(ii)", n_starts, 1) : nullptr;
    PyObject* tiled = reps ? PyObject_CallFunctionObjArgs(tile, pars, reps, nullptr) : nullptr;
    Py_XDECREF(tile);
    Py_XDECREF(pars);
    Py_XDECREF(reps);
    if (c.set_table(kAllSpecPars, tiled, 2, Element::kDouble, n_starts,
                    c.length(kSpecPars)) < 0) {
      return nullptr;
    }
  }
  {
    PyObject* shape = Py_BuildValue("(in)", n_starts, c.length(kYData));
    PyObject* zeros = shape ? call_numpy(kZeros, shape, true) : nullptr;
    Py_XDECREF(shape);
    if (c.set_table(kAllResiduals, zeros, 2, Element::kDouble, n_starts, c.length(kYData)) < 0) {
      return nullptr;
    }
  }
  {
    PyObject* count = PyLong_FromLong(n_starts);
    PyObject* zeros = count ? call_numpy(kZeros, count, true) : nullptr;
    Py_XDECREF(count);
    if (c.set_table(kAllErrors, zeros, 1, Element::kDouble, n_starts) < 0) return nullptr;
  }

  // Start multipliers, gathered in a list and made a float64 array.
  {
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (int i = 0; i < n_starts; ++i) {
      PyObject* factor = PyFloat_FromDouble(start_multiplier(i, n_starts));
      if (factor == nullptr || PyList_Append(list, factor) < 0) {
        Py_XDECREF(factor);
        Py_DECREF(list);
        return nullptr;
      }
      Py_DECREF(factor);
    }
    PyObject* multipliers = call_numpy(kArray, list, true);
    Py_DECREF(list);
    if (c.set_table(kStartMultipliers, multipliers, 1, Element::kDouble, n_starts) < 0) {
      return nullptr;
    }
  }

  // Start values: each start's row holds the fitted entries times its factor.
  const double* spec_pars = c.doubles(kSpecPars);
  const double* multipliers = c.table_doubles(kStartMultipliers);
  for (Py_ssize_t i = 0; i < n_starts; ++i) {
    double* row = c.table_row(kAllSpecPars, i);
    for (Py_ssize_t j = 0; j < n_fit; ++j) {
      const int k = fit_indices[j];
      if (k >= c.length(kSpecPars)) {
        raise_out_of_bounds(0);
        return nullptr;
      }
      row[k] = multipliers[i] * spec_pars[k];
    }
  }

  // Every array handed to the core must have a first element; then the
  // core's own preconditions. Both hold alike for every start.
  if (n_starts > 0) {
    const struct { Py_ssize_t length; int axis; } handed[] = {
        {c.table_views[kCenteredX].shape[0], 0},
        {c.length(kYData), 0},
        {c.length(kPopulations), 0},
        {c.table_views[kAllResiduals].shape[1], 1},
        {c.table_views[kAllErrors].shape[0], 0},
        {c.length(kPulseEnergy), 0},
        {c.table_views[kAllSpecPars].shape[1], 1},
        {c.table_views[kCoreIndices].shape[0], 0},
    };
    for (const auto& array : handed) {
      if (array.length < 1) {
        raise_out_of_bounds(array.axis);
        return nullptr;
      }
    }
    if (check_core_preconditions(c, t_slices, z_slices, wavelength, M2, num_x_pts,
                                 num_datasets) < 0) {
      return nullptr;
    }
  }

  // Run the starts, one after another on this thread, without the lock. The
  // core keeps its state per thread, so other threads may fit meanwhile. In
  // the main thread a signal whose handler raises stops the fit within a
  // model evaluation and skips the remaining starts.
  const int n_fit_core = static_cast<int>(n_fit);
  const int n_pop = static_cast<int>(c.length(kPopulations));
  const int n_res = static_cast<int>(c.length(kYData));
  const double* centered_x = c.table_doubles(kCenteredX);
  const double* y_data = c.doubles(kYData);
  const double* populations = c.doubles(kPopulations);
  const double* pulse_energy = c.doubles(kPulseEnergy);
  const int* core_indices = static_cast<const int*>(c.table_views[kCoreIndices].buf);
  double* all_errors = c.table_doubles(kAllErrors);
  // Only the main thread of the main interpreter runs signal handlers; CPython
  // 3.9 tells with _PyOS_IsMainThread (the lock is held here, as it needs).
  SignalWatch watch;
  const bool watch_signals = _PyOS_IsMainThread() != 0;
  zscan::Status status = zscan::Status::ok;
  int failed_start = 0;
  watch.thread_state = PyEval_SaveThread();
  watch.next_check = std::chrono::steady_clock::now() + kSignalCheckInterval;
  {
    zscan::InterruptHookScope hook(watch_signals ? check_signals : nullptr, &watch);
    for (int i = 0; i < n_starts && status == zscan::Status::ok; ++i) {
      failed_start = i;
      if (zscan::interrupt_requested()) {
        status = zscan::Status::interrupted;
        break;
      }
      status = zscan::run_fit_core(
          centered_x, y_data, populations, c.table_row(kAllResiduals, i), &all_errors[i],
          &t_slices, &z_slices, &sample_width, &tau, &wavelength, &w0, &M2, pulse_energy,
          c.table_row(kAllSpecPars, i), core_indices, &n_fit_core, &num_x_pts,
          &num_datasets, &n_pop, &n_res);
    }
  }
  PyEval_RestoreThread(watch.thread_state);

  if (watch.raised) {
    PyErr_Restore(watch.type, watch.value, watch.traceback);
    return nullptr;
  }
  switch (status) {
    case zscan::Status::ok: break;
    case zscan::Status::out_of_memory:
      PyErr_Format(PyExc_MemoryError, msg::kFitOutOfMemory, n_res, t_slices, z_slices);
      return nullptr;
    case zscan::Status::invalid_input:
    case zscan::Status::interrupted:  // only ever asked for by a raising handler
      PyErr_Format(PyExc_SystemError, msg::kFitCoreRefused, failed_start);
      return nullptr;
  }

  if (n_starts < 1) {
    raise_out_of_bounds(0);
    return nullptr;
  }
  const Py_ssize_t best = best_start(all_errors, n_starts);

  PyObject* residuals = row_view(c.tables[kAllResiduals], &c.table_views[kAllResiduals], best);
  PyObject* error = residuals ? PyFloat_FromDouble(all_errors[best]) : nullptr;
  PyObject* fitted = error ? row_view(c.tables[kAllSpecPars], &c.table_views[kAllSpecPars], best)
                           : nullptr;
  PyObject* result = fitted ? PyTuple_Pack(3, residuals, error, fitted) : nullptr;
  Py_XDECREF(residuals);
  Py_XDECREF(error);
  Py_XDECREF(fitted);
  return result;
}

// ---------------------------------------------------------------- function type
// fit_zscan is an instance of a small callable type of its own, so that it
// can carry __defaults__ besides the usual function attributes. It binds to
// no instance when stored in a class, like a built-in function.

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
    "    to 3.311 times the given values; with an odd count one start is\n"
    "    the given values themselves.\n"
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

// Creates the function type (its __module__ comes from the dotted name).
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

// ---------------------------------------------------------------- initialisation

// Adds an entry named `funcname` to the traceback of the current exception.
void add_traceback_entry(const char* funcname) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyCodeObject* code = PyCode_NewEmpty("kesp_wrapper.cpp", funcname, 0);
  PyObject* globals = code ? PyDict_New() : nullptr;
  PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr)
                                 : nullptr;
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

// Replaces an error of the NumPy C interface import (a subclass of
// Exception) by ImportError, with the first error as its context.
void replace_numpy_import_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr || !PyErr_GivenExceptionMatches(type, PyExc_Exception)) {
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

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

int make_strings() {
  for (int i = 0; i < kNumParams; ++i) {
    if (g.param_names[i] == nullptr && (g.param_names[i] = intern(kParamNames[i])) == nullptr) {
      return -1;
    }
  }
  for (int i = 0; i < kNumNumpyNames; ++i) {
    if (g.numpy_names[i] == nullptr && (g.numpy_names[i] = intern(kNumpyNames[i])) == nullptr) {
      return -1;
    }
  }
  if (g.str_np == nullptr && (g.str_np = intern("np")) == nullptr) return -1;
  if (g.str_module_name == nullptr && (g.str_module_name = intern(kModuleName)) == nullptr) {
    return -1;
  }
  if (g.str_function_name == nullptr &&
      (g.str_function_name = intern(kFunctionName)) == nullptr) {
    return -1;
  }
  if (g.int_one == nullptr && (g.int_one = PyLong_FromLong(1)) == nullptr) return -1;
  return 0;
}

// Takes module.name, checks that it is a type and that it is at least as
// large as the structure the module was built against.
int take_type(PyObject* module, const TypeRef& ref, PyTypeObject** out) {
  PyObject* obj = PyObject_GetAttrString(module, ref.name);
  if (obj == nullptr) return -1;
  if (!PyType_Check(obj)) {
    PyErr_Format(PyExc_TypeError, msg::kNotATypeObject, ref.module, ref.name);
    Py_DECREF(obj);
    return -1;
  }
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(obj);
  const Py_ssize_t basic_size = type->tp_basicsize;
  const Py_ssize_t size = basic_size + type->tp_itemsize;
  if (size < ref.expected_size) {
    PyErr_Format(PyExc_ValueError, msg::kSizeChanged, ref.module, ref.name,
                 ref.expected_size, size);
    Py_DECREF(obj);
    return -1;
  }
  if (ref.warn && basic_size > ref.expected_size &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 0, msg::kSizeChanged, ref.module, ref.name,
                       ref.expected_size, basic_size) < 0) {
    Py_DECREF(obj);
    return -1;
  }
  Py_XSETREF(*out, type);
  return 0;
}

int take_types() {
  PyObject* builtins = PyImport_ImportModule("builtins");
  if (builtins == nullptr) return -1;
  int status = take_type(builtins, kTypeRefs[0], &g.types[0]);
  Py_DECREF(builtins);
  if (status < 0) return -1;
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return -1;
  for (int i = 1; i < kNumTypeRefs && status == 0; ++i) {
    status = take_type(numpy, kTypeRefs[i], &g.types[i]);
  }
  Py_DECREF(numpy);
  return status;
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
    PyObject* three = PyLong_FromLong(3);
    f->defaults = three ? PyTuple_Pack(2, Py_False, three) : nullptr;
    Py_XDECREF(three);
    if (f->doc == nullptr || f->text_signature == nullptr || f->defaults == nullptr) {
      Py_DECREF(f);
      return -1;
    }
    g.fit_zscan = reinterpret_cast<PyObject*>(f);
  }
  return PyDict_SetItem(module_dict, g.str_function_name, g.fit_zscan);
}

// Everything after the one-initialisation check, in order; any failure stops.
int exec_steps(PyObject* module, PyObject* module_dict) {
  // __builtins__.
  PyObject* builtins = PyImport_ImportModule("builtins");
  if (builtins == nullptr) return -1;
  PyObject* builtins_dict = PyModule_GetDict(builtins);
  Py_INCREF(builtins_dict);
  Py_XSETREF(g.builtins_dict, builtins_dict);
  int status = PyDict_SetItemString(module_dict, "__builtins__", builtins);
  Py_DECREF(builtins);
  if (status < 0) return -1;

  // Interpreter version against the headers the module was built with.
  if (g.runtime_major < 0) read_runtime_version();
  if ((g.runtime_major != PY_MAJOR_VERSION || g.runtime_minor != PY_MINOR_VERSION) &&
      PyErr_WarnFormat(PyExc_RuntimeWarning, 1, msg::kVersionMismatch, PY_MAJOR_VERSION,
                       PY_MINOR_VERSION, kModuleName, msg::kDoesNotMatch, g.runtime_major,
                       g.runtime_minor) < 0) {
    return -1;
  }

  if (make_strings() < 0) return -1;

  // The function type; the module's entry in sys.modules.
  if (g.function_type == nullptr && (g.function_type = make_function_type()) == nullptr) {
    return -1;
  }
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* present = PyDict_GetItemWithError(modules, g.str_module_name);
  if (present == nullptr) {
    if (PyErr_Occurred() || PyDict_SetItem(modules, g.str_module_name, module) < 0) return -1;
  }

  if (take_types() < 0) return -1;

  // np.
  PyObject* numpy = PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0);
  if (numpy == nullptr) return -1;
  status = PyDict_SetItem(module_dict, g.str_np, numpy);
  Py_DECREF(numpy);
  if (status < 0) return -1;

  // NumPy's C interface.
  if (_import_array() < 0) {
    replace_numpy_import_error();
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

  PyObject* module = nullptr;
  PyObject* name = PyObject_GetAttrString(module_spec, "name");
  if (name == nullptr) return nullptr;
  module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;

  // Copies module_spec.<from> to module.<to>; a missing attribute is skipped, and
  // __path__ only when it is not None.
  const struct { const char* from; const char* to; bool skip_none; } copies[] = {
      {"loader", "__loader__", false},
      {"origin", "__file__", false},
      {"parent", "__package__", false},
      {"submodule_search_locations", "__path__", true},
  };
  PyObject* dict = PyModule_GetDict(module);
  for (const auto& copy : copies) {
    PyObject* value = PyObject_GetAttrString(module_spec, copy.from);
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Py_DECREF(module);
        return nullptr;
      }
      PyErr_Clear();
      continue;
    }
    int status = 0;
    if (!(copy.skip_none && value == Py_None)) {
      status = PyDict_SetItemString(dict, copy.to, value);
    }
    Py_DECREF(value);
    if (status < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  return module;
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

PyMODINIT_FUNC PyInit_kesp_wrapper(void) { return PyModuleDef_Init(&module_def); }
