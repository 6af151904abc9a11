"""Every warning and error text of zscanfit, in one place.

Each text is a format string; the modules fill in the named fields and the
tests compare the results exactly. Relies on nothing.
"""

__all__: list = []  # internal: the texts are reached as ``texts.NAME``

# ------------------------------------------------------------ conversions
NOT_NUMBERS = ("{name} must be numbers (got {kind}); pass a list or array of "
               "floats, e.g. np.asarray({name}, dtype=float)")
NOT_1D = ("{name} must be one-dimensional (got shape {shape}); pass one column, "
          "e.g. data[:, 0], or flatten it with np.ravel({name})")
WRONG_LENGTH = "{name} must have {expected} values (got {got}){fix}"
TOO_SHORT = "{name} must have at least {minimum} values (got {got}){fix}"
NOT_FINITE = "{name} must be finite (got {value}); {fix}"
NOT_POSITIVE = "{name} must be positive (got {value}); {fix}"
NEGATIVE = "{name} must not be negative (got {value}); {fix}"
NOT_SCALAR = "{name} must be a single number (got {kind}); {fix}"
NOT_INTEGER = "{name} must be a whole number (got {value!r}); {fix}"
INTEGER_TOO_SMALL = "{name} must be at least {minimum} (got {value}); {fix}"
INTEGER_TOO_LARGE = "{name} must be at most {maximum} (got {value}); {fix}"

# units of the settings (units.py)
UNITS_ACCEPTED = "{name} takes {units} ({unit} without one)"
UNITS_NONE = "{name} takes no unit"
UNIT_NOT_TAKEN = "{name} takes no unit (got {unit!r}): give the bare number"
UNIT_WRONG_DIMENSION = ("{name}: {unit!r} is a unit of {other}, not of {dimension}; "
                        "{accepted}")
UNIT_UNKNOWN = "{name}: {unit!r} is not a unit of {dimension}; {accepted}"
UNITS_ON_SOME = ("{name}: units on some of the values only ({text!r}); give a unit after "
                 "every value, or one after the last for all")
UNIT_NOT_ONE_NUMBER = ("{name} must be one number, with or without its unit (got {text!r}); "
                       "{accepted}")
UNIT_MISSING = ("{name} must be a number in {unit} or a string with its unit, one of "
                "{units} (got {text!r})")

# ------------------------------------------------------------ experiment
FIX_SLICES = "the model needs at least 2 time slices and 2 depth slabs"
FIX_EXPERIMENT = "give it in SI units as documented (m, s) or cm for sample_width"
FIX_POPULATIONS = ("give the initial populations N0..N4 in cm^-3, "
                   "e.g. [3e17, 0, 0, 0, 0]")
UNKNOWN_UNCERTAINTY = ("uncertainties: {name!r} is not a setting with an uncertainty; the "
                       "settings are {names}")
BAD_UNCERTAINTY_VALUE = ("uncertainties[{name!r}] must be a standard uncertainty >= 0: an "
                         "absolute number in the setting's unit or a relative one such as "
                         "'5%' (got {value!r})")
UNCERTAINTIES_NOT_MAPPING = ("uncertainties must be a mapping of setting name to standard "
                             "uncertainty (got {kind}); in a data file give them after the "
                             "value, e.g. '# w0 = 2e-5 +- 1e-6'")
FIX_UNCERTAINTY = "give an absolute number in the setting's unit, or a string such as '5%'"
UNIT_LENGTH = ("{name} = {value:g} m is above 1 mm: lengths of the beam are in "
               "metres (e.g. {example} m, not {example_wrong})")
UNIT_TAU = ("tau = {value:g} s is above 1 us: the pulse duration is in seconds "
            "(e.g. 4e-9 s for 4 ns)")
UNIT_SAMPLE_WIDTH = ("sample_width = {value:g} cm is above 10 cm: the sample "
                     "thickness is in centimetres (e.g. 0.1 for 1 mm)")
POPULATIONS_ZERO = ("all populations are zero and beta, n2, sigma_r1, sigma_r3 are 0: "
                    "the sample cannot absorb and every model transmittance is 1")
# -- the pulse shape
BAD_PULSE_SHAPE = "pulse_shape must be one of {shapes}; got {shape!r}"
PULSE_SHAPE_ON_AXIS = ("the on-axis model (fit_zscan's) samples its own Gaussian pulse and "
                       "cannot take pulse_shape={shape!r}: use the whole-beam model")
EXPERIMENT_PULSE_SHAPE = "    pulse shape = {shape} (tau the intensity FWHM)"
# -- the linear spectrum: concentration, absorbance, extinction
NO_POPULATIONS = ("the experiment needs the initial populations (populations=[N0, N1, N2, N3, "
                  "N4] in cm^-3) or the concentration (concentration= in mol/L, all in the "
                  "ground state)")
POPULATIONS_AND_CONCENTRATION = ("give populations or concentration, not both: the "
                                 "concentration (mol/L) sets the populations to (c N_A/1000, "
                                 "0, 0, 0, 0) cm^-3")
FIX_CONCENTRATION = "give the concentration in mol/L, e.g. 1e-4"
FIX_LINEAR = ("give the decadic absorbance of the cell (absorbance=, over sample_width) or "
              "the molar extinction coefficient in L mol^-1 cm^-1 (extinction=)")
ABSORBANCE_AND_EXTINCTION = ("give absorbance or extinction, not both: each gives sigma_0 "
                             "(absorbance with the concentration and the path, extinction "
                             "alone)")
ABSORBANCE_WITHOUT_N0 = ("absorbance= gives sigma_0 = ln 10 A / (N0 L), which needs a ground "
                         "state population N0 > 0: give the concentration or populations")
UNCERTAINTY_WITHOUT_SETTING = ("uncertainties: {name!r} has an uncertainty but the experiment "
                               "gives no {name}: give {name}= too")
UNCERTAINTY_POPULATIONS_TWICE = ("uncertainties: the concentration and the populations are "
                                 "one quantity; give the uncertainty of one of them")
