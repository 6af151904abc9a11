// How many threads evaluate the points of the transmittance model. The
// points of a data set are independent, so each worker thread integrates
// whole points with its own integrator state and its own copy of the model
// coefficients; results do not depend on which thread computed which point.
#ifndef ZSCAN_MODEL_THREADS_H
#define ZSCAN_MODEL_THREADS_H

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

}  // namespace zscan

#endif  // ZSCAN_MODEL_THREADS_H
