"""The site's own build steps: the stubs as packages, the examples' arguments."""

import os
import pathlib
import shutil

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "docs"


def stub_packages():
    """The shipped stubs laid out under their modules' names, for AutoAPI.

    The wheel ships them as stub-only packages (``vindral-stubs``), the
    layout type checkers look for; AutoAPI names a module after its folder.
    Returns the folder that holds the copies.
    """
    target = BUILD / "stub-packages"
    shutil.rmtree(target, ignore_errors=True)
    for stubs in sorted((ROOT / "stubs").glob("*-stubs")):
        module = target / stubs.name.removesuffix("-stubs")
        module.mkdir(parents=True)
        shutil.copy2(stubs / "__init__.pyi", module / "__init__.pyi")
    return target


def example_arguments(gallery_conf, script_vars):
    """What the gallery runs each example with: its files go to the build folder.

    The path is relative to the examples' folder, where the gallery runs
    them, so that what they print names no machine's folders.
    """
    return ["--out", os.path.relpath(BUILD / "example-output", ROOT / "examples")]


def show_public_names(app, what, name, obj, skip, options):
    """Documents a module's public names that ``__all__`` leaves out.

    ``__all__`` says what a star import takes (the functions), not all that a
    module offers: ``vindral_ufunc.loop`` is public too. Imported names and
    private ones stay out.
    """
    public = not obj.short_name.startswith("_") and not obj.imported
    if skip and what == "data" and public and obj.docstring:
        return False
    return None
