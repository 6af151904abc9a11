# Builds of the module for different CPython versions give the same whole
# fit, bit for bit. Compares the fit of the module under test with the same
# fit run by every other interpreter whose environment holds a build: those
# named in KESP_PYTHONS (executables separated by os.pathsep), or else the
# project's environments .venv and .venv-3.* (see scripts/python-versions.sh).
# Relies on fit_fingerprint.py; runs the other interpreters as subprocesses.
import json
import os
import pathlib
import subprocess
import sys

import pytest

from fit_fingerprint import NOT_INSTALLED, RESULT_KEYS, fingerprint

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = pathlib.Path(__file__).with_name("fit_fingerprint.py")
# The oldest and the newest supported version must both take part.
HOLDOUT_PAIR = ("3.9", "3.13")


def other_interpreters():
    named = os.environ.get("KESP_PYTHONS")
    if named:
        candidates = [pathlib.Path(p) for p in named.split(os.pathsep) if p]
    else:
        candidates = [ROOT / ".venv" / "bin" / "python",
                      *sorted(ROOT.glob(".venv-3.*/bin/python"))]
    mine = pathlib.Path(sys.executable).absolute()
    return [c for c in candidates if c.exists() and c.absolute() != mine]


def run_fingerprint(python, tmp_path):
    # The other interpreter finds its own build: no search path or preloaded
    # library of this run is passed on.
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "LD_PRELOAD")}
    completed = subprocess.run([str(python), str(SCRIPT)], cwd=tmp_path, env=env,
                               capture_output=True, text=True, timeout=600)
    if completed.returncode == NOT_INSTALLED:
        return None
    assert completed.returncode == 0, f"{python}: {completed.stderr}"
    # The integrator may have written messages before the result line.
    return json.loads(completed.stdout.strip().splitlines()[-1])


def test_whole_fit_is_the_same_on_every_interpreter_version(tmp_path):
    mine = fingerprint()
    results = {mine["python"]: mine}
    for python in other_interpreters():
        result = run_fingerprint(python, tmp_path)
        if result is not None:
            results.setdefault(result["python"], result)
    missing = [v for v in HOLDOUT_PAIR if v not in results]
    if missing:
        pytest.skip(f"no build of kesp_wrapper for CPython {', '.join(missing)} "
                    "(make test provides both)")
    for version, result in results.items():
        for key in RESULT_KEYS:
            assert result[key] == mine[key], (
                f"{key} differs between CPython {version} ({result['module']}) "
                f"and {mine['python']} ({mine['module']})")
