"""What the array module costs, against its plain loop, a loop of scalar calls and numpy.

- per value, at 3,000,000 values: each ufunc (whose loops the module chose
  at import: SIMD lanes where they are exact, else the plain loop) against
  the plain loop over the library that every platform has, and each
  instruction set's loops, all over the same contiguous arrays (the
  test-only module's array_loop runs any of them);
- the plain loop as a process that asks for it gets it
  (VINDRAL_UFUNC_LOOP=plain): wbl_cdf against a bare C loop over the same
  arrays calling the same arithmetic, at 3,000 and 3,000,000 values;
- layouts: wbl_sf over strided and broadcast operands against adjacent ones;
- per call: the ufunc on arrays of n values against a Python loop of scalar
  vindral.wbl_cdf calls over lists of the same values, n from 1 up;
- the annual-energy shape, N sites x 12 sectors x 31 bin edges: wbl_sf at
  every edge, differenced, against numpy's own expression for the same bins,
  how many of the probabilities differ between the two, and how many of
  vindral's differ from the scalar functions' (none may);
- memory: what a call allocates besides its result (tracemalloc);
- two threads against one: numpy runs the ufunc's loop without the
  interpreter lock.

Times are medians of interleaved rounds in one process. Run through
scripts/bench, which builds everything first.
"""

import argparse
import concurrent.futures
import json
import os
import pathlib
import subprocess
import sys
import time
import tracemalloc

import numpy as np

import vindral
import vindral_ufunc
from call_cost import HERE, _vindral_testing, median_times, pyplot

PER_VALUE_COUNT = 3_000_000
# The module's loops at least this much faster per value than the plain loop.
SPEEDUP_TARGETS = {"wbl_sf": 2.5, "wbl_cdf": 2.5, "v_k_2_c": 2.0, "c_k_2_v": 2.0}
PLAIN_SIZES = [3_000, 3_000_000]
PLAIN_TARGET = 1.15  # the plain loop at most this times the bare C loop
LAYOUT_TARGET = 1.3  # strided or broadcast at most this times adjacent, per value
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


def arguments_of(name, n, seed=1):
    """Wind-range arguments of a ufunc, as contiguous arrays."""
    c, k, v1, v2 = wind_arrays(n, seed)
    return {"wbl_sf": (c, k, v1), "wbl_cdf": (c, k, v1, v2), "v_k_2_c": (v1 + 3.0, k)}.get(
        name, (c, k)
    )


def simd_kinds():
    """The SIMD loops this machine runs, of those the test-only module holds."""
    kinds = []
    for kind in ("avx2", "avx512"):
        try:
            _vindral_testing.simd_self_test(kind)
            kinds.append(kind)
        except ValueError:
            pass
    return kinds


def per_value(rounds):
    """(function, {loop: ns per value}): "ufunc" is the module's choice."""
    rows = []
    for name in SPEEDUP_TARGETS:
        arrays = arguments_of(name, PER_VALUE_COUNT)
        out = np.empty(PER_VALUE_COUNT)
        names = {
            "ufunc": getattr(vindral_ufunc, name),
            "loop": _vindral_testing.array_loop,
            "arrays": arrays,
            "addresses": [a.ctypes.data for a in arrays],
            "out": out.ctypes.data,
            "n": PER_VALUE_COUNT,
            "name": name,
        }
        statements = {"ufunc": "ufunc(*arrays)"}
        for kind in ["plain", *simd_kinds()]:
            statements[kind] = f"loop({kind!r}, name, out, n, *addresses)"
        times = median_times(list(statements.values()), names, rounds, seconds_per_sample=0.05)
        rows.append(
            (name, {loop: times[stmt] / PER_VALUE_COUNT for loop, stmt in statements.items()})
        )
    return rows


def plain_against_bare(rounds):
    """(n, ufunc ns per value, bare loop ns per value), measured in a process that
    asks for the plain loop."""
    if os.environ.get("VINDRAL_UFUNC_LOOP") != "plain":
        env = dict(os.environ, VINDRAL_UFUNC_LOOP="plain")
        command = [sys.executable, __file__, "--plain-against-bare", "--rounds", str(rounds)]
        output = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
        return [tuple(row) for row in json.loads(output.stdout)]
    assert vindral_ufunc.loop == "plain"
    rows = []
    for n in PLAIN_SIZES:
        c, k, v1, v2 = wind_arrays(n)
        out = np.empty(n)
        names = {
            "ufunc": vindral_ufunc.wbl_cdf,
            "bare": _vindral_testing.bare_wbl_cdf_loop,
            "arrays": (c, k, v1, v2),
            "addresses": [a.ctypes.data for a in (c, k, v1, v2, out)],
            "n": n,
        }
        ufunc, bare = "ufunc(*arrays)", "bare(*addresses, n)"
        times = median_times([ufunc, bare], names, rounds, seconds_per_sample=0.05)
        assert np.array_equal(vindral_ufunc.wbl_cdf(c, k, v1, v2), out)  # the same arithmetic
        rows.append((n, times[ufunc] / n, times[bare] / n))
    return rows


