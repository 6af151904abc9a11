// Signal handling while the starts run without the interpreter lock.
// Python runs signal handlers only in the main thread and only with the
// lock, so a Ctrl-C would otherwise wait for the whole fit. Instead the fit
// core consults check_signals between model evaluations (zscan's interrupt
// hook): at most every kSignalCheckInterval it takes the lock back for a
// moment and lets Python run its handlers. A handler that raises stops the
// fit; its exception is kept and raised once the loop has ended. Without a
// signal nothing about the fit changes. Relies on the CPython C API.
#ifndef KESP_WRAPPER_SIGNAL_WATCH_H
#define KESP_WRAPPER_SIGNAL_WATCH_H

#include <Python.h>

#include <chrono>

namespace kesp {

// Long enough that taking the lock back costs nothing measurable, even when
// another Python thread keeps it busy (up to the interpreter's 5 ms switch
// interval per check); short enough that Ctrl-C feels immediate.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(20);

struct SignalWatch {
  PyThreadState* thread_state = nullptr;  // saved when the lock was released
  std::chrono::steady_clock::time_point next_check;
  bool raised = false;                    // a handler raised: stop every fit
  PyObject* type = nullptr;               // its exception, to raise after the loop
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

// The interrupt check, with `data` a SignalWatch whose thread state holds
// the released lock; true once a handler has raised.
bool check_signals(void* data);

}  // namespace kesp

#endif  // KESP_WRAPPER_SIGNAL_WATCH_H
