"""The call guard, pending errors and PanicException, through the test-only module."""

import signal
import sys

import pytest

import vindral
from conftest import posix_abort, reference_counts, run_python

RESUME_HEADER = (
    "--- vindral is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)
TRAP = "uncaught panic at ffi boundary"


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


class TestPanicException:
    @pytest.mark.parametrize("message", ["the message", "up to\x00and past a NUL"])
    def test_internal_failure_surfaces_with_its_whole_message(self, testing, message):
        error = panic_of(lambda: testing.fail(message))
        assert error.args == (message,)
        # Resumed after coming back out of the interpreter: the same text.
        assert panic_of(lambda: testing.call(testing.fail, message)).args == (message,)

    def test_class_is_a_base_exception_outside_the_module(self, testing):
        cls = type(panic_of(lambda: testing.fail("x")))
        assert cls.__module__ == "vindral_runtime"
        assert cls.__name__ == cls.__qualname__ == "PanicException"
        assert cls.__bases__ == (BaseException,)
        assert not issubclass(cls, Exception)
        assert not hasattr(vindral, "PanicException")
        assert cls.__doc__.startswith("\n") and "panics" in cls.__doc__.split("\n\n")[0]
        assert cls.__doc__.endswith(
            "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.\n"
        )

    def test_except_exception_does_not_catch_it(self, testing):
        caught_by = None
        try:
            try:
                testing.fail("escapes")
            except Exception:
                caught_by = "Exception"
        except BaseException:
            caught_by = "BaseException"
        assert caught_by == "BaseException"

    def test_every_failure_raises_the_same_class(self, testing):
        first = panic_of(lambda: testing.fail("one"))
        second = panic_of(testing.fail_without_message)
        assert type(first) is type(second)

    def test_failure_without_text_gets_a_fixed_message(self, testing):
        error = panic_of(testing.fail_without_message)
        assert "vindral" in str(error) and "no message" in str(error)

    def test_missing_error_after_a_failed_call_is_an_internal_failure(self, testing):
        error = panic_of(testing.fetch_without_error)
        assert str(error) == "attempted to fetch exception but none was set"


class TestReturnedErrors:
    def test_returned_type_error_is_raised_normalised_with_one_argument(self, testing):
        with pytest.raises(TypeError) as info:
            testing.raise_type_error("plain message")
        assert type(info.value) is TypeError and info.value.args == ("plain message",)

    def test_non_exception_as_type_becomes_a_type_error(self, testing):
        for not_a_class in (1, "text", int, None):
            with pytest.raises(TypeError) as info:
                testing.raise_value(not_a_class)
            assert str(info.value) == "exceptions must derive from BaseException"

    def test_exception_instance_is_raised_as_itself(self, testing):
        instance = KeyError("mine")
        with pytest.raises(KeyError) as info:
            testing.raise_value(instance)
        assert info.value is instance

    def test_inspection_normalises_and_reads_cause_and_traceback(self, testing):
        root = KeyError("root")

        def failing():
            raise ValueError("surface") from root

        error_type, value, cause, traceback, rendering = testing.inspect_error(failing)
        assert error_type is ValueError and str(value) == "surface"
        assert cause is root
        assert type(traceback).__name__ == "traceback"
        assert rendering == (
            f"PyErr {{ type: <class 'ValueError'>, value: ValueError('surface'), "
            f"traceback: Some({traceback!r}) }}"
        )

    def test_set_cause_chains_a_new_error_to_a_fetched_one(self, testing):
        def failing():
            raise OSError("underneath")

        with pytest.raises(TypeError) as info:
            testing.chain_type_error(failing, "on top")
        assert str(info.value) == "on top"
        assert type(info.value.__cause__) is OSError
        assert info.value.__cause__.__traceback__ is not None

    def test_dropped_errors_leave_the_indicator_untouched(self, testing):
        def failing():
            raise RuntimeError("dropped")

        # A pending error left behind would turn this result into SystemError.
        assert testing.drop_error(failing) is None


class TestResumingPanics:
    def test_panic_coming_back_is_reported_and_raised_anew(self, testing, capfd):
        inner = []

        def through_python():
            try:
                testing.fail("deep failure")
            except BaseException as error:
                inner.append(error)
                raise

        outer = panic_of(lambda: testing.call(through_python))
        assert str(outer) == "deep failure" and outer.args == ("deep failure",)
        assert outer is not inner[0] and type(outer) is type(inner[0])
        assert outer.__context__ is None and outer.__cause__ is None
        err = capfd.readouterr().err
        assert err.startswith(RESUME_HEADER + "Traceback (most recent call last):\n")
        assert "in through_python" in err
        assert err.endswith("vindral_runtime.PanicException: deep failure\n")

    def test_panic_whose_text_fails_resumes_as_unwrapped(self, testing, capfd):
        panic_class = type(panic_of(lambda: testing.fail("x")))

        class NoText:
            def __str__(self):
                raise RuntimeError("no text")

        def raise_opaque():
            raise panic_class(NoText())

        outer = panic_of(lambda: testing.call(raise_opaque))
        assert str(outer) == "Unwrapped panic from Python code"
        assert capfd.readouterr().err.startswith(RESUME_HEADER)

    def test_subclass_of_panic_is_an_ordinary_error(self, testing, capfd):
        panic_class = type(panic_of(lambda: testing.fail("x")))
        subclass = type("Sub", (panic_class,), {})
        instance = subclass("ordinary")

        def raise_subclass():
            raise instance

        with pytest.raises(subclass) as info:
            testing.call(raise_subclass)
        assert info.value is instance
        assert capfd.readouterr().err == ""


class TestGuardBookkeeping:
    def test_gil_count_is_restored_after_nested_and_failing_calls(self, testing):
        assert testing.gil_count() == 1
        assert testing.call(testing.gil_count) == 2
        assert testing.call(testing.call, testing.gil_count) == 3
        with pytest.raises(ValueError):
            testing.call(lambda: int("x"))
        panic_of(lambda: testing.call(testing.fail, "nested"))
        assert testing.gil_count() == 1

    @reference_counts
    def test_release_without_a_guard_waits_for_the_next_entry(self, testing):
        obj = object()
        before = sys.getrefcount(obj)
        assert testing.defer_release_from_thread(obj) == 1
        assert sys.getrefcount(obj) == before + 1  # still queued
        assert testing.pool_size() == 0
        assert sys.getrefcount(obj) == before


def assert_aborted(result, message, trap=True):
    assert result.returncode == -signal.SIGABRT, (result.returncode, result.stderr)
    assert message in result.stderr
    assert (TRAP in result.stderr) == trap
    if trap:
        assert result.stderr.index(message) < result.stderr.index(TRAP)


@posix_abort
@pytest.mark.parametrize(
    "count, message",
    [
        (-1, "Access to the GIL is prohibited while a __traverse__ implmentation is running."),
        (-2, "Access to the GIL is currently prohibited."),
        (-(2**40), "Access to the GIL is currently prohibited."),
    ],
)
def test_entry_with_prohibited_count_aborts(count, message):
    result = run_python(
        f"import _vindral_testing as t\nt.set_gil_count({count})\nt.gil_count()\nprint('returned')"
    )
    assert_aborted(result, message)
    assert "returned" not in result.stdout


@posix_abort
def test_count_not_positive_on_exit_aborts():
    result = run_python("import _vindral_testing as t\nt.corrupt_gil_count()")
    assert_aborted(
        result,
        "Negative GIL count detected. Please report this error to the vindral maintainers as a bug.",
        trap=False,
    )


@posix_abort
def test_error_that_cannot_be_raised_aborts():
    result = run_python("import _vindral_testing as t\nt.raise_unraisable_error()")
    assert_aborted(result, "exception type could not be resolved")
