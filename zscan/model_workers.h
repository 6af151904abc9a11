// The loop that hands the points of a model evaluation out to worker
// threads; the thread count is model_threads() (model_threads.h). Defined
// with the thread count in model_threads.cpp.
#ifndef ZSCAN_MODEL_WORKERS_H
#define ZSCAN_MODEL_WORKERS_H

#include <functional>

namespace zscan {

// Runs work(worker) on `workers` threads at once, the calling thread being
// worker 0, and returns when all have finished. work must not throw. When a
// thread cannot be started, the threads that did start (and the caller) do
// all the work: work must therefore take its items from a shared counter
// rather than assume a fixed share.
void run_workers(int workers, const std::function<void(int worker)>& work);

}  // namespace zscan

#endif  // ZSCAN_MODEL_WORKERS_H
