"""Many jobs at once: the executor (run_many on local threads or a Dask
cluster, FitJob, FitFailure; it knows nothing of fitting) and the residual
bootstrap's resampled data sets and intervals (bootstrap). Imports the
fitting layer and below; the api runs fits through it."""
