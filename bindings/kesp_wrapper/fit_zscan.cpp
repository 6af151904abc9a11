// One call of fit_zscan: converts its arguments, checks the fit indices,
// centres the scan on the extremum of the measured transmittance, makes the
// working tables and one start row per start, runs the fit core for every
// start with the interpreter lock released and returns the start with the
// smallest error. Relies on the CPython C API, NumPy (through the tables and
// the row views) and the fit core (zscan.h) with its interrupt hook.
#include "fit_zscan.h"

#include <cmath>

#include "arguments.h"
#include "call.h"
#include "messages.h"
#include "numpy_calls.h"
#include "preconditions.h"
#include "ref.h"
#include "tables.h"
#include "bindings_common/without_interpreter_lock.h"
#include "zscan/zscan.h"

namespace kesp {
namespace {

// The array parameters, in the order in which `None` is rejected.
constexpr Param kArrayParams[] = {kXData, kYData, kPopulations,
                                  kPulseEnergy, kSpecPars, kFitIndices};

// Converts in parameter order; `None` arrays pass the conversion and are
// rejected once every argument has been converted.
int convert_arguments(Call& c) {
  Scalars& s = c.s;
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
      case kTSlices: status = convert_int(value, &s.t_slices); break;
      case kZSlices: status = convert_int(value, &s.z_slices); break;
      case kNumXPts: status = convert_int(value, &s.num_x_pts); break;
      case kNumDatasets: status = convert_int(value, &s.num_datasets); break;
      case kNStarts: status = convert_int(value, &s.n_starts); break;
      case kSampleWidth: status = convert_double(value, &s.sample_width); break;
      case kTau: status = convert_double(value, &s.tau); break;
      case kWavelength: status = convert_double(value, &s.wavelength); break;
      case kW0: status = convert_double(value, &s.w0); break;
      case kM2: status = convert_double(value, &s.M2); break;
      case kIsSa:
        s.is_sa = PyObject_IsTrue(value);
        status = s.is_sa < 0 ? -1 : 0;
        break;
      default: break;
    }
    if (status < 0) return -1;
  }
  for (Param p : kArrayParams) {
    if (!c.array_held[p]) {
      PyErr_Format(PyExc_TypeError, msg::kMustNotBeNone, kParamNames[p]);
      return -1;
    }
  }
  return 0;
}

// The range that msg::kFitIndexOutOfRange names.
static_assert(zscan::kSpecPars == 8, "fit indices run from 0 to 7");

// fit_indices: 0-based indices into spec_pars, 0 to kSpecPars - 1.
int check_fit_indices(const Call& c) {
  const int* fit_indices = c.ints(kFitIndices);
  for (Py_ssize_t i = 0; i < c.length(kFitIndices); ++i) {
    if (fit_indices[i] < 0 || fit_indices[i] >= zscan::kSpecPars) {
      PyErr_Format(PyExc_ValueError, msg::kFitIndexOutOfRange, i, fit_indices[i]);
      return -1;
    }
  }
  return 0;
}

// Centre of the scan: the position of the maximum (saturable absorber) or
// the minimum (reverse saturable absorber) of y_data, first one on ties.
int find_centre(const Call& c, double* center_x) {
  Ref y(numpy_view_of(c.values[kYData]));
  Ref found(y ? call_numpy(c.s.is_sa ? kArgmax : kArgmin, y.get(), false) : nullptr);
  y.reset();
  if (!found) return -1;
  const Py_ssize_t idx = PyNumber_AsSsize_t(found.get(), PyExc_IndexError);
  found.reset();
  if (idx == -1 && PyErr_Occurred()) return -1;
  if (idx < 0 || idx >= c.length(kXData)) {
    raise_out_of_bounds(0);
    return -1;
  }
  *center_x = c.doubles(kXData)[idx];
  return 0;
}

// Each start's row holds the fitted entries times the start's factor.
int fill_start_values(const Call& c) {
  const double* spec_pars = c.doubles(kSpecPars);
  const int* fit_indices = c.ints(kFitIndices);
  const double* multipliers = c.table_doubles(kStartMultipliers);
  for (Py_ssize_t i = 0; i < c.s.n_starts; ++i) {
    double* row = c.table_row(kAllSpecPars, i);
    for (Py_ssize_t j = 0; j < c.length(kFitIndices); ++j) {
      const int k = fit_indices[j];
      if (k >= c.length(kSpecPars)) {
        raise_out_of_bounds(0);
        return -1;
      }
      row[k] = multipliers[i] * spec_pars[k];
    }
  }
  return 0;
}

