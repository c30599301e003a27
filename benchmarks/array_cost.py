"""What the array module costs, against a bare C loop, a loop of scalar calls and numpy.

- per value: vindral_ufunc.wbl_cdf against a bare C loop over the same
  contiguous arrays calling the same arithmetic (the test-only module's
  bare_wbl_cdf_loop), at 3,000 and 3,000,000 values;
- per call: the ufunc on arrays of n values against a Python loop of scalar
  vindral.wbl_cdf calls over lists of the same values, n from 1 up;
- the annual-energy shape, N sites x 12 sectors x 31 bin edges: wbl_sf at
  every edge, differenced, against numpy's own expression for the same bins,
  and how many of the probabilities differ between the two;
- memory: what a call allocates besides its result (tracemalloc);
- two threads against one: numpy runs the ufunc's loop without the
  interpreter lock.

Times are medians of interleaved rounds in one process. Run through
scripts/bench, which builds everything first.
"""

import argparse
import concurrent.futures
import pathlib
import time
import tracemalloc

import numpy as np

import vindral
import vindral_ufunc
from call_cost import HERE, _vindral_testing, median_times, pyplot

PER_VALUE_SIZES = [3_000, 3_000_000]
PER_VALUE_TARGET = 1.15
LOOP_SIZES = [1, 3, 10, 30, 100, 1_000, 10_000]
LOOP_TARGET_FROM_30 = 3.5  # the ufunc at least this much faster than the loop
LOOP_TARGET_AT_1 = 1.1  # and at one value no slower than this times the loop
SITE_COUNTS = [1, 100, 10_000]
EDGES = np.arange(31.0)


def wind_arrays(n, seed=1):
    rng = np.random.default_rng(seed)
    c, k = rng.uniform(3.0, 14.0, n), rng.uniform(1.2, 3.5, n)
    v1 = rng.uniform(0.0, 25.0, n)
    return c, k, v1, v1 + 1.0


def per_value(rounds):
    """(n, ufunc ns per value, bare loop ns per value)."""
    rows = []
    for n in PER_VALUE_SIZES:
        c, k, v1, v2 = wind_arrays(n)
        out = np.empty(n)
        names = {
            "ufunc": vindral_ufunc.wbl_cdf,
            "bare": _vindral_testing.bare_wbl_cdf_loop,
            "c": c,
            "k": k,
            "v1": v1,
            "v2": v2,
            "addresses": [a.ctypes.data for a in (c, k, v1, v2, out)],
            "n": n,
        }
        ufunc, bare = "ufunc(c, k, v1, v2)", "bare(*addresses, n)"
        times = median_times([ufunc, bare], names, rounds, seconds_per_sample=0.05)
        assert np.array_equal(vindral_ufunc.wbl_cdf(c, k, v1, v2), out)  # the same arithmetic
        rows.append((n, times[ufunc] / n, times[bare] / n))
    return rows


def against_scalar_loop(rounds):
    """(n, ufunc ns per call, scalar loop ns per call)."""
    rows = []
    for n in LOOP_SIZES:
        arrays = wind_arrays(n)
        names = {
            "ufunc": vindral_ufunc.wbl_cdf,
            "scalar": vindral.wbl_cdf,
            "arrays": arrays,
            "lists": [a.tolist() for a in arrays],
        }
        ufunc = "ufunc(*arrays)"
        loop = "[scalar(c, k, a, b) for c, k, a, b in zip(*lists)]"
        times = median_times([ufunc, loop], names, rounds, seconds_per_sample=0.02)
        rows.append((n, times[ufunc], times[loop]))
    return rows


def numpy_expression(c, k, edges):
    survival = np.exp(-((edges / c) ** k))
    return survival[..., :-1] - survival[..., 1:]


def vindral_expression(c, k, edges):
    survival = vindral_ufunc.wbl_sf(c, k, edges)
    return survival[..., :-1] - survival[..., 1:]


def annual_energy_shape(rounds):
    """(sites, vindral us, numpy us, differing probabilities, all, largest ulp gap)."""
    rows = []
    for sites in SITE_COUNTS:
        rng = np.random.default_rng(sites)
        c = rng.uniform(3.0, 14.0, (sites, 12, 1))
        k = rng.uniform(1.2, 3.5, (sites, 12, 1))
        names = {"ours": vindral_expression, "theirs": numpy_expression, "c": c, "k": k}
        names["edges"] = EDGES
        ours, theirs = "ours(c, k, edges)", "theirs(c, k, edges)"
        times = median_times([ours, theirs], names, rounds, seconds_per_sample=0.05)
        a, b = vindral_expression(c, k, EDGES), numpy_expression(c, k, EDGES)
        differ = a != b
        gap = np.abs(a.view(np.int64) - b.view(np.int64)).max() if differ.any() else 0
        rows.append((sites, times[ours] / 1e3, times[theirs] / 1e3, differ.sum(), a.size, gap))
    return rows


def allocated_besides_result(ufunc, operands, result_bytes):
    """Peak bytes that tracemalloc saw during `ufunc(*operands)`, less the result's own."""
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = ufunc(*operands)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert result.nbytes == result_bytes
    return peak - before - result_bytes


def memory():
    """(case, result bytes, bytes allocated besides the result), each at two sizes."""
    rows = []
    for n in (1_000, 1_000_000):
        operands = wind_arrays(n)
        rows.append(
            (
                f"wbl_cdf, {n:,} values",
                8 * n,
                allocated_besides_result(vindral_ufunc.wbl_cdf, operands, 8 * n),
            )
        )
    for sites in (100, 10_000):
        operands = (np.full((sites, 12, 1), 9.0), np.full((sites, 12, 1), 2.1), EDGES)
        size = sites * 12 * EDGES.size
        rows.append(
            (
                f"wbl_sf, {sites:,} × 12 × 31 broadcast",
                8 * size,
                allocated_besides_result(vindral_ufunc.wbl_sf, operands, 8 * size),
            )
        )
    return rows