UNIT_CONCENTRATION = ("concentration = {value:g} mol/L is above 10 mol/L: the concentration "
                      "is in mol/L (e.g. 1e-4 for 0.1 mmol/L)")

# ------------------------------------------------------------ scans
FIX_POSITIONS = "scan positions are in mm"
FIX_TRANSMITTANCE = ("give the normalised transmittance; mark missing points "
                     "with NaN")
FIX_SIGMA = "give the standard uncertainty of every point, or sigma=None"
FIX_ENERGY = "give the pulse energy of the scan in J, e.g. 5e-7"
TOO_FEW_POINTS = ("{name} must have at least 5 points (got {got}): the model "
                  "normalises on the first and last five points of a scan")
LENGTH_MISMATCH = ("{name} must have one value per position: {expected} "
                   "(got {got})")
NO_VALID_POINTS = ("transmittance has no finite value: every point is missing")
MASKED_POINTS = ("{count} of {total} points of the scan at {energy:g} J have no "
                 "transmittance (NaN) and are left out of the fit; their "
                 "positions still count for the model's normalisation")
UNSORTED_POSITIONS = ("the positions of the scan at {energy:g} J were not in scan order "
                      "(neither increasing nor decreasing): the scan is sorted by position, "
                      "each transmittance kept with its position, so that the model "
                      "normalises on the outermost points")
REPEATED_POSITIONS = ("the scan at {energy:g} J measures {count} position{s} more than once "
                      "({positions} mm): each measurement is fitted as a point of its own")
UNIT_POSITIONS_UM = ("the scan at {energy:g} J spans {span:g} mm: positions look "
                     "like micrometres; give them in mm")
UNIT_POSITIONS_M = ("the scan at {energy:g} J spans {span:g} mm, less than two "
                    "Rayleigh ranges ({rayleigh:.3g} mm): positions look like "
                    "metres, or the scan does not reach the far field; give "
                    "them in mm")
ENERGY_IMPLAUSIBLE = ("pulse_energy = {energy:g} J gives a peak fluence of {fluence:.3g} J/cm^2 "
                      "(peak intensity {intensity:.3g} W/cm^2) at the focus (w0 = {w0:.3g} um, "
                      "tau = {tau:g} s), above the {threshold:.2g} J/cm^2 at which even fused "
                      "silica is damaged by such pulses: {slip}")
ENERGY_SLIP = ("is it {value:g} {unit} rather than J? ({joules:g} J would give "
               "{fluence:.3g} J/cm^2); pulse energies are in J")
ENERGY_SLIP_UNKNOWN = "check the pulse energy (J) and the waist w0 (m)"
FAR_FIELD = ("the far-field transmittance of the scan at {energy:g} J (mean of "
             "its first and last five points) is {mean:.4g}, not close to 1: "
             "is the transmittance normalised?")
NOT_A_SCAN = ("scans must be a Scan or a sequence of Scan objects (got {kind}); "
              "make them with zscanfit.Scan(x_mm, transmittance, pulse_energy) "
              "or zscanfit.load_scans(path)")
NO_SCANS = "scans is empty: give at least one Scan"

# ------------------------------------------------------------ loading
FILE_NOT_FOUND = "cannot read {path}: {reason}"
NOT_REGULAR_FILE = ("cannot read {path}: it is {kind}, not a data file; give the path of a "
                    "text file")
FILE_TOO_LARGE = ("cannot read {path}: {size:.4g} MB is more than the {limit:.4g} MB a data "
                  "file may have (a z-scan is a few hundred lines); set {env} to a larger "
                  "number of MB to read it anyway")
UNREADABLE_LINE = "{path}, line {line}: the line cannot be cut into fields ({reason})"
NOT_TEXT = ("it holds NUL bytes, so it is not a text file or UTF-16 without a byte-order "
            "mark; save it as UTF-8 text")
BAD_SETTING = ("{path}, line {line}: setting {key} must be {what} (got "
               "{value!r})")
BAD_UNCERTAINTY = ("{path}, line {line}: the uncertainty of {key} must be one number >= 0, "
                   "absolute or in percent, e.g. '+- 1e-6' or '+- 5%' (got {value!r})")
NO_ROWS = "{path}: no data rows"
COLUMN_LABEL = "{number} ({name})"
BAD_ROW = ("{path}, line {line}: {got} values where {expected} are expected ({why}){hint}: "
           "{text!r}")
ROW_WIDTH_HEADER = "the header on line {line} names {count} columns"
ROW_WIDTH_DATA = "line {line} has {count}"
HINT_COMMA_COLUMNS = ("; with commas between the columns a decimal comma splits a number in "
                      "two: save the file with semicolons or tabs between the columns, or "
                      "with decimal points")
HEADER_WIDTH = ("{path}, line {line}: the header names {count} columns ({names}) but the data "
                "lines have {width}; separate the names like the numbers")
NOT_A_NUMBER = "{path}, line {line}, column {column}: {field!r} is not a number{hint}"
HINT_UNITS_ROW = ("; only one header line is read: give the units in brackets in the header, "
                  "e.g. 'z (mm)'")
THOUSANDS = ("{path}, line {line}, column {column}: {field!r} has a thousands separator, "
             "which is not read (it cannot be told from a decimal separator): save the "
             "numbers without it")
DECIMAL_POINT = "point"
DECIMAL_COMMA = "comma"
MIXED_DECIMALS = ("{path}, line {line}, column {column}: {field!r} has a decimal {this}, but "
                  "line {first_line}, column {first_column} ({first!r}) a decimal {other}: "
                  "a file must write every number the same way")
COMMA_AMBIGUOUS = ("{path}, line {line}, column {column}: {evidence}: the columns are "
                   "separated by commas, so a decimal comma cannot be told from a column "
                   "break; save the file with semicolons or tabs between the columns, or "
                   "with decimal points")
EVIDENCE_LEADING_ZERO = ("{field!r} starts with a zero, like the decimals of a number split "
                         "at a decimal comma")
EVIDENCE_WHOLE_NUMBERS = ("the transmittance holds only whole numbers, like the integer "
                          "parts of numbers split at decimal commas")
