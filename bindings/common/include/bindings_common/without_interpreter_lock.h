// Runs a long computation without the interpreter lock while honouring
// signals: the one way both bindings run the model and the fit. On the main
// thread (the only one where Python runs signal handlers) the computation's
// interrupt check, zscan's per-thread hook, is the shared signal check
// (signal_watch.h); elsewhere no check is installed and the computation runs
// to its end. Header-only like the signal check; relies on the CPython C
// API, the signal check and zscan's interrupt hook.
#ifndef BINDINGS_COMMON_WITHOUT_INTERPRETER_LOCK_H
#define BINDINGS_COMMON_WITHOUT_INTERPRETER_LOCK_H

#include <Python.h>

#include <unistd.h>

#include <exception>

#include "bindings_common/python_versions.h"
#include "bindings_common/signal_watch.h"
#include "zscan/interrupt.h"

namespace bindings_common {

// Runs work() with the interpreter lock released (it must be held on entry
// and is held again on return) and, on the main thread, the signal check
// installed. Returns true when a signal handler raised: its exception is
// then set, and work() has been asked to stop through zscan's interrupt
// check. An exception thrown by work() is rethrown with the lock held. A
// thread whose work ends while the interpreter shuts down never returns: it
// waits for the process to end, since CPython would end it anyway, by
// unwinding its stack through frames that hold Python references.
template <typename Work>
bool run_without_interpreter_lock(Work&& work) {
  SignalWatch watch;
  const bool watch_signals = runs_signal_handlers();
  std::exception_ptr thrown;
  watch.release_lock();
  {
    zscan::InterruptHookScope hook(watch_signals ? check_signals : nullptr, &watch);
    try {
      work();
    } catch (...) {
      thrown = std::current_exception();
    }
  }
  if (interpreter_finalizing()) {
    for (;;) pause();
  }
  if (watch.reacquire_lock()) return true;  // a signal handler raised
  if (thrown) std::rethrow_exception(thrown);
  return false;
}

}  // namespace bindings_common

#endif  // BINDINGS_COMMON_WITHOUT_INTERPRETER_LOCK_H
