# Sphinx configuration of the zscanfit documentation: narrative pages in
# Markdown (MyST), the API reference from the NumPy-style docstrings
# (autodoc and numpydoc), and the examples' figures and outputs made afresh
# by every build (_ext/generated_examples.py). Nothing is downloaded, while
# building or reading: no intersphinx, a theme that ships with Sphinx, and
# equations written in Unicode rather than set by MathJax from the network.
import pathlib
import sys

DOCS = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

import zscanfit  # noqa: E402  (the installed package, as the tests use it)

project = "zscanfit"
author = "the zscanfit developers"
copyright = "the zscanfit developers"
version = release = zscanfit.__version__

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "numpydoc",
    "generated_examples",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
# Blocks without a language (shell lines, outputs, equations) are shown as
# they are.
highlight_language = "none"
exclude_patterns = ["_build", "README.md", "examples"]
language = "en"

# Markdown: headings up to level 3 get anchors for links like page.md#anchor.
myst_heading_anchors = 3

# The API reference: members in the order of the source, type hints in the
# signatures only (the docstrings state the types in words), and the classes'
# members documented by autodoc rather than listed again by numpydoc.
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
python_use_unqualified_type_names = True
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

# What the build generates: each example script runs in a scratch folder
# beside the repository's examples/, its figures and printed output land in
# _generated/, as do the command line's help texts.
generated_examples_scripts = str(DOCS / "examples")
generated_examples_output = str(DOCS / "_generated")
generated_examples_data = str(DOCS.parent / "examples")
generated_examples_commands = {
    "zscanfit-help.txt": ["-m", "zscanfit", "--help"],
    "zscanfit-fit-help.txt": ["-m", "zscanfit", "fit", "--help"],
    "zscanfit-fit-many-help.txt": ["-m", "zscanfit", "fit-many", "--help"],
}

html_theme = "alabaster"
html_title = f"zscanfit {release}"
html_theme_options = {"description": "open-aperture z-scan fitting", "page_width": "1100px",
                      "sidebar_width": "250px"}
html_sidebars = {"**": ["about.html", "navigation.html", "relations.html", "searchbox.html"]}
html_static_path = []