def grows_with_input(memory_rows):
    """The cases whose extra allocation grows with the input: pairs of sizes compared."""
    pairs = zip(memory_rows[::2], memory_rows[1::2])
    return [large[0] for small, large in pairs if large[2] > small[2] + 4096]


def threads(n=3_000_000, repeats=3):
    """(wall seconds for two blocks on one thread, on two threads), best of `repeats`."""
    halves = [wind_arrays(n, seed) for seed in (1, 2)]

    def compute(arrays):
        return vindral_ufunc.wbl_cdf(*arrays)

    one = two = float("inf")
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for _ in range(repeats):
            started = time.perf_counter()
            for arrays in halves:
                compute(arrays)
            one = min(one, time.perf_counter() - started)
            started = time.perf_counter()
            list(pool.map(compute, halves))
            two = min(two, time.perf_counter() - started)
    return one, two


def write_table(path, per_value_rows, loop_rows, shape_rows, memory_rows, thread_times):
    lines = [
        "| values | ufunc ns per value | bare C loop ns per value | ratio (target) |",
        "|---:|---:|---:|---:|",
    ]
    for n, ours, bare in per_value_rows:
        lines.append(
            f"| {n:,} | {ours:.1f} | {bare:.1f} | {ours / bare:.3f} (≤ {PER_VALUE_TARGET}) |"
        )
    lines += [
        "",
        "| values | ufunc µs per call | scalar loop µs per call | loop ÷ ufunc (target) |",
        "|---:|---:|---:|---:|",
    ]
    for n, ours, loop in loop_rows:
        target = (
            f"≥ {LOOP_TARGET_FROM_30}"
            if n >= 30
            else (f"≥ {1 / LOOP_TARGET_AT_1:.2f}" if n == 1 else "")
        )
        lines.append(
            f"| {n:,} | {ours / 1e3:.2f} | {loop / 1e3:.2f} | {loop / ours:.2f} {target} |"
        )
    lines += [
        "",
        "| sites × 12 × 31 edges | vindral µs | numpy µs | vindral ÷ numpy "
        "| probabilities that differ | largest gap (units in the last place) |",
        "|---:|---:|---:|---:|---:|---:|",
    ]
    for sites, ours, theirs, differ, total, gap in shape_rows:
        lines.append(
            f"| {sites:,} | {ours:,.1f} | {theirs:,.1f} | {ours / theirs:.2f} "
            f"| {differ:,} of {total:,} ({100 * differ / total:.1f} %) | {gap:,} |"
        )
    lines += ["", "| call | result bytes | bytes allocated besides the result |", "|---|---:|---:|"]
    lines += [f"| {case} | {size:,} | {extra:,} |" for case, size, extra in memory_rows]
    one, two = thread_times
    lines += [
        "",
        f"Two blocks of 3,000,000 values: {one:.3f} s on one thread, {two:.3f} s on two "
        f"({one / two:.2f}× faster).",
    ]
    path.write_text("\n".join(lines) + "\n")


def draw_chart(path, per_value_rows, loop_rows):
    plt = pyplot()
    if plt is None:
        return False
    fig, axis = plt.subplots(figsize=(7.5, 4.5))
    sizes = [n for n, _, _ in loop_rows]
    axis.plot(sizes, [o / n for n, o, _ in loop_rows], marker="o", label="vindral_ufunc.wbl_cdf")
    axis.plot(
        sizes, [lp / n for n, _, lp in loop_rows], marker="s", label="loop of vindral.wbl_cdf"
    )
    axis.plot(
        [n for n, _, _ in per_value_rows],
        [bare for _, _, bare in per_value_rows],
        marker="^",
        linestyle="--",
        label="bare C loop (floor)",
    )
    axis.set_xscale("log")
    axis.set_yscale("log")
    axis.set_xlabel("values per call")
    axis.set_ylabel("nanoseconds per value (median)")
    axis.set_title("Arrays: the ufunc against a loop of scalar calls")
    axis.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds (9)")
    parser.add_argument(
        "--out",
        type=pathlib.Path,
        default=HERE,
        help="folder for array_results.md and array_cost.png (benchmarks/)",
    )
    args = parser.parse_args()

    per_value_rows = per_value(args.rounds)
    loop_rows = against_scalar_loop(args.rounds)
    shape_rows = annual_energy_shape(args.rounds)
    memory_rows = memory()
    thread_times = threads()

    args.out.mkdir(parents=True, exist_ok=True)
    table = args.out / "array_results.md"
    write_table(table, per_value_rows, loop_rows, shape_rows, memory_rows, thread_times)
    print(table.read_text(), end="")
    print(f"\ntable written to {table}")
    chart = args.out / "array_cost.png"
    if draw_chart(chart, per_value_rows, loop_rows):
        print(f"chart written to {chart}")

    missed = [f"{n:,} values per value" for n, o, b in per_value_rows if o / b > PER_VALUE_TARGET]
    missed += [
        f"{n:,} values against the loop"
        for n, o, lp in loop_rows
        if (n >= 30 and lp / o < LOOP_TARGET_FROM_30) or (n == 1 and o / lp > LOOP_TARGET_AT_1)
    ]
    missed += [f"{case}: allocates in proportion" for case in grows_with_input(memory_rows)]
    print("targets met" if not missed else "targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
