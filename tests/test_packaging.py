"""The installed artefact: one stable-ABI shared object with a single export."""

import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile

import pytest

import vindral
from conftest import FREE_THREADED, PYPY, elf_only

SHARED_OBJECT = pathlib.Path(vindral.__file__)
# The array module loads without numpy's help only as a file; find it so.
UFUNC_OBJECT = SHARED_OBJECT.with_name(SHARED_OBJECT.name.replace("vindral", "vindral_ufunc", 1))
MODULES = pytest.mark.parametrize(
    "module, shared_object", [("vindral", SHARED_OBJECT), ("vindral_ufunc", UFUNC_OBJECT)]
)


no_stable_abi = pytest.mark.skipif(
    PYPY or FREE_THREADED,
    reason="no stable ABI here (PyPy, or free-threaded CPython before 3.15): "
    "its wheel serves this interpreter alone",
)


@elf_only
@no_stable_abi
def test_module_is_a_stable_abi_shared_object():
    assert SHARED_OBJECT.name == "vindral.abi3.so"


@no_stable_abi
def test_wheel_is_tagged_for_every_cpython_from_3_9():
    wheel = importlib.metadata.distribution("vindral").read_text("WHEEL")
    tags = [line.split(": ", 1)[1] for line in wheel.splitlines() if line.startswith("Tag: ")]
    assert tags and all(tag.startswith("cp39-abi3-") for tag in tags)


def _tool_output(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


@elf_only
@MODULES
def test_only_the_initialisation_function_is_exported(module, shared_object):
    output = _tool_output("nm", "-D", "--defined-only", str(shared_object))
    assert [line.split()[-1] for line in output.splitlines()] == [f"PyInit_{module}"]


@elf_only
@MODULES
def test_no_static_destructor_is_registered(module, shared_object):
    # exit() would run it while daemon threads may still be inside a call.
    output = _tool_output("nm", "-D", "--undefined-only", str(shared_object))
    imported = {line.split()[-1].split("@")[0] for line in output.splitlines()}
    assert not imported & {
        "__cxa_atexit",
        "atexit",
        "__cxa_thread_atexit",
        "__cxa_thread_atexit_impl",
    }


@elf_only
@MODULES
def test_neither_libpython_nor_a_shared_libcxx_is_linked(module, shared_object):
    output = _tool_output("readelf", "-d", str(shared_object))
    needed = [line for line in output.splitlines() if "(NEEDED)" in line]
    # A shared libc++ would bring a second unwinder into the process.
    assert needed and not any("libpython" in line or "libc++" in line for line in needed)


@elf_only
@MODULES
def test_relocations_are_read_only_and_the_stack_cannot_execute(module, shared_object):
    dynamic = _tool_output("readelf", "-d", str(shared_object))
    segments = _tool_output("readelf", "-lW", str(shared_object))
    assert "BIND_NOW" in dynamic and "GNU_RELRO" in segments
    stack = next(line for line in segments.splitlines() if "GNU_STACK" in line)
    assert "E" not in stack.split()[-2]  # the flags column: RW, never RWE


def test_wheel_holds_the_module_and_its_stubs_and_nothing_for_testing():
    files = {str(path) for path in importlib.metadata.files("vindral")}
    assert {SHARED_OBJECT.name, UFUNC_OBJECT.name} <= files
    assert {"vindral-stubs/__init__.pyi", "vindral_ufunc-stubs/__init__.pyi"} <= files
    assert not [name for name in files if "testing" in name or "failing_init" in name]


def test_metadata_describes_the_project():
    metadata = importlib.metadata.metadata("vindral")
    assert metadata["Requires-Python"] == ">=3.9"
    assert "Weibull" in metadata["Summary"]
    classifiers = metadata.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    assert metadata["License-Expression"] == "MIT"


@pytest.mark.skipif("VINDRAL_SDIST" not in os.environ, reason="scripts/test builds the sdist")
def test_source_distribution_builds_vindral_and_nothing_else():
    with tarfile.open(os.environ["VINDRAL_SDIST"]) as sdist:
        names = [name.split("/", 1)[1] for name in sdist.getnames() if "/" in name]
    assert "src/lib.cpp" in names and "CMakeLists.txt" in names and "LICENSE" in names
    assert not [name for name in names if name.startswith(("tests", "benchmarks", "scripts"))]


@pytest.mark.skipif(
    not FREE_THREADED or "VINDRAL_ABI3_MODULES" not in os.environ,
    reason="needs a free-threaded interpreter and the stable-ABI modules (scripts/test)",
)
@pytest.mark.parametrize("module", ["vindral", "vindral_ufunc"])
def test_the_stable_abi_modules_refuse_a_free_threaded_interpreter(module):
    # CPython 3.14t loads .abi3.so files, whose code reads objects by another
    # layout: the import must fail before any object is touched.
    abi3 = os.environ["VINDRAL_ABI3_MODULES"]
    result = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path.insert(0, {abi3!r}); import {module}"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1, result.stderr
    assert result.stderr.splitlines()[-1].startswith(
        "ImportError: this build of vindral uses CPython's stable ABI (abi3), "
        "which a free-threaded interpreter cannot load"
    )
