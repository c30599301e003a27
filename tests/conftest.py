import os
import pathlib
import platform
import subprocess
import sys
import sysconfig
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The test-only extension modules are built by scripts/test next to, never
# inside, the installed package.
TEST_MODULES = pathlib.Path(
    os.environ.get("VINDRAL_TEST_MODULES", ROOT / "build" / "test-modules" / "test-modules")
)
sys.path.insert(0, str(TEST_MODULES))

# scripts/test fuzzes with the full budget on one interpreter and with a
# share of it on the others and under the sanitizers.
FUZZ_SCALE = float(os.environ.get("VINDRAL_FUZZ_SCALE", "1"))

# Checks that only mean something on some platforms, with the reason why.
posix_abort = pytest.mark.skipif(
    sys.platform == "win32", reason="an abort is a SIGABRT only on POSIX systems"
)
elf_only = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="reads the ELF shared object of Linux builds"
)
# python.org's embeddable interpreter for Windows takes its path from its
# ._pth file alone: no script's folder, no PYTHONPATH.
embeddable_interpreter = any(pathlib.Path(sys.executable).parent.glob("*._pth"))
# PyPy runs the same modules through its own emulation of the C API.
PYPY = sys.implementation.name == "pypy"


def not_on_pypy(reason):
    """Skips a check that cannot hold on PyPy, saying why."""
    return pytest.mark.skipif(PYPY, reason=f"PyPy {reason}")


# CPython built without the GIL (3.14t): its own wheel, no stable ABI.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def not_free_threaded(reason):
    """Skips a check that cannot hold on free-threaded CPython, saying why."""
    return pytest.mark.skipif(FREE_THREADED, reason=f"free-threaded CPython {reason}")


single_phase_sub_interpreters = not_free_threaded(
    "refuses single-phase modules such as vindral in sub-interpreters itself"
)


reference_counts = not_on_pypy("has no reference counts to read")
# PyPy refuses a keyword dictionary with a key that is not a str before any
# function sees it; CPython hands such a dictionary over from C callers.
non_str_keywords = not_on_pypy("refuses keywords that are not str before a function sees them")
cpython_internals = not_on_pypy("has none of CPython's _testcapi, tracemalloc or ctypes.pythonapi")
glibc_only = pytest.mark.skipif(
    platform.libc_ver()[0] != "glibc",
    reason="fixed to the last bit by the GNU C library's pow, exp and sin",
)


# scripts/test's ThreadSanitizer stage: the sanitizer reports every race it
# observes, whatever the timing, so programs that repeat runs to catch a race
# by chance need only a few there.
THREAD_SANITIZER = os.environ.get("VINDRAL_TSAN") == "1"


def runs_of(count):
    """How many runs of a program repeated to catch races this run makes."""
    return min(count, 2) if THREAD_SANITIZER else count


def fuzz_examples(full_budget):
    """How many examples a property test draws in this run."""
    return max(100, int(full_budget * FUZZ_SCALE))


def call_with_dict(function, args, kwargs):
    """Calls through the C API, which hands over `kwargs` itself, whatever its keys."""
    import _vindral_testing

    return _vindral_testing.call_with_dict(function, tuple(args), kwargs)


@pytest.fixture
def quiet_unraisable(monkeypatch):
    """Drops the reports of errors that the module sends to sys.unraisablehook."""
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)


@pytest.fixture(scope="session")
def testing():
    try:
        import _vindral_testing
    except ImportError as error:  # pragma: no cover - a setup fault, not a test result
        pytest.fail(f"the test-only module is not built ({error}); run scripts/test")
    return _vindral_testing


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter that can import the test modules."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(TEST_MODULES), env.get("PYTHONPATH", "")])
    env.pop("PYTHONFAULTHANDLER", None)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
