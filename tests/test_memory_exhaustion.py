"""Running out of memory anywhere in a call or an import: an exception, never an abort.

Each sweep makes the interpreter's allocations fail from the n-th one after
the sweep point starts, for n = 0, 1, 2, ...: either that one allocation only,
or it and every later one. Every point must end in the call's own outcome or
in the interpreter's MemoryError, also where an allocation that cannot fail by
contract failed (the result float): running out of memory is never a
PanicException. After each point the module must still compute correctly.
"""

import collections
import signal

import pytest

from conftest import PYPY, run_python

if PYPY:
    pytest.skip("PyPy has no allocation hooks to make fail", allow_module_level=True)
pytest.importorskip("_testcapi", reason="the interpreter's allocation hooks live in _testcapi")

SWEEP = """
import collections, sys, _testcapi
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
        name = type(error).__name__
        return name if name == "MemoryError" else raised_in(error.__traceback__) + name
    return "ok"

def raised_in(traceback):
    while traceback.tb_next:
        traceback = traceback.tb_next
    where = traceback.tb_frame.f_code.co_filename
    return "importlib:" if where.startswith("<frozen importlib") else ""

modes = {modes!r}
for mode in modes[modes.index({resume_mode!r}):]:
    settled = 0
    for start in range({resume_start} if mode == {resume_mode!r} else 0, 3000):
        got = attempt(start, 0 if mode == "every later" else start + 1)
        print(mode, start, got, flush=True)
        {check}
        settled = settled + 1 if got == {expected!r} else 0
        if settled == 10:
            break
    else:
        raise AssertionError(mode + ": the sweep never got past the action")
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


def sweep(prelude, action, expected, check, crashes=(), modes=("every later", "one")):
    """Outcome counts over every point of the modes, in order. A point that
    ends the process with a signal in `crashes` counts as "crash", and the
    sweep goes on in a new process from the next point."""
    outcomes = collections.Counter()
    resume_mode, resume_start = modes[0], 0
    while True:
        result = run_python(
            SWEEP.format(
                prelude=prelude,
                action=action,
                expected=expected,
                check=check,
                modes=modes,
                resume_mode=resume_mode,
                resume_start=resume_start,
            ),
            timeout=240,
        )
        points = [line.rsplit(" ", 2) for line in result.stdout.splitlines()]
        outcomes.update(got for _, _, got in points)
        if result.returncode == 0:
            return outcomes
        assert ended_by_signal(result) in crashes, result.stderr[-3000:]
        outcomes["crash"] += 1
        if points:  # the crash came at the point after the last one printed
            resume_mode, resume_start = points[-1][0], int(points[-1][1]) + 1
        resume_start += 1


def ended_by_signal(result):
    """The signal that ended the process: AddressSanitizer reports a
    segmentation fault and then aborts the process itself."""
    if "ERROR: AddressSanitizer: SEGV" in result.stderr:
        return signal.SIGSEGV
    return -result.returncode


@pytest.mark.parametrize("name", CALLS)
def test_calls_raise_memory_error_and_keep_working(name):
    call, expected = CALLS[name]
    outcomes = sweep(PRELUDE, call, expected, CHECK_RESULTS)
    assert set(outcomes) <= {expected, "MemoryError"}, outcomes
    # A positional call with float arguments allocates at most its result,
    # which usually comes from the interpreter's free list.
    assert outcomes.get("MemoryError") or name == "positional", "never ran out of memory"


# module: what must be imported before the sweep, the signals of the crashes
# that are not vindral's, the modes swept, and outcomes besides MemoryError
# that are the interpreter's. numpy's ufunc constructor crashes when an
# allocation inside it fails (a failed array method is deallocated
# half-made). With every later allocation failing too, CPython 3.9's own
# traceback code can die of "Cannot recover from MemoryErrors while
# normalizing exceptions" in the sweep's frame once the module has failed, so
# the array module is swept one failing allocation at a time. Its body
# imports numpy's modules, and errors raised in the import system's own code
# pass unchanged: it reports a lock it cannot allocate as
# RuntimeError("can't allocate lock"), and CPython 3.12's stat of a path on
# sys.path can lose the MemoryError ("error return without exception set").
MODULES = {
    "vindral": ("", (), ("every later", "one"), set()),
    "vindral_ufunc": (
        "import numpy",
        (signal.SIGSEGV,),
        ("one",),
        {"importlib:RuntimeError", "importlib:SystemError"},
    ),
}


@pytest.mark.parametrize("module", MODULES)
def test_initialisation_raises_memory_error_and_a_later_import_works(module):
    # The initialisation function is called directly: the import system's own
    # code does not always survive running out of memory. After each point
    # that builds the module, the interpreter's exit callbacks run, so that the
    # next point builds it afresh.
    before, crashes, modes, interpreters_own = MODULES[module]
    if before:
        pytest.importorskip(before.split()[-1])
    prelude = (
        f"import atexit, ctypes, importlib.util\n{before}\n"
        f"init = ctypes.PyDLL(importlib.util.find_spec({module!r}).origin).PyInit_{module}\n"
        "init.restype = ctypes.py_object"
    )
    check = "atexit._run_exitfuncs()"
    outcomes = sweep(prelude, "module = init()", "ok", check, crashes, modes)
    assert set(outcomes) <= {"ok", "MemoryError", "crash", *interpreters_own}, outcomes
    assert outcomes.get("MemoryError"), "never ran out of memory"
    result = run_python(
        prelude
        + f"\nmodule = init()\nimport vindral, {module}\n"
        + CHECK_RESULTS.replace(", (mode, start)", "")
        + f"\nassert {module} is module"
    )
    assert result.returncode == 0, result.stderr
