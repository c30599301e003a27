"""Running out of memory anywhere in a call or an import: an exception, never an abort.

Each sweep makes the interpreter's allocations fail from the n-th one after
the sweep point starts, for n = 0, 1, 2, ...: either that one allocation only,
or it and every later one. Every point must end in the call's own outcome or
in an exception: the interpreter's MemoryError, or PanicException where an
allocation that cannot fail by contract failed (the result float). After each
point the module must still compute correctly.
"""

import json

import pytest

from conftest import PYPY, run_python

if PYPY:
    pytest.skip("PyPy has no allocation hooks to make fail", allow_module_level=True)
pytest.importorskip("_testcapi", reason="the interpreter's allocation hooks live in _testcapi")

SWEEP = """
import collections, json, sys, _testcapi
{prelude}

def attempt(start, stop):
    sys._getframe()  # the frame object exists before memory runs out
    try:
        _testcapi.set_nomemory(start, stop)
        try:
            {action}
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as error:
        return type(error).__name__
    return "ok"

outcomes = collections.Counter()
for mode in ("every later", "one"):
    settled = 0
    for start in range(3000):
        got = attempt(start, 0 if mode == "every later" else start + 1)
        outcomes[got] += 1
        {check}
        settled = settled + 1 if got == {expected!r} else 0
        if settled == 10:
            break
    else:
        raise AssertionError(mode + ": the sweep never got past the action")
print(json.dumps(outcomes))
"""

CHECK_RESULTS = "assert vindral.v_k_2_c(8.0, k=2.0) == 9.027033336764084, (mode, start)"

PRELUDE = """
import vindral
from vindral import c_k_2_v, v_k_2_c, wbl_cdf
class ChainedTypeError:
    def __float__(self):
        raise TypeError("outer") from KeyError("inner")
class RaisingFloat:
    def __float__(self):
        raise ValueError("refused")
"""

# name: (call, what it does with memory to spare)
CALLS = {
    "positional": ("v_k_2_c(8.0, 2.0)", "ok"),
    "first keyword call": ("wbl_cdf(c=10.0, k=2.0, v1=5.0, v2=10.0)", "ok"),
    "too many": ("v_k_2_c(1.0, 2.0, 3.0)", "TypeError"),
    "unexpected keyword": ("v_k_2_c(1.0, speed=2.0)", "TypeError"),
    "unencodable keyword": ("v_k_2_c(1.0, **{'\\udc80': 2.0})", "TypeError"),
    "multiple values": ("c_k_2_v(1.0, c=2.0)", "TypeError"),
    "missing": ("wbl_cdf(1.0)", "TypeError"),
    "conversion rewritten": ("v_k_2_c('a', 2.0)", "TypeError"),
    "conversion with cause": ("v_k_2_c(ChainedTypeError(), 2.0)", "TypeError"),
    "float raises": ("c_k_2_v(RaisingFloat(), 2.0)", "ValueError"),
}


def sweep(prelude, action, expected, check):
    result = run_python(
        SWEEP.format(prelude=prelude, action=action, expected=expected, check=check),
        timeout=240,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout)


@pytest.mark.parametrize("name", CALLS)
def test_calls_raise_memory_error_and_keep_working(name):
    call, expected = CALLS[name]
    outcomes = sweep(PRELUDE, call, expected, CHECK_RESULTS)
    allowed = {expected, "MemoryError"} | ({"PanicException"} if expected == "ok" else set())
    assert set(outcomes) <= allowed, outcomes
    # A positional call with float arguments allocates at most its result,
    # which usually comes from the interpreter's free list.
    assert outcomes.get("MemoryError") or name == "positional", "never ran out of memory"


def test_initialisation_raises_memory_error_and_a_later_import_works():
    # The initialisation function is called directly: the import system's own
    # code does not always survive running out of memory. After each point
    # that builds the module, the interpreter's exit callbacks run, so that the
    # next point builds it afresh.
    prelude = (
        "import atexit, ctypes, importlib.util\n"
        "init = ctypes.PyDLL(importlib.util.find_spec('vindral').origin).PyInit_vindral\n"
        "init.restype = ctypes.py_object"
    )
    check = "atexit._run_exitfuncs()"
    outcomes = sweep(prelude, "module = init()", "ok", check)
    assert set(outcomes) <= {"ok", "MemoryError", "PanicException"}, outcomes
    assert outcomes.get("MemoryError"), "never ran out of memory"
    result = run_python(
        prelude
        + "\nmodule = init()\nimport vindral\n"
        + CHECK_RESULTS.replace(", (mode, start)", "")
        + "\nassert vindral is module"
    )
    assert result.returncode == 0, result.stderr