UNKNOWN_LAYOUT = ("{path}, line {line}: {columns} columns without a header line; give two "
                  "(x_mm, transmittance) or three (x_mm, transmittance, sigma) columns, one "
                  "transmittance column per pulse energy with a '# pulse_energy = E1 E2 ...' "
                  "line, or a header line naming the columns, e.g. 'x_mm,T@0.4uJ,T@1uJ'")
MISSING_COLUMN = ("{path}, line {line}: the header has no {column} column (columns: "
                  "{columns}); accepted names for {column}: {names}")
ROLE_NAMES = "{names}, in any case"
ROLE_NAMES_WITH_UNITS = ("{names}, in any case, with a unit in brackets or after '_' "
                         "({units}; {default} without one), e.g. '{example}'")
DUPLICATE_COLUMN = "{path}, line {line}: columns {first} and {second} are both {role}; keep one"
ROLE_AT_ENERGY = "{role} at {energy:g} J"
UNKNOWN_UNIT = ("{path}, line {line}, column {column}: {unit!r} is not a unit of {role} "
                "(units: {units})")
NO_UNITS = "none"
UNIT_TWICE = ("{path}, line {line}, column {column}: the name gives two units, {first!r} and "
              "{second!r}; give one")
BAD_COLUMN_ENERGY = ("{path}, line {line}, column {column}: the pulse energy after '@' must "
                     "be a positive number with a unit ({units}), e.g. 'T@0.4uJ'")
MIXED_COLUMN_ENERGIES = ("{path}, line {line}: transmittance columns {named} name their pulse "
                         "energy and {unnamed} not; name it in every one, e.g. 'T@0.4uJ'")
ENERGY_TWICE = ("{path}, line {line}: column {column} gives the pulse energy and so do the "
                "names of the transmittance columns; give it one way")
ROWS_AND_COLUMNS = ("{path}, line {line}: column {column} is a {role} column, but with "
                    "{count} transmittance columns every column is a scan: give either one "
                    "scan per data set (dataset, pulse_energy, x_mm, transmittance) or one "
                    "transmittance column per pulse energy")
SIGMA_WHICH = ("{path}, line {line}, column {column}: with {count} transmittance columns, a "
               "sigma column names the pulse energy of its transmittance, e.g. 'sigma@0.4uJ'")
SIGMA_UNMATCHED = ("{path}, line {line}, column {column}: no transmittance column is named "
                   "at {energy:g} J, as this sigma column is")
ENERGY_COUNT = ("{path}: {given} pulse energies ({source}) for {count} transmittance "
                "columns; give one pulse energy per transmittance column")
SOURCE_SETTING = "'# pulse_energy' on line {line}"
SOURCE_ARGUMENT = "pulse_energy="
ENERGY_CONFLICT = ("{path}: column {column} is named at {named:g} J but '# pulse_energy' on "
                   "line {line} gives {setting:g} J for it; correct one of them")
ENERGY_ARGUMENT_CONFLICT = ("{path}: its columns give the pulse energies {found} J, but "
                            "{given} J were given for it ({source}); leave them out, or "
                            "correct the file")
MIXED_ENERGIES = ("{path}: data set {dataset:g} has more than one pulse energy ({first!r} "
                  "and {other!r}); give every pulse energy its own data set number")
MISSING_ENERGY = ("{path}: no pulse energy: add a pulse_energy column, a "
                  "'# pulse_energy = ...' line or an 'Energy: 3 uJ' line before the data, "
                  "or {give}")
GIVE_ENERGY_API = "pass {source} (J, or a string with its unit such as '3 uJ')"
GIVE_ENERGY_CLI = "give --energy (J, or with its unit such as 3uJ)"
SIGMA_LIKE_TRANSMITTANCE = ("{path}, column {column}: every sigma value lies between 0.3 and "
                            "1.5, like a transmittance; if the column is a transmittance at "
                            "another pulse energy, name the columns (e.g. 'x_mm,T@0.4uJ,"
                            "T@1uJ') or give one energy per column ('# pulse_energy = 4e-7 "
                            "1e-6')")
UNUSED_COLUMNS = ("{path}, line {line}: column {columns} not read: the accepted names are "
                  "{names}")
MISSING_SETTINGS = ("missing experiment settings: {names}; add '# name = value' "
                    "lines to the data file (e.g. '# w0 = 2e-5') or give them "
                    "on the command line with --set name=value")

# lines before the data, settings with units (preamble.py, file_settings.py)
TEXT_IN_DATA = ("{path}, line {line}: a line of text among the numbers ({text!r}), which "
                "begin on line {first}: remove it, or mark it as a comment with '#'")
SKIPPED_LINES = ("{path}: lines before the data not read (neither a setting such as "
                 "'Energy: 3 uJ' nor the column names): {lines}")
SKIPPED_LINE = "line {line} {text!r}"
SOURCE_LAB_SETTING = "'{key}' on line {line}"
SETTING_WHERE = "{path}, line {line}"
SETTING_NUMBERS_UNITS = "numbers, with or without a unit ({accepted})"
SETTING_TWICE = ("{path}, line {line}: {key} is given again ({value!r}) after {first} "
                 "gave {first_value}; give it once")
UNCERTAINTY_WITHOUT_UNIT = ("{where}: the value of {key} has a unit ({unit}) and its "
                            "uncertainty none ({value!r}): give the uncertainty's unit too, "
                            "e.g. '25 um +- 1 um', or a percentage")
GIVEN_AS = "{source}: {message}"

# ------------------------------------------------------------ parameters
UNKNOWN_PARAMETER = ("unknown parameter {name!r}; the parameters are "
                     "{names}")
MISSING_PARAMETERS = ("values missing for {names}: every one of the eight "
                      "parameters needs a value (fixed ones too)")
PARAMETERS_TYPE = ("params must be lmfit Parameters, a mapping of name to value, "
                   "or eight values (got {kind}); make them with "
                   "zscanfit.make_params(...)")
NOTHING_FREE = ("no parameter is free: name the parameters to fit, e.g. "
                "make_params(..., free=['sigma_0', 'sigma_1'])")
