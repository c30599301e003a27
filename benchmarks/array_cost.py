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
- the annual-energy shape, N sites x 12 sectors x 31 bin edges: wbl_bins,
  and wbl_sf at every edge differenced, against numpy's own expression for
  the same bins (median CPU time), how many of the probabilities differ
  between the two, and how many of vindral's differ from the scalar
  functions' (none may);
- memory: what a call allocates besides its result (tracemalloc);
- two threads against one: numpy runs the ufunc's loop without the
  interpreter lock.

The per-value costs, layouts and the annual-energy shape are measured twice:
as this machine runs them, and as a machine with AVX2 but not AVX-512 does
(numpy's AVX-512 code turned off by NPY_DISABLE_CPU_FEATURES, vindral capped
at its avx2 loops), in a process of its own. Times are medians of
interleaved rounds in one process. Run through scripts/bench, which builds
everything first.
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
# wbl_bins at most this times numpy's expression on the annual-energy shape,
# from 100 sites on, as each configuration runs it (at 10,000 sites only for
# the AVX2 one).
SHAPE_TARGETS = {"this machine": {100: 0.8, 10_000: 0.8}, "as an AVX2 machine": {10_000: 0.5}}
# An AVX2 machine: numpy's dispatch to its AVX-512 code off, vindral capped.
AVX2_MACHINE = {
    "NPY_DISABLE_CPU_FEATURES": "X86_V4 AVX512_ICL AVX512_SPR",
    "VINDRAL_UFUNC_LOOP": "avx2",
}


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
    """The SIMD loops this machine runs, of those the test-only module holds, up to
    the VINDRAL_UFUNC_LOOP cap."""
    kinds = []
    cap = os.environ.get("VINDRAL_UFUNC_LOOP", "avx512")
    for kind in ("avx2", "avx512")[: {"plain": 0, "avx2": 1}.get(cap, 2)]:
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
    survival = np.exp(-((edges / c[..., None]) ** k[..., None]))
    return survival[..., :-1] - survival[..., 1:]


def survival_differenced(c, k, edges):
    survival = vindral_ufunc.wbl_sf(c[..., None], k[..., None], edges)
    return survival[..., :-1] - survival[..., 1:]


def scalar_probabilities(c, k, edges):
    """The bins' probabilities by the plain loop over the scalar function."""
    cc, kk, ee = np.broadcast_arrays(c[..., None], k[..., None], edges)
    arrays = [np.ascontiguousarray(a).ravel() for a in (cc, kk, ee)]
    survival = np.empty(arrays[0].size)
    _vindral_testing.array_loop(
        "plain", "wbl_sf", survival.ctypes.data, survival.size, *(a.ctypes.data for a in arrays)
    )
    survival = survival.reshape(cc.shape)
    return survival[..., :-1] - survival[..., 1:]


def annual_energy_shape(rounds):
    """(sites, {way: us}, differing from numpy, all, largest ulp gap, differing from
    the scalar functions): CPU time of wbl_bins, wbl_sf differenced and numpy's."""
    rows = []
    ways = {"bins": vindral_ufunc.wbl_bins, "sf": survival_differenced, "numpy": numpy_expression}
    for sites in SITE_COUNTS:
        rng = np.random.default_rng(sites)
        c = rng.uniform(3.0, 14.0, (sites, 12))
        k = rng.uniform(1.2, 3.5, (sites, 12))
        names = {**ways, "c": c, "k": k, "edges": EDGES}
        statements = {way: f"{way}(c, k, edges)" for way in ways}
        times = median_times(
            list(statements.values()), names, rounds, 0.05, timer=time.process_time
        )
        a, b = vindral_ufunc.wbl_bins(c, k, EDGES), numpy_expression(c, k, EDGES)
        assert np.array_equal(a, survival_differenced(c, k, EDGES))
        differ = a != b
        gap = np.abs(a.view(np.int64) - b.view(np.int64)).max() if differ.any() else 0
        scalar = scalar_probabilities(c, k, EDGES)
        not_scalar = int((a.view(np.uint64) != scalar.view(np.uint64)).sum())
        us = {way: times[stmt] / 1e3 for way, stmt in statements.items()}
        rows.append((sites, us, int(differ.sum()), a.size, int(gap), not_scalar))
    return rows


