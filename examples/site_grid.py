"""
Annual energy production over a grid of many sites, as arrays
=============================================================

Each site of a synthetic, seeded grid gets its own twelve-sector wind climate;
the turbine and the energy sum are those of annual_energy.py. The climates
are arrays of sites x sectors, and the energy is computed from them with
vindral's ufuncs (wbl_bins over the bin edges, for every sector of every
site). The grid is cut into blocks of rows: by default threads compute the
blocks as numpy arrays (numpy runs the ufuncs' loops without the interpreter
lock, so the threads compute in parallel); with ``--scheduler dask`` the grid is
one dask.array, whose blocks the energy is computed of, on a Dask cluster (a
local one unless ``--address`` names one, whose workers need vindral and numpy)::

    python examples/site_grid.py [--rows 160] [--cols 160] [--workers N]
                                 [--scheduler threads|dask] [--address HOST:PORT]
                                 [--out DIR]

The default grid is 160 x 160 sites (13.8 million bins). Writes
site_grid.csv, one line per site, and site_grid.png, a map of the annual
energy, when matplotlib is installed.
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

import numpy as np

import vindral_ufunc
import wind_climate
from wind_climate import HOURS_PER_YEAR, RATED_POWER_KW, Sector, bin_edges, bin_probabilities

ROWS_PER_BLOCK = 4


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


def grid_climate(seed, rows, cols):
    """Frequency, mean speed and shape of every sector of every site: (rows, cols, 12) arrays."""
    climates = [[site_climate(seed, row, col) for col in range(cols)] for row in rows]
    return tuple(
        np.array([[[getattr(s, field) for s in site] for site in row] for row in climates])
        for field in ("frequency", "mean_speed", "shape")
    )


def grid_energy(frequency, mean_speed, shape):
    """MWh per year of every site, from its sectors' arrays."""
    edges, power = bin_edges(FINE_CURVE)
    scale = vindral_ufunc.v_k_2_c(mean_speed, shape)
    mean_power_kw = (bin_probabilities(scale, shape, edges) * power).sum(axis=-1)
    return (frequency * mean_power_kw * HOURS_PER_YEAR / 1000.0).sum(axis=-1)


def block_energy(seed, rows, cols):
    """(mean speeds, MWh per year) of a block of rows, as numpy arrays."""
    frequency, mean_speed, shape = grid_climate(seed, rows, cols)
    return (frequency * mean_speed).sum(axis=-1), grid_energy(frequency, mean_speed, shape)


def blocks(rows, rows_per_block=ROWS_PER_BLOCK):
    return [
        range(start, min(start + rows_per_block, rows)) for start in range(0, rows, rows_per_block)
    ]


class Progress:
    """A progress bar on a terminal: tqdm's when installed, else a line on standard error.

    Where standard error is no terminal (a log, a documentation build) there is none.
    """

    def __init__(self, total):
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar, self.total, self.done = None, total, 0
        else:
            self.bar = tqdm(total=total, unit="site", file=sys.stderr, disable=None)

    def update(self, count):
        if self.bar is not None:
            self.bar.update(count)
            return
        self.done += count
        if sys.stderr.isatty():
            print(f"\r{self.done}/{self.total} sites", end="", file=sys.stderr, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif sys.stderr.isatty():
            print(file=sys.stderr)


def run_threads(seed, rows, cols, workers, progress):
    """Each block of rows as numpy arrays, on a pool of threads."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(block_energy, seed, block, cols) for block in blocks(rows)]
        for future in concurrent.futures.as_completed(futures):
            progress.update(future.result()[1].size)
        parts = [future.result() for future in futures]
    return tuple(np.concatenate(part) for part in zip(*parts))


def run_dask(seed, rows, cols, workers, address, progress):
    """The whole grid as one dask.array, in blocks of rows, on a Dask cluster."""
    try:
        import dask.array as da
        from dask.distributed import Client, LocalCluster, as_completed
    except ImportError:
        sys.exit("--scheduler dask needs Dask: pip install 'vindral[examples]'")
    chunks = (ROWS_PER_BLOCK, cols, 12)
    frequency, mean_speed, shape = (
        da.from_array(array, chunks=chunks) for array in grid_climate(seed, range(rows), cols)
    )
    energy = da.map_blocks(grid_energy, frequency, mean_speed, shape, drop_axis=2, dtype=float)
    if address:
        client = Client(address)
    else:
        client = Client(
            LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
            )
        )
    with client:
        # One task graph; each block of rows is a future of its own, so that
        # progress shows as blocks finish.
        futures = client.compute(list(energy.to_delayed().ravel()))
        for future in as_completed(futures):
            progress.update(future.result().size)
        energy = np.concatenate(client.gather(futures))
    return (frequency * mean_speed).sum(axis=-1).compute(), energy


def write_csv(path, mean_speed, energy):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["row", "col", "mean_speed_m_s", "aep_mwh", "capacity_factor"])
        for (row, col), site_energy in np.ndenumerate(energy):
            site_energy = float(site_energy)
            capacity_factor = site_energy / (RATED_POWER_KW / 1000 * HOURS_PER_YEAR)
            writer.writerow(
                [
                    row,
                    col,
                    f"{mean_speed[row, col]:.4f}",
                    repr(site_energy),
                    f"{capacity_factor:.5f}",
                ]
            )


def plot(path, energy):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(no map: matplotlib is not installed; pip install 'vindral[examples]')")
        return False
    fig, axis = plt.subplots(figsize=(7, 6))
    image = axis.imshow(energy / 1000, origin="lower", cmap="viridis")
    fig.colorbar(image, ax=axis, label="annual energy production (GWh)")
    axis.set_xlabel("grid column")
    axis.set_ylabel("grid row")
    axis.set_title(f"Annual energy of a 3.45 MW turbine at {energy.size} sites")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().partition("\n")[0])
    parser.add_argument("--rows", type=int, default=160)
    parser.add_argument("--cols", type=int, default=160)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--scheduler", choices=["threads", "dask"], default="threads")
    parser.add_argument("--address", help="a running Dask scheduler, host:port")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("output"))
    args = parser.parse_args()

    progress = Progress(args.rows * args.cols)
    started = time.perf_counter()
    if args.scheduler == "dask":
        mean_speed, energy = run_dask(
            args.seed, args.rows, args.cols, args.workers, args.address, progress
        )
    else:
        mean_speed, energy = run_threads(args.seed, args.rows, args.cols, args.workers, progress)
    progress.close()
    elapsed = time.perf_counter() - started

    best_row, best_col = np.unravel_index(np.argmax(energy), energy.shape)
    bins = energy.size * 12 * len(FINE_CURVE)
    workers = "threads" if args.scheduler == "threads" else "Dask workers"
    print(
        f"{energy.size} sites in {elapsed:.1f} s on {args.workers} {workers} "
        f"({bins / 1e6:.1f} million bins)"
    )
    print(
        f"mean AEP {energy.mean():.1f} MWh, "
        f"best {energy.max():.1f} MWh at row {best_row}, col {best_col}, "
        f"lowest {energy.min():.1f} MWh"
    )

    args.out.mkdir(parents=True, exist_ok=True)
    write_csv(args.out / "site_grid.csv", mean_speed, energy)
    print(f"results written to {args.out / 'site_grid.csv'}")
    if plot(args.out / "site_grid.png", energy):
        print(f"map written to {args.out / 'site_grid.png'}")


if __name__ == "__main__":
    main()
