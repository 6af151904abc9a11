// Runs a long computation without the interpreter lock while keeping Ctrl-C
// working. Python runs signal handlers only in the main thread and only with
// the lock, so on the main thread the computation's interrupt check
// (zscan's per-thread hook, consulted between model evaluations and between
// time slices) takes the lock back at most every kSignalCheckInterval and
// lets Python run its handlers (the check shared by both bindings). A handler
// that raises stops the computation; its exception is raised once the lock
// is held again. Without a signal nothing about the computation changes.
// Relies on the CPython C API, the bindings' common signal check and zscan's
// interrupt hook.
#ifndef ZSCANFIT_CORE_SIGNAL_WATCH_H
#define ZSCANFIT_CORE_SIGNAL_WATCH_H

#include <functional>

namespace zscanfit_core {

// Runs work() with the interpreter lock released (it must be held on entry
// and is held again on return) and, on the main thread, the signal check
// installed. Returns true when a signal handler raised: its exception is
// then set, and work() has been asked to stop through zscan's interrupt
// check. An exception thrown by work() is rethrown with the lock held. A
// thread whose work ends while the interpreter shuts down never returns (it
// waits for the process to end, as CPython ends such threads anyway).
bool run_without_interpreter_lock(const std::function<void()>& work);

}  // namespace zscanfit_core

#endif  // ZSCANFIT_CORE_SIGNAL_WATCH_H
