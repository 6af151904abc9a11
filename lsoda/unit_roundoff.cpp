// The unit round-off: the smallest power of 2, u, with 1 + u/2 == 1 in
// double precision (DUMACH), and its process-wide cache. Relies on the C++
// standard library's atomics.
#include <atomic>

#include "lsoda/record.h"

namespace lsoda {

double DUMACH() {
  volatile double u = 1.0;
  volatile double comp = 0.0;
  for (;;) {
    comp = 1.0 + u / 2.0;
    if (comp == 1.0) return u;
    u = u / 2.0;
  }
}

namespace {
// Cached without a lock or an initialisation guard, so a fork() while
// another thread computes it cannot leave the child waiting; threads that
// race compute the same value. 0 until known.
std::atomic<double> g_unit_roundoff{0.0};
}  // namespace

double unit_roundoff() {
  double u = g_unit_roundoff.load(std::memory_order_relaxed);
  if (u == 0.0) {
    u = DUMACH();
    g_unit_roundoff.store(u, std::memory_order_relaxed);
  }
  return u;
}

}  // namespace lsoda
