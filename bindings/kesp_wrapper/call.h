// Everything one call of fit_zscan holds: its bound arguments and the
// buffers of its six arrays, its converted scalars, and its working tables
// with the typed views through which they are read and written. All of it is
// released on every way out of the call, tables first, each view before its
// object. Relies on the CPython C API and on the argument conversions.
#ifndef KESP_WRAPPER_CALL_H
#define KESP_WRAPPER_CALL_H

#include <Python.h>

#include "conversions.h"
#include "module_state.h"

namespace kesp {

// The per-call working tables.
enum Table { kCoreIndices, kCenteredX, kAllSpecPars, kAllResiduals, kAllErrors,
             kStartMultipliers, kNumTables };

// The scalar arguments, converted.
struct Scalars {
  int t_slices = 0;
  int z_slices = 0;
  double sample_width = 0.0;
  double tau = 0.0;
  double wavelength = 0.0;
  double w0 = 0.0;
  double M2 = 0.0;
  int num_x_pts = 0;
  int num_datasets = 0;
  int is_sa = 0;
  int n_starts = 0;
};

struct Call {
  PyObject* values[kNumParams] = {};  // bound arguments, by Param
  Py_buffer arrays[kNumParams];       // the exported arrays, by Param
  bool array_held[kNumParams] = {};
  Scalars s;
  PyObject* tables[kNumTables] = {};
  Py_buffer table_views[kNumTables];
  bool table_held[kNumTables] = {};

  Call() = default;
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  ~Call();

  Py_ssize_t length(Param p) const { return arrays[p].shape[0]; }
  const double* doubles(Param p) const { return static_cast<const double*>(arrays[p].buf); }
  const int* ints(Param p) const { return static_cast<const int*>(arrays[p].buf); }

  // Stores `obj` (a new reference, may be null) as table `t` and takes its
  // typed view. A table smaller than the call will index (only possible
  // when `np` is not NumPy) is refused as an index beyond its end.
  int set_table(Table t, PyObject* obj, int ndim, Element element, Py_ssize_t rows,
                Py_ssize_t columns = 0);

  Py_ssize_t table_length(Table t, int axis) const { return table_views[t].shape[axis]; }
  double* table_doubles(Table t) const { return static_cast<double*>(table_views[t].buf); }
  const int* table_ints(Table t) const { return static_cast<const int*>(table_views[t].buf); }
  double* table_row(Table t, Py_ssize_t i) const {
    return reinterpret_cast<double*>(static_cast<char*>(table_views[t].buf) +
                                     i * table_views[t].strides[0]);
  }
};

}  // namespace kesp

#endif  // KESP_WRAPPER_CALL_H
