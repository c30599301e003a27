"""The shipped stubs: they match the module, and a strict type checker uses them."""

import ast
import importlib
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import not_on_pypy

HERE = pathlib.Path(__file__).resolve().parent

pytestmark = [
    pytest.mark.long,
    not_on_pypy("cannot run mypy: its standard library has no _symtable"),
    pytest.mark.skipif(
        os.environ.get("VINDRAL_SANITIZED") == "1",
        reason="type checks do not involve native code; the other runs cover them",
    ),
]


def mypy(*args, cwd):
    pytest.importorskip("mypy")
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=300
    )


def test_stubs_match_the_installed_modules(tmp_path):
    # The array module's stubs name numpy's types: checked where numpy is.
    modules = ["vindral"] + (["vindral_ufunc"] if importlib.util.find_spec("numpy") else [])
    # Before numpy 2.1, wbl_bins is a function that runs the generalized
    # ufunc that the stubs describe (their docstring says so).
    allowlist = tmp_path / "allowlist"
    allowlist.write_text("vindral_ufunc.wbl_bins\n")
    if modules[1:]:
        numpy, vindral_ufunc = map(importlib.import_module, ["numpy", "vindral_ufunc"])
    function = modules[1:] and not isinstance(vindral_ufunc.wbl_bins, numpy.ufunc)
    options = ["--allowlist", str(allowlist)] if function else []
    result = mypy(
        "mypy.stubtest", *modules, *options, "--mypy-config-file", os.devnull, cwd=tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr


def documented_names(stub):
    """The names a stub file gives a docstring: functions, and data followed by a string."""
    body = ast.parse(stub.read_text(encoding="utf-8")).body
    names = {
        node.name for node in body if isinstance(node, ast.FunctionDef) and ast.get_docstring(node)
    }
    for node, following in zip(body, body[1:]):
        documented = isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
        if isinstance(node, ast.AnnAssign) and documented:
            names.add(node.target.id)
    return names


@pytest.mark.parametrize("name", ["vindral", "vindral_ufunc"])
def test_stubs_document_every_public_name(name):
    # The API reference and the editor's hover are both read from these
    # docstrings: a public name without one would be missing from both.
    if name == "vindral_ufunc":
        pytest.importorskip("numpy")
    module = importlib.import_module(name)
    # Where type checkers find it: a stub-only package on the path (the
    # module itself may come from a build folder ahead of the wheel's).
    stubs = [pathlib.Path(entry, f"{name}-stubs", "__init__.pyi") for entry in sys.path]
    stub = next(stub for stub in stubs if stub.is_file())
    assert ast.get_docstring(ast.parse(stub.read_text(encoding="utf-8")))
    public = {attribute for attribute in dir(module) if not attribute.startswith("_")}
    assert public - documented_names(stub) == set()


def test_strict_checking_accepts_typed_user_code(tmp_path):
    result = mypy(
        "mypy", "--strict", "--no-incremental", str(HERE / "typing" / "user_code.py"), cwd=tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_checking_rejects_wrong_calls(tmp_path):
    result = mypy(
        "mypy", "--strict", "--no-incremental", str(HERE / "typing" / "wrong_code.py"), cwd=tmp_path
    )
    assert result.returncode == 1
    # "path:line: error: ...", where a Windows path has a colon of its own.
    lines = re.findall(r":(\d+): error:", result.stdout)
    assert lines == ["5", "6", "7"], result.stdout