EXPRESSION = ("parameter {name} has the expression {expr!r}; constraints by "
              "expression are not supported: fix or free it")
INFINITE_FREE = ("{name} is infinite (no decay) and free: a free lifetime needs a finite "
                 "start value")
VALUE_TOO_LARGE = ("{name} = {value:g} is out of range: no physical parameter is larger than "
                   "{largest:g} in size ({name} is in {unit})")
LIFETIME_NOT_POSITIVE = ("{name} = {value:g}: a lifetime must be positive (s); give inf for a "
                         "level that does not decay")
ZERO_START = ("the start value of {name} is 0; a free parameter needs a "
              "non-zero start value (it sets the parameter's scale)")
START_OUTSIDE = ("the start value of {name} ({value:g}) lies outside its bounds "
                 "[{low:g}, {high:g}]")
BOUNDS_NOT_PAIR = ("the bounds of {name} must be a pair (min, max) of numbers or None "
                   "(got {given!r}); e.g. bounds={{'{name}': (0, None)}}")
BAD_BOUNDS = ("the bounds of {name} are empty: min = {low:g} is not below "
              "max = {high:g}")
# -- parameters tied to sigma_0 by linear data, and each file's focus
TIED_NOT_EXPRESSION = ("parameter {name} is derived from sigma_0 by the experiment's linear "
                       "data (got the expression {expr!r}): give {name} in the Experiment "
                       "and free sigma_0 to fit it")
FOCUS_NAME_SINGLE = ("{name} is the focus of one file of a global fit; a fit of one data set "
                     "has one focus: center_mm")

# ------------------------------------------------------------ fitting
FIX_STARTS = "give the number of starts; each is a whole fit (3 to 10 is usual)"
BAD_METHOD = "method must be 'robust' or 'exact' (got {method!r})"
TOO_MANY_FREE = ("{free} free parameters but only {points} data points: free "
                 "fewer parameters")
EXACT_LENGTHS = ("method='exact' runs fit_zscan, which needs scans of equal "
                 "length (got {lengths}); use method='robust' for scans of "
                 "different lengths")
EXACT_MASKED = ("method='exact' runs fit_zscan, which cannot leave points out; "
                "{count} points have no transmittance (NaN): use "
                "method='robust'")
EXACT_SIGMA = ("method='exact' runs fit_zscan with its own point weights and "
               "cannot use per-point sigma: use method='robust'")
EXACT_BOUNDS = ("{name} = {value:.4g} lies outside its bounds [{low:g}, {high:g}]: "
                "method='exact' runs fit_zscan, which has no bounds (they are "
                "dropped from the result's parameters)")
EXACT_MESSAGE = "fit_zscan does not report convergence; see chi-square and errors"
UNDETERMINED = ("{name} = {value:.4g} +/- {stderr:.2g} ({percent:.0f} %): the data "
                "do not determine it")
UNDETERMINED_FOCUS = ("{name} = {value:.4g} +/- {stderr:.2g} mm, an error above the "
                      "Rayleigh range ({rayleigh:.3g} mm): the data do not determine the focus")
UNDETERMINED_SINGULAR = ("{name}: the data do not determine it (the model does "
                         "not change with it at the optimum)")
CORRELATED = ("{first} and {second} are correlated (r = {r:+.4f}): the data "
              "determine a combination of them rather than each")
ON_BOUND = "{name} = {value:.4g} ended on its {side} bound {bound:g}"
SEARCH_EDGE = ("{name} = {value:.4g} ran to the {side} edge of the search range, {factor:g} "
               "times the value given ({start:.4g}) either way: give a start value closer "
               "to it, or search further with search_range= (None: no limit)")
FIX_SEARCH_RANGE = "give a factor above 1 such as 10, or None for no limit"
SEARCH_RANGE_TOO_SMALL = "search_range must be above 1 (got {value:g}): it is a factor"
TOWARD_ZERO = ("{name} = {value:.4g} ran toward its lower bound 0 (below a "
               "millionth of its start value)")
ALL_STARTS_FAILED = "every start ended with a non-finite chi-square"
NOT_CONVERGED = ("the fit did not converge ({message}) after {nfev} model evaluations: its "
                 "values and errors are where it stopped, not an optimum; try a larger "
                 "budget (max_nfev=, default 2000 per free parameter and start), more "
                 "starts (n_starts={starts}) or other start values")
FOCUS_OFF = ("the residuals follow the pattern of a focus {offset:+.3g} mm from the one "
             "used ({centre:g} mm; {score:.1f} standard errors): {source}; the fitted "
             "values are those of the wrong focus")
FOCUS_FROM_DATA = ("the focus was fixed at the data's extremum, which on a coarse or noisy "
                   "scan can lie a step beside the true one; let the fit find it (leave out "
                   "fix_focus=True, --fix-focus on the command line) or give it with "
                   "center_mm= (--set center_mm=...)")
FOCUS_GIVEN = "check the focus position given (center_mm)"
SIGMA_CHISQR = ("reduced chi-square = {redchi:.3g} with per-point sigma lies outside "
                "{low:.3g} to {high:.3g}, where it falls in 99.9 % of fits with "
                "{degrees} degrees of freedom: the sigma do not describe the scatter of "
                "the data, or the model does not describe the data; the errors take "
                "sigma as given")
# -- the focus fitted by default
FOCUS_FIXED_AND_FREE = ("fix_focus=True fixes the focus at the data's extremum, but center_mm is "
                        "free among the parameters: give one or the other")
FOCUS_REFITTED = ("the data do not determine the focus{where} (center_mm = {value:.4g} mm, "
                  "{why}): fitted again with it fixed at the data's extremum, {centre:g} mm; "
                  "give it with center_mm= if it is known")
FOCUS_OF_FILE = " of {label}"
FOCUS_WHY_SINGULAR = "the model does not change with it"
FOCUS_WHY_LARGE = "+/- {stderr:.2g} mm, above the Rayleigh range {rayleigh:.3g} mm"

# ------------------------------------------------------------ integrator messages
MESSAGES_SUMMARY = ("the ODE integrator reported {total} message line{s} during "
                    "{what}: {words} First: {first}")
