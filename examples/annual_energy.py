"""
Annual energy production of one turbine at one site
===================================================

The site's wind climate has twelve direction sectors, each with a frequency,
a mean wind speed and a Weibull shape. The sectors are arrays, and vindral's
ufuncs work on all of them at once: they turn the mean speeds into Weibull
scales (v_k_2_c), check them back (c_k_2_v), and give the probability of
every power-curve speed bin from the bins' edges (wbl_bins, which computes
the survival term once per edge); the energy is the power in each bin
weighted by that probability::

    python examples/annual_energy.py [--out DIR]

Prints a table per sector and the total (12,560 MWh for a 3.45 MW turbine at
a coastal site, a 41.6 % capacity factor); writes annual_energy.png (the wind
speed distribution with the power curve) when matplotlib is installed. The
sector table, computed from arrays, gives the same figures to the last bit as
the scalar calls it was first written with.
"""

import argparse
import pathlib

import numpy as np

import vindral_ufunc
from wind_climate import (
    HOURS_PER_YEAR,
    POWER_CURVE,
    RATED_POWER_KW,
    SITE_CLIMATE,
    bin_edges,
    bin_probabilities,
)


def sector_arrays(climate):
    """Frequency, mean speed and shape of each sector, as arrays."""
    return (
        np.array([s.frequency for s in climate]),
        np.array([s.mean_speed for s in climate]),
        np.array([s.shape for s in climate]),
    )


def sector_energies(climate, power_curve=POWER_CURVE):
    """MWh per year from each sector, and each sector's Weibull scale (m/s)."""
    frequency, mean_speed, shape = sector_arrays(climate)
    edges, power = bin_edges(power_curve)
    scale = vindral_ufunc.v_k_2_c(mean_speed, shape)
    weighted = bin_probabilities(scale, shape, edges) * power
    # Each sector's bins summed in order, as a hand calculation would.
    energy = [
        f * sum(bins) * HOURS_PER_YEAR / 1000.0
        for f, bins in zip(frequency.tolist(), weighted.tolist())
    ]
    return energy, scale


def speed_distribution(climate, edges):
    """Share of the time in each speed interval, all sectors together."""
    frequency, mean_speed, shape = sector_arrays(climate)
    scale = vindral_ufunc.v_k_2_c(mean_speed, shape)
    return (frequency[:, None] * bin_probabilities(scale, shape, edges)).sum(axis=0)


def plot(path, climate):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(
            "\n(no plot: matplotlib is not installed; pip install 'vindral[examples]' "
            "or, from a checkout, pip install '.[examples]')"
        )
        return False
    edges = np.arange(31.0)
    shares = speed_distribution(climate, edges)
    fig, speed_axis = plt.subplots(figsize=(8, 4.5))
    speed_axis.bar(
        edges[:-1] + 0.5,
        100 * shares,
        width=0.9,
        color="#7fb3d5",
        label="share of the year",
    )
    speed_axis.set_xlabel("wind speed at hub height (m/s)")
    speed_axis.set_ylabel("share of the year (%)")
    power_axis = speed_axis.twinx()
    power_axis.plot(
        [v for v, _ in POWER_CURVE],
        [p / 1000 for _, p in POWER_CURVE],
        color="#c0392b",
        marker="o",
        markersize=3,
        label="power curve",
    )
    power_axis.set_ylabel("electrical power (MW)")
    power_axis.set_ylim(0, RATED_POWER_KW / 1000 * 1.1)
    fig.legend(loc="center right", bbox_to_anchor=(0.9, 0.5))
    speed_axis.set_title("Wind speed distribution of the site and the turbine's power curve")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().partition("\n")[0])
    parser.add_argument(
        "--out",
        type=pathlib.Path,
        default=pathlib.Path("output"),
        help="folder for the plot (output)",
    )
    args = parser.parse_args()

    print(
        f"{'sector':>6} {'freq %':>7} {'mean m/s':>9} {'k':>5} {'scale c':>8} "
        f"{'AEP MWh':>9} {'share %':>8}"
    )
    energies, scales = sector_energies(SITE_CLIMATE)
    results = list(zip(SITE_CLIMATE, energies, scales.tolist()))
    total = sum(energies)
    for sector, energy, scale in results:
        print(
            f"{sector.direction:6.0f} {100 * sector.frequency:7.1f} {sector.mean_speed:9.2f} "
            f"{sector.shape:5.2f} {scale:8.3f} {energy:9.1f} {100 * energy / total:8.1f}"
        )
    capacity_factor = total / (RATED_POWER_KW / 1000 * HOURS_PER_YEAR)
    # The mean speed of the whole site, back from each sector's scale and shape.
    frequency, _, shape = sector_arrays(SITE_CLIMATE)
    site_mean = sum((frequency * vindral_ufunc.c_k_2_v(scales, shape)).tolist())
    print(f"site mean wind speed: {site_mean:.2f} m/s")
    print(f"total: {total:.1f} MWh per year, capacity factor {100 * capacity_factor:.1f} %")

    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / "annual_energy.png"
    if plot(path, SITE_CLIMATE):
        print(f"plot written to {path}")


if __name__ == "__main__":
    main()
