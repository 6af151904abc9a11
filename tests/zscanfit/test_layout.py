# The package's layout: its layers import only downward and never in a
# cycle (imports inside functions included), only the door to the compiled
# code reaches zscanfit._core and kesp_wrapper, and the installed package
# works from any folder, the repository root included (the source tree
# lives under src/ and never shadows it). Relies on the installed zscanfit
# and on the standard library's ast.
import ast
import pathlib
import shutil
import subprocess
import sys

import pytest

import zscanfit

from conftest import DEMO_CSV, ROOT, child_env

# Rank of each layer: a module may import the layers ranked below its own,
# and modules of its own layer (the base modules, or its own subpackage). The package's __init__ and __main__
# sit above all.
LAYERS = {"base": 0, "inputs": 1, "evaluation": 2, "fitting": 3, "many": 4, "api": 5, "cli": 6,
          "top": 7}
BASE = {"texts", "warning_types", "_stop", "_native", "_json", "_files", "_version", "_core"}
COMPILED = {"zscanfit._core", "kesp_wrapper"}


def module_names(package_dir, package="zscanfit"):
    """Dotted name -> path of every module of the package in ``package_dir``."""
    names = {}
    for path in sorted(package_dir.rglob("*.py")):
        parts = list(path.relative_to(package_dir).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts = parts[:-1]
        names[".".join([package] + parts)] = path
    return names


def imports_of(name, path, known):
    """Every module ``name`` imports, at any depth of its code, resolved to
    the package's modules where they are the package's (else the top name)."""
    is_package = path.name == "__init__.py"
    tree = ast.parse(path.read_text(), str(path))
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = name.split(".")
                base = base[:len(base) - node.level + (1 if is_package else 0)]
                source = ".".join(base + ([node.module] if node.module else []))
            else:
                source = node.module
            for alias in node.names:
                candidate = f"{source}.{alias.name}"
                found.add(candidate if candidate in known or candidate in COMPILED else source)
    return found


def import_graph(package_dir, package="zscanfit"):
    known = module_names(package_dir, package)
    return {name: imports_of(name, path, known) for name, path in known.items()}


def layer_of(name):
    parts = name.split(".")
    if len(parts) == 1 or parts[1] in ("__main__",):
        return "top"
    return "base" if parts[1] in BASE else parts[1]


def downward_faults(graph, package="zscanfit"):
    faults = []
    for name, targets in graph.items():
        for target in targets:
            if target not in graph or target == name:
                continue
            own, other = layer_of(name), layer_of(target)
            if own != other and own != "top" and LAYERS[other] >= LAYERS[own]:
                faults.append(f"{name} ({own}) imports {target} ({other})")
    return faults


def cycles(graph):
    """The import cycles among the package's modules (each as a list)."""
    found, state, stack = [], {}, []

    def visit(name):
        state[name] = "open"
        stack.append(name)
        for target in sorted(graph[name]):
            if target not in graph or target == name:
                continue
            if state.get(target) == "open":
                found.append(stack[stack.index(target):] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name)
    return found


def package_dir():
    return pathlib.Path(zscanfit.__file__).resolve().parent


def test_layers_import_only_downward_and_never_in_a_cycle():
    graph = import_graph(package_dir())
    assert "zscanfit.fitting.single" in graph and "zscanfit.cli.main" in graph
    assert downward_faults(graph) == []
    assert cycles(graph) == []


def test_only_the_native_door_imports_the_compiled_code():
    graph = import_graph(package_dir())
    reaching = sorted(name for name, targets in graph.items() if targets & COMPILED)
    assert reaching == ["zscanfit._native"]


def test_the_checks_see_imports_inside_functions(tmp_path):
    # A cycle closed by an import inside a function, and an upward import
    # of the same kind: both must be found.
    pkg = tmp_path / "zscanfit"
    for sub in ("fitting", "many"):
        (pkg / sub).mkdir(parents=True)
        (pkg / sub / "__init__.py").write_text("")
    (pkg / "__init__.py").write_text("")
    (pkg / "fitting" / "a.py").write_text("def f():\n    from ..many import b\n")
    (pkg / "many" / "b.py").write_text("from ..fitting.a import f\n")
    graph = import_graph(pkg)
    assert graph["zscanfit.fitting.a"] == {"zscanfit.many.b"}
    assert downward_faults(graph) == ["zscanfit.fitting.a (fitting) imports zscanfit.many.b (many)"]
    assert cycles(graph) == [["zscanfit.fitting.a", "zscanfit.many.b", "zscanfit.fitting.a"]]


def run_here(command, cwd):
    return subprocess.run(command, capture_output=True, text=True, env=child_env(), cwd=cwd,
                          timeout=300)


FIT_ARGS = ["fit", str(DEMO_CSV.relative_to(ROOT)), "--free", "sigma_0", "--starts", "1",
            "--set", "t_slices=2", "--set", "z_slices=2"]


@pytest.mark.parametrize("where", ["root", "elsewhere"])
def test_the_installed_package_works_from_any_folder(where, tmp_path):
    cwd = ROOT if where == "root" else tmp_path
    if where == "elsewhere":
        shutil.copy(DEMO_CSV, tmp_path / "examples_demo.csv")
        args = [a if a != FIT_ARGS[1] else "examples_demo.csv" for a in FIT_ARGS]
    else:
        args = FIT_ARGS
    imported = run_here([sys.executable, "-c", "import zscanfit; print(zscanfit.__file__, "
                         "zscanfit.__version__)"], cwd)
    assert imported.returncode == 0, imported.stderr
    location, version = imported.stdout.split()
    assert pathlib.Path(location).resolve().parent == package_dir()
    assert version == zscanfit.__version__
    done = run_here([sys.executable, "-m", "zscanfit", *args], cwd)
    assert done.returncode == 0, done.stderr
    assert "[[Variables]]" in done.stdout and "sigma_0:" in done.stdout
    script = pathlib.Path(sys.executable).with_name("zscanfit")
    by_script = run_here([str(script), *args], cwd)
    assert by_script.returncode == 0, by_script.stderr
    assert by_script.stdout == done.stdout


def test_one_version_for_the_distribution_and_the_package():
    from importlib import metadata
    assert zscanfit.__version__ == metadata.version("kesp_wrapper")
    assert zscanfit.__version__ in (ROOT / "pyproject.toml").read_text()