def configuration(rounds):
    """What the configuration of this process gives: its loops, numpy's, and the
    per-value, layout and annual-energy measurements."""
    return {
        "loop": vindral_ufunc.loop,
        "per_value": per_value(rounds),
        "layouts": layouts(rounds),
        "shape": annual_energy_shape(rounds),
    }


def as_an_avx2_machine(rounds):
    """configuration() in a process that runs as a machine without AVX-512 does."""
    env = dict(os.environ, **AVX2_MACHINE)
    command = [sys.executable, __file__, "--configuration-only", "--rounds", str(rounds)]
    output = subprocess.run(command, env=env, check=True, capture_output=True, text=True)
    return json.loads(output.stdout)


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
        c, k = np.full((sites, 12), 9.0), np.full((sites, 12), 2.1)
        for name, operands, size in (
            ("wbl_sf", (c[..., None], k[..., None], EDGES), sites * 12 * EDGES.size),
            ("wbl_bins", (c, k, EDGES), sites * 12 * (EDGES.size - 1)),
        ):
            rows.append(
                (
                    f"{name}, {sites:,} × 12 × 31 edges",
                    8 * size,
                    allocated_besides_result(getattr(vindral_ufunc, name), operands, 8 * size),
                )
            )
    return rows


def grows_with_input(memory_rows):
    """The cases whose extra allocation grows with the input: sizes of a case compared."""
    extra = {}
    for case, _, allocated in memory_rows:
        extra.setdefault(case.split(",")[0], []).append((case, allocated))
    return [sizes[-1][0] for sizes in extra.values() if sizes[-1][1] > sizes[0][1] + 4096]


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


