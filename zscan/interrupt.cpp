// This thread's interrupt check; see interrupt.h. Relies only on C++
// thread-local storage.
#include "zscan/interrupt.h"

namespace zscan {

namespace {
thread_local InterruptHook t_interrupt_hook;
}  // namespace

InterruptHook set_interrupt_hook(InterruptHook hook) {
  const InterruptHook previous = t_interrupt_hook;
  t_interrupt_hook = hook;
  return previous;
}

bool interrupt_requested() {
  const InterruptHook hook = t_interrupt_hook;
  return hook.check != nullptr && hook.check(hook.data);
}

}  // namespace zscan
