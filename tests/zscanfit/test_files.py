# Data files as labs export them: the same numbers written with every
# delimiter and number format, with a byte-order mark, in UTF-16 or
# Windows-1252, with units and common names in the header, one transmittance
# column per pulse energy, read back bit for bit; files that could be read
# more than one way refused with the exact message naming the file, line and
# column; doubtful columns warned about; uncertainties of settings parsed;
# .tsv files fitted by fit-many, which names what it skipped; the documentation
# listing every accepted name. Relies on the installed zscanfit and conftest.py.
import codecs
import csv
import pathlib
import re
import warnings

import numpy as np
import pytest

import zscanfit
from zscanfit import texts
from zscanfit.inputs.columns import ALIASES, accepted_names, all_accepted_names, units_of

import batch_cases
from conftest import ROOT, run_cli, write_scan_file

X = np.arange(-20.0, 21.0, 2.0)                      # whole mm: exact after any unit
T1 = 1.0 - 0.2 * np.exp(-X ** 2 / 8.0)
T2 = 1.0 - 0.35 * np.exp(-X ** 2 / 8.0)
S1 = 0.01 + 0.0005 * np.abs(X)
S2 = 2.0 * S1
N = X.size


def number(value, decimal="."):
    """A value as a lab file holds it: text as given, whole numbers without
    a point, others by repr (so they read back exactly)."""
    if isinstance(value, str):
        return value
    value = float(value)
    return str(int(value)) if value.is_integer() else repr(value).replace(".", decimal)


def lab_file(tmp_path, columns, header=None, delimiter=",", decimal=".", before=(),
             name="scan.csv", encoding="utf-8", bom=b"", newline="\n", trail="",
             quote=False):
    """Writes ``columns`` (arrays or lists of text) as a data file: the
    lines ``before``, a header, one line per row; returns its path."""
    wrap = (lambda f: f'"{f}"') if quote else (lambda f: f)
    lines = list(before)
    if header is not None:
        lines.append(delimiter.join(wrap(h) for h in header) + trail)
    for row in zip(*columns):
        lines.append(delimiter.join(wrap(number(v, decimal)) for v in row) + trail)
    path = tmp_path / name
    path.write_bytes(bom + newline.join(lines + [""]).encode(encoding))
    return path


def assert_scans(data, expected, x=X):
    """The file's scans are exactly ``expected``: (energy, T, sigma) each."""
    assert [(s.pulse_energy, s.sigma is None) for s in data.scans] == \
        [(energy, sigma is None) for energy, _, sigma in expected]
    for scan, (_, y, sigma) in zip(data.scans, expected):
        assert np.array_equal(scan.x_mm, x) and np.array_equal(scan.transmittance, y)
        assert sigma is None or np.array_equal(scan.sigma, sigma)


