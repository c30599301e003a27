"""A successful call allocates nothing of its own: only its result float."""

import pytest

import vindral

tracemalloc = pytest.importorskip("tracemalloc")

CALL_SHAPES = [
    ("v_k_2_c", (8.0, 2.0), {}),
    ("v_k_2_c", (8.0,), {"k": 2.0}),
    ("v_k_2_c", (), {"v": 8.0, "k": 2.0}),
    ("c_k_2_v", (10, 2), {}),
    ("wbl_cdf", (10.0, 2.0, 5.0, 10.0), {}),
    ("wbl_cdf", (), {"c": 10.0, "k": 2.0, "v1": 5.0, "v2": 10.0}),
]


def peak_of_one_call(function, args, kwargs):
    """Bytes allocated at the peak of one call beyond what was live before it.

    The least of several warmed-up samples: the interpreter's own free lists
    make any single sample vary by a few dozen bytes.
    """
    samples = []
    tracemalloc.start()
    try:
        for _ in range(8):
            for _ in range(5):
                function(*args, **kwargs)
            tracemalloc.reset_peak()
            before, _ = tracemalloc.get_traced_memory()
            function(*args, **kwargs)
            _, peak = tracemalloc.get_traced_memory()
            samples.append(peak - before)
    finally:
        tracemalloc.stop()
    return min(samples)


@pytest.mark.parametrize("name, args, kwargs", CALL_SHAPES)
def test_a_call_allocates_no_more_than_the_bare_floor(testing, name, args, kwargs):
    # The bare twin does the same calling convention and arithmetic with no
    # binder or guard: whatever the interpreter allocates for the call itself
    # (argument tuple, keyword dictionary) shows in both.
    floor = peak_of_one_call(getattr(testing, "bare_" + name), args, kwargs)
    assert peak_of_one_call(getattr(vindral, name), args, kwargs) <= floor