MEANING_COUNT = "{count} x {meaning}"
MEANING_STEP_LIMIT = ("an integration reached its step limit before the end of its interval "
                      "and the model went on from the last point reached")
MEANING_ACCURACY = ("an integration was asked for more accuracy than double precision "
                    "allows and stopped")
MEANING_ERROR_TEST = "an integration failed its error test repeatedly and stopped early"
MEANING_CONVERGENCE = ("an integration's corrector failed to converge repeatedly and it "
                       "stopped early")
MEANING_WEIGHT = ("an error weight of an integration became zero and it stopped (a value "
                  "reached zero)")
MEANING_TINY_STEP = ("an integration's step became too small to advance the time; it went "
                     "on")
MEANING_OTHER = "an integration reported '{kind}'"
MESSAGES_AFFECT = ("The model values of those integrations, and so the fitted values, may "
                   "be affected: check the settings (units, populations, pulse energy).")
MESSAGES_HARMLESS = "The results are not affected."
PROFILE_HEAD = ("[[Profile intervals]] profile likelihood (F-test), value -below/+above, "
                "beside the standard error")
PROFILE_CELL = "{sigma:g} sigma: -{below:.3g}/+{above:.3g}"
PROFILE_LINE = "    {name:<9} {value:>12.5g}  stderr {stderr:.3g}; {cells}{flag}"
PROFILE_ASYMMETRIC = "  (asymmetric: the linear standard error misleads)"
BUDGET_HEAD = ("[[Error budget]] standard uncertainties: statistical, each setting's "
               "(its uncertainty propagated to the fit), combined in quadrature")
BUDGET_PARAMETER = ("    {name} = {value:.5g} +/- {combined:.3g}{percent} combined; "
                    "largest part: {dominant}")
BUDGET_PART = "        {part:<28} {error:>11.3g}{percent}"
BUDGET_SETTING = "        {part:<28} {error:>11.3g}{percent}  from +/- {uncertainty:.3g}"
BUDGET_PERCENT = " ({percent:.2g} %)"
BUDGET_NOT_ENTERING = ("    {part} +/- {uncertainty:.3g}: no contribution, the {model} model "
                       "does not depend on it (the beam-propagation model does)")
EXPERIMENT_HEAD = "[[Experiment]] as the fit used it"
# -- the nonlinear optics of a closed-aperture fit
OPTICS_HEAD = "[[Nonlinear optics]]"
OPTICS_KINDS = "    scans              = {kinds}"
OPTICS_PHASE = ("    dPhi0 = k n2 I0 L  = {phase:.5g} +/- {error:.2g} rad at the focus, "
                "{energy:g} J")
OPTICS_CHI3 = ("    chi(3)             = Re {re_si:.4g} +/- {re_err:.2g}, Im {im_si:.4g} +/- "
               "{im_err:.2g} m^2/V^2 (SI); Re {re_esu:.4g} +/- {re_esu_err:.2g}, Im "
               "{im_esu:.4g} +/- {im_esu_err:.2g} esu")
OPTICS_N0 = "    linear index n0    = {n0:g} (the experiment's refractive_index)"
OPTICS_N0_ASSUMED = ("    linear index n0    = 1 (assumed: the experiment gives no "
                     "refractive_index; chi(3) scales with n0^2)")
OPTICS_2PA = ("    sigma_2PA          = {value:.4g} +/- {error:.2g} GM (h nu beta / N0, "
              "1 GM = 1e-50 cm^4 s)")
OPTICS_CONVENTIONS = ("    conventions: n = n0 + n2 I, dI/dz = -beta I^2; Re chi(3) = 4 n0^2 "
                      "eps0 c n2 / 3, Im chi(3) = n0^2 eps0 c lambda beta / (3 pi) (SI); "
                      "chi(3) (SI) = 4 pi / (3e4)^2 chi(3) (esu)")
EXPERIMENT_FILE = "    data               = {label}"
EXPERIMENT_ENERGIES = "    pulse energies     = {energies} J ({scans} scans, {points} points)"
EXPERIMENT_BEAM = ("    beam               = wavelength {wavelength:g} m, w0 {w0:g} m, M2 {M2:g}; "
                   "Rayleigh range z0 = {z0:.4g} mm")
EXPERIMENT_PULSE = ("    pulse, sample      = tau {tau:g} s (intensity FWHM), sample_width "
                    "{width:g} cm")
EXPERIMENT_POPULATIONS = "    populations        = {populations} cm^-3"
EXPERIMENT_SLICES = "    on-axis resolution = {t_slices} time slices x {z_slices} depth slabs"
EXPERIMENT_FOCUS = ("    at the focus       = {energy:g} J: peak fluence {fluence:.4g} J/cm^2, "
                    "peak intensity {intensity:.4g} W/cm^2")
EXPERIMENT_LINEAR = ("    linear absorption  = alpha0 = sigma_0 N0 = {alpha0:.4g} /cm, alpha0 L = "
                     "{depth:.4g}, Te_lin = {te_lin:.4g}")
EXPERIMENT_UNCERTAINTY = "    uncertainty        = {name} +/- {amount}"
REPORT_DATA_SET = "        {label}: {scans} scans, focus {centre}"
REPORT_MODEL_ERROR = "; its largest error estimate at the fit {error:.2g}"
REPORT_MESSAGES = "    {total} message lines of the ODE integrator:"
MESSAGES_MORE = "... and {more} more integrator message{s}"
# -- the budget's two sides, where they differ
BUDGET_SETTING_ASYMMETRIC = ("        {part:<28} +{above:.3g}/-{below:.3g}{percent}  from +/- "
                             "{uncertainty:.3g} (the two sides differ)")
BUDGET_SIDES_PERCENT = " (+{above:.2g} %/-{below:.2g} %)"
BUDGET_SIDE_PERCENT = "{percent:+.2g} %"
BUDGET_SIDE_ABSOLUTE = "{effect:+.3g} mm"
BUDGET_ASYMMETRIC = ("{setting}: {up} / {down} of {name} when it moves by + / - its "
                     "uncertainty {uncertainty:.3g}: the fitted value depends on it in a curved "
                     "way, so the budget's symmetric contribution (and the combined "
                     "uncertainty) is an approximation; refit at both ends of the setting to "
                     "see its effect")