def configuration_lines(name, measured):
    """The tables of one configuration: per value, layouts, the annual-energy shape."""
    kinds = [loop for loop in measured["per_value"][0][1] if loop not in ("ufunc", "plain")]
    lines = [
        f"### {name} (`{measured['loop']}` loops)",
        "",
        f"Nanoseconds per value at {PER_VALUE_COUNT:,} values:",
        "",
        "| function | ufunc | plain loop | "
        + "".join(f"{kind} loop | " for kind in kinds)
        + "plain ÷ ufunc (target) |",
        "|---|---:|---:|" + "---:|" * len(kinds) + "---:|",
    ]
    for function, times in measured["per_value"]:
        cells = "".join(f"{times[kind]:.1f} | " for kind in kinds)
        speedup = times["plain"] / times["ufunc"]
        lines.append(
            f"| {function} | {times['ufunc']:.1f} | {times['plain']:.1f} | {cells}"
            f"{speedup:.2f} (≥ {SPEEDUP_TARGETS[function]}) |"
        )
    adjacent = dict(measured["layouts"])["adjacent"]
    lines += ["", "| wbl_sf operands | ns per value | ÷ adjacent (target) |", "|---|---:|---:|"]
    for layout, time_ in measured["layouts"]:
        target = "" if layout == "adjacent" else f" (≤ {LAYOUT_TARGET})"
        lines.append(f"| {layout} | {time_:.1f} | {time_ / adjacent:.2f}{target} |")
    targets = SHAPE_TARGETS[name]
    lines += [
        "",
        "| sites × 12 × 31 edges | wbl_bins µs (ns per bin) | wbl_sf differenced µs "
        "| numpy µs | wbl_bins ÷ numpy (target) | probabilities that differ from numpy's "
        "| largest gap (units in the last place) | differ from the scalar functions' |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for sites, us, differ, total, gap, not_scalar in measured["shape"]:
        target = f" (≤ {targets[sites]})" if sites in targets else ""
        lines.append(
            f"| {sites:,} | {us['bins']:,.1f} ({1e3 * us['bins'] / total:.2f}) "
            f"| {us['sf']:,.1f} | {us['numpy']:,.1f} | {us['bins'] / us['numpy']:.2f}{target} "
            f"| {differ:,} of {total:,} ({100 * differ / total:.1f} %) | {gap:,} | {not_scalar} |"
        )
    return lines


def write_table(path, tables):
    """tables: the rows of every measurement, by name."""
    lines = []
    for name, measured in tables["configurations"].items():
        lines += [*configuration_lines(name, measured), ""]
    lines += [
        "### Both",
        "",
        "| values | plain-loop ufunc ns per value | bare C loop ns per value | ratio (target) |",
        "|---:|---:|---:|---:|",
    ]
    for n, ours, bare in tables["plain"]:
        lines.append(f"| {n:,} | {ours:.1f} | {bare:.1f} | {ours / bare:.3f} (≤ {PLAIN_TARGET}) |")
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
    fig, (axis, shape_axis) = plt.subplots(1, 2, figsize=(12, 4.5))
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
    axis.set_title(f"The ufunc ({vindral_ufunc.loop} loops) against scalar calls")
    axis.legend()
    # The annual-energy shape at the most sites, per configuration.
    ways = {
        "numpy": "numpy's exp(-(e/c)**k), differenced",
        "sf": "wbl_sf, differenced",
        "bins": "wbl_bins",
    }
    names = list(tables["configurations"])
    for offset, (way, label) in enumerate(ways.items()):
        values = []
        for name in names:
            _, us, _, total, *_ = tables["configurations"][name]["shape"][-1]
            values.append(1e3 * us[way] / total)
        positions = [i + (offset - 1) * 0.27 for i in range(len(names))]
        shape_axis.bar(positions, values, width=0.27, label=label)
    shape_axis.set_xticks(range(len(names)), names)
    shape_axis.set_ylabel("nanoseconds per bin (median CPU time)")
    shape_axis.set_title(f"Annual-energy shape, {SITE_COUNTS[-1]:,} sites × 12 × 30 bins")
    shape_axis.legend(loc="upper left")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def targets_missed(tables):
    missed = []
    for name, measured in tables["configurations"].items():
        missed += [
            f"{name}: {function} per value"
            for function, times in measured["per_value"]
            if times["plain"] / times["ufunc"] < SPEEDUP_TARGETS[function]
        ]
        adjacent = dict(measured["layouts"])["adjacent"]
        missed += [
            f"{name}: {layout} operands"
            for layout, t in measured["layouts"]
            if t > LAYOUT_TARGET * adjacent
        ]
        targets = SHAPE_TARGETS[name]
        missed += [
            f"{name}: {sites:,} sites against numpy"
            for sites, us, *_ in measured["shape"]
            if sites in targets and us["bins"] > targets[sites] * us["numpy"]
        ]
        missed += [
            f"{name}: {row[0]:,} sites not the scalar results"
            for row in measured["shape"]
            if row[-1]
        ]
    missed += [f"plain loop at {n:,} values" for n, o, b in tables["plain"] if o / b > PLAIN_TARGET]
    missed += [
        f"{n:,} values against the loop"
        for n, o, lp in tables["loop"]
        if (n >= 30 and lp / o < LOOP_TARGET_FROM_30) or (n == 1 and o / lp > LOOP_TARGET_AT_1)
    ]
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
    parser.add_argument(
        "--configuration-only",
        action="store_true",
        help="only the measurements of this process's configuration, as JSON",
    )
    args = parser.parse_args()
    if args.plain_against_bare:
        print(json.dumps(plain_against_bare(args.rounds)))
        return
    if args.configuration_only:
        print(json.dumps(configuration(args.rounds)))
        return

    tables = {
        "configurations": {
            "this machine": configuration(args.rounds),
            "as an AVX2 machine": as_an_avx2_machine(args.rounds),
        },
        "plain": plain_against_bare(args.rounds),
        "loop": against_scalar_loop(args.rounds),
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
