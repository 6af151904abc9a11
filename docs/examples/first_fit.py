"""A first fit: the bundled whole-beam demo data (examples/demo_whole_beam.csv),
the ground-state and excited-state cross-sections free, from the start values
in the file. Prints the report; writes the figure first_fit.png and the whole
result to first_fit.json, then reads it back."""
import zscanfit

data = zscanfit.load_scans("examples/demo_whole_beam.csv")  # scans + experiment from the '#' lines
params = data.params(free=["sigma_0", "sigma_1"])  # start values from '# spec_pars = ...'
result = zscanfit.fit(data.scans, data.experiment, params)
print(result.report())                  # the model, values +- errors, correlations, warnings
result.plot("first_fit.png", dpi=110)   # data, fitted curves, residuals (.svg, .pdf too)
result.to_json("first_fit.json")        # everything, readable again with FitResult.from_json

again = zscanfit.FitResult.from_json("first_fit.json")
assert again.values == result.values and again.report() == result.report()
