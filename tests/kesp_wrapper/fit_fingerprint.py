"""A whole fit of the bundled demo data, reduced to the exact bytes of its result.

Both pulse energies of examples/demo_rsa.csv, sigma_0 and sigma_1 free from a
guess 1.5 times the truth, three starts; 4 time slices and 4 slabs instead of
the file's 10 keep it to about a second. Builds of kesp_wrapper for different
interpreters, or installed from a wheel, must agree on every byte.

Run as a script with any interpreter that can import kesp_wrapper (it needs
only NumPy besides), it prints the fingerprint as one JSON line; it exits with
status NOT_INSTALLED when that interpreter has no kesp_wrapper.
"""
import json
import pathlib
import sys

import numpy as np

DEMO_CSV = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo_rsa.csv"


def read_demo(path=DEMO_CSV):
    """The '# key = value' settings and the columns of the demo file."""
    settings, rows = {}, []
    for line in path.read_text().splitlines():
        if line.startswith("#"):
            if "=" in line:
                key, value = line[1:].split("=", 1)
                settings[key.strip()] = [float(v) for v in value.split()]
        elif line and not line.startswith("dataset"):
            rows.append([float(v) for v in line.split(",")])
    return settings, np.array(rows)


def whole_fit():
    import kesp_wrapper

    settings, rows = read_demo()
    datasets = np.unique(rows[:, 0])
    energies = np.array([rows[rows[:, 0] == d][0, 1] for d in datasets])
    guess = np.array(settings["spec_pars"])
    guess[[0, 1]] *= 1.5
    residuals, error, fitted = kesp_wrapper.fit_zscan(
        np.ascontiguousarray(rows[:, 2]), np.ascontiguousarray(rows[:, 3]),
        np.array(settings["populations"]), 4, 4, settings["sample_width"][0],
        settings["tau"][0], settings["wavelength"][0], settings["w0"][0], settings["M2"][0],
        energies, guess, np.array([0, 1], dtype=np.int32), len(rows) // len(datasets),
        len(datasets), is_sa=False, n_starts=3)
    return residuals, error, fitted


def fingerprint():
    """The fit's residuals, error and fitted values as hexadecimal bytes, with
    the interpreter and module that made them."""
    import kesp_wrapper

    residuals, error, fitted = whole_fit()
    return {
        "residuals": residuals.tobytes().hex(),
        "error": float(error).hex(),
        "spec_pars": fitted.tobytes().hex(),
        "python": "%d.%d" % sys.version_info[:2],
        "module": kesp_wrapper.__file__,
    }


RESULT_KEYS = ("residuals", "error", "spec_pars")
NOT_INSTALLED = 3

if __name__ == "__main__":
    try:
        import kesp_wrapper  # noqa: F401
    except ModuleNotFoundError as error:
        if error.name != "kesp_wrapper":
            raise
        sys.exit(NOT_INSTALLED)
    print(json.dumps(fingerprint()))
