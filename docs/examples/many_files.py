"""A batch: every file of a list fitted as one job each, on local threads,
the results in the order of the jobs; a job that fails leaves a FitFailure."""
import zscanfit

jobs = []
for path in ["examples/demo_whole_beam.csv", "examples/demo_rsa.csv"]:   # your files
    data = zscanfit.load_scans(path)
    params = data.params(free=["sigma_0", "sigma_1"])
    jobs.append(zscanfit.FitJob(data.scans, data.experiment, params, label=path))

results = zscanfit.fit_many(jobs, n_starts=3)      # keyword arguments of fit, for every job
for job, result in zip(jobs, results):
    if result.success is False:                    # a FitFailure, or a fit that did not converge
        print(job.label, result)
    else:
        print(job.label, result.values["sigma_0"], result.stderr["sigma_0"])
