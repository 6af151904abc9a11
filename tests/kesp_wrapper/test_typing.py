# The installed type information of kesp_wrapper as a user's type checker
# sees it: mypy --strict finds the stub package kesp_wrapper-stubs beside the
# module without any configuration, accepts a correct call and rejects a
# list where an array belongs. Relies on mypy in the test environment and on
# the module installed in this interpreter's search path.
import os
import re
import subprocess
import sys
import textwrap

# Every array built with an explicit float64 type: NumPy 2.2's own type
# information gives np.linspace without one a looser element type.
CORRECT_CALL = textwrap.dedent("""
    import numpy as np
    import kesp_wrapper

    x = np.linspace(-20.0, 20.0, 11, dtype=np.float64)
    residuals, error, fitted = kesp_wrapper.fit_zscan(
        X_DATA, 1.0 - 0.1 * np.exp(-(x / 8.0) ** 2), np.array([3e17, 0.0, 0.0, 0.0, 0.0]),
        2, 2, 0.1, 4e-9, 5.32e-7, 2e-5, 1.0, np.array([1e-6]),
        np.array([1e-17, 4e-17, 0.0, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12]),
        np.array([7], dtype=np.int32), 11, 1, is_sa=False, n_starts=3)
    total: float = error + float(residuals.sum()) + float(fitted[0])
    """)


def test_mypy_strict_accepts_a_correct_call_and_rejects_a_list(tmp_path):
    (tmp_path / "correct.py").write_text(CORRECT_CALL.replace("X_DATA", "x"))
    (tmp_path / "with_list.py").write_text(
        CORRECT_CALL.replace("X_DATA", "[float(v) for v in x]"))
    # mypy is not ours to run under the sanitizers of a sanitized test run.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "correct.py", "with_list.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    lines = completed.stdout.splitlines()
    assert completed.returncode == 1, completed.stdout + completed.stderr
    errors = [line for line in lines if ": error:" in line]
    assert len(errors) == 1, completed.stdout
    assert re.fullmatch(r'with_list\.py:\d+: error: Argument 1 to "fit_zscan" has '
                        r'incompatible type "list\[float\]"; expected "ndarray\[.*float.*\]"'
                        r'  \[arg-type\]', errors[0]), errors[0]
