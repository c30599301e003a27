"""Annual energy production over a grid of many sites, on many processes.

Each site of a synthetic, seeded grid gets its own twelve-sector wind climate;
the turbine and the energy sum are those of annual_energy.py. The grid is cut
into blocks of rows and the blocks are spread over worker processes, by the
standard library's process pool or, with --scheduler dask, over a Dask
cluster (a local one unless --address names one). The code that calls
vindral does not change: the tasks carry vindral's functions, which pickle by
reference, so every worker uses its own installed vindral.

    python examples/site_grid.py [--rows 160] [--cols 160] [--workers N]
                                 [--scheduler processes|dask] [--address HOST:PORT]
                                 [--out DIR]

Writes site_grid.csv, one line per site, and site_grid.png, a map of the
annual energy, when matplotlib is installed.
"""

import argparse
import concurrent.futures
import csv
import math
import os
import pathlib
import random
import sys
import time

import vindral
import wind_climate
from wind_climate import HOURS_PER_YEAR, RATED_POWER_KW, Sector, sector_energy


def half_metre_curve(curve=wind_climate.POWER_CURVE):
    """The power curve in half-metre steps, interpolated: finer bins for a grid study."""
    fine = []
    for (speed, power), (next_speed, next_power) in zip(curve, curve[1:]):
        midpoint = (speed + next_speed) / 2
        fine += [(speed, power), (midpoint, (power + next_power) / 2)]
    return [*fine, curve[-1]]


FINE_CURVE = half_metre_curve()


def site_climate(seed, row, col):
    """The wind climate of one site: the same for the same seed, row and column."""
    rng = random.Random(f"{seed}:{row}:{col}")
    # Smooth large-scale pattern (a ridge and the coast) plus local noise.
    base = 6.2 + 1.6 * math.sin(row / 23.0) + 1.1 * math.cos(col / 31.0) + rng.gauss(0.0, 0.25)
    prevailing = 225.0 + 40.0 * math.sin((row + col) / 57.0)
    weights = [
        1.0 + 2.2 * math.exp(math.cos(math.radians(d - prevailing)) - 1.0)
        for d in range(0, 360, 30)
    ]
    total = sum(weights)
    return [
        Sector(
            direction=float(direction),
            frequency=weight / total,
            mean_speed=max(0.5, base * (0.8 + 0.35 * weight / max(weights)) + rng.gauss(0, 0.2)),
            shape=rng.uniform(1.7, 2.6),
        )
        for direction, weight in zip(range(0, 360, 30), weights)
    ]


def block_energy(seed, rows, cols, scale_of, probability):
    """(row, col, mean speed, MWh per year) for every site of a block of rows."""
    bins = wind_climate.speed_bins(FINE_CURVE)
    results = []
    for row in rows:
        for col in range(cols):
            climate = site_climate(seed, row, col)
            energy = sum(sector_energy(s, bins, scale_of, probability)[0] for s in climate)
            mean_speed = sum(s.frequency * s.mean_speed for s in climate)
            results.append((row, col, mean_speed, energy))
    return results


def blocks(rows, rows_per_block):
    return [
        range(start, min(start + rows_per_block, rows)) for start in range(0, rows, rows_per_block)
    ]


class Progress:
    """A progress bar: tqdm's when installed, else a line on standard error."""

    def __init__(self, total):
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar, self.total, self.done = None, total, 0
        else:
            self.bar = tqdm(total=total, unit="site", file=sys.stderr)

    def update(self, count):
        if self.bar is not None:
            self.bar.update(count)
            return
        self.done += count
        print(f"\r{self.done}/{self.total} sites", end="", file=sys.stderr, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()
        else:
            print(file=sys.stderr)


def run_processes(tasks, workers, progress):
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(block_energy, *task) for task in tasks]
        for future in concurrent.futures.as_completed(futures):
            progress.update(len(future.result()))
        return [future.result() for future in futures]


def run_dask(tasks, workers, address, progress):
    try:
        import cloudpickle
        from dask.distributed import Client, LocalCluster, as_completed
    except ImportError:
        sys.exit("--scheduler dask needs Dask: pip install 'vindral[examples]'")
    # This example's own code travels with the tasks; vindral, pickled by
    # reference, must be installed on the workers.
    cloudpickle.register_pickle_by_value(wind_climate)
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    if address:
        client = Client(address)
    else:
        client = Client(
            LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
            )
        )
    with client:
        futures = [client.submit(block_energy, *task, pure=False) for task in tasks]
        for future in as_completed(futures):
            progress.update(len(future.result()))
        return client.gather(futures)


def write_csv(path, results):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["row", "col", "mean_speed_m_s", "aep_mwh", "capacity_factor"])
        for row, col, mean_speed, energy in results:
            capacity_factor = energy / (RATED_POWER_KW / 1000 * HOURS_PER_YEAR)
            writer.writerow([row, col, f"{mean_speed:.4f}", repr(energy), f"{capacity_factor:.5f}"])


def plot(path, results, rows, cols):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(no map: matplotlib is not installed; pip install 'vindral[examples]')")
        return False
    grid = [[0.0] * cols for _ in range(rows)]
    for row, col, _, energy in results:
        grid[row][col] = energy / 1000
    fig, axis = plt.subplots(figsize=(7, 6))
    image = axis.imshow(grid, origin="lower", cmap="viridis")
    fig.colorbar(image, ax=axis, label="annual energy production (GWh)")
    axis.set_xlabel("grid column")
    axis.set_ylabel("grid row")
    axis.set_title(f"Annual energy of a 3.45 MW turbine at {rows * cols} sites")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=160)
    parser.add_argument("--cols", type=int, default=160)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--scheduler", choices=["processes", "dask"], default="processes")
    parser.add_argument("--address", help="a running Dask scheduler, host:port")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("output"))
    args = parser.parse_args()

    tasks = [
        (args.seed, block, args.cols, vindral.v_k_2_c, vindral.wbl_cdf)
        for block in blocks(args.rows, rows_per_block=4)
    ]
    progress = Progress(args.rows * args.cols)
    started = time.perf_counter()
    if args.scheduler == "dask":
        per_block = run_dask(tasks, args.workers, args.address, progress)
    else:
        per_block = run_processes(tasks, args.workers, progress)
    progress.close()
    elapsed = time.perf_counter() - started
    results = [site for block in per_block for site in block]

    energies = [energy for _, _, _, energy in results]
    best = max(results, key=lambda site: site[3])
    calls = len(results) * 12 * (len(FINE_CURVE) + 1)
    workers = "worker processes" if args.scheduler == "processes" else "Dask workers"
    print(
        f"{len(results)} sites in {elapsed:.1f} s on {args.workers} {workers} "
        f"({calls / 1e6:.1f} million vindral calls)"
    )
    print(
        f"mean AEP {sum(energies) / len(energies):.1f} MWh, "
        f"best {best[3]:.1f} MWh at row {best[0]}, col {best[1]}, "
        f"lowest {min(energies):.1f} MWh"
    )

    args.out.mkdir(parents=True, exist_ok=True)
    write_csv(args.out / "site_grid.csv", results)
    print(f"results written to {args.out / 'site_grid.csv'}")
    if plot(args.out / "site_grid.png", results, args.rows, args.cols):
        print(f"map written to {args.out / 'site_grid.png'}")


if __name__ == "__main__":
    main()
