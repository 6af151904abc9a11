// Runs computations without the interpreter lock with the shared signal
// check installed; see signal_watch.h. Relies on the CPython C API, the
// bindings' common signal check, zscan's interrupt hook and POSIX pause.
// Python.h comes first, as CPython asks of every file that includes it.
#include <Python.h>

#include "zscanfit_core/signal_watch.h"

#include <exception>

#include <unistd.h>

#include "bindings_common/signal_watch.h"
#include "zscan/interrupt.h"

namespace zscanfit_core {
namespace {

// Whether the calling thread (holding the lock) is the main thread of the
// main interpreter, the only one on which Python runs signal handlers.
bool on_main_thread() {
  if (PyThreadState_Get()->interp != PyInterpreterState_Main()) return false;
  PyObject* threading = PyImport_ImportModule("threading");
  if (threading == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyObject* current = PyObject_CallMethod(threading, "current_thread", nullptr);
  PyObject* main = current ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
  const bool is_main = main != nullptr && main == current;
  Py_XDECREF(main);
  Py_XDECREF(current);
  Py_DECREF(threading);
  PyErr_Clear();
  return is_main;
}

// A thread that comes back while the interpreter shuts down must not take
// the lock back: CPython would end it by unwinding its stack through the
// binding's frames, whose Python references would then be released without
// the lock. It waits instead for the process to end.
void wait_out_interpreter_shutdown() {
#if PY_VERSION_HEX >= 0x030D0000
  const bool finalizing = Py_IsFinalizing() != 0;
#else
  const bool finalizing = _Py_IsFinalizing() != 0;
#endif
  if (!finalizing) return;
  for (;;) pause();
}

}  // namespace

bool run_without_interpreter_lock(const std::function<void()>& work) {
  bindings_common::SignalWatch watch;
  const bool watch_signals = on_main_thread();
  std::exception_ptr thrown;
  watch.release_lock();
  {
    zscan::InterruptHookScope hook(watch_signals ? bindings_common::check_signals : nullptr,
                                   &watch);
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
  }
  wait_out_interpreter_shutdown();
  if (watch.reacquire_lock()) return true;  // a signal handler raised
  if (thrown) std::rethrow_exception(thrown);
  return false;
}

}  // namespace zscanfit_core
