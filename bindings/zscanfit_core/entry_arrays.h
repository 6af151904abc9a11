// What the model entries of zscanfit._core share: the array types they take
// and return, a float64 array the caller receives (its storage owned by a
// capsule), and the ValueError with a message. Relies on nanobind.
#ifndef ZSCANFIT_CORE_ENTRY_ARRAYS_H
#define ZSCANFIT_CORE_ENTRY_ARRAYS_H

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

}  // namespace zscanfit_core

#endif  // ZSCANFIT_CORE_ENTRY_ARRAYS_H
