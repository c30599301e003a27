"""What one call of vindral costs, against the floor and the alternatives.

The floor is a bare C function with the same calling convention (argument
tuple and keyword dictionary) and the same arithmetic, and nothing else: the
test-only module's bare twins. Times are the median of interleaved rounds in
one process; instruction counts come from callgrind, which counts the same
on every run.

Run through scripts/bench, which builds everything first.
"""

import argparse
import math
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import textwrap
import time
import timeit

import vindral

try:
    import _vindral_testing
except ImportError:  # pragma: no cover - a setup fault
    sys.path.insert(0, os.environ.get("VINDRAL_TEST_MODULES", ""))
    import _vindral_testing

HERE = pathlib.Path(__file__).resolve().parent

# (call as written, floor call, positional or keyword)
CASES = [
    ("v_k_2_c(8.0, 2.0)", "bare_v_k_2_c(8.0, 2.0)", "positional"),
    ("v_k_2_c(8.0, k=2.0)", "bare_v_k_2_c(8.0, k=2.0)", "keyword"),
    ("v_k_2_c(v=8.0, k=2.0)", "bare_v_k_2_c(v=8.0, k=2.0)", "keyword"),
    ("c_k_2_v(10.0, 2.0)", "bare_c_k_2_v(10.0, 2.0)", "positional"),
    ("wbl_cdf(10.0, 2.0, 5.0, 10.0)", "bare_wbl_cdf(10.0, 2.0, 5.0, 10.0)", "positional"),
    (
        "wbl_cdf(c=10.0, k=2.0, v1=5.0, v2=10.0)",
        "bare_wbl_cdf(c=10.0, k=2.0, v1=5.0, v2=10.0)",
        "keyword",
    ),
]
TIME_TARGET = {"positional": 1.10, "keyword": 1.15}
INSTRUCTION_TARGET = 1.05


def py_v_k_2_c(v, k):
    return v / math.gamma(1.0 + 1.0 / k)


def py_c_k_2_v(c, k):
    return c * math.gamma(1.0 + 1.0 / k)


def py_wbl_cdf(c, k, v1, v2):
    return math.exp(-((v1 / c) ** k)) - math.exp(-((v2 / c) ** k))


def alternatives():
    """Other ways to get the same results, by vindral call they stand in for."""
    found = {
        "v_k_2_c(8.0, 2.0)": [("plain Python", "py_v_k_2_c(8.0, 2.0)")],
        "c_k_2_v(10.0, 2.0)": [("plain Python", "py_c_k_2_v(10.0, 2.0)")],
        "wbl_cdf(10.0, 2.0, 5.0, 10.0)": [("plain Python", "py_wbl_cdf(10.0, 2.0, 5.0, 10.0)")],
    }
    try:
        import scipy  # noqa: F401
    except ImportError:
        return found, {}
    found["v_k_2_c(8.0, 2.0)"].append(("scipy", "8.0 / gamma(1.0 + 1.0 / 2.0)"))
    found["c_k_2_v(10.0, 2.0)"].append(("scipy", "10.0 * gamma(1.0 + 1.0 / 2.0)"))
    found["wbl_cdf(10.0, 2.0, 5.0, 10.0)"].append(
        ("scipy", "weibull_min.cdf(10.0, 2.0, scale=10.0) - weibull_min.cdf(5.0, 2.0, scale=10.0)")
    )
    from scipy.special import gamma
    from scipy.stats import weibull_min

    return found, {"gamma": gamma, "weibull_min": weibull_min}


def namespace(extra):
    names = {name: getattr(vindral, name) for name in vindral.__all__}
    names.update(
        (name, getattr(_vindral_testing, name))
        for name in ("bare_v_k_2_c", "bare_c_k_2_v", "bare_wbl_cdf")
    )
    names.update(py_v_k_2_c=py_v_k_2_c, py_c_k_2_v=py_c_k_2_v, py_wbl_cdf=py_wbl_cdf)
    names.update(extra)
    return names


def median_times(statements, names, rounds, seconds_per_sample, timer=time.perf_counter):
    """Median nanoseconds per call of each statement, sampled in interleaved rounds
    (wall-clock time, or the process's CPU time with timer=time.process_time)."""
    timers = {stmt: timeit.Timer(stmt, timer=timer, globals=names) for stmt in statements}
    numbers = {}
    for stmt, timer in timers.items():
        number, taken = timer.autorange()
        numbers[stmt] = max(1, int(number * seconds_per_sample / taken))
    samples = {stmt: [] for stmt in statements}
    order = list(statements)
    rng = random.Random(0)
    for _ in range(rounds):
        rng.shuffle(order)  # no statement always runs first or last in a round
        for stmt in order:
            samples[stmt].append(timers[stmt].timeit(numbers[stmt]) / numbers[stmt] * 1e9)
    return {stmt: statistics.median(values) for stmt, values in samples.items()}


# The test-only module embeds vindral's functions too: vindral's own are
# imported last, so that the calls measured are the installed module's.
CALLGRIND_PROGRAM = """
from _vindral_testing import *
from vindral import *
def loop(n):
    for _ in range(n):
        {stmt}
loop({n})
"""


