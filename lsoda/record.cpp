// The calling thread's record of the integrator. Relies on the C++
// standard library's thread_local storage.
#include "lsoda/record.h"

namespace lsoda {

Record& record() {
  thread_local Record r;
  return r;
}

}  // namespace lsoda
