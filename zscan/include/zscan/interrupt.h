// Per-thread request to stop a running fit. Whoever starts fits on a thread
// (the Python module does, to honour Ctrl-C) may install a check there; the
// residual function consults it before every model evaluation and, when it
// answers true, tells the minimiser to stop. Relies only on C++ thread-local
// storage.
#ifndef ZSCAN_INTERRUPT_H
#define ZSCAN_INTERRUPT_H

namespace zscan {

// Answers whether the fit running on this thread should stop; `data` is the
// pointer installed with it. It runs on the fitting thread, between model
// evaluations, and may itself run fits (they leave the running fit alone).
using InterruptCheck = bool (*)(void* data);

struct InterruptHook {
  InterruptCheck check = nullptr;  // null: fits are never asked to stop
  void* data = nullptr;
};

// Installs `hook` as this thread's check and returns the one it replaces.
InterruptHook set_interrupt_hook(InterruptHook hook);

// Asks this thread's check; false when none is installed.
bool interrupt_requested();

// Installs a check for the lifetime of the scope and puts the previous one
// back on every way out.
struct InterruptHookScope {
  InterruptHookScope(InterruptCheck check, void* data)
      : previous(set_interrupt_hook(InterruptHook{check, data})) {}
  ~InterruptHookScope() { set_interrupt_hook(previous); }
  InterruptHookScope(const InterruptHookScope&) = delete;
  InterruptHookScope& operator=(const InterruptHookScope&) = delete;

  InterruptHook previous;
};

}  // namespace zscan

#endif  // ZSCAN_INTERRUPT_H
