// Ref: an owned reference to a Python object, released when the Ref goes out
// of scope, so that a function with several ways out needs no hand-written
// ladder of Py_XDECREF calls. Relies on the CPython C API; every use holds
// the interpreter lock.
#ifndef KESP_WRAPPER_REF_H
#define KESP_WRAPPER_REF_H

#include <Python.h>

namespace kesp {

class Ref {
 public:
  Ref() = default;
  // Takes over `owned`, a new reference or null (a failed call's result).
  explicit Ref(PyObject* owned) : object_(owned) {}
  // A new reference to `borrowed`.
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = object_;
    object_ = other.release();
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  // Drops the reference now.
  void reset() { Py_CLEAR(object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace kesp

#endif  // KESP_WRAPPER_REF_H
