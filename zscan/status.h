// Outcome of the fit's internal steps. The public entry points report a
// failed step through NaN results; the code says which step failed and why.
#ifndef ZSCAN_STATUS_H
#define ZSCAN_STATUS_H

namespace zscan {

enum class Status {
  ok,
  invalid_input,   // a count or index would lead outside the caller's arrays
  out_of_memory,   // working storage could not be obtained, or would exceed
                   // the memory the process may use (memory_limit.h)
  interrupted,     // this thread's interrupt check asked the fit to stop
};

}  // namespace zscan

#endif  // ZSCAN_STATUS_H
