// What one call of fit_zscan holds, and how its tables are taken over.
// Relies on the CPython C API and on the buffer checks of the conversions.
#include "call.h"

namespace kesp {

Call::~Call() {
  for (int t = 0; t < kNumTables; ++t) {
    if (table_held[t]) PyBuffer_Release(&table_views[t]);
    Py_XDECREF(tables[t]);
  }
  for (int p = 0; p < kNumParams; ++p) {
    if (array_held[p]) PyBuffer_Release(&arrays[p]);
    Py_XDECREF(values[p]);
  }
}

int Call::set_table(Table t, PyObject* obj, int ndim, Element element, Py_ssize_t rows,
                    Py_ssize_t columns) {
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

}  // namespace kesp
