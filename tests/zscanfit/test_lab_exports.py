# Files as labs export them, read as a person reads them: a title, settings
# written without '#' and with their units ('Energy: 3 uJ', 'Pulse width
# (FWHM): 4 ns'), notes named in one warning, transmittance in percent, a
# line of text among the numbers refused naming that line; every unit of
# every setting converted to the exact decimal value it writes (not a float
# product), in files and through the API; a unit of the wrong dimension
# refused naming the setting and the units it takes. Relies on the
# installed zscanfit.
import warnings

import pytest

import zscanfit
from zscanfit import texts
from zscanfit.inputs.file_settings import LAB_NAMES
from zscanfit.inputs.loading import NoData
from zscanfit.inputs.units import accepted_units

X = [-20, -10, -5, -2, 0, 2, 5, 10, 20]
PERCENT = ["100,1", "99,5", "97", "94", "90", "94,2", "97,2", "99,4", "100"]
FRACTION = [1.001, 0.995, 0.97, 0.94, 0.9, 0.942, 0.972, 0.994, 1.0]  # the same, /100
ROWS = "".join(f"{x},{t}\n" for x, t in zip(X, FRACTION))   # a plain comma-separated scan
COARSE = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=4e-9, sample_width=0.1,
              populations=[3e17, 0, 0, 0, 0])


