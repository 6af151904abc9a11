"""The error budget of the demo fit: the beam waist and the energy calibration
each known to 5 %. Prints the budget and which setting dominates."""
import zscanfit

data = zscanfit.load_scans("examples/demo_whole_beam.csv")
experiment = zscanfit.Experiment(**{**data.experiment.as_settings(),
                                    "uncertainties": {"w0": "5%", "pulse_energy_scale": 0.05}})
result = zscanfit.fit(data.scans, experiment, data.params(free=["sigma_0", "sigma_1"]))
budget = result.error_budget
for name in result.free:
    print(f"{name}: statistical {budget.statistical[name]:.3g}, combined "
          f"{budget.combined[name]:.3g}, largest part: {budget.dominant(name)}")
print()
print(result.report().split("[[Error budget]]")[1].split("\n[[")[0].join(["[[Error budget]]", ""]))
