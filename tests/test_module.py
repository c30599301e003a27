"""The module object: its attributes, its functions, and initialisation."""

import ctypes
import inspect
import sys

import pytest

import vindral
from conftest import PYPY, cpython_internals, not_on_pypy, run_python

FUNCTIONS = {"v_k_2_c": "(v, k)", "c_k_2_v": "(c, k)", "wbl_cdf": "(c, k, v1, v2)"}


def test_all_lists_the_three_functions_in_registration_order():
    assert vindral.__all__ == ["v_k_2_c", "c_k_2_v", "wbl_cdf"]
    assert type(vindral.__all__) is list
    registered = [name for name in vars(vindral) if name in ("__all__", *FUNCTIONS)]
    assert registered == ["__all__", "v_k_2_c", "c_k_2_v", "wbl_cdf"]
    assert not hasattr(vindral, "PanicException")


def test_module_docstring_has_three_lines_and_says_how_it_is_built():
    lines = vindral.__doc__.split("\n")
    assert len(lines) == 3 and all(lines)
    assert "C++" in vindral.__doc__ and "PyInit_vindral" in vindral.__doc__


@pytest.mark.parametrize("name, signature", FUNCTIONS.items())
def test_each_function_is_a_builtin_bound_to_the_module(name, signature):
    function = getattr(vindral, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == function.__qualname__ == name
    if not PYPY:  # PyPy's built-in functions show no __self__
        assert function.__self__ is vindral
    assert function.__module__ == "vindral"
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    parameters = inspect.signature(function).parameters.values()
    assert [p.name for p in parameters] == signature.strip("()").split(", ")
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)
    assert all(p.default is inspect.Parameter.empty for p in parameters)


def _init_function():
    init = ctypes.PyDLL(vindral.__file__).PyInit_vindral
    init.restype = ctypes.c_void_p
    init.argtypes = []
    return init


@cpython_internals
def test_repeated_initialisation_returns_the_cached_module_with_one_more_reference():
    init = _init_function()
    functions = [vindral.v_k_2_c, vindral.c_k_2_v, vindral.wbl_cdf]
    # The import discarded the error of its lookup of __all__, which holds the
    # module; the next entry releases it, as any call does.
    vindral.v_k_2_c(8.0, 2.0)
    before = sys.getrefcount(vindral)
    address = init()
    assert address == id(vindral)
    assert sys.getrefcount(vindral) == before + 1
    ctypes.pythonapi.Py_DecRef(ctypes.py_object(vindral))
    assert sys.getrefcount(vindral) == before
    assert vindral.__all__ == ["v_k_2_c", "c_k_2_v", "wbl_cdf"]
    assert [vindral.v_k_2_c, vindral.c_k_2_v, vindral.wbl_cdf] == functions


@not_on_pypy("makes a new module object, holding the same functions, at a re-import")
def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    result = run_python(
        """
        import sys, vindral
        first = vindral
        del sys.modules["vindral"]
        import vindral
        print(vindral is first, vindral.v_k_2_c is first.v_k_2_c)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]


def test_failed_initialisation_raises_panic_and_the_next_import_builds_afresh():
    result = run_python(
        """
        try:
            import _vindral_failing_init
        except BaseException as error:
            print(type(error).__module__, type(error).__name__, error)
        import sys
        assert "_vindral_failing_init" not in sys.modules
        import _vindral_failing_init
        print(_vindral_failing_init.attempts(), _vindral_failing_init.__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "vindral_runtime PanicException module body failed on purpose",
        "2 ['attempts']",
    ]