# -- the linear spectrum, n0 z0 and the figure's line of the experiment
EXPERIMENT_CONCENTRATION = "    concentration      = {concentration:.4g} mol/L"
EXPERIMENT_LINEAR_DATA = ("    linear spectrum    = {name} {value:.4g}: sigma_0 = {sigma:.4g} "
                          "cm^2")
EXPERIMENT_N0_Z0 = "    in the sample      = n0 {n0:g}: n0 z0 = {value:.4g} mm"
FIGURE_EXPERIMENT = ("{label}E = {energies} $\\mu$J; $z_0$ = {z0:.3g} mm{inside}\n"
                     "$F_0$ = {fluences} J/cm$^2$ at the focus")
FIGURE_N0_Z0 = ", $n_0 z_0$ = {value:.3g} mm"
# -- the focus in the report, with its error where fitted
REPORT_FOCUS = "    focus position     = {centre} ({source})"
REPORT_FOCUS_FITTED = "{centre:g} +/- {stderr:.2g} mm"
REPORT_FOCUS_VALUE = "{centre:g} mm"
REPORT_FOCUS_SOURCE = " ({source})"
# -- a result in a notebook (notebook.py)
PANDAS_MISSING = ("FitResult.to_dataframe needs pandas, which is not installed: pip install "
                  "kesp_wrapper[pandas]")
HTML_HEAD = ("zscanfit fit ({method}, {model} model): chi-square {chisqr:.4g}, reduced "
             "{redchi:.4g}, {ndata} points, converged: {success}")
HTML_COLUMNS = ("parameter", "value", "standard error", "relative", "combined uncertainty",
                "unit", "")
HTML_FREE = "free"
HTML_TIED = "tied"
HTML_FIXED = "fixed: {fixed}"
HTML_BUDGET = "Error budget"
HTML_WARNINGS = "Warnings"
HTML_NO_FIGURE = "no figure: {reason}"

# ------------------------------------------------------------ models
BAD_MODEL = ("model must be 'whole-beam', 'on-axis' or 'beam-propagation' (got "
             "{model!r})")
NO_ENERGIES = "pulse_energy is an empty sequence: give at least one pulse energy (J)"
BAD_NORMALISE = "normalise must be 'wings' or 'linear' (got {normalise!r})"
FIX_TOLERANCE = "give an absolute tolerance on the normalised transmittance, e.g. 1e-5"
TOLERANCE_RANGE = ("tolerance = {value:g} is outside {least:g} to {most:g}: the whole-beam "
                   "model meets no finer tolerance in double precision (it computes a scan "
                   "normalised on its wings to a third of it), and a coarser one is no "
                   "model of a measurement")
TOLERANCE_MISSED = ("the {model} model met only {error:.2g} of the tolerance {tolerance:g} "
                    "(its largest error estimate{where}): the values may be off by that much; "
                    "check the settings (a very thick sample or an extreme saturation) or ask "
                    "for a coarser tolerance")
AT_THE_FIT = " at the fitted values"
MODEL_UNPHYSICAL = ("the model left physics: it gives an absolute transmittance of {value:.6g} "
                    "(error estimate {error:.2g}), more energy out of the sample than into "
                    "it, which no absorber without gain can do; check the populations and "
                    "lifetimes (a populated excited level that decays is held up by the "
                    "model's dark-state convention)")
ON_AXIS_LINEAR = ("normalise='linear' needs the whole-beam model; the on-axis model "
                  "(fit_zscan's) is always normalised on the scan's wings")
EXACT_MODEL = ("method='exact' runs fit_zscan, which fits the on-axis model only (got "
               "model={model!r}): leave model out, give model='on-axis', or use "
               "method='robust'")
MODEL_WHOLE_BEAM = ("whole-beam (the pulse's energy over the whole beam; absolute tolerance "
                    "{tolerance:g})")
MODEL_CLOSED = ("whole-beam with the closed-aperture model (the pulse's energy through the "
                "aperture of each scan, and over the whole beam for open ones; absolute "
                "tolerance {tolerance:g})")
MODEL_ON_AXIS = ("on-axis (fit_zscan's: on-axis intensity, {t_slices} time slices x "
                 "{z_slices} depth slabs, no error estimate)")
MODEL_BEAM_PROPAGATION = ("beam-propagation (a thick sample: the pulse's energy over the "
                          "whole beam propagated through the sample's depth, front face at "
                          "the position; absolute tolerance {tolerance:g}; n0 = {n0:g})")
THIN_SAMPLE = ("the sample ({thickness:g} mm, L/(n0 z0) = {ratio:.2g}) is too thick for the "
               "whole-beam model, which takes it as thin: {where}it differs from the "
               "beam-propagation model by up to {error:.2g} in the normalised transmittance "
               "({how}), above the tolerance {tolerance:g}: values fitted with it are biased "
               "by that; fit with model=\"beam-propagation\" (--model beam-propagation), "
               "slower, for a thick sample")
THIN_SAMPLE_WHERE = "at the fitted values "
THIN_SAMPLE_ENGINE = ("the two models compared at {count} positions about the focus, "
                      "each to {tolerance:g}")
THIN_SAMPLE_ESTIMATE = ("estimated as {factor:g} (L/(n0 z0))^2 times the largest |T - 1| "
                        "of these values, the largest ratio of the two models' difference to "
                        "that measured on converged values; a fit compares the two models "
                        "at its end")
THIN_SAMPLE_CLOSED_FORM = ("estimated as {factor:g} (L/(n0 z0))^2 times the largest "
                           "|T - 1| of the thin model; the beam-propagation model could not "
                           "be evaluated: {reason}")
EXCITED_NOT_STATIONARY = ("level {level} starts with population {population:g} cm^-3 but "
                          "decays ({lifetimes} finite): the whole-beam model takes the "
                          "initial populations as stationary in the dark (kept up against "
                          "their decay until the light changes them)")
