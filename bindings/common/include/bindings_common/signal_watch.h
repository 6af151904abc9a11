// The signal check of computations run without the interpreter lock, shared
// by both Python bindings. Python runs signal handlers only in the main
// thread and only with the lock, so a Ctrl-C would otherwise wait for the
// whole computation. Instead the computation's interrupt check (zscan's
// per-thread hook, consulted between model evaluations) calls check_signals:
// at most every kSignalCheckInterval it takes the lock back for a moment and
// lets Python run its handlers. A handler that raises stops the computation;
// its exception is kept and raised once the lock is held again. Without a
// signal nothing about the computation changes. Header-only, so that each
// module carries its own copy; relies on the CPython C API and on the C++
// runtime's forced unwinding of ending threads.
#ifndef BINDINGS_COMMON_SIGNAL_WATCH_H
#define BINDINGS_COMMON_SIGNAL_WATCH_H

#include <Python.h>

#include <cxxabi.h>
#include <unistd.h>

#include <chrono>

namespace bindings_common {

// Takes the interpreter lock back. A thread that asks for it while the
// interpreter shuts down (a daemon thread still computing at exit) is ended
// by CPython with pthread_exit, which unwinds its stack: the binding's frames
// above would then release Python references without the lock and abort the
// process. Such a thread is parked here instead until the process ends.
inline void take_lock_back(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    for (;;) pause();
  }
}

// Long enough that taking the lock back costs nothing measurable, even when
// another Python thread keeps it busy (up to the interpreter's 5 ms switch
// interval per check); short enough that Ctrl-C feels immediate.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(20);

struct SignalWatch {
  PyThreadState* thread_state = nullptr;  // saved when the lock was released
  std::chrono::steady_clock::time_point next_check;
  bool raised = false;                    // a handler raised: stop
  PyObject* type = nullptr;               // its exception, to raise afterwards
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;

  // Releases the lock (held on entry); the first check is due one interval
  // from now.
  void release_lock() {
    thread_state = PyEval_SaveThread();
    next_check = std::chrono::steady_clock::now() + kSignalCheckInterval;
  }

  // Takes the lock back; when a handler raised, sets its exception and
  // returns true.
  bool reacquire_lock() {
    take_lock_back(thread_state);
    if (!raised) return false;
    PyErr_Restore(type, value, traceback);
    type = value = traceback = nullptr;
    return true;
  }
};

// The interrupt check, with `data` a SignalWatch whose lock is released;
// true once a handler has raised. Runs on the computing thread.
inline bool check_signals(void* data) {
  SignalWatch* watch = static_cast<SignalWatch*>(data);
  if (watch->raised) return true;
  if (std::chrono::steady_clock::now() < watch->next_check) return false;
  take_lock_back(watch->thread_state);
  if (PyErr_CheckSignals() < 0) {
    PyErr_Fetch(&watch->type, &watch->value, &watch->traceback);
    watch->raised = true;
  }
  watch->thread_state = PyEval_SaveThread();
  watch->next_check = std::chrono::steady_clock::now() + kSignalCheckInterval;
  return watch->raised;
}

}  // namespace bindings_common

#endif  // BINDINGS_COMMON_SIGNAL_WATCH_H
