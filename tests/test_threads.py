"""Threads and re-entry: concurrent callers see exactly the single-threaded outcomes."""

import struct
import sys
import threading

import pytest

from vindral import c_k_2_v, v_k_2_c, wbl_cdf


class SlowFloat:
    """Converts through interpreter code, which lets other threads run mid-call."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return sum([self.value / 4] * 4)


class RaisingFloat:
    def __float__(self):
        raise ValueError("refused")


CALLS = [
    lambda: v_k_2_c(8.0, 2.0),
    lambda: v_k_2_c(SlowFloat(8.0), k=SlowFloat(2.0)),
    lambda: c_k_2_v(c=10.0, k=SlowFloat(1.5)),
    lambda: wbl_cdf(10.0, SlowFloat(2.0), v2=10.0, v1=SlowFloat(5.0)),
    lambda: wbl_cdf(8.0, 2.0, -3.0, float("inf")),
    lambda: v_k_2_c(8.0),
    lambda: v_k_2_c(8.0, 2.0, 1.0),
    lambda: c_k_2_v(1.0, x=2.0),
    lambda: c_k_2_v(SlowFloat(1.0), "two"),
    lambda: wbl_cdf(1.0, 2.0, 3.0, RaisingFloat()),
]


def outcome(call):
    try:
        return ("ok", struct.pack("<d", call()))
    except Exception as error:  # the outcome, compared below, is the point
        return (type(error).__name__, str(error))


def test_threads_get_the_single_threaded_results_and_messages():
    expected = [outcome(call) for call in CALLS]
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    mismatches = []

    def worker(offset):
        for round_ in range(300):
            for i in range(len(CALLS)):
                index = (i + offset + round_) % len(CALLS)
                got = outcome(CALLS[index])
                if got != expected[index]:
                    mismatches.append((index, got))

    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(previous)
    assert mismatches == []


class TestReentry:
    """The test module embeds vindral's functions beside a probe of their guard count."""

    def test_reentering_from_float_restores_the_count(self, testing):
        seen = []

        class Reentering:
            def __float__(self):
                seen.append(testing.gil_count())
                return testing.v_k_2_c(8.0, 2.0)

        assert testing.c_k_2_v(Reentering(), 2.0) == c_k_2_v(v_k_2_c(8.0, 2.0), 2.0)
        assert seen == [2]
        assert testing.gil_count() == 1

    def test_reentry_that_raises_restores_the_count(self, testing):
        seen = []

        class ReenteringBadly:
            def __float__(self):
                seen.append(testing.gil_count())
                return testing.v_k_2_c(8.0)  # missing k: raises inside the outer call

        with pytest.raises(TypeError) as info:
            testing.wbl_cdf(1.0, 2.0, ReenteringBadly(), 4.0)
        # The inner binding error is a conversion TypeError of the outer call.
        assert str(info.value) == (
            "argument 'v1': v_k_2_c() missing 1 required positional argument: 'k'"
        )
        assert seen == [2]
        assert testing.gil_count() == 1

    def test_deep_reentry_counts_each_level(self, testing):
        depths = []

        class Nested:
            def __init__(self, level):
                self.level = level

            def __float__(self):
                depths.append(testing.gil_count())
                if self.level == 0:
                    return 1.0
                return testing.c_k_2_v(Nested(self.level - 1), 1.0)

        testing.c_k_2_v(Nested(5), 1.0)
        assert depths == [2, 3, 4, 5, 6, 7]
        assert testing.gil_count() == 1
