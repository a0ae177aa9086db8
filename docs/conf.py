"""The documentation site, built by ./scripts/docs with warnings as errors:
the guides and the formats are Markdown (MyST), the API reference comes
from the docstrings of the installed seqtally_tools, the command reference
from the command's own parser, and every example on a page runs as a
doctest in a folder of the bundled examples; the service's routes come
from the OpenAPI document it serves."""
import re
import sys
from importlib import metadata
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "seqtally"
author = "The seqtally developers"
copyright = "the seqtally developers"
release = metadata.version("seqtally")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "command_reference",
    "route_table",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
# The three Markdown files of docs/ that are read in the repository too are
# pages of the site by inclusion (performance.md, reliability.md, map.md),
# never twice; plot_gc_track.py only draws a figure.
exclude_patterns = ["_build", "_ext", "PERFORMANCE.md", "RELIABILITY.md", "ARCHITECTURE.md"]
myst_enable_extensions = ["colon_fence"]
# Headings become anchors that pages link to (formats.md#wiggle).
myst_heading_anchors = 3
# Options and quotes stay as typed: `--jobs`, not an en dash.
smartquotes = False

html_theme = "alabaster"
html_title = f"seqtally {release}"
html_theme_options = {"description": "FASTA checksums, reference identity, tracks and a refget service",
                      "fixed_sidebar": True, "page_width": "1200px"}
html_static_path: list[str] = []

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
# Docstrings name values with single backquotes, as code.
default_role = "code"


def _field_docs(app, what, name, obj, options, lines):
    # A named tuple's field gets "Alias for field number N" from
    # collections; the class's own text says what each field is.
    if lines and re.fullmatch(r"Alias for field number \d+", " ".join(lines).strip()):
        lines[:] = []


def setup(app):
    app.connect("autodoc-process-docstring", _field_docs)


# Every page's examples run in a fresh folder holding the bundled examples
# and a reader's usual files; no network.
doctest_global_setup = """
import os as _os, tempfile as _tempfile
from pathlib import Path as _Path
import reader_folder as _reader_folder
_home = _os.getcwd()
_os.chdir(_reader_folder.fill(_Path(_tempfile.mkdtemp(prefix="seqtally-docs-"))))
"""
doctest_global_cleanup = """
import shutil as _shutil
_here = _os.getcwd()
_os.chdir(_home)
_shutil.rmtree(_here, ignore_errors=True)
"""
