// What the model entries of zscanfit._core share: the array types they take
// and return, a float64 array the caller receives (its storage owned by a
// capsule), the ValueError with a message, MemoryError and SystemError for
// an evaluation's outcomes, and the split of positions into scans. Relies on
// nanobind and the CPython API.
#ifndef ZSCANFIT_CORE_ENTRY_ARRAYS_H
#define ZSCANFIT_CORE_ENTRY_ARRAYS_H

#include <Python.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

namespace zscanfit_core {

using InArray = nanobind::ndarray<const double, nanobind::ndim<1>, nanobind::c_contig,
                                  nanobind::device::cpu>;
using CountArray = nanobind::ndarray<const int, nanobind::ndim<1>, nanobind::c_contig,
                                     nanobind::device::cpu>;
using OutArray = nanobind::ndarray<nanobind::numpy, double>;

// A float64 array the caller receives; the capsule owns its storage.
struct Owned {
  double* data = nullptr;
  nanobind::capsule owner;
  explicit Owned(std::size_t n) {
    std::unique_ptr<double[]> storage(new double[n > 0 ? n : 1]);
    data = storage.get();
    owner = nanobind::capsule(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    storage.release();
  }
  OutArray array(std::size_t n) const {
    const std::size_t shape[1] = {n};
    return OutArray(data, 1, shape, owner);
  }
  OutArray matrix(std::size_t rows, std::size_t columns) const {
    const std::size_t shape[2] = {rows, columns};
    return OutArray(data, 2, shape, owner);
  }
};

[[noreturn]] inline void value_error(const char* text) { throw nanobind::value_error(text); }

// A message with one %s field filled.
[[noreturn]] inline void value_error(const char* format, const std::string& field) {
  char text[512];
  std::snprintf(text, sizeof text, format, field.c_str());
  value_error(text);
}

// MemoryError with `format` filled with the points' count, or SystemError
// with `stopped` (an evaluation stopped without a pending exception).
[[noreturn]] inline void memory_error(const char* format, std::size_t total) {
  char text[512];
  std::snprintf(text, sizeof text, format, total);
  PyErr_SetString(PyExc_MemoryError, text);
  throw nanobind::python_error();
}
[[noreturn]] inline void stopped_error(const char* stopped) {
  PyErr_SetString(PyExc_SystemError, stopped);
  throw nanobind::python_error();
}

// Splits `positions` into the scans of `counts`: scan(k, first, n) for each
// scan k of n >= 1 positions from first; ValueError `empty` for a count
// below 1 and `counts_text` unless the counts add up to len(positions).
// Returns the total.
template <typename Scan>
std::size_t split_scans(const InArray& positions, const CountArray& counts, const char* empty,
                        const char* counts_text, const Scan& scan) {
  std::size_t total = 0;
  for (std::size_t k = 0; k < counts.shape(0); ++k) {
    const int n = counts.data()[k];
    if (n < 1) value_error(empty);
    scan(k, positions.data() + total, n);
    total += static_cast<std::size_t>(n);
    if (total > positions.shape(0)) value_error(counts_text);
  }
  if (total != positions.shape(0)) value_error(counts_text);
  return total;
}

}  // namespace zscanfit_core

#endif  // ZSCANFIT_CORE_ENTRY_ARRAYS_H
