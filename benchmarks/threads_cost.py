"""How calls scale from one thread to two: wall time and CPU time per call.

Each of two workloads runs on one thread, then on two threads at once (each
doing the same amount of work): scalar calls of vindral.v_k_2_c (by position
and by keyword), and vindral_ufunc.wbl_sf over arrays of 10,000 values. On
free-threaded CPython calls run in parallel; with the GIL, scalar calls take
turns, while numpy runs the ufunc's loop without the interpreter lock.
Best of a few repetitions. Writes benchmarks/threads_results_<interpreter>.md.
"""

import argparse
import pathlib
import sys
import sysconfig
import threading
import time

import vindral

HERE = pathlib.Path(__file__).resolve().parent
CALLS = 200_000
ARRAY_CALLS = 300


def scalar_positional(n):
    f = vindral.v_k_2_c
    for _ in range(n):
        f(8.0, 2.0)


def scalar_keyword(n):
    f = vindral.v_k_2_c
    for _ in range(n):
        f(8.0, k=2.0)


def ufunc_workload():
    import numpy as np

    import vindral_ufunc

    rng = np.random.default_rng(1)
    c, k, v = rng.uniform(3, 14, 10_000), rng.uniform(1.2, 3.5, 10_000), rng.uniform(0, 30, 10_000)

    def run(n):
        for _ in range(n):
            vindral_ufunc.wbl_sf(c, k, v)

    return run


def measure(work, n, threads, repeats=5):
    """(wall ns per call, CPU ns per call) with `threads` threads doing n calls each."""
    best_wall = best_cpu = float("inf")
    for _ in range(repeats):
        barrier = threading.Barrier(threads + 1)

        def body(barrier=barrier):
            barrier.wait()
            work(n)

        pool = [threading.Thread(target=body) for _ in range(threads)]
        for thread in pool:
            thread.start()
        cpu, wall = time.process_time(), time.perf_counter()
        barrier.wait()
        for thread in pool:
            thread.join()
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        calls = n * threads
        best_wall, best_cpu = min(best_wall, wall / calls * 1e9), min(best_cpu, cpu / calls * 1e9)
    return best_wall, best_cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=pathlib.Path, default=HERE)
    args = parser.parse_args()
    workloads = [
        ("v_k_2_c(8.0, 2.0)", scalar_positional, CALLS),
        ("v_k_2_c(8.0, k=2.0)", scalar_keyword, CALLS),
    ]
    try:
        workloads.append(("wbl_sf over 10,000 values", ufunc_workload(), ARRAY_CALLS))
    except ImportError:
        pass
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    name = f"{sys.implementation.name}{sys.version_info[0]}.{sys.version_info[1]}" + (
        "t" if free_threaded else ""
    )
    lines = [
        f"{sys.version.split()[0]} ({'free-threaded' if free_threaded else 'with the GIL'}, "
        f"GIL {'on' if gil else 'off'}), 2 cores; nanoseconds per call:",
        "",
        "| call | 1 thread wall | 1 thread CPU | 2 threads wall | 2 threads CPU | speed-up |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label, work, n in workloads:
        one_wall, one_cpu = measure(work, n, 1)
        two_wall, two_cpu = measure(work, n, 2)
        lines.append(
            f"| {label} | {one_wall:,.0f} | {one_cpu:,.0f} | {two_wall:,.0f} | {two_cpu:,.0f} "
            f"| {one_wall / two_wall:.2f}× |"
        )
    table = args.out / f"threads_results_{name}.md"
    table.write_text("\n".join(lines) + "\n")
    print(table.read_text(), end="")


if __name__ == "__main__":
    main()
