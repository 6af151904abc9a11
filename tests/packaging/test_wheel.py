# The wheels in dist/ are self-contained: each installs with plain pip into a
# fresh virtual environment of its CPython version that holds nothing but
# NumPy, every compiled module in it loads its libraries from inside the
# installation or among the system libraries every Linux has, and a whole fit
# loads MINPACK and the Fortran runtime from the wheel and gives the
# development build's result bit for bit.
#
# Where the test may make a private mount namespace (as root), the system's
# MINPACK, Fortran runtime and quad-precision library are also hidden from
# the installed wheel's processes (an empty file is mounted over each), so
# that nothing can fall back on them; the mapped files of the fitting process
# are checked either way. Relies on scripts/build-wheels.sh having filled
# dist/ (DIST_DIR to look elsewhere), scripts/find-python.sh, ldd, and
# tests/kesp_wrapper/fit_fingerprint.py with the development build importable here.
import json
import os
import pathlib
import shutil
import subprocess
import sys
import warnings
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIST = pathlib.Path(os.environ.get("DIST_DIR", ROOT / "dist"))
FINGERPRINT = ROOT / "tests" / "kesp_wrapper" / "fit_fingerprint.py"
sys.path.insert(0, str(FINGERPRINT.parent))
from fit_fingerprint import RESULT_KEYS, fingerprint  # noqa: E402

VERSIONS = ("3.9", "3.10", "3.11", "3.12", "3.13")
# The libraries the wheel must carry, and those every Linux system provides
# (the manylinux policies' base set that the module uses).
BUNDLED = ("libminpack", "libgfortran", "libquadmath", "libkesp_core")
SYSTEM = ("linux-vdso.so", "ld-linux-x86-64.so", "libc.so", "libm.so", "libpthread.so",
          "libdl.so", "librt.so", "libgcc_s.so", "libstdc++.so")
HIDDEN_SONAMES = ("libminpack.so.1", "libgfortran.so.5", "libquadmath.so.0")

# Run in the installed wheel's environment: the fit and the libraries the
# process mapped for it.
PROBE = """
import json, runpy, sys
result = runpy.run_path(sys.argv[1])["fingerprint"]()
with open("/proc/self/maps") as maps:
    mapped = sorted({line.split(None, 5)[5].strip() for line in maps
                     if len(line.split(None, 5)) == 6 and ".so" in line})
result["mapped"] = mapped
print(json.dumps(result))
"""


def run(command, **kwargs):
    completed = subprocess.run(command, capture_output=True, text=True, timeout=900, **kwargs)
    assert completed.returncode == 0, f"{command}:\n{completed.stdout}\n{completed.stderr}"
    return completed.stdout


def system_copies():
    """Real paths of the system's copies of the libraries the wheel bundles."""
    listing = run(["/sbin/ldconfig", "-p"])
    paths = set()
    for line in listing.splitlines():
        name, _, path = line.strip().partition(" => ")
        if name.split(" ")[0] in HIDDEN_SONAMES:
            paths.add(os.path.realpath(path))
    return sorted(paths)


# sh -c HIDE N PATH1 .. PATHN COMMAND...: mounts an empty file over each path,
# then runs the command (the mounts exist in that namespace only).
HIDE = ('n=$0; for f in "$@"; do [ "$n" -gt 0 ] || break; '
        'mount --bind /dev/null "$f" || exit 1; n=$((n-1)); done; shift "$0"; exec "$@"')


def hiding_prefix():
    """A command prefix that runs its command with the system copies hidden,
    or [] where no private mount namespace can be made."""
    copies = system_copies()
    prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c", HIDE,
              str(len(copies)), *copies]
    if shutil.which("unshare") is None:
        return []
    probe = subprocess.run([*prefix, "sh", "-c", 'for f in "$@"; do [ ! -s "$f" ] || exit 1; done',
                            "probe", *copies], capture_output=True)
    return prefix if probe.returncode == 0 else []