def layouts(rounds):
    """(layout, wbl_sf ns per value) for adjacent, strided and broadcast operands."""
    n = PER_VALUE_COUNT
    c, k, v, _ = wind_arrays(n)
    spaced = [np.repeat(a, 2) for a in (c, k, v)]
    names = {
        "sf": vindral_ufunc.wbl_sf,
        "adjacent": (c, k, v),
        "strided": [a[::2] for a in spaced],
        "broadcast": (np.float64(8.5), np.float64(2.1), v),
    }
    statements = {layout: f"sf(*{layout})" for layout in ("adjacent", "strided", "broadcast")}
    times = median_times(list(statements.values()), names, rounds, seconds_per_sample=0.05)
    return [(layout, times[stmt] / n) for layout, stmt in statements.items()]


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


def scalar_probabilities(c, k, edges):
    """The bins' probabilities by the plain loop over the scalar function."""
    cc, kk, ee = np.broadcast_arrays(c, k, edges)
    arrays = [np.ascontiguousarray(a).ravel() for a in (cc, kk, ee)]
    survival = np.empty(arrays[0].size)
    _vindral_testing.array_loop(
        "plain", "wbl_sf", survival.ctypes.data, survival.size, *(a.ctypes.data for a in arrays)
    )
    survival = survival.reshape(cc.shape)
    return survival[..., :-1] - survival[..., 1:]


def annual_energy_shape(rounds):
    """(sites, vindral us, numpy us, differing from numpy, all, largest ulp gap,
    differing from the scalar functions)."""
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
        scalar = scalar_probabilities(c, k, EDGES)
        not_scalar = int((a.view(np.uint64) != scalar.view(np.uint64)).sum())
        rows.append(
            (sites, times[ours] / 1e3, times[theirs] / 1e3, differ.sum(), a.size, gap, not_scalar)
        )
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


def write_table(path, tables):
    """tables: the rows of every measurement, by name."""
    kinds = [loop for loop in tables["per_value"][0][1] if loop not in ("ufunc", "plain")]
    lines = [
        f"The module's loops here: `{vindral_ufunc.loop}`. Nanoseconds per value at "
        f"{PER_VALUE_COUNT:,} values:",
        "",
        "| function | ufunc | plain loop | "
        + "".join(f"{kind} loop | " for kind in kinds)
        + "plain ÷ ufunc (target) |",
        "|---|---:|---:|" + "---:|" * len(kinds) + "---:|",
    ]
    for name, times in tables["per_value"]:
        cells = "".join(f"{times[kind]:.1f} | " for kind in kinds)
        speedup = times["plain"] / times["ufunc"]
        lines.append(
            f"| {name} | {times['ufunc']:.1f} | {times['plain']:.1f} | {cells}"
            f"{speedup:.2f} (≥ {SPEEDUP_TARGETS[name]}) |"
        )
    lines += [
        "",
        "| values | plain-loop ufunc ns per value | bare C loop ns per value | ratio (target) |",
        "|---:|---:|---:|---:|",
    ]
    for n, ours, bare in tables["plain"]:
        lines.append(f"| {n:,} | {ours:.1f} | {bare:.1f} | {ours / bare:.3f} (≤ {PLAIN_TARGET}) |")
    adjacent = dict(tables["layouts"])["adjacent"]
    lines += ["", "| wbl_sf operands | ns per value | ÷ adjacent (target) |", "|---|---:|---:|"]
    for layout, time_ in tables["layouts"]:
        target = "" if layout == "adjacent" else f" (≤ {LAYOUT_TARGET})"
        lines.append(f"| {layout} | {time_:.1f} | {time_ / adjacent:.2f}{target} |")
    lines += [
        "",
        "| values | ufunc µs per call | scalar loop µs per call | loop ÷ ufunc (target) |",
        "|---:|---:|---:|---:|",
    ]
    for n, ours, loop in tables["loop"]:
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
        "| sites × 12 × 31 edges | vindral µs | numpy µs | vindral ÷ numpy (target) "
        "| probabilities that differ from numpy's | largest gap (units in the last place) "
        "| differ from the scalar functions' |",
        "|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for sites, ours, theirs, differ, total, gap, not_scalar in tables["shape"]:
        target = " (≤ 1)" if sites >= 100 else ""
        lines.append(
            f"| {sites:,} | {ours:,.1f} | {theirs:,.1f} | {ours / theirs:.2f}{target} "
            f"| {differ:,} of {total:,} ({100 * differ / total:.1f} %) | {gap:,} | {not_scalar} |"
        )
    lines += ["", "| call | result bytes | bytes allocated besides the result |", "|---|---:|---:|"]
    lines += [f"| {case} | {size:,} | {extra:,} |" for case, size, extra in tables["memory"]]
    one, two = tables["threads"]
    lines += [
        "",
        f"Two blocks of 3,000,000 values: {one:.3f} s on one thread, {two:.3f} s on two "
        f"({one / two:.2f}× faster).",
    ]
    path.write_text("\n".join(lines) + "\n")


