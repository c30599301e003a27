"""The installed artefact: one stable-ABI shared object with a single export."""

import importlib.metadata
import pathlib
import shutil
import subprocess

import pytest

import vindral

SHARED_OBJECT = pathlib.Path(vindral.__file__)


def test_module_is_a_stable_abi_shared_object():
    assert SHARED_OBJECT.name == "vindral.abi3.so"


def test_wheel_is_tagged_for_every_cpython_from_3_9():
    wheel = importlib.metadata.distribution("vindral").read_text("WHEEL")
    tags = [line.split(": ", 1)[1] for line in wheel.splitlines() if line.startswith("Tag: ")]
    assert tags and all(tag.startswith("cp39-abi3-") for tag in tags)


def _tool_output(*command):
    if shutil.which(command[0]) is None:
        pytest.skip(f"{command[0]} is not installed")
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def test_only_the_initialisation_function_is_exported():
    output = _tool_output("nm", "-D", "--defined-only", str(SHARED_OBJECT))
    assert [line.split()[-1] for line in output.splitlines()] == ["PyInit_vindral"]


def test_libpython_is_not_linked():
    output = _tool_output("readelf", "-d", str(SHARED_OBJECT))
    needed = [line for line in output.splitlines() if "(NEEDED)" in line]
    assert needed and not any("libpython" in line for line in needed)