// Every array handed to the core must have a first element, then the core's
// own preconditions must hold; both hold alike for every start, so with no
// start nothing is checked. centered_x, which holds the centre, and
// all_errors, with one slot per start, always have one.
int check_handed_arrays(const Call& c) {
  if (c.s.n_starts < 1) return 0;
  const struct { Py_ssize_t length; int axis; } handed[] = {
      {c.length(kYData), 0},
      {c.length(kPopulations), 0},
      {c.table_length(kAllResiduals, 1), 1},
      {c.length(kPulseEnergy), 0},
      {c.table_length(kAllSpecPars, 1), 1},
      {c.table_length(kCoreIndices, 0), 0},
  };
  for (const auto& array : handed) {
    if (array.length < 1) {
      raise_out_of_bounds(array.axis);
      return -1;
    }
  }
  return check_core_preconditions(c);
}

// The exception for a start the core could not finish.
void raise_for_status(const Call& c, zscan::Status status, int failed_start) {
  switch (status) {
    case zscan::Status::ok: break;
    case zscan::Status::out_of_memory:
      PyErr_Format(PyExc_MemoryError, msg::kFitOutOfMemory, static_cast<int>(c.length(kYData)),
                   c.s.t_slices, c.s.z_slices);
      break;
    case zscan::Status::invalid_input:
    case zscan::Status::interrupted:  // only ever asked for by a raising handler
    case zscan::Status::too_thick:    // the whole-beam model's outcomes: never from the fit
    case zscan::Status::not_stationary:
    case zscan::Status::left_physics:
      PyErr_Format(PyExc_SystemError, msg::kFitCoreRefused, failed_start);
      break;
  }
}

// Runs the starts, one after another on this thread, without the lock. The
// core keeps its state per thread, so other threads may fit meanwhile. In
// the main thread a signal whose handler raises stops the fit within a model
// evaluation and skips the remaining starts.
int run_starts(Call& c) {
  const Scalars& s = c.s;
  const int n_fit = static_cast<int>(c.length(kFitIndices));
  const int n_pop = static_cast<int>(c.length(kPopulations));
  const int n_res = static_cast<int>(c.length(kYData));
  double* all_errors = c.table_doubles(kAllErrors);
  zscan::Status status = zscan::Status::ok;
  int failed_start = 0;
  const auto starts = [&] {
    for (int i = 0; i < s.n_starts && status == zscan::Status::ok; ++i) {
      failed_start = i;
      if (zscan::interrupt_requested()) {
        status = zscan::Status::interrupted;
        break;
      }
      status = zscan::run_fit_core(
          c.table_doubles(kCenteredX), c.doubles(kYData), c.doubles(kPopulations),
          c.table_row(kAllResiduals, i), &all_errors[i], &s.t_slices, &s.z_slices,
          &s.sample_width, &s.tau, &s.wavelength, &s.w0, &s.M2, c.doubles(kPulseEnergy),
          c.table_row(kAllSpecPars, i), c.table_ints(kCoreIndices), &n_fit, &s.num_x_pts,
          &s.num_datasets, &n_pop, &n_res);
    }
  };
  if (bindings_common::run_without_interpreter_lock(starts)) return -1;  // a handler raised
  raise_for_status(c, status, failed_start);
  return status == zscan::Status::ok ? 0 : -1;
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

// (residuals, error, spec_pars) of the best start; the arrays view their
// rows of the tables.
PyObject* build_result(const Call& c) {
  if (c.s.n_starts < 1) {
    raise_out_of_bounds(0);
    return nullptr;
  }
  const double* all_errors = c.table_doubles(kAllErrors);
  const Py_ssize_t best = best_start(all_errors, c.s.n_starts);
  Ref residuals(row_view(c.tables[kAllResiduals], &c.table_views[kAllResiduals], best));
  Ref error(residuals ? PyFloat_FromDouble(all_errors[best]) : nullptr);
  Ref fitted(error ? row_view(c.tables[kAllSpecPars], &c.table_views[kAllSpecPars], best)
                   : nullptr);
  if (!fitted) return nullptr;
  return PyTuple_Pack(3, residuals.get(), error.get(), fitted.get());
}

}  // namespace

PyObject* fit_zscan_impl(PyObject* args, PyObject* kwargs, PyObject* defaults) {
  Call c;
  if (bind_arguments(args, kwargs, defaults, c.values) < 0) return nullptr;
  if (convert_arguments(c) < 0) return nullptr;
  if (check_fit_indices(c) < 0 || make_core_indices(c) < 0) return nullptr;
  double center_x = 0.0;
  if (find_centre(c, &center_x) < 0) return nullptr;
  if (make_tables(c, center_x) < 0) return nullptr;
  if (fill_start_values(c) < 0) return nullptr;
  if (check_handed_arrays(c) < 0) return nullptr;
  if (run_starts(c) < 0) return nullptr;
  return build_result(c);
}

}  // namespace kesp
