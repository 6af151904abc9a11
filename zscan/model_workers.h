// The loop that hands the points of a model evaluation out to worker
// threads; the thread count is model_threads() (model_threads.h). Defined
// with the thread count in model_threads.cpp; run_tasks, the loop over
// items the models' tables and points share, here.
#ifndef ZSCAN_MODEL_WORKERS_H
#define ZSCAN_MODEL_WORKERS_H

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <stdexcept>

#include "zscan/zscan.h"

namespace zscan {

// Runs work(worker) on `workers` threads at once, the calling thread being
// worker 0, and returns when all have finished. work must not throw. When a
// thread cannot be started, the threads that did start (and the caller) do
// all the work: work must therefore take its items from a shared counter
// rather than assume a fixed share.
void run_workers(int workers, const std::function<void(int worker)>& work);

// Runs task(i, work) for every i < n on model_threads() workers (at most n),
// each worker with storage `work` of its own (a default-constructed Work),
// the items taken from a shared counter; this thread's interrupt check is
// asked between the items it takes. Status::interrupted when it asked to
// stop, Status::out_of_memory when a worker could not obtain storage and
// items were left undone.
template <typename Work, typename Task>
Status run_tasks(int n, const Task& task) {
  if (n == 0) return Status::ok;
  const int workers = std::max(1, std::min(model_threads(), n));
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<bool> abandoned{false};
  run_workers(workers, [&](int worker) {
    try {
      Work work;
      for (int i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
        if (worker == 0 && interrupt_requested()) abandoned.store(true);
        if (abandoned.load()) return;
        task(i, work);
        done.fetch_add(1);
      }
    } catch (const std::bad_alloc&) {
      // The other workers take the remaining items.
    } catch (const std::length_error&) {
    }
  });
  if (abandoned.load()) return Status::interrupted;
  if (done.load() != n) return Status::out_of_memory;
  return Status::ok;
}

}  // namespace zscan

#endif  // ZSCAN_MODEL_WORKERS_H