def load_quietly(path, **kwargs):
    """load_scans with no warning allowed."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return zscanfit.load_scans(path, **kwargs)


ONE = [(5e-7, T1, None)]
TWO = [(4e-7, T1, None), (1e-6, T2, None)]
E = dict(pulse_energy=5e-7)


@pytest.mark.parametrize("header", [None, ["x_mm", "transmittance", "sigma"]],
                         ids=["plain", "header"])
@pytest.mark.parametrize("delimiter, decimal", [
    (",", "."), (";", "."), (";", ","), ("\t", "."), ("\t", ","), (" ", "."), ("  ", ","),
], ids=["comma", "semicolon", "semicolon-decimal-comma", "tab", "tab-decimal-comma",
        "blank", "blanks-decimal-comma"])
def test_every_delimiter_and_number_format_reads_the_same_numbers(tmp_path, delimiter,
                                                                  decimal, header):
    path = lab_file(tmp_path, [X, T1, S1], header, delimiter, decimal)
    assert_scans(load_quietly(path, **E), [(5e-7, T1, S1)])


@pytest.mark.parametrize("header", [None, ["x_mm", "transmittance"]], ids=["plain", "header"])
def test_a_decimal_comma_in_a_comma_separated_file_is_refused(tmp_path, header):
    path = lab_file(tmp_path, [X, T1], header, ",", ",")
    with pytest.raises(ValueError, match=re.escape(texts.HINT_COMMA_COLUMNS)):
        zscanfit.load_scans(path, **E)


READ = [
    ("semicolon-decimal-comma-setting", dict(columns=[X, T1], delimiter=";", decimal=",",
                                             before=["# pulse_energy = 5e-7"]), {}, ONE),
    ("semicolon-z[mm]-T-sigma", dict(columns=[X, T1, S1], header=["z [mm]", "T", "sigma"],
                                      delimiter=";", decimal=","), E, [(5e-7, T1, S1)]),
    ("tab-z(mm)-T", dict(columns=[X, T1], header=["z(mm)", "T"], delimiter="\t",
                         name="scan.tsv"), E, ONE),
    ("tab-Position-Tnorm-err", dict(columns=[X, T1, S1], header=["Position", "Tnorm", "err"],
                                    delimiter="\t", decimal=","), E, [(5e-7, T1, S1)]),
    ("blank-names-with-units", dict(columns=[X, T1, S1], delimiter=" ",
                                    header=["z (mm)", "transmittance (norm.)", "std"]),
     E, [(5e-7, T1, S1)]),
    ("excel-csv-utf8-header", dict(columns=[X, T1], header=["x_mm", "transmittance"],
                                   bom=codecs.BOM_UTF8, newline="\r\n"), E, ONE),
    ("excel-csv-utf8-plain", dict(columns=[X, T1], bom=codecs.BOM_UTF8), E, ONE),
    ("excel-unicode-text-micrometres", dict(columns=[X * 1000, T1], header=["z (µm)", "T"],
                                            delimiter="\t", encoding="utf-16",
                                            newline="\r\n"), E, ONE),
    ("windows-1252-micrometres", dict(columns=[X * 1000, T1], header=["Z (µm)", "T"],
                                      delimiter=";", decimal=",", encoding="cp1252"), E, ONE),
    ("metres-after-underscore", dict(columns=[X / 1000, T1], header=["z_m", "T"]), E, ONE),
    ("centimetres-after-slash", dict(columns=[X / 10, T1], header=["z / cm", "T/T0"]), E, ONE),
    ("energies-in-the-names", dict(columns=[X, T1, T2], header=["x_mm", "T@0.4uJ", "T @ 1 µJ"]),
     {}, TWO),
    ("energies-in-a-setting", dict(columns=[X, T1, T2], before=["# pulse_energy = 4e-7 1e-6"]),
     {}, TWO),
    ("plain-T-names-energies-in-a-setting", dict(columns=[X, T1, T2], header=["z", "T", "T"],
                                             delimiter=";", decimal=",",
                                             before=["# pulse_energy = 4e-7 1e-6"]), {}, TWO),
    ("energies-as-argument", dict(columns=[X, T1, T2], delimiter="\t"),
     dict(pulse_energy=[4e-7, 1e-6]), TWO),
    ("sigma-per-energy", dict(columns=[X, T1, S1, T2, S2],
                              header=["z", "T@400nJ", "sigma@400nJ", "T@1uJ", "sigma@1uJ"]),
     {}, [(4e-7, T1, S1), (1e-6, T2, S2)]),
    ("data-sets-energy-in-uJ", dict(
        columns=[[0] * N + [1] * N, ["0,4"] * N + ["1"] * N, np.concatenate([X, X]),
                 np.concatenate([T1, T2])],
        header=["Scan", "Energy (uJ)", "Z [mm]", "Transmittance (norm.)"], delimiter=";",
        decimal=","), {}, TWO),
    ("excel-sep-line-trailing-separators", dict(columns=[X, T1], header=["x", "T"],
                                                delimiter=";", decimal=",", before=["sep=;"],
                                                trail=";;"), E, ONE),
    ("quoted-decimal-commas", dict(columns=[X, T1], header=["x_mm", "T"], decimal=",",
                                   quote=True), E, ONE),
]


@pytest.mark.parametrize("written, options, expected", [c[1:] for c in READ],
                         ids=[c[0] for c in READ])
def test_files_as_labs_export_them_load_the_numbers_written(tmp_path, written, options,
                                                            expected):
    assert_scans(load_quietly(lab_file(tmp_path, **written), **options), expected)


TA = ["1,006342", "0,998765"] * 10 + ["1,002"]   # split at the comma: '006342'
TB = ["0,25", "0,75"] * 10 + ["0,5"]             # split: T = 0, sigma = 25
WHERE = "{path}, line {line}, column {column}"
REFUSED = [
    ("comma-decimal-comma-leading-zero", dict(columns=[X, TA]), E,
     lambda p: texts.COMMA_AMBIGUOUS.format(path=p, line=1, column="3", evidence=(
         texts.EVIDENCE_LEADING_ZERO.format(field="006342")))),
    ("comma-decimal-comma-whole-numbers", dict(columns=[X, TB]), E,
     lambda p: texts.COMMA_AMBIGUOUS.format(path=p, line=1, column="2",
                                            evidence=texts.EVIDENCE_WHOLE_NUMBERS)),
    ("comma-decimal-comma-header", dict(columns=[X, TB], header=["x_mm", "T"]), E,
     lambda p: texts.BAD_ROW.format(path=p, line=2, got=3, expected=2, text="-20,0,25",
                                    why=texts.ROW_WIDTH_HEADER.format(line=1, count=2),
                                    hint=texts.HINT_COMMA_COLUMNS)),
    ("mixed-decimals", dict(columns=[X, ["0,5", "0.75"] * 10 + ["1"]], header=["x", "T"],
                            delimiter=";"), E,
     lambda p: texts.MIXED_DECIMALS.format(
         path=p, line=3, column="2 (T)", field="0.75", this=texts.DECIMAL_POINT,
         first_line=2, first_column="2 (T)", first="0,5", other=texts.DECIMAL_COMMA)),
    ("thousands-separator", dict(columns=[X, ["1.000,5"] * N], delimiter=";"), E,
     lambda p: texts.THOUSANDS.format(path=p, line=1, column="2", field="1.000,5")),
    ("four-columns-without-names", dict(columns=[X, T1, T2, S1], delimiter="\t"), E,
     lambda p: texts.UNKNOWN_LAYOUT.format(path=p, line=1, columns=4)),
    ("argument-cannot-make-a-column-sigma", dict(
        columns=[X, T1, T2], before=["# pulse_energy = 4e-7 1e-6"]), E,
     lambda p: texts.ENERGY_COUNT.format(path=p, given=1, source=texts.SOURCE_ARGUMENT,
                                         count=2)),
    ("two-energies-one-column", dict(columns=[X, T1], before=["# pulse_energy = 4e-7 1e-6"]),
     {}, lambda p: texts.ENERGY_COUNT.format(
         path=p, given=2, source=texts.SOURCE_SETTING.format(line=1), count=1)),
    ("plain-sigma-beside-two-energies", dict(columns=[X, T1, T2, S1],
                                             header=["x", "T@0.4uJ", "T@1uJ", "sigma"]), {},
     lambda p: texts.SIGMA_WHICH.format(path=p, line=1, column="4 (sigma)", count=2)),
    ("names-and-setting-disagree", dict(columns=[X, T1, T2], header=["x", "T@0.4uJ", "T@1uJ"],
                                        before=["# pulse_energy = 4e-7 2e-6"]), {},
     lambda p: texts.ENERGY_CONFLICT.format(path=p, column="3 (T@1uJ)", named=1e-6, line=1,
                                            setting=2e-6)),
    ("two-position-columns", dict(columns=[X, X, T1], header=["x", "Z", "T"]), E,
     lambda p: texts.DUPLICATE_COLUMN.format(path=p, line=1, first="1 (x)", second="2 (Z)",
                                             role="x_mm")),
    ("transmittance-in-percent", dict(columns=[X, T1 * 100], header=["x", "T (%)"]), E,
     lambda p: texts.UNKNOWN_UNIT.format(path=p, line=1, column="2 (T (%))", unit="%",
                                         role="transmittance", units=units_of("transmittance"))),
    ("energy-without-unit", dict(columns=[X, T1], header=["x", "T@0.4"]), {},
     lambda p: texts.BAD_COLUMN_ENERGY.format(path=p, line=1, column="2 (T@0.4)",
                                              units=units_of("pulse_energy"))),
    ("a-units-line", dict(columns=[["mm"] + list(X), ["norm."] + list(T1)], header=["z", "T"],
                          delimiter="\t"), E,
     lambda p: texts.NOT_A_NUMBER.format(path=p, line=2, column="1 (z)", field="mm",
                                         hint=texts.HINT_UNITS_ROW)),
    ("unknown-names-kept-as-written", dict(columns=[X, T1], header=["Pos_X", "Trans"],
                                           bom=codecs.BOM_UTF8), E,
     lambda p: texts.MISSING_COLUMN.format(path=p, line=1, column="x_mm", columns="Pos_X, Trans",
                                           names=accepted_names("x_mm"))),
    ("utf16-without-byte-order-mark", dict(columns=[X, T1], encoding="utf-16-le"), E,
     lambda p: texts.FILE_NOT_FOUND.format(path=p, reason=texts.NOT_TEXT)),
    ("blank-header-wider-than-data", dict(columns=[X, T1], header=["x", "T", "sigma"],
                                          delimiter=" "), E,
     lambda p: texts.HEADER_WIDTH.format(path=p, line=1, count=3, names="x, T, sigma",
                                         width=2)),
]


@pytest.mark.parametrize("written, options, message", [c[1:] for c in REFUSED],
                         ids=[c[0] for c in REFUSED])
def test_files_that_could_be_misread_are_refused_naming_the_cause(tmp_path, written, options,
                                                                  message):
    path = lab_file(tmp_path, **written)
    with pytest.raises(ValueError) as error:
        zscanfit.load_scans(path, **options)
    assert str(error.value) == message(str(path))


@pytest.mark.parametrize("header, column", [
    (None, "3"), (["x_mm", "T", "sigma"], "3 (sigma)"),
], ids=["plain", "named"])
def test_a_sigma_column_that_looks_like_a_transmittance_warns(tmp_path, header, column):
    path = lab_file(tmp_path, [X, T1, T2], header)
    with pytest.warns(zscanfit.DataWarning) as record:
        data = zscanfit.load_scans(path, **E)
    assert [str(w.message) for w in record] == [
        texts.SIGMA_LIKE_TRANSMITTANCE.format(path=str(path), column=column)]
    assert_scans(data, [(5e-7, T1, T2)])   # read as documented, not guessed
    assert_scans(load_quietly(lab_file(tmp_path, [X, T1, S1], header), **E), [(5e-7, T1, S1)])


def test_columns_of_other_names_are_left_out_with_a_warning(tmp_path):
    path = lab_file(tmp_path, [X, T1, [295.0] * N], ["z(mm)", "T", "Temperature"], "\t")
    with pytest.warns(zscanfit.DataWarning) as record:
        data = zscanfit.load_scans(path, **E)
    assert [str(w.message) for w in record] == [texts.UNUSED_COLUMNS.format(
        path=str(path), line=1, columns="3 (Temperature)", names=all_accepted_names())]
    assert_scans(data, ONE)


@pytest.mark.parametrize("line, decimal, value, uncertainty", [
    ("# w0 = 2e-5 +- 1e-6", ".", [2e-5], (1e-6, False)),
    ("# w0 = 2e-5 ± 1e-6", ".", [2e-5], (1e-6, False)),
    ("# w0 = 2e-5+/-1e-6", ".", [2e-5], (1e-6, False)),
    ("# tau = 4e-9 +- 5 %", ".", [4e-9], (0.05, True)),
    ("# pulse_energy = 4e-7 1e-6 +- 5%", ".", [4e-7, 1e-6], (0.05, True)),
    ("# w0 = 2,5e-5 +- 1,5e-6", ",", [2.5e-5], (1.5e-6, False)),
    ("# populations = 3e17, 0, 0, 0, 0 +- 1e16", ",", [3e17, 0.0, 0.0, 0.0, 0.0], (1e16, False)),
    ("# sample = dye +- solvent", ".", "dye +- solvent", None),
])
def test_settings_keep_their_uncertainty_apart(tmp_path, line, decimal, value, uncertainty):
    path = lab_file(tmp_path, [X, T1, T2], ["x", "T@0.4uJ", "T@1uJ"], ";", decimal, [line])
    data = load_quietly(path)
    key = line[2:].split("=")[0].strip()
    assert data.settings[key] == value
    assert data.uncertainties == ({} if uncertainty is None else {key: uncertainty})


@pytest.mark.parametrize("value", ["2e-5 +- -1e-6", "2e-5 +- 1e-6 +- 2e-6", "2e-5 +- much"])
def test_a_bad_uncertainty_is_refused_naming_the_line(tmp_path, value):
    path = lab_file(tmp_path, [X, T1], before=["# tau = 4e-9", f"# w0 = {value}"])
    with pytest.raises(ValueError) as error:
        zscanfit.load_scans(path, **E)
    assert str(error.value) == texts.BAD_UNCERTAINTY.format(path=str(path), line=2, key="w0",
                                                            value=value)


def test_fit_many_fits_tsv_files_and_names_what_it_skipped(tmp_path):
    """A .tsv file with tabs and decimal commas fits exactly as the same
    scans in the demo layout do."""
    start = batch_cases.start_params()
    spec_pars = [start[name].value for name in zscanfit.PARAMETER_NAMES]
    scans = batch_cases.noisy_scans(41)
    first = write_scan_file(tmp_path / "a.csv", scans, batch_cases.experiment(), spec_pars)
    lines = first.read_text().splitlines()
    (tmp_path / "b.tsv").write_text("\n".join(
        line if line.startswith("#") else line.replace(",", "\t").replace(".", ",")
        for line in lines) + "\n")
    (tmp_path / "notes.md").write_text("not a data file\n")
    (tmp_path / "raw").mkdir()
    done = run_cli("fit-many", tmp_path, "--free", *batch_cases.FREE, "--starts", 1,
                   "--model", "on-axis")
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(done.stdout.splitlines()))
    assert [pathlib.Path(r["file"]).name for r in rows] == ["a.csv", "b.tsv"]
    assert [r["status"] for r in rows] == ["ok", "ok"]
    assert {k: v for k, v in rows[0].items() if k != "file"} == \
        {k: v for k, v in rows[1].items() if k != "file"}
    assert texts.FIT_MANY_SKIPPED.format(count=2, names="notes.md, raw/") in done.stderr


def test_the_documentation_lists_every_accepted_name_and_unit():
    page = (ROOT / "docs" / "fitting.md").read_text()
    section = page[page.index("## Data files"):page.index("## Parameters")]
    quoted = {q.lower() for q in re.findall(r"`([^`]+)`", section)}
    missing = [name for names in ALIASES.values() for name in names if name not in quoted]
    assert missing == []
    for unit in ("um", "µm", "cm", "m", "mj", "uj", "µj", "nj", "pj", "norm.", "a.u.", "rel."):
        assert unit in quoted, unit
    command_line = (ROOT / "docs" / "command-line.md").read_text()
    assert "`.tsv`" in command_line[command_line.index("## zscanfit fit-many"):]
