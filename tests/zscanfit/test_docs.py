# The documentation's examples run as written, and the documentation covers
# the package. Each example runs in a child interpreter from a folder that
# holds the repository's examples/, as the pages' relative paths expect
# (they are written for the repository root): every ```python block of the
# pages and of the README. The scripts of docs/examples/ run in the build
# (make docs, part of make test), which fails when one fails; here they are
# only checked to exist. A fragment that cannot run
# on its own is a ```{code-block} python directive in the pages; the
# README's blocks that need what a test cannot give (a cluster of worker
# processes started under __main__, fit_zscan's own arrays) are named and
# left out. Relies on the installed zscanfit and kesp_wrapper.
import re
import subprocess
import sys

import pytest

import zscanfit
from conftest import ROOT, child_env

DOCS = ROOT / "docs"
LEFT_OUT = ("LocalCluster(", "kesp_wrapper.fit_zscan(")
# Links of the README to files of the repository: [text](relative/path#anchor).
RELATIVE_LINK = re.compile(r"\]\((?!https?:|#)([^)#\s]+)(?:#[^)\s]*)?\)")


def python_blocks(path):
    text = path.read_text()
    for match in re.finditer(r"```python\n(.*?)```", text, re.S):
        line = text[:match.start()].count("\n") + 1
        if not any(marker in match.group(1) for marker in LEFT_OUT):
            yield pytest.param(match.group(1), id=f"{path.relative_to(ROOT)}:{line}")


def documentation_examples():
    examples = []
    for page in [ROOT / "README.md", *sorted(DOCS.glob("*.md"))]:
        examples.extend(python_blocks(page))
    return examples


def test_the_documentation_has_examples_to_run():
    names = [param.id for param in documentation_examples()]
    assert len(names) >= 1
    assert any(name.startswith("README.md:") for name in names)
    assert len(list((DOCS / "examples").glob("*.py"))) >= 5


@pytest.mark.parametrize("code", documentation_examples())
def test_a_documentation_example_runs_as_written(code, tmp_path):
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True,
                          text=True, env=child_env(), cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]


def test_the_api_reference_documents_every_public_name():
    reference = (DOCS / "api.md").read_text()
    documented = set(re.findall(r"^\.\. auto\w+:: zscanfit\.(\w+)\s*$", reference, re.M))
    documented |= set(re.findall(r"^```\{py:\w+\} zscanfit\.(\w+)\s*$", reference, re.M))
    assert sorted(set(zscanfit.__all__) - documented) == []


def test_the_readme_links_only_to_files_that_exist():
    links = RELATIVE_LINK.findall((ROOT / "README.md").read_text())
    assert any(link.startswith("docs/") for link in links)
    assert [link for link in links if not (ROOT / link).exists()] == []
