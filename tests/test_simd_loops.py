"""The array loops in SIMD lanes: used only where shown exact, and then bit for bit the library.

On x86_64 with a tested glibc whose FMA build of exp and pow is in use, the
array module runs loops that repeat the library's algorithms in AVX2 or
AVX-512 lanes; everywhere else, the plain loop. The test-only module holds
the same loops and compares them with the library over drawn inputs in C++.
"""

import os
import platform
import sys

import pytest

from conftest import FUZZ_SCALE, run_python

np = pytest.importorskip("numpy", reason="vindral_ufunc needs numpy, which this interpreter lacks")
vu = pytest.importorskip("vindral_ufunc")

FUNCTIONS = ("exp", "pow", "v_k_2_c", "c_k_2_v", "wbl_sf", "wbl_cdf")
UFUNCS = ("v_k_2_c", "c_k_2_v", "wbl_sf", "wbl_cdf")
# The glibc releases the loops serve: those whose exp and pow compute as the
# long test shows them to, 2.31 (Debian 11) to 2.43 (Debian testing).
SERVED_GLIBC = [f"2.{minor}" for minor in range(31, 44)]


def baseline_library():
    """GLIBC_TUNABLES that hide AVX2 and FMA from glibc, which then uses its
    baseline exp and pow: the features had an _Usable suffix before glibc 2.33."""
    version = tuple(int(part) for part in platform.libc_ver()[1].split(".")[:2] if part.isdigit())
    features = "-AVX2_Usable,-FMA_Usable" if version < (2, 33) else "-AVX2,-FMA"
    return f"glibc.cpu.hwcaps={features}"


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as info:
            line = next(line for line in info if line.startswith("flags"))
    except (OSError, StopIteration):
        return set()
    return set(line.split(":", 1)[1].split())


def loops_this_machine_runs():
    """The SIMD loops the CPU and the C library allow here, widest first."""
    libc, version = platform.libc_ver()
    if not (sys.platform.startswith("linux") and platform.machine() == "x86_64"):
        return []
    if libc != "glibc" or version not in SERVED_GLIBC:
        return []
    flags = cpu_flags()
    runs = ["avx2"] if {"avx2", "fma"} <= flags else []
    return (["avx512"] if runs and "avx512f" in flags else []) + runs


SIMD = loops_this_machine_runs()
EXPECTED = SIMD[0] if SIMD else "plain"


