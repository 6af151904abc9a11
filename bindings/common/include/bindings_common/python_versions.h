// What differs between the CPython versions the bindings are built for (3.9
// to 3.13), kept in one place so that the rest of the code reads the same
// for every version. Relies on the CPython C API headers of the interpreter
// the module is built against.
#ifndef BINDINGS_COMMON_PYTHON_VERSIONS_H
#define BINDINGS_COMMON_PYTHON_VERSIONS_H

#include <Python.h>

#if PY_VERSION_HEX >= 0x030D0000
// CPython 3.13 declares the interpreter's own main-thread test only in its
// internal headers, but still exports it unchanged.
extern "C" {
PyAPI_FUNC(int) _PyOS_IsMainThread(void);
}
#endif

namespace bindings_common {

// True in the one thread that runs Python's signal handlers: the main thread
// of the main interpreter. Needs the interpreter lock.
inline bool runs_signal_handlers() { return _PyOS_IsMainThread() != 0; }

// True once the interpreter has begun to shut down.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace bindings_common

#endif  // BINDINGS_COMMON_PYTHON_VERSIONS_H