def write(tmp_path, text, name="scan.txt"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


def load_warning_free(path, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return zscanfit.load_scans(path, **kwargs)


def refusal(path, **kwargs):
    with pytest.raises(ValueError) as error:
        zscanfit.load_scans(path, **kwargs)
    return str(error.value)


# ---------------------------------------------------------------- lines before the data
SEVEN_COLUMNS = """Z-scan open aperture
12.05.2024
Energy: 0.4 1 2 uJ
Wavelength = 532 nm
Pulse width (FWHM): 4 ns
Beam waist: 20 +- 1 um
Thickness: 1 mm
M2: 1
Operator: Smith
# populations = 3e17 0 0 0 0 cm^-3
x_mm T sigma T sigma T sigma
""" + "".join(f"{x} 0.99 0.01 0.98 0.01 0.97 0.01\n" for x in X)


def test_a_lab_export_with_a_title_and_settings_before_the_data(tmp_path):
    path = write(tmp_path, SEVEN_COLUMNS.replace(
        "x_mm T sigma T sigma T sigma", "x_mm T@0.4uJ sigma@0.4uJ T@1uJ sigma@1uJ T@2uJ sigma@2uJ"))
    with pytest.warns(zscanfit.DataWarning) as record:
        data = zscanfit.load_scans(path)
    assert [str(w.message) for w in record] == [texts.SKIPPED_LINES.format(
        path=str(path), lines="; ".join([texts.SKIPPED_LINE.format(line=2, text="12.05.2024"),
                                         texts.SKIPPED_LINE.format(line=9,
                                                                   text="Operator: Smith")]))]
    assert data.experiment == zscanfit.Experiment(**COARSE, uncertainties={"w0": 1e-6})
    assert [s.pulse_energy for s in data.scans] == [4e-7, 1e-6, 2e-6]
    assert data.lines == {"pulse_energy": 3, "wavelength": 4, "tau": 5, "w0": 6,
                          "sample_width": 7, "M2": 8, "populations": 10}
    assert data.scans[2].transmittance.tolist() == [0.97] * len(X)


def test_the_energies_of_a_settings_line_without_names_in_the_header(tmp_path):
    # three energies in 'Energy: ...' make a plain file of 1 + 3 columns
    text = SEVEN_COLUMNS.replace("x_mm T sigma T sigma T sigma\n", "").replace(
        " 0.01", "")
    with pytest.warns(zscanfit.DataWarning):
        data = zscanfit.load_scans(write(tmp_path, text))
    assert [s.pulse_energy for s in data.scans] == [4e-7, 1e-6, 2e-6]


@pytest.mark.parametrize("name, spellings", sorted(LAB_NAMES.items()))
def test_every_lab_spelling_names_its_setting(tmp_path, name, spellings):
    value = {"spec_pars": "1 2 3 4 5 6 7 8", "populations": "1 0 0 0 0",
             "t_slices": "4", "z_slices": "4"}.get(name, "2")
    for spelling in spellings:
        key = spelling.replace("_", " ").title() if spelling.isascii() else spelling
        path = write(tmp_path, f"{key}: {value}\n" + ROWS, name="plain.csv")
        data = zscanfit.load_scans(path, pulse_energy=1e-6) if name != "pulse_energy" else \
            zscanfit.load_scans(path)
        assert data.settings[name] == [float(v) for v in value.split()], key


def test_a_line_of_text_among_the_numbers_is_named(tmp_path):
    rows = ROWS.splitlines(keepends=True)
    path = write(tmp_path, "x_mm,T\n" + "".join(rows[:3]) + "Scan 2\n" + "".join(rows[3:]),
                 name="two.csv")
    assert refusal(path, pulse_energy=1e-6) == texts.TEXT_IN_DATA.format(
        path=str(path), line=5, text="Scan 2", first=2)
    second_header = "x_mm,T\n" + ROWS + "x_mm,T\n" + ROWS
    path = write(tmp_path, second_header, name="stacked.csv")
    assert refusal(path, pulse_energy=1e-6) == texts.TEXT_IN_DATA.format(
        path=str(path), line=2 + len(X), text="x_mm,T", first=2)


def test_a_file_without_numbers_is_no_data_unless_it_names_columns_or_settings(tmp_path):
    with pytest.raises(NoData):
        zscanfit.load_scans(write(tmp_path, "Measured on Monday.\nAligned the x position.\n"))
    for text in ("x_mm,T\n", "# w0 = 2e-5\nnot,a,scan\n", "Wavelength: 532 nm\n"):
        with pytest.raises(ValueError) as error:
            zscanfit.load_scans(write(tmp_path, text))
        assert not isinstance(error.value, NoData) and "no data rows" in str(error.value)


def test_a_setting_given_twice_must_agree(tmp_path):
    body = ROWS
    same = write(tmp_path, "Energy: 3 uJ\n# pulse_energy = 3e-6\n" + body)
    assert [s.pulse_energy for s in load_warning_free(same).scans] == [3e-6]
    other = write(tmp_path, "Energy: 3 uJ\n# pulse_energy = 3e-7\n" + body)
    assert refusal(other) == texts.SETTING_TWICE.format(
        path=str(other), line=2, key="pulse_energy", value="3e-7",
        first="'Energy' on line 1", first_value=[3e-6])


# ---------------------------------------------------------------- units
# Each value as written, and the decimal number it means in the setting's
# own unit, as Python reads a decimal literal (correctly rounded once).
EXACT = [
    ("w0", "25 um", "25e-6"), ("w0", "25um", "25e-6"), ("w0", "25 µm", "25e-6"),
    ("w0", "2.3 um", "2.3e-6"), ("w0", "2.5e-2 mm", "2.5e-5"), ("wavelength", "532 nm", "532e-9"),
    ("wavelength", "0.8 um", "0.8e-6"), ("sample_width", "1 mm", "0.1"),
    ("sample_width", "0.1 cm", "0.1"), ("sample_width", "0.3 mm", "0.03"),
    ("sample_width", "2e-3 m", "0.2"), ("tau", "5 ns", "5e-9"), ("tau", "4e-9 s", "4e-9"),
    ("tau", "100 fs", "100e-15"), ("tau", "0.7 ps", "0.7e-12"),
    ("pulse_energy", "3 uJ", "3e-6"), ("pulse_energy", "3 µJ", "3e-6"),
    ("pulse_energy", "2 mJ", "2e-3"), ("pulse_energy", "0.3 nJ", "0.3e-9"),
    ("populations", "1e17 0 0 0 0 cm^-3", "1e17"), ("populations", "1e23 0 0 0 0 m^-3", "1e17"),
    ("populations", "3.3e17 0 0 0 0 /cm3", "3.3e17"),
]


@pytest.mark.parametrize("name, written, decimal", EXACT,
                         ids=[f"{n}={w}" for n, w, _ in EXACT])
def test_a_setting_with_its_unit_is_the_decimal_number_it_writes(tmp_path, name, written,
                                                                 decimal):
    path = write(tmp_path, f"# {name} = {written}\n" + ROWS)
    data = zscanfit.load_scans(path, pulse_energy=None if name == "pulse_energy" else 1e-6)
    assert data.settings[name][0] == float(decimal)
    # the same value through the command line's reading and the API's
    from zscanfit.inputs import units
    assert units.read(name, written).values[0] == float(decimal)
    if name != "populations":
        assert units.in_unit(name, written) == float(decimal)


def test_exact_means_not_a_product_of_floats():
    # 2.3 um as 2.3 * 1e-6 is one unit in the last place off 2.3e-6.
    from zscanfit.inputs import units
    assert 2.3 * 1e-6 != 2.3e-6 and 1.1 * 1e-9 != 1.1e-9
    assert units.read("w0", "2.3 um").values == [2.3e-6]
    assert units.read("tau", "1.1 ns").values == [1.1e-9]


@pytest.mark.parametrize("line, message", [
    ("# w0 = 5 ns", "w0: 'ns' is a unit of time, not of length; {w0}"),
    ("# tau = 4 mm", "tau: 'mm' is a unit of length, not of time; {tau}"),
    ("Energy: 3 W", "pulse_energy: 'W' is not a unit of energy; {pulse_energy}"),
    ("# M2 = 1.1 um", "M2 takes no unit (got 'um'): give the bare number"),
    ("# pulse_energy = 1 uJ 2", "pulse_energy: units on some of the values only ('1 uJ 2'); "
                                "give a unit after every value, or one after the last for all"),
], ids=["length-as-time", "time-as-length", "unknown", "unitless", "some-units"])
def test_a_unit_the_setting_does_not_take_is_refused_naming_both(tmp_path, line, message):
    path = write(tmp_path, f"{line}\n" + ROWS)
    accepted = {name: accepted_units(name) for name in ("w0", "tau", "pulse_energy")}
    assert refusal(path, pulse_energy=1e-6) == texts.SETTING_WHERE.format(
        path=str(path), line=1) + ": " + message.format(**accepted)


@pytest.mark.parametrize("line, name, value", [
    ("Energy (uJ): 3", "pulse_energy", 3e-6),
    ("Wavelength [nm] = 532", "wavelength", 532e-9),
    ("Pulse width (FWHM): 4 ns", "tau", 4e-9),          # brackets without a unit
    ("Pulse width (FWHM): 4e-9", "tau", 4e-9),
], ids=["unit", "square-brackets", "not-a-unit", "not-a-unit-bare"])
def test_a_unit_in_brackets_after_the_name_is_the_bare_numbers_unit(tmp_path, line, name,
                                                                    value):
    data = zscanfit.load_scans(write(tmp_path, f"{line}\n" + ROWS), pulse_energy=(
        None if name == "pulse_energy" else 1e-6))
    assert data.settings[name] == [value]
    path = write(tmp_path, "Energy (uJ/pulse): 3\n" + ROWS)
    assert refusal(path) == texts.SETTING_WHERE.format(path=str(path), line=1) + (
        ": pulse_energy: 'uJ/pulse' is not a unit of energy; " + accepted_units("pulse_energy"))


def test_an_uncertainty_takes_the_value_s_unit_only_when_written_after_both(tmp_path):
    body = ROWS
    both = zscanfit.load_scans(write(tmp_path, "# w0 = 20 +- 1.5 um\n" + body), pulse_energy=1e-6)
    assert both.settings["w0"] == [20e-6] and both.uncertainties["w0"] == (1.5e-6, False)
    each = zscanfit.load_scans(write(tmp_path, "# w0 = 20 um +- 1.5 um\n" + body),
                               pulse_energy=1e-6)
    assert each.uncertainties == both.uncertainties
    path = write(tmp_path, "# w0 = 20 um +- 1.5\n" + body)
    assert refusal(path, pulse_energy=1e-6) == texts.UNCERTAINTY_WITHOUT_UNIT.format(
        where=texts.SETTING_WHERE.format(path=str(path), line=1), key="# w0", unit="um",
        value="20 um +- 1.5")


def test_a_setting_the_experiment_refuses_names_its_line(tmp_path):
    path = write(tmp_path, "".join(f"# {k} = {v}\n" for k, v in dict(
        COARSE, populations="3e17 0 0 0 0", tau="-4 ns").items()) + ROWS)
    assert refusal(path, pulse_energy=1e-6).startswith(
        f"{path}, line 4: tau must be positive (got -4e-09)")


# ---------------------------------------------------------------- transmittance in percent
@pytest.mark.parametrize("header, sigma", [
    ("z (mm);T (%);sigma", "0,3"),            # sigma in the transmittance's unit
    ("z (mm);Transmittance [%];sigma (%)", "0,3"),
    ("z (mm);T (%);sigma (norm.)", "0,003"),
], ids=["sigma-as-T", "both-percent", "sigma-normalised"])
def test_a_transmittance_in_percent_is_divided_by_100(tmp_path, header, sigma):
    rows = "".join(f"{x};{t};{sigma}\n" for x, t in zip(X, PERCENT))
    data = load_warning_free(write(tmp_path, header + "\n" + rows), pulse_energy="0.5 uJ")
    (scan,) = data.scans
    assert scan.pulse_energy == 5e-7
    assert scan.transmittance.tolist() == FRACTION
    assert scan.sigma.tolist() == [0.003] * len(X)


# ---------------------------------------------------------------- the API
def test_the_api_takes_settings_as_strings_with_their_units(tmp_path):
    written = zscanfit.Experiment(wavelength="532 nm", w0="20 um", M2=1, tau="4 ns",
                                  sample_width="1 mm", populations="3e17 0 0 0 0 cm^-3",
                                  uncertainties={"w0": "1 um", "tau": "5%"})
    assert written == zscanfit.Experiment(**COARSE, uncertainties={"w0": 1e-6, "tau": "5%"})
    scan = zscanfit.Scan(X, FRACTION, "0.5 uJ")
    assert scan.pulse_energy == 5e-7
    path = write(tmp_path, ROWS)
    assert zscanfit.load_scans(path, pulse_energy="3 uJ").scans[0].pulse_energy == 3e-6


@pytest.mark.parametrize("call, message", [
    (lambda: zscanfit.Experiment(**dict(COARSE, w0="2e-5")),
     "w0 must be a number in m or a string with its unit, one of m, cm, mm, um (µm), nm "
     "(got '2e-5')"),
    (lambda: zscanfit.Experiment(**dict(COARSE, w0="25 ns")),
     "w0: 'ns' is a unit of time, not of length; " + accepted_units("w0")),
    (lambda: zscanfit.Scan(X, FRACTION, "3 mm"),
     "pulse_energy: 'mm' is a unit of length, not of energy; " +
     accepted_units("pulse_energy")),
], ids=["string-without-unit", "wrong-dimension", "scan-energy"])
def test_the_api_refuses_a_string_without_its_unit_or_with_another(call, message):
    with pytest.raises(ValueError) as error:
        call()
    assert str(error.value) == message


def test_the_missing_energy_names_the_argument_as_the_caller_gives_it(tmp_path):
    path = write(tmp_path, ROWS)
    assert refusal(path).endswith("or " + texts.GIVE_ENERGY_API.format(source="pulse_energy="))
    assert refusal(path, energy_source="--energy").endswith("or " + texts.GIVE_ENERGY_CLI)
    assert zscanfit.load_scans(path, pulse_energy="3 uJ").scans[0].pulse_energy == 3e-6