def loop_chosen(monkeypatch, asked=None, tunables=None):
    """What vindral_ufunc.loop says in a fresh process with that environment."""
    for name, value in (("VINDRAL_UFUNC_LOOP", asked), ("GLIBC_TUNABLES", tunables)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    result = run_python("import vindral_ufunc; print(vindral_ufunc.loop)")
    return result.stdout.strip() if result.returncode == 0 else result.stderr.strip()


def test_the_module_names_the_loops_it_chose(monkeypatch):
    assert vu.loop == EXPECTED
    assert loop_chosen(monkeypatch) == EXPECTED
    assert loop_chosen(monkeypatch, asked="plain") == "plain"
    assert loop_chosen(monkeypatch, asked="avx2") == ("avx2" if SIMD else "plain")
    assert loop_chosen(monkeypatch, asked="sse").endswith(
        "ImportError: VINDRAL_UFUNC_LOOP must be plain, avx2 or avx512, not 'sse'"
    )


def test_the_loops_serve_the_glibc_releases_whose_exp_and_pow_they_repeat(testing):
    versions = {f"2.{minor}" for minor in range(20, 60)} | {"2.43.9000", "2.31a", "3.31", "2.", ""}
    assert sorted(v for v in versions if testing.serves_glibc(v)) == SERVED_GLIBC


@pytest.mark.skipif(not SIMD, reason="no SIMD loops here to refuse")
def test_the_library_s_baseline_build_keeps_the_plain_loop(monkeypatch, testing):
    # glibc's build of exp and pow for CPUs without FMA rounds otherwise: the
    # self-test must see that, whatever the CPU offers.
    assert loop_chosen(monkeypatch, tunables=baseline_library()) == "plain"
    # Under that build too, every element is the scalar function's result.
    result = run_python(
        f"""
        import numpy as np, vindral, vindral_ufunc as vu, _vindral_testing as t
        print([t.simd_self_test(kind) for kind in {SIMD!r}])
        c, k, v = np.random.default_rng(3).uniform(0.5, 30.0, (3, 5000))
        scalar = [vindral.wbl_cdf(*args) for args in zip(c, k, v, v + 1.0)]
        print(vu.wbl_cdf(c, k, v, v + 1.0).tolist() == scalar)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == [str([False] * len(SIMD)), "True"]


@pytest.mark.parametrize("region", ["bits", "wind", "hard"])
@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("kind", ["avx2", "avx512"])
def test_lanes_are_the_library_s_results(testing, kind, function, region):
    if kind not in SIMD:
        pytest.skip(f"this machine runs no {kind} loops")
    assert testing.simd_self_test(kind)
    seed = FUNCTIONS.index(function) * 3 + ["bits", "wind", "hard"].index(region)
    compare(testing, kind, function, region, max(20_000, int(300_000 * FUZZ_SCALE)), seed)


# How many draws of each library function the long test compares per
# instruction set: a billion where scripts/test asks for it (once per glibc).
COMPARISONS = int(os.environ.get("VINDRAL_SIMD_COMPARISONS", 10_000_000))


@pytest.mark.long
@pytest.mark.parametrize("function", ["exp", "pow"])
@pytest.mark.parametrize("kind", ["avx2", "avx512"])
def test_lanes_are_the_library_s_results_at_scale(testing, kind, function):
    if kind not in SIMD:
        pytest.skip(f"this machine runs no {kind} loops")
    # Most draws from the wind ranges, the rest from the hard regions and
    # from random bit patterns.
    for region, share in (("wind", 0.5), ("hard", 0.3), ("bits", 0.2)):
        compare(testing, kind, function, region, int(COMPARISONS * share), seed=1000 + len(region))


def compare(testing, kind, function, region, count, seed):
    compared, mismatched, arguments, got, expected = testing.simd_compare(
        kind, function, region, count, seed
    )
    assert compared >= count
    assert mismatched == 0, (
        f"{mismatched} of {compared}; first: {function}{arguments} gave {got!r}, "
        f"the library {expected!r}"
    )


def layout(values, kind):
    """The same values as an adjacent, strided, reversed or misaligned array."""
    n = len(values)
    if kind == "strided":
        strided = np.zeros(3 * n)
        strided[::3] = values
        return strided[::3]
    if kind == "reversed":
        return values[::-1].copy()[::-1]
    if kind == "misaligned":
        misaligned = np.ndarray((n,), np.float64, np.zeros(8 * n + 3, np.uint8).data, offset=3)
        misaligned[:] = values
        return misaligned
    return values


@pytest.mark.parametrize("name", UFUNCS)
def test_ufuncs_in_every_layout_give_the_plain_loop_s_results(testing, name):
    # The installed module's loops, whichever it chose, against the plain
    # loop of the test-only module, over every tail length and layout.
    from test_ufunc import mixed_doubles

    ufunc = getattr(vu, name)
    rng = np.random.default_rng(17)
    for length in [*range(20), 1000]:
        arguments = [mixed_doubles(rng, length) for _ in range(ufunc.nin)]
        expected = np.empty(length)
        testing.array_loop(
            "plain", name, expected.ctypes.data, length, *(a.ctypes.data for a in arguments)
        )
        for kind in ("adjacent", "strided", "reversed", "misaligned"):
            operands = [layout(a, kind) for a in arguments]
            with np.errstate(all="ignore"):
                got = ufunc(*operands)
            assert got.view(np.uint64).tolist() == expected.view(np.uint64).tolist(), (kind, length)
        if length:
            # One value broadcast to every element, beside a varying operand.
            with np.errstate(all="ignore"):
                got = ufunc(*[a[:1] for a in arguments[:-1]], arguments[-1])
            first = [np.full(length, a[0]) for a in arguments[:-1]]
            testing.array_loop(
                "plain", name, expected.ctypes.data, length,
                *(a.ctypes.data for a in [*first, arguments[-1]]),
            )  # fmt: skip
            assert got.view(np.uint64).tolist() == expected.view(np.uint64).tolist(), length


# Which floating-point exceptions numpy reports for each call.
WARNINGS = """
import json, numpy as np, vindral_ufunc as vu
reported = []
np.seterrcall(lambda kind, flag: reported.append(flag))
rng = np.random.default_rng(5)
special = [np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, -0.5, 5e-324, 1e308, 1e-300, 2.0]
out = []
with np.errstate(all="call"):
    for name in ("v_k_2_c", "c_k_2_v", "wbl_sf", "wbl_cdf"):
        ufunc = getattr(vu, name)
        for trial in range(300):
            arguments = [rng.choice(special + list(rng.uniform(0, 30, 4)), 9) for _ in range(ufunc.nin)]
            reported.clear()
            ufunc(*arguments)
            out.append(reported[:])
    for trial in range(300):
        c, k = (rng.choice(special + list(rng.uniform(0, 30, 4)), (3, 1)) for _ in range(2))
        reported.clear()
        vu.wbl_bins(c, k, rng.choice(special + list(rng.uniform(0, 30, 4)), 9))
        out.append(reported[:])
print(vu.loop, json.dumps(out))
"""


@pytest.mark.skipif(not SIMD, reason="no SIMD loops here")
def test_lanes_raise_the_warnings_the_plain_loop_raises(monkeypatch):
    # numpy turns the floating-point exceptions that a loop raises into
    # warnings: the lanes must raise what the scalar functions raise.
    runs = {}
    for asked in ("plain", SIMD[0]):
        monkeypatch.setenv("VINDRAL_UFUNC_LOOP", asked)
        result = run_python(WARNINGS)
        assert result.returncode == 0, result.stderr
        loop, reported = result.stdout.split(" ", 1)
        runs[loop] = reported
    assert len(runs) == 2 and runs["plain"] == runs[SIMD[0]]
