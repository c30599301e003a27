"""No path leaks: references and traced memory stay flat, call after call."""

import sys

import pytest

from conftest import call_with_dict
from vindral import c_k_2_v, v_k_2_c, wbl_cdf

tracemalloc = pytest.importorskip("tracemalloc")

# Keys and values whose str() fails report to the unraisable hook.
pytestmark = [pytest.mark.usefixtures("quiet_unraisable"), pytest.mark.long]


class FloatRaising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error()


class ChainedTypeError:
    def __float__(self):
        raise TypeError("outer") from KeyError("inner")


class StrRaising:
    def __hash__(self):
        return 7

    def __str__(self):
        raise RuntimeError("no text")


def ok_positional(a, b):
    return v_k_2_c(a, b)


def ok_keywords(a, b):
    return wbl_cdf(c=a, k=b, v1=a, v2=b)


def ok_dict_of_caller(a, b):
    return call_with_dict(c_k_2_v, (a,), {"k": b})


# Each scenario takes two argument objects and fails in one particular way.
FAILING = {
    "too many positional": lambda a, b: v_k_2_c(a, b, a),
    "unexpected keyword": lambda a, b: v_k_2_c(a, speed=b),
    "multiple values": lambda a, b: v_k_2_c(a, v=b),
    "missing argument": lambda a, b: wbl_cdf(a, b),
    "non-str key": lambda a, b: call_with_dict(v_k_2_c, (a,), {b: a}),
    "unencodable key": lambda a, b: v_k_2_c(a, **{"\udc80": b}),
    "key without text": lambda a, b: call_with_dict(v_k_2_c, (a,), {StrRaising(): b}),
    "type error rewritten": lambda a, b: v_k_2_c(a, "text"),
    "type error with cause": lambda a, b: v_k_2_c(ChainedTypeError(), b),
    "overflow unchanged": lambda a, b: c_k_2_v(a, 10**400),
    "value error unchanged": lambda a, b: c_k_2_v(FloatRaising(ValueError), b),
}
SUCCEEDING = {
    "positional": ok_positional,
    "keywords": ok_keywords,
    "caller's dict": ok_dict_of_caller,
}
ALL = {**SUCCEEDING, **FAILING}


def run(call, a, b, times):
    for _ in range(times):
        try:
            call(a, b)
        except (TypeError, ValueError, OverflowError):
            pass


@pytest.mark.parametrize("name", ALL)
def test_argument_reference_counts_are_unchanged(name):
    a, b = 3.25, object.__new__(type("Arg", (), {"__float__": lambda self: 2.0}))
    before = sys.getrefcount(a), sys.getrefcount(b)
    run(ALL[name], a, b, 2000)
    assert (sys.getrefcount(a), sys.getrefcount(b)) == before


@pytest.mark.parametrize("name", ALL)
def test_traced_memory_stays_flat_over_100000_calls(name):
    a, b = 3.25, 2.0
    run(ALL[name], a, b, 2000)  # warm-up: caches, free lists, interned names
    tracemalloc.start()
    try:
        run(ALL[name], a, b, 50_000)  # bounded caches of the interpreter fill here
        halfway, _ = tracemalloc.get_traced_memory()
        run(ALL[name], a, b, 50_000)
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # A leak grows with the calls: one object per call would be a megabyte here.
    assert end - halfway < 8_192


class TestPanicsDoNotLeak:
    def test_internal_failure(self, testing):
        message = "a message of some length"
        before = sys.getrefcount(message)

        def fail_many(times):
            for _ in range(times):
                try:
                    testing.fail(message)
                except BaseException:
                    pass

        fail_many(1000)
        tracemalloc.start()
        try:
            fail_many(10_000)
            halfway, _ = tracemalloc.get_traced_memory()
            fail_many(10_000)
            end, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert sys.getrefcount(message) == before
        assert end - halfway < 8_192

    def test_resumed_panic(self, testing, capfd):
        def panicking():
            testing.fail("resumed")

        before = sys.getrefcount(panicking)
        for _ in range(300):
            try:
                testing.call(panicking)
            except BaseException:
                pass
        assert sys.getrefcount(panicking) == before
        assert capfd.readouterr().err.count("Python stack trace below:") == 300