MODEL_FAILED = ("the whole-beam model could not be computed at {count} of {total} points "
                "(the integrator could not complete them at any resolution): check the "
                "settings and parameters; the points are NaN")
NO_DERIVATIVES_ON_AXIS = ("the on-axis model has no derivatives: ask the whole-beam model "
                          "for them")
EXACT_CLOSED = ("method='exact' is fit_zscan's, of open-aperture scans and the levels' "
                "absorption only: use the robust method for closed or divided scans and for "
                "beta, n2, sigma_r1, sigma_r3")
CLOSED_ON_AXIS = ("the on-axis model knows open apertures and absorption by the levels only: "
                  "use the whole-beam model (model='whole-beam') for a closed aperture, a "
                  "divided scan or beta, n2, sigma_r1, sigma_r3")
BAD_APERTURE = ("aperture must be a number in (0, 1], the share of the linear beam's power "
                "it passes (1 or None: open), not {value!r}")
DIVIDED_OPEN = ("a divided scan (closed over open) needs an aperture S < 1, not {value!r}")

# ------------------------------------------------------------ model entry
CORE_MISSING = ("zscanfit's compiled model entry (zscanfit._core) is not "
                "installed: reinstall the package with its build ({reason})")

# ------------------------------------------------------------ command line
CLI_ERROR = "zscanfit: error: {message}"
CLI_WARNING = "zscanfit: warning: {message}"
CLI_INTERNAL = ("zscanfit: internal error: {kind}: {message} (please report "
                "it with the command line that caused it)")
CLI_OUT_OF_MEMORY = "out of memory: {reason}"
CLI_NO_REASON = ("the inputs need more memory than the process may use (check counts such "
                 "as --starts and --bootstrap)")
CLI_BAD_SET = "--set expects NAME=VALUE (got {item!r})"
CLI_SHARED_ONE_FILE = ("--shared says which settings several data files share; with one file "
                       "every setting is its own")
CLI_GIVEN_TWICE = "given more than once; give it once"
CLI_NAME_TWICE = "{name} given more than once; give each name once"
CLI_TOLERANCE = ("expected a tolerance from {least:g} to {most:g}, the range the whole-beam "
                 "model meets (got {value!r})")
CLI_ENERGY_COUNT = ("--energy gives {given} pulse energ{ies} for {files} data files; give one "
                    "per file, in the order of the files")
CLI_UNKNOWN_SET = ("--set {name}: unknown name; settings are {settings}, "
                   "parameters are {parameters}")
CLI_NO_START = ("no start values: add a '# spec_pars = ...' line (eight values) "
                "to the data file or give every parameter with --set NAME=VALUE")
CLI_PLOT_WRITTEN = "plot written to {path}"
CLI_GLOBAL_OPTIONS = ("several data files are fitted together without --bootstrap and with "
                      "a focus per file: give each file's with --set FILE:center_mm=VALUE, or "
                      "leave it to the fit (each file's focus is fitted from its data)")
CLI_BAD_UNCERTAINTY = ("--uncertainty expects NAME=VALUE, the value absolute in the "
                       "setting's unit or relative such as 5% (got {item!r})")
CLI_NO_FOLDER = "{option} {path}: the folder {folder} does not exist"
CLI_FOLDER_NOT_WRITABLE = "{option} {path}: the folder {folder} is not writable"
CLI_PATH_IS_FOLDER = "{option} {path}: that is a folder; give a file name"
CLI_FIGURE_FORMAT = ("{option} {path}: unknown figure format {suffix!r}; the file name "
                     "must end in one of {formats}")
CLI_DONE = "zscanfit: done, no warnings"
CLI_DONE_WARNINGS = ("zscanfit: done with {count} warning{s} (the lines above{where})"
                     "{strict}")
CLI_WARNINGS_IN_REPORT = ", also under [[Warnings]] in the report"
CLI_WARNINGS_IN_ROWS = ", also in the rows' warnings column"
CLI_STRICT = "; --strict: exit status 3"
CLI_JSON_WRITTEN = "results written to {path}"

# command line: values with units, settings per file, where a value came from (options.py)
CLI_ENERGY_VALUE = ("expected a positive pulse energy, in J or with its unit such as 3uJ "
                    "(got {value!r})")
CLI_STARTS = ("n_starts must be at least 1 and at most {most}, a whole number of starts "
              "(got {value!r})")
CLI_SET_FILE_HERE = ("--set {item}: FILE:NAME=VALUE is for the data files of a fit; fit-many "
                     "takes each file's values from a manifest's columns")
CLI_SET_WHICH_FILE = ("--set {item}: {target!r} is not one of the {count} data files{twice}; "
                      "give a file as on the command line or its position: {files}")
CLI_SET_FILE_TWICE = " once (it is given more than once: use its position)"
CLI_SET_SHARED = ("--set {item}: the files of a global fit share the spectroscopic parameters "
                  "and their start values; give it for all files: --set {name}=...")
CLI_SET_FILE_NAME_TWICE = "--set {item}: {path} already has its value by {first}; give it once"
CLI_SET_ONE_NUMBER = "--set {item}: {name} is one number"
CLI_NOT_A_FOLDER = "{option} {path}: no such folder; create it first"
UNCERTAINTY_AS_LARGE = ("the uncertainty of {name}, {given}, is as large as {name} itself "
                        "({value}): the error budget moves {name} by it either way, to zero "
                        "or below{hint}")
UNCERTAINTY_PERCENT_HINT = "; for a relative uncertainty give {name}={text}%"
NOT_AN_EXPERIMENT = ("experiment must be a zscanfit.Experiment (got {kind}); make "
                     "it with Experiment(wavelength, w0, M2, tau, sample_width, "
                     "populations) or take it from load_scans(path).experiment")
MIXED_SIGMA = ("some scans have per-point sigma and others not: give sigma for "
               "every scan or for none")
GLOBAL_NO_DATA_SETS = ("fit_global needs a list of (scans, experiment) pairs, one per data "
                       "file (got {kind})")
