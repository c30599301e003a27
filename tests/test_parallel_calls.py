"""Calls truly at once: what a call, an error or a panic shares across threads is safe.

On free-threaded CPython the calls of several threads run in parallel, so
every piece of process-wide state that a first call fills (the interned
parameter names, the PanicException class, the kept objects) is filled by
whichever threads get there together. Each program below starts its threads
at one barrier in a fresh process, so that the first calls race, and runs
many times; no run may end abnormally or compute a wrong result. With the
GIL the same programs check the same things in turns.
"""

import signal

import pytest

from conftest import FREE_THREADED, FUZZ_SCALE, PYPY, run_python, runs_of

pytestmark = pytest.mark.skipif(PYPY, reason="PyPy runs one thread at a time")

PRELUDE = """
import sys, threading
import vindral, _vindral_testing as testing
try:
    import numpy as np, vindral_ufunc as vu
except ImportError:
    np = None
THREADS, ROUNDS = 8, 60
barrier = threading.Barrier(THREADS)
failures = []

class RaisesTypeError:
    def __float__(self):
        raise TypeError("bad k") from KeyError("inner")

def expect(call, expected):
    try:
        got = call()
    except BaseException as error:
        got = type(error).__name__ + ": " + str(error)
    if np is not None and isinstance(got, np.ndarray):
        got = got.tolist()
    if got != expected:
        failures.append((got, expected))

# A thread that dies of an error is a failure too, not a quiet end of its work.
threading.excepthook = lambda args: failures.append(("died", repr(args.exc_value)))

def run_together(work, *afterwards):
    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for check in afterwards:
        expect(*check)
    print("failures:", failures[:3], len(failures))
"""

# Every kind of first call, all threads at once, each thread in its own order.
FIRST_CALLS = (
    PRELUDE
    + """
kinds = [
    (lambda: vindral.v_k_2_c(8.0, 2.0), 9.027033336764084),
    (lambda: vindral.v_k_2_c(8.0, k=2.0), 9.027033336764084),
    (lambda: vindral.wbl_cdf(c=10.0, k=2.0, v1=5.0, v2=10.0), 0.41092134189996254),
    # keys with the parameters' text that the interpreter has not interned
    (lambda: vindral.c_k_2_v(**{"".join(["c"]): 10.0, "".join(["k"]): 2.0}), 8.862269254527597),
    (lambda: vindral.v_k_2_c(8.0, RaisesTypeError()), "TypeError: argument 'k': bad k"),
    (lambda: vindral.wbl_cdf(1.0, 2.0, 3.0, x=4.0),
     "TypeError: wbl_cdf() got an unexpected keyword argument 'x'"),
    (lambda: testing.fail("boom"), "PanicException: boom"),
]
if np is not None:
    kinds.append((lambda: vu.wbl_sf(10.0, 2.0, np.array([0.0, 5.0, 40.0])),
                  [1.0, 0.7788007830714049, 1.1253517471925912e-07]))

def work(i):
    barrier.wait()
    expect(*kinds[2])  # the same first keyword call on every thread at once
    for round_ in range(ROUNDS):
        expect(*kinds[(i + round_) % len(kinds)])

run_together(work)
"""
)

# One thread keeps dropping the last reference of objects that the others'
# conversion errors hold, whose deallocation runs Python code that calls
# vindral again, while those threads call.
LAST_REFERENCES = (
    PRELUDE
    + """
class Held:
    def __del__(self):
        vindral.v_k_2_c(8.0, 2.0)

shared = [Held()]

class HoldsOnError:
    def __float__(self):
        error = TypeError("held")
        error.held = shared[0]
        raise error

def work(i):
    barrier.wait()
    for round_ in range(ROUNDS * 5):
        if i == 0:
            shared[0] = Held()  # the previous one's last reference
        else:
            expect(lambda: vindral.c_k_2_v(HoldsOnError(), k=2.0), "TypeError: argument 'c': held")

run_together(work)
"""
)


# Scalar calls, ufuncs and the bins on every thread at once, every round,
# each result checked against the one computed before the threads started.
MIXED = (
    PRELUDE
    + """
if np is None:
    print("failures: [] 0")
    raise SystemExit
edges = np.arange(31.0)
c = np.linspace(4.0, 12.0, 24).reshape(2, 12)
k = np.linspace(1.5, 3.0, 24).reshape(2, 12)
kinds = [
    (lambda: vindral.wbl_cdf(c=10.0, k=2.0, v1=5.0, v2=10.0), 0.41092134189996254),
    (lambda: vu.wbl_bins(c, k, edges), vu.wbl_bins(c, k, edges).tolist()),
    (lambda: vu.v_k_2_c(c, k), vu.v_k_2_c(c, k).tolist()),
    (lambda: vu.wbl_cdf(c, k, 5.0, edges[:, None, None]),
     vu.wbl_cdf(c, k, 5.0, edges[:, None, None]).tolist()),
    (lambda: vindral.v_k_2_c(8.0, 2.0), 9.027033336764084),
]

def work(i):
    barrier.wait()
    for round_ in range(ROUNDS):
        expect(*kinds[(i + round_) % len(kinds)])

run_together(work)
"""
)


# What threads share beyond first calls, on every thread at once: objects
# kept for good in slots of their own (the list of kept slots), releases
# deferred from threads without a guard and applied by the next call (the
# pool).
SHARED_STATE = (
    PRELUDE
    + """
def work(i):
    barrier.wait()
    for round_ in range(ROUNDS):
        kept = object()
        expect(lambda: testing.keep_object(kept) is kept, True)
        expect(lambda: testing.defer_release_from_thread(object()) >= 0, True)
        expect(lambda: vindral.v_k_2_c(8.0, k=2.0), 9.027033336764084)

# Every deferred release was applied by a call after it.
run_together(work, (testing.pool_size, 0))
"""
)


@pytest.mark.long
@pytest.mark.parametrize(
    "program",
    [FIRST_CALLS, LAST_REFERENCES, MIXED, SHARED_STATE],
    ids=["first-calls", "last-references", "mixed", "shared-state"],
)
def test_calls_at_once_never_crash_nor_compute_wrongly(program):
    # Free-threaded, a race shows in a few runs in a hundred; with the GIL
    # the programs run in turns, and fewer runs suffice.
    runs = runs_of(max(10, int((100 if FREE_THREADED else 20) * FUZZ_SCALE)))
    abnormal = []
    for _ in range(runs):
        result = run_python(program)
        if result.returncode != 0 or "failures: [] 0" not in result.stdout:
            signame = signal.Signals(-result.returncode).name if result.returncode < 0 else "exit"
            abnormal.append(
                (signame, result.returncode, result.stdout[-300:], result.stderr[-500:])
            )
    assert abnormal == [], f"{len(abnormal)} of {runs} runs: {abnormal[:2]}"
