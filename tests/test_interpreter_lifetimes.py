"""Interpreters that come and go: the module's claim and what it keeps end with them.

While the interpreter that initialised vindral lives, no other may use it.
When that interpreter finalises, its claim, the module cache, the interned
names and the PanicException class are released, so that the next interpreter
(the main one after a sub-interpreter, or one initialised anew) builds afresh.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import vindral
from conftest import TEST_MODULES, not_on_pypy, run_python, single_phase_sub_interpreters

REFUSAL = (
    "ImportError: vindral does not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"
)
RESULT = "9.027033336764084"

# sub(kind) imports vindral in a new sub-interpreter of that kind, calls it
# there, ends the sub-interpreter and returns what happened in it.
LIFETIME = """
import os, sys
read_end, write_end = os.pipe()
CODE = '''
import os
try:
    import vindral
    message = repr(vindral.v_k_2_c(8.0, k=2.0))
except ImportError as error:
    message = "ImportError: " + str(error)
os.write({write_end}, message.encode())
'''.format(write_end=write_end)

def sub(kind):
    if kind == "legacy":
        import _testcapi
        _testcapi.run_in_subinterp(CODE)
    else:
        try:
            import _interpreters
            interp = _interpreters.create("isolated")
            _interpreters.exec(interp, CODE)
        except ImportError:
            import _xxsubinterpreters as _interpreters
            interp = _interpreters.create(isolated=True)
            _interpreters.run_string(interp, CODE)
        _interpreters.destroy(interp)
    return os.read(read_end, 4096).decode()

def main():
    import vindral
    return repr(vindral.v_k_2_c(8.0, k=2.0))
"""


def lifetime(*steps):
    """What each step, `main()` or `sub(kind)`, gave, run in order in a fresh process."""
    result = run_python(LIFETIME + "\n".join(f"print({step})" for step in steps))
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@not_on_pypy("has no sub-interpreters")
@single_phase_sub_interpreters
def test_a_second_interpreter_is_refused_while_the_first_lives():
    pytest.importorskip("_testcapi")
    assert lifetime("main()", "sub('legacy')", "main()") == [RESULT, REFUSAL, RESULT]


@not_on_pypy("has no sub-interpreters")
@single_phase_sub_interpreters
def test_main_interpreter_builds_afresh_after_a_legacy_sub_interpreter_ended():
    pytest.importorskip("_testcapi")
    in_sub, in_main = lifetime("sub('legacy')", "main()")
    # From 3.13 the interpreter initialises a single-phase module in the main
    # interpreter first, which then holds the claim.
    assert in_sub == (REFUSAL if sys.version_info >= (3, 13) else RESULT)
    assert in_main == RESULT


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters came in 3.12")
def test_main_interpreter_works_after_an_isolated_sub_interpreter_refused_the_module():
    in_sub, in_main = lifetime("sub('isolated')", "main()")
    assert in_sub == "ImportError: module vindral does not support loading in subinterpreters"
    assert in_main == RESULT


EMBEDDING = r"""
#include <Python.h>
int main(int argc, char** argv) {
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 2;
        if (Py_FinalizeEx() < 0) return 3;
    }
    return 0;
}
"""

EACH_ROUND = """
import sys
sys.path[:0] = {paths!r}
import vindral, _vindral_testing
try:
    _vindral_testing.fail("x")
except BaseException as error:
    panic = type(error)
print(vindral.__all__, vindral.v_k_2_c(v=8.0, k=2.0), panic.__name__, flush=True)
"""


def test_each_interpreter_of_an_embedding_program_gets_a_module_of_its_own(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY") or ""
    if not compiler or not library.endswith(".so") or not (pathlib.Path(libdir) / library).exists():
        pytest.skip("needs a C compiler and the interpreter's shared library")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING)
    program = tmp_path / "embed"
    subprocess.run(
        [
            compiler,
            str(source),
            "-o",
            str(program),
            "-I" + sysconfig.get_paths()["include"],
            "-L" + libdir,
            "-l" + library[3:-3],
            "-Wl,-rpath," + libdir,
        ],
        check=True,
    )
    paths = [str(pathlib.Path(vindral.__file__).parent), str(TEST_MODULES)]
    result = subprocess.run(
        [str(program), EACH_ROUND.format(paths=paths)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": ""},
    )
    assert result.returncode == 0, result.stderr
    expected = "['v_k_2_c', 'c_k_2_v', 'wbl_cdf'] 9.027033336764084 PanicException"
    assert result.stdout.splitlines() == [expected] * 3


@not_on_pypy("has no sub-interpreters")
@single_phase_sub_interpreters
def test_the_array_module_names_itself_when_it_refuses_a_second_interpreter():
    pytest.importorskip("_testcapi")
    pytest.importorskip("numpy")
    result = run_python(
        """
        import os, _testcapi, vindral_ufunc
        read_end, write_end = os.pipe()
        _testcapi.run_in_subinterp('''
        import os
        try:
            import vindral_ufunc
            message = "imported"
        except ImportError as error:
            message = "ImportError: " + str(error)
        os.write(%d, message.encode())
        ''' % write_end)
        print(os.read(read_end, 4096).decode())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == REFUSAL.replace(": vindral ", ": vindral_ufunc ")
