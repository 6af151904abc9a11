// Thread count of the model evaluation and its worker threads. Workers are
// started for one evaluation and joined at its end, so no thread outlives a
// model call: nothing is left behind to break in a forked child process.
// The automatic count is cached without a lock or an initialisation guard,
// so a fork() while another thread determines it cannot leave the child
// waiting. Workers deliver integrator messages to the starting thread's
// message sink. Relies on the C++ standard library, the integrator's
// message sink and the process's CPU affinity mask.
#include "zscan/model_threads.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "lsoda/lsoda.h"
#include "zscan/model_workers.h"

namespace zscan {
namespace {

std::atomic<int> g_fixed_threads{0};      // > 0: set by set_model_threads
std::atomic<int> g_automatic_threads{0};  // > 0: determined

int automatic_threads() {
  int cores = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) cores = CPU_COUNT(&set);
  if (cores <= 0) cores = static_cast<int>(std::thread::hardware_concurrency());
  if (cores <= 0) cores = 1;
  if (const char* omp = std::getenv("OMP_NUM_THREADS")) {
    // The first entry of the list, as OpenMP reads it.
    char* end = nullptr;
    const long requested = std::strtol(omp, &end, 10);
    if (end != omp && requested > 0) cores = static_cast<int>(std::min<long>(cores, requested));
  }
  return cores;
}

}  // namespace

int model_threads() {
  const int fixed = g_fixed_threads.load(std::memory_order_relaxed);
  if (fixed > 0) return fixed;
  // Threads that race here compute the same count; storing it twice is harmless.
  int automatic = g_automatic_threads.load(std::memory_order_relaxed);
  if (automatic <= 0) {
    automatic = automatic_threads();
    g_automatic_threads.store(automatic, std::memory_order_relaxed);
  }
  return automatic;
}

void set_model_threads(int n) { g_fixed_threads.store(n > 0 ? n : 0, std::memory_order_relaxed); }

void run_workers(int workers, const std::function<void(int worker)>& work) {
  lsoda::MessageSink* const sink = lsoda::message_sink();
  const auto worker = [&work, sink](int w) {
    lsoda::MessageSink* const previous = lsoda::set_message_sink(sink);
    work(w);
    lsoda::set_message_sink(previous);
  };
  std::vector<std::thread> threads;
  if (workers > 1) {
    try {
      threads.reserve(static_cast<size_t>(workers - 1));
      for (int w = 1; w < workers; ++w) threads.emplace_back(worker, w);
    } catch (const std::system_error&) {
      // Fewer threads than asked for: those running share all the work.
    } catch (const std::bad_alloc&) {
    }
  }
  work(0);
  for (std::thread& t : threads) t.join();
}

}  // namespace zscan