GLOBAL_BAD_DATA_SET = ("data set {index} must be a (scans, experiment[, label[, center_mm]]) "
                       "sequence or a mapping with the keys 'scans', 'experiment' and "
                       "optionally 'label', 'center_mm' (got {kind})")
GLOBAL_BEAM = ("a global fit shares the spectroscopic parameters; the beam's parameters "
               "({names}) belong to each file's experiment: give them there, or fit the "
               "files one by one")
GLOBAL_BAD_SHARED = ("shared: {name!r} is not a setting data files can share; the settings "
                     "are {names} (each scan's pulse_energy is its own reading: share "
                     "pulse_energy_scale, the energy meter's calibration)")
GLOBAL_EXACT = ("method='exact' runs fit_zscan, which fits one data set: a global fit uses "
                "method='robust'")
EXACT_BEAM = ("method='exact' runs fit_zscan, which takes the beam from the experiment and "
              "the focus from the data: it cannot take {names} among the parameters; use "
              "method='robust'")
CENTER_TWICE = ("the focus is given twice, as center_mm= and as the parameter center_mm: "
                "give it once")
EXACT_CENTER = ("method='exact' runs fit_zscan, which centres the scans on the "
                "extremum of the data itself: leave center_mm out or use "
                "method='robust'")
# -- each file's focus and linear data in a global fit
GLOBAL_FOCUS_NAME = ("{name} is the focus of a file the global fit does not have ({count} data "
                     "sets)")
GLOBAL_CENTER_TWICE = ("the focus of data set {index} is given twice, as its center_mm and as "
                       "the parameter {name}: give it once")
GLOBAL_LINEAR_DISAGREE = ("the data files' linear data give different sigma_0 ({values}), which "
                          "the files share: free sigma_0 (each file's absorbance then keeps "
                          "its alpha0) or correct the data")

# ------------------------------------------------------------ batches (batch.py)
BATCH_MISSING_DASK = ("client= needs Dask's distributed scheduler, which is not "
                      "installed: pip install kesp_wrapper[dask]")
BATCH_WORKERS_WITH_CLIENT = ("workers= sizes the local thread pool; with client= the "
                             "cluster's workers run the jobs: give one or the other")
BATCH_WORKERS_NOT_POSITIVE = "workers must be a positive number of threads (got {value!r})"
BATCH_JOB_NOT_UNDERSTOOD = ("job {index} must be a FitJob or a mapping with the keys "
                            "'scans', 'experiment' and 'params' (got {kind})")
BATCH_STOPPED = "the batch of fits was stopped"
BATCH_UNKNOWN_OPTION = ("fit_many: {name!r} is not an option of fit{hint}; the options are "
                        "{names}")
BATCH_DID_YOU_MEAN = " (did you mean {name!r}?)"

# ------------------------------------------------------------ bootstrap (bootstrap.py)
BOOTSTRAP_BAD_SAMPLES = ("bootstrap must be a whole number of resampled data sets, from 2 "
                         "to {most} (got {value!r}); 200 to 1000 is usual")
BOOTSTRAP_TOO_FEW_POINTS = ("scan {index} has {count} measured points; the bootstrap "
                            "needs more than the {free} free parameters")
BOOTSTRAP_REFITS_FAILED = ("{failed} of {total} bootstrap refits failed or did not "
                           "converge; the intervals come from the other {kept}. First "
                           "failure: {first}")
BOOTSTRAP_FEW_SAMPLES = ("{total} bootstrap refits: each end of a 95 % interval rests on "
                         "about {tail:.2g} of them; use at least {enough} for 95 % intervals "
                         "(200 to 1000 is usual)")
BOOTSTRAP_NO_INTERVALS = ("fewer than 2 of {total} bootstrap refits succeeded: no "
                          "intervals. First failure: {first}")

# ------------------------------------------------------------ fit-many (batch_cli.py)
FIT_MANY_NO_SOURCE = "{path} is neither a manifest file nor a folder"
FIT_MANY_NO_DATA_FILES = "no data files (.csv, .tsv, .txt, .dat) in the folder {path}"
FIT_MANY_SKIPPED = ("fit-many: skipped {count} of the folder's entries, not .csv, .tsv, .txt or "
                    ".dat files: {names}")
FIT_MANY_NO_FILE_COLUMN = ("the manifest {path} needs a header row with a column 'file' "
                           "naming the data files (got columns: {columns})")
FIT_MANY_EMPTY = "the manifest {path} lists no files"
FIT_MANY_UNKNOWN_COLUMN = ("the manifest {path} has a column {name!r} that is neither a "
                           "setting ({settings}), a parameter ({parameters}) nor "
                           "pulse_energy")
FIT_MANY_NOT_NUMBER = ("the manifest {path}, line {line}: {name} must be numbers "
                       "(got {value!r})")
FIT_MANY_FILE_WARNING = "{file}: {message}"
FIT_MANY_BAD_RESULT = "the fit's result could not be read into a row ({kind}: {reason})"
FIT_MANY_SUMMARY = ("fit-many: {total} files, {ok} fitted, {not_converged} not "
                    "converged, {failed} failed")
FIT_MANY_WRITTEN = "results of {total} files written to {path}"

# fit-many: each file's JSON and figure, warnings by file, files without data (fit_many.py)
MANIFEST_ROW = "the manifest {path}, line {line}"
MANIFEST_COLUMN = "{where}, column {name}"
FIT_MANY_NOT_DATA = ("fit-many: skipped {count} file{s} of the folder without data (not a "
                     "line of numbers): {names}")
FIT_MANY_SAME_OUTPUT = ("{option} {folder}: {first} and {second} would both be written to "
                        "{name}; give the files distinct names, or fit them apart")
FIT_MANY_OUTPUT_FAILED = "{file}: the {what} could not be written to {path} ({reason})"
FIT_MANY_OUTPUTS_WRITTEN = "fit-many: {what} of {count} fitted file{s} written to {folder}"
CLI_PLOT_FORMAT_ALONE = "--plot-format is the format of --plot-dir's figures: give --plot-dir too"
FIT_MANY_JSON = "results"
FIT_MANY_FIGURES = "figures"