def instructions_per_call(stmt, short=20_000, long=60_000):
    """Instructions per call: the difference of two loop lengths cancels start-up."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(_vindral_testing.__file__), env.get("PYTHONPATH", "")]
    )
    totals = []
    for n in (short, long):
        program = textwrap.dedent(CALLGRIND_PROGRAM.format(stmt=stmt, n=n))
        run = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--callgrind-out-file=/dev/null",
                sys.executable,
                "-c",
                program,
            ],
            capture_output=True,
            text=True,
            env=env,
            check=True,
        )
        collected = [line for line in run.stderr.splitlines() if "Collected :" in line]
        totals.append(int(collected[-1].split(":")[-1]))
    return (totals[1] - totals[0]) / (long - short)


def write_table(path, rows, alternative_rows, instructions_measured):
    lines = [
        "| call | vindral ns | floor ns | time ratio (target) |"
        + (
            " vindral instr | floor instr | instr ratio (target) |" if instructions_measured else ""
        ),
        "|---|---:|---:|---:|" + ("---:|---:|---:|" if instructions_measured else ""),
    ]
    for row in rows:
        line = (
            f"| `{row['call']}` | {row['ns']:.1f} | {row['floor_ns']:.1f} | "
            f"{row['ratio']:.3f} (≤ {row['target']:.2f}) |"
        )
        if instructions_measured:
            line += (
                f" {row['instr']:.0f} | {row['floor_instr']:.0f} | "
                f"{row['instr_ratio']:.3f} (≤ {INSTRUCTION_TARGET:.2f}) |"
            )
        lines.append(line)
    if alternative_rows:
        lines += ["", "| same result by | ns per call | × vindral |", "|---|---:|---:|"]
        for call, label, ns, ratio in alternative_rows:
            lines.append(f"| {label}, for `{call}` | {ns:.1f} | {ratio:.1f} |")
    path.write_text("\n".join(lines) + "\n")


def pyplot():
    """matplotlib's pyplot drawing to files, or None (said so) when it is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib is not installed: no chart; pip install 'vindral[bench]')")
        return None
    return plt


def draw_chart(path, rows, alternative_rows):
    plt = pyplot()
    if plt is None:
        return False
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.2), gridspec_kw={"width_ratios": [3, 2]})
    labels = [row["call"] for row in rows]
    ys = range(len(rows))
    left.barh(
        [y + 0.2 for y in ys],
        [row["floor_ns"] for row in rows],
        0.4,
        label="bare C floor",
        color="#9aa5b1",
    )
    left.barh(
        [y - 0.2 for y in ys], [row["ns"] for row in rows], 0.4, label="vindral", color="#1f6f8b"
    )
    for y, row in zip(ys, rows):
        left.text(row["ns"], y - 0.2, f" ×{row['ratio']:.2f}", va="center", fontsize=8)
    left.set_yticks(list(ys), labels, fontsize=8)
    left.invert_yaxis()
    left.set_xlabel("nanoseconds per call (median)")
    left.set_title("vindral against a bare C function")
    left.legend(loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=2, fontsize=8)

    if alternative_rows:
        names = [f"{label}\n{call.split('(')[0]}" for call, label, _, _ in alternative_rows]
        by_call = {row["call"]: row["ns"] for row in rows}
        values = [ns for _, _, ns, _ in alternative_rows]
        vindral_values = [by_call[call] for call, _, _, _ in alternative_rows]
        ys = range(len(names))
        right.barh([y + 0.2 for y in ys], values, 0.4, color="#d08c60", label="alternative")
        right.barh([y - 0.2 for y in ys], vindral_values, 0.4, color="#1f6f8b", label="vindral")
        right.set_xscale("log")
        right.set_yticks(list(ys), names, fontsize=8)
        right.invert_yaxis()
        right.set_xlabel("nanoseconds per call (log scale)")
        right.set_title("the same results by other means")
        right.legend(loc="upper center", bbox_to_anchor=(0.5, -0.13), ncol=2, fontsize=8)
    else:
        right.axis("off")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds (15)")
    parser.add_argument(
        "--sample-seconds", type=float, default=0.02, help="length of one timed sample (0.02)"
    )
    parser.add_argument("--no-callgrind", action="store_true", help="skip instruction counts")
    parser.add_argument(
        "--out",
        type=pathlib.Path,
        default=HERE,
        help="folder for results.md and call_cost.png (benchmarks/)",
    )
    args = parser.parse_args()

    extra_alternatives, extra_names = alternatives()
    names = namespace(extra_names)
    statements = [call for call, _, _ in CASES] + [floor for _, floor, _ in CASES]
    statements += [stmt for found in extra_alternatives.values() for _, stmt in found]
    times = median_times(statements, names, args.rounds, args.sample_seconds)

    measure_instructions = not args.no_callgrind and shutil.which("valgrind") is not None
    if not args.no_callgrind and not measure_instructions:
        print("(valgrind is not installed: no instruction counts)")

    rows = []
    for call, floor, kind in CASES:
        row = {
            "call": call,
            "ns": times[call],
            "floor_ns": times[floor],
            "ratio": times[call] / times[floor],
            "target": TIME_TARGET[kind],
        }
        if measure_instructions:
            row["instr"] = instructions_per_call(call)
            row["floor_instr"] = instructions_per_call(floor)
            row["instr_ratio"] = row["instr"] / row["floor_instr"]
        rows.append(row)
    alternative_rows = [
        (call, label, times[stmt], times[stmt] / times[call])
        for call, found in extra_alternatives.items()
        for label, stmt in found
    ]

    args.out.mkdir(parents=True, exist_ok=True)
    table = args.out / "results.md"
    write_table(table, rows, alternative_rows, measure_instructions)
    print(table.read_text(), end="")
    print(f"\ntable written to {table}")
    chart = args.out / "call_cost.png"
    if draw_chart(chart, rows, alternative_rows):
        print(f"chart written to {chart}")

    missed = [row["call"] for row in rows if row["ratio"] > row["target"]]
    missed += [
        f"{row['call']} (instructions)"
        for row in rows
        if measure_instructions and row["instr_ratio"] > INSTRUCTION_TARGET
    ]
    print("targets met" if not missed else "targets missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