@pytest.fixture(scope="module")
def expected():
    """The development build's fit, made by the interpreter running the tests."""
    return fingerprint()


@pytest.fixture(scope="module")
def hidden():
    prefix = hiding_prefix()
    if not prefix:
        warnings.warn("no private mount namespace: the system's MINPACK stays visible; "
                      "only the libraries mapped by the fit are checked")
    return prefix


def wheel_for(version):
    tag = "cp" + version.replace(".", "")
    wheels = sorted(DIST.glob(f"kesp_wrapper-*-{tag}-{tag}-manylinux*.whl"))
    if not wheels:
        pytest.skip(f"no repaired wheel for CPython {version} in {DIST} (make wheel)")
    assert len(wheels) == 1, wheels
    return wheels[0]


def fresh_environment(version, where):
    """A virtual environment of `version` with NumPy only."""
    found = subprocess.run([str(ROOT / "scripts" / "find-python.sh"), version],
                           capture_output=True, text=True)
    if found.returncode != 0:
        pytest.skip(f"CPython {version} not found")
    run([found.stdout.strip(), "-m", "venv", str(where)])
    python = where / "bin" / "python"
    run([str(python), "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
         "numpy>=2,<3"])
    return python


def extension_modules(site, wheel):
    """The wheel's compiled modules; ldd of each shows the whole tree of
    libraries it loads, with the run paths as the loader follows them."""
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    modules = [site / name for name in names if name.endswith(".so") and "/" not in
               name.replace("zscanfit/", "")]
    assert len(modules) == 2 and all(m.read_bytes()[:4] == b"\x7fELF" for m in modules), names
    return modules


def resolved_libraries(ldd_output):
    """(name, path) for every library in ldd's output; path None when it was
    not found or is the kernel's virtual library."""
    for line in ldd_output.splitlines():
        name, arrow, rest = line.strip().partition(" => ")
        if arrow:
            path = rest.split(" (")[0].strip()
            yield name, None if path == "not found" else path
        else:
            token = name.split(" (")[0]
            yield pathlib.PurePath(token).name, token if token.startswith("/") else None


@pytest.mark.parametrize("version", VERSIONS)
def test_wheel_installs_alone_and_fits_like_the_development_build(
        version, tmp_path, expected, hidden):
    wheel = wheel_for(version)
    python = fresh_environment(version, tmp_path / "venv")
    # Its only declared dependency besides NumPy is lmfit, for zscanfit.
    run([str(python), "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
         "--no-deps", str(wheel)])
    site = pathlib.Path(run([str(python), "-c", "import sysconfig; "
                             "print(sysconfig.get_paths()['purelib'])"]).strip())
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "LD_PRELOAD", "LD_LIBRARY_PATH")}

    for elf in extension_modules(site, wheel):
        for name, path in resolved_libraries(run([*hidden, "ldd", str(elf)], env=env)):
            assert path is not None or name.startswith("linux-vdso.so"), (
                f"{elf.name}: {name} not found")
            assert path is None or path.startswith(str(site)) or name.startswith(SYSTEM), (
                f"{elf.name} needs {name} from {path}")

    result = json.loads(run([*hidden, str(python), "-c", PROBE, str(FINGERPRINT)],
                            env=env, cwd=tmp_path).strip().splitlines()[-1])
    assert result["module"].startswith(str(site)), result["module"]
    libs = site / "kesp_wrapper.libs"
    for library in BUNDLED:
        mapped = [m for m in result["mapped"] if pathlib.PurePath(m).name.startswith(library)]
        # NumPy's wheel brings its own Fortran runtime; no copy of the system's.
        assert any(m.startswith(str(libs) + "/") for m in mapped), (library, mapped)
        assert all(m.startswith(str(site) + "/") for m in mapped), (library, mapped)
    for key in RESULT_KEYS:
        assert result[key] == expected[key], f"{key} differs from the development build"
