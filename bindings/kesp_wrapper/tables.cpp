// The working tables of one call of fit_zscan. Relies on the NumPy calls
// (module attribute `np`), the per-call record, the module's message table
// and the fit core's memory limit and saturating size arithmetic.
#include "tables.h"

#include <cmath>
#include <cstdint>

#include "messages.h"
#include "numpy_calls.h"
#include "ref.h"
#include "zscan/zscan.h"

namespace kesp {
namespace {

// Per-start factor: the starts spread logarithmically from 10^-0.52 to
// 10^0.52 times the given values. A single start is at 10^-0.52; three (or
// five) starts put the middle one at exactly 1.
double start_multiplier(int i, int n_starts) {
  const int denominator = n_starts - 1 > 1 ? n_starts - 1 : 1;
  return std::pow(10.0, static_cast<double>(i) * 1.04 / static_cast<double>(denominator) - 0.52);
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

// Tables larger than the memory the process may use are refused before any
// is made: obtained on credit and filled, they would have the kernel stop
// the process.
int check_table_memory(const Call& c) {
  const std::uint64_t needed = table_bytes(c.length(kXData), c.length(kSpecPars),
                                           c.length(kYData), c.s.n_starts);
  const std::uint64_t usable = zscan::usable_memory_bytes();
  if (needed > usable) {
    PyErr_Format(PyExc_MemoryError, msg::kTablesTooLarge,
                 static_cast<unsigned long long>(needed), c.s.n_starts, c.length(kYData),
                 static_cast<unsigned long long>(usable));
    return -1;
  }
  return 0;
}

int make_centered_x(Call& c, double center_x) {
  Ref x(numpy_view_of(c.values[kXData]));
  Ref center(x ? PyFloat_FromDouble(center_x) : nullptr);
  Ref centered(center ? PyNumber_Subtract(x.get(), center.get()) : nullptr);
  x.reset();
  center.reset();
  return c.set_table(kCenteredX, centered.release(), 1, Element::kDouble, c.length(kXData));
}

// all_spec_pars is tiled from a NumPy array so that it is always a copy:
// the caller's spec_pars is never written.
int make_all_spec_pars(Call& c) {
  Ref tile(numpy_attr(kTile));
  Ref pars(tile ? numpy_view_of(c.values[kSpecPars]) : nullptr);
  Ref reps(pars ? Py_BuildValue("(ii)", c.s.n_starts, 1) : nullptr);
  Ref tiled(reps ? PyObject_CallFunctionObjArgs(tile.get(), pars.get(), reps.get(), nullptr)
                 : nullptr);
  tile.reset();
  pars.reset();
  reps.reset();
  return c.set_table(kAllSpecPars, tiled.release(), 2, Element::kDouble, c.s.n_starts,
                     c.length(kSpecPars));
}

int make_zero_tables(Call& c) {
  Ref shape(Py_BuildValue("(in)", c.s.n_starts, c.length(kYData)));
  PyObject* residuals = shape ? call_numpy(kZeros, shape.get(), true) : nullptr;
  shape.reset();
  if (c.set_table(kAllResiduals, residuals, 2, Element::kDouble, c.s.n_starts,
                  c.length(kYData)) < 0) {
    return -1;
  }
  Ref count(PyLong_FromLong(c.s.n_starts));
  PyObject* errors = count ? call_numpy(kZeros, count.get(), true) : nullptr;
  count.reset();
  return c.set_table(kAllErrors, errors, 1, Element::kDouble, c.s.n_starts);
}

// Start multipliers, gathered in a list and made a float64 array.
int make_start_multipliers(Call& c) {
  Ref list(PyList_New(0));
  if (!list) return -1;
  for (int i = 0; i < c.s.n_starts; ++i) {
    Ref factor(PyFloat_FromDouble(start_multiplier(i, c.s.n_starts)));
    if (!factor || PyList_Append(list.get(), factor.get()) < 0) return -1;
  }
  PyObject* multipliers = call_numpy(kArray, list.get(), true);
  list.reset();
  return c.set_table(kStartMultipliers, multipliers, 1, Element::kDouble, c.s.n_starts);
}

}  // namespace

int make_core_indices(Call& c) {
  Ref indices(numpy_view_of(c.values[kFitIndices]));
  PyObject* core = indices ? PyNumber_Add(indices.get(), g.int_one) : nullptr;
  indices.reset();
  return c.set_table(kCoreIndices, core, 1, Element::kInt, c.length(kFitIndices));
}

int make_tables(Call& c, double center_x) {
  if (check_table_memory(c) < 0 || make_centered_x(c, center_x) < 0 ||
      make_all_spec_pars(c) < 0 || make_zero_tables(c) < 0) {
    return -1;
  }
  return make_start_multipliers(c);
}

}  // namespace kesp
