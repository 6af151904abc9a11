// How many threads evaluate the points of the transmittance model, and the
// loop that hands the points out to them. The points of a data set are
// independent, so each worker thread integrates whole points with its own
// integrator state and its own copy of the model coefficients; results do
// not depend on which thread computed which point.
#ifndef ZSCAN_MODEL_THREADS_H
#define ZSCAN_MODEL_THREADS_H

#include <atomic>
#include <functional>

namespace zscan {

// The number of threads a model evaluation uses, the calling thread
// included: set_model_threads(n) with n > 0 fixes it for the process;
// otherwise it is the number of CPUs the process may run on (its affinity
// mask), lowered by OMP_NUM_THREADS when that is set to a positive number.
// The environment is read once per process.
int model_threads();

// Fixes the thread count for the process (n > 0), or returns to the
// automatic count (n <= 0).
void set_model_threads(int n);

// Runs work(worker) on `workers` threads at once, the calling thread being
// worker 0, and returns when all have finished. work must not throw. When a
// thread cannot be started, the threads that did start (and the caller) do
// all the work: work must therefore take its items from a shared counter
// rather than assume a fixed share.
void run_workers(int workers, const std::function<void(int worker)>& work);

}  // namespace zscan

#endif  // ZSCAN_MODEL_THREADS_H
