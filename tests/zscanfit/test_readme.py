# The README's Python examples run as written, from a folder that holds the
# repository's examples/ as the README's relative paths expect: each block
# in a child interpreter, and each must finish without an error. The two
# blocks that need what a test cannot give (a cluster of worker processes
# started under __main__, and fit_zscan's own arrays) are named and left
# out. Relies on the installed zscanfit and kesp_wrapper.
import re
import subprocess
import sys

import pytest

from conftest import ROOT, child_env

LEFT_OUT = ("LocalCluster(", "kesp_wrapper.fit_zscan(")


def readme_blocks():
    text = (ROOT / "README.md").read_text()
    blocks = []
    for match in re.finditer(r"```python\n(.*?)```", text, re.S):
        line = text[:match.start()].count("\n") + 1
        if not any(marker in match.group(1) for marker in LEFT_OUT):
            blocks.append(pytest.param(match.group(1), id=f"line-{line}"))
    return blocks


def test_the_readme_has_examples_to_run():
    assert len(readme_blocks()) >= 3


@pytest.mark.parametrize("code", readme_blocks())
def test_a_readme_example_runs_as_written(code, tmp_path):
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True,
                          text=True, env=child_env(), cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
