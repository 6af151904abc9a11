// The interrupt check that runs Python's signal handlers during a fit.
// Relies on the CPython C API (thread state, signal handling).
#include "signal_watch.h"

namespace kesp {

bool check_signals(void* data) {
  SignalWatch* watch = static_cast<SignalWatch*>(data);
  if (watch->raised) return true;
  if (std::chrono::steady_clock::now() < watch->next_check) return false;
  PyEval_RestoreThread(watch->thread_state);
  if (PyErr_CheckSignals() < 0) {
    PyErr_Fetch(&watch->type, &watch->value, &watch->traceback);
    watch->raised = true;
  }
  watch->thread_state = PyEval_SaveThread();
  watch->next_check = std::chrono::steady_clock::now() + kSignalCheckInterval;
  return watch->raised;
}

}  // namespace kesp
