"""Sphinx extension: runs the documentation's example scripts and commands
before the pages are read, so that the figures and outputs the pages show are
the ones this build made.

Every ``*.py`` in ``generated_examples_scripts`` runs in a child interpreter
(the one running Sphinx) in a scratch folder that holds the repository's
``examples/`` as ``examples``, like the repository root; the figures it writes
(.png, .svg) and its standard output (``<script>.txt``) are copied into
``generated_examples_output``. Each entry of ``generated_examples_commands``
(file name -> interpreter arguments) writes its standard output there too.
A script or command that fails stops the build with its error output.
Files are rewritten only when their content changed, so an unchanged output
does not make Sphinx rebuild the pages that show it. Relies on the standard
library only.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

from sphinx.errors import ExtensionError
from sphinx.util import logging

LOG = logging.getLogger(__name__)
FIGURE_SUFFIXES = (".png", ".svg")
# Generous: the slowest example fits the whole-beam demo data a few times.
TIMEOUT_S = 900


def _environment():
    env = dict(os.environ)
    env["MPLBACKEND"] = "Agg"
    env["COLUMNS"] = "88"          # argparse wraps its help to this width
    env["PYTHONHASHSEED"] = "0"
    env.pop("PYTHONPATH", None)    # the installed package, as the tests use it
    return env


def _run(arguments, cwd, what):
    done = subprocess.run([sys.executable, *arguments], cwd=cwd, env=_environment(),
                          capture_output=True, text=True, timeout=TIMEOUT_S)
    if done.returncode != 0:
        raise ExtensionError(f"{what} failed with status {done.returncode}:\n"
                             f"{done.stderr[-4000:]}")
    return done.stdout


def _store(target, content):
    """Write ``content`` (str or bytes) to ``target`` unless it holds it already."""
    old = target.read_bytes() if target.exists() else None
    data = content.encode() if isinstance(content, str) else content
    if old != data:
        target.write_bytes(data)


def generate(app):
    config = app.config
    scripts = pathlib.Path(config.generated_examples_scripts)
    output = pathlib.Path(config.generated_examples_output)
    output.mkdir(parents=True, exist_ok=True)
    for name, arguments in config.generated_examples_commands.items():
        LOG.info(f"generated_examples: {name}")
        _store(output / name, _run(arguments, output, f"python {' '.join(arguments)}"))
    for script in sorted(scripts.glob("*.py")):
        LOG.info(f"generated_examples: running {script.name}")
        with tempfile.TemporaryDirectory(prefix="zscanfit-docs-") as scratch:
            folder = pathlib.Path(scratch)
            (folder / "examples").symlink_to(pathlib.Path(config.generated_examples_data))
            shutil.copy(script, folder / script.name)
            printed = _run([script.name], folder, f"docs/examples/{script.name}")
            _store(output / f"{script.stem}.txt", printed)
            for figure in sorted(folder.iterdir()):
                if figure.suffix in FIGURE_SUFFIXES:
                    _store(output / figure.name, figure.read_bytes())


def setup(app):
    app.add_config_value("generated_examples_scripts", "examples", "env")
    app.add_config_value("generated_examples_output", "_generated", "env")
    app.add_config_value("generated_examples_data", "../examples", "env")
    app.add_config_value("generated_examples_commands", {}, "env")
    app.connect("builder-inited", generate)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
