"""Sphinx configuration of vindral's documentation site.

Built by ``./scripts/docs`` (and the docs stage of ``./scripts/test``, with
warnings as errors and every cross-reference resolved) and by Read the Docs.
"""

import pathlib
import sys

import tomllib

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import vindral_docs  # noqa: E402

project = "vindral"
author = "The vindral developers"
copyright = f"2026, {author}"
release = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.intersphinx",
    "sphinx.ext.napoleon",
    "autoapi.extension",
    "sphinx_gallery.gen_gallery",
    "sphinx_copybutton",
    "sphinx_design",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3
nitpicky = True

# The API reference is read from the type stubs that the wheel ships, so the
# pages say what an editor's hover says, laid out under the modules' names.
autoapi_dirs = [str(vindral_docs.stub_packages())]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_options = ["members", "undoc-members", "show-module-summary"]
autoapi_python_class_content = "class"
napoleon_google_docstring = True
napoleon_numpy_docstring = False

# The Python documentation's inventory comes from Debian's python3.11-doc
# where it is installed (the build machine reaches no other site); elsewhere
# (Read the Docs) from docs.python.org itself. numpy publishes no inventory
# that the build machine can reach, so the one numpy name of the reference,
# the ufuncs' type, stays plain text on every build alike.
python_inventory = pathlib.Path("/usr/share/doc/python3.11/html/objects.inv")
intersphinx_mapping = {
    "python": (
        "https://docs.python.org/3",
        str(python_inventory) if python_inventory.exists() else None,
    ),
}
nitpick_ignore = [("py:class", "numpy.ufunc")]

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "gallery",
    # Every example but wind_climate.py, the module they share.
    "filename_pattern": r"/(annual_energy|site_grid)\.py$",
    "ignore_pattern": r"wind_climate\.py$",
    "reset_argv": "vindral_docs.example_arguments",
    "download_all_examples": False,
}

html_theme = "pydata_sphinx_theme"
html_title = f"vindral {release}"
html_static_path = ["_static"]
html_favicon = "_static/vindral.svg"
html_logo = "_static/vindral.svg"
html_theme_options = {
    "logo": {"text": "vindral"},
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version", "theme-version"],
    "secondary_sidebar_items": ["page-toc"],
}
html_context = {"default_mode": "light"}
html_show_sourcelink = False


def setup(app):
    app.connect("autoapi-skip-member", vindral_docs.show_public_names)
