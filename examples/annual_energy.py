"""Annual energy production of one turbine at one site.

The site's wind climate has twelve direction sectors, each with a frequency,
a mean wind speed and a Weibull shape. For every sector vindral turns the mean
speed into the Weibull scale (v_k_2_c), checks it back (c_k_2_v), and gives the
probability of every power-curve speed bin (wbl_cdf); the energy is the power
in each bin weighted by that probability.

    python examples/annual_energy.py [--out DIR]

Prints a table per sector and the total; writes annual_energy.png (the wind
speed distribution with the power curve) when matplotlib is installed.
"""

import argparse
import pathlib

import vindral
from wind_climate import (
    HOURS_PER_YEAR,
    POWER_CURVE,
    RATED_POWER_KW,
    SITE_CLIMATE,
    sector_energy,
    speed_bins,
)


def speed_distribution(climate, edges):
    """Share of the time in each speed interval, all sectors together."""
    sectors = [(s.frequency, vindral.v_k_2_c(s.mean_speed, s.shape), s.shape) for s in climate]
    return [
        sum(
            frequency * vindral.wbl_cdf(scale, shape, lower, upper)
            for frequency, scale, shape in sectors
        )
        for lower, upper in zip(edges, edges[1:])
    ]


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
    edges = [float(v) for v in range(31)]
    shares = speed_distribution(climate, edges)
    fig, speed_axis = plt.subplots(figsize=(8, 4.5))
    speed_axis.bar(
        [v + 0.5 for v in edges[:-1]],
        [100 * s for s in shares],
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
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--out",
        type=pathlib.Path,
        default=pathlib.Path("output"),
        help="folder for the plot (output)",
    )
    args = parser.parse_args()

    bins = speed_bins()
    print(
        f"{'sector':>6} {'freq %':>7} {'mean m/s':>9} {'k':>5} {'scale c':>8} "
        f"{'AEP MWh':>9} {'share %':>8}"
    )
    results = [(sector, *sector_energy(sector, bins)) for sector in SITE_CLIMATE]
    total = sum(energy for _, energy, _ in results)
    for sector, energy, scale in results:
        print(
            f"{sector.direction:6.0f} {100 * sector.frequency:7.1f} {sector.mean_speed:9.2f} "
            f"{sector.shape:5.2f} {scale:8.3f} {energy:9.1f} {100 * energy / total:8.1f}"
        )
    capacity_factor = total / (RATED_POWER_KW / 1000 * HOURS_PER_YEAR)
    # The mean speed of the whole site, back from each sector's scale and shape.
    site_mean = sum(
        sector.frequency * vindral.c_k_2_v(scale, sector.shape) for sector, _, scale in results
    )
    print(f"site mean wind speed: {site_mean:.2f} m/s")
    print(f"total: {total:.1f} MWh per year, capacity factor {100 * capacity_factor:.1f} %")

    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / "annual_energy.png"
    if plot(path, SITE_CLIMATE):
        print(f"plot written to {path}")


if __name__ == "__main__":
    main()