def draw_chart(path, tables):
    plt = pyplot()
    if plt is None:
        return False
    fig, axis = plt.subplots(figsize=(7.5, 4.5))
    loop_rows = tables["loop"]
    sizes = [n for n, _, _ in loop_rows]
    axis.plot(sizes, [o / n for n, o, _ in loop_rows], marker="o", label="vindral_ufunc.wbl_cdf")
    axis.plot(
        sizes, [lp / n for n, _, lp in loop_rows], marker="s", label="loop of vindral.wbl_cdf"
    )
    axis.plot(
        [n for n, _, _ in tables["plain"]],
        [bare for _, _, bare in tables["plain"]],
        marker="^",
        linestyle="--",
        label="bare C loop over the library",
    )
    axis.set_xscale("log")
    axis.set_yscale("log")
    axis.set_xlabel("values per call")
    axis.set_ylabel("nanoseconds per value (median)")
    axis.set_title(f"Arrays: the ufunc ({vindral_ufunc.loop} loops) against scalar calls")
    axis.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def targets_missed(tables):
    missed = [
        f"{name} per value"
        for name, times in tables["per_value"]
        if times["plain"] / times["ufunc"] < SPEEDUP_TARGETS[name]
    ]
    missed += [f"plain loop at {n:,} values" for n, o, b in tables["plain"] if o / b > PLAIN_TARGET]
    adjacent = dict(tables["layouts"])["adjacent"]
    missed += [
        f"{layout} operands" for layout, t in tables["layouts"] if t > LAYOUT_TARGET * adjacent
    ]
    missed += [
        f"{n:,} values against the loop"
        for n, o, lp in tables["loop"]
        if (n >= 30 and lp / o < LOOP_TARGET_FROM_30) or (n == 1 and o / lp > LOOP_TARGET_AT_1)
    ]
    missed += [
        f"{sites:,} sites against numpy"
        for sites, ours, theirs, *_ in tables["shape"]
        if sites >= 100 and ours > theirs
    ]
    missed += [f"{row[0]:,} sites: not the scalar results" for row in tables["shape"] if row[-1]]
    missed += [f"{case}: allocates in proportion" for case in grows_with_input(tables["memory"])]
    return missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds (9)")
    parser.add_argument(
        "--out",
        type=pathlib.Path,
        default=HERE,
        help="folder for array_results.md and array_cost.png (benchmarks/)",
    )
    parser.add_argument(
        "--plain-against-bare", action="store_true", help="only that measurement, as JSON"
    )
    args = parser.parse_args()
    if args.plain_against_bare:
        print(json.dumps(plain_against_bare(args.rounds)))
        return

    tables = {
        "per_value": per_value(args.rounds),
        "plain": plain_against_bare(args.rounds),
        "layouts": layouts(args.rounds),
        "loop": against_scalar_loop(args.rounds),
        "shape": annual_energy_shape(args.rounds),
        "memory": memory(),
        "threads": threads(),
    }
    args.out.mkdir(parents=True, exist_ok=True)
    table = args.out / "array_results.md"
    write_table(table, tables)
    print(table.read_text(), end="")
    print(f"\ntable written to {table}")
    chart = args.out / "array_cost.png"
    if draw_chart(chart, tables):
        print(f"chart written to {chart}")
    missed = targets_missed(tables)
    print("targets met" if not missed else "targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
