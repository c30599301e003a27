"""Shared pieces of the examples: a turbine, a wind climate, and the energy sum.

A wind climate is a list of direction sectors, each with its frequency (the
share of the time the wind blows from it), its Weibull shape k and its mean
wind speed. Annual energy production (AEP) is the turbine's power at each
speed weighted by the probability of that speed, summed over the power
curve's speed bins and the sectors, times the hours in a year.
"""

from dataclasses import dataclass

import numpy as np

import vindral_ufunc

HOURS_PER_YEAR = 8760.0

# A generic 3.45 MW turbine: hub-height wind speed (m/s) -> electrical power (kW).
# A table, five bins to a row: kept as written.
# fmt: off
POWER_CURVE = [
    (3.0, 35.0), (4.0, 150.0), (5.0, 330.0), (6.0, 580.0), (7.0, 920.0),
    (8.0, 1360.0), (9.0, 1900.0), (10.0, 2500.0), (11.0, 3050.0), (12.0, 3380.0),
    (13.0, 3450.0), (14.0, 3450.0), (15.0, 3450.0), (16.0, 3450.0), (17.0, 3450.0),
    (18.0, 3450.0), (19.0, 3450.0), (20.0, 3450.0), (21.0, 3450.0), (22.0, 3450.0),
    (23.0, 3450.0), (24.0, 3450.0), (25.0, 3450.0),
]
# fmt: on
RATED_POWER_KW = max(power for _, power in POWER_CURVE)


@dataclass(frozen=True)
class Sector:
    direction: float  # degrees the wind comes from
    frequency: float  # share of the time, 0..1
    mean_speed: float  # m/s
    shape: float  # Weibull k


# A coastal site with prevailing south-westerlies, twelve 30-degree sectors.
SITE_CLIMATE = [
    Sector(0.0, 0.052, 6.1, 2.05),
    Sector(30.0, 0.046, 5.8, 2.10),
    Sector(60.0, 0.055, 6.0, 2.20),
    Sector(90.0, 0.071, 6.6, 2.30),
    Sector(120.0, 0.064, 6.9, 2.25),
    Sector(150.0, 0.072, 7.4, 2.15),
    Sector(180.0, 0.098, 8.1, 2.10),
    Sector(210.0, 0.141, 8.9, 2.25),
    Sector(240.0, 0.152, 9.3, 2.35),
    Sector(270.0, 0.117, 8.6, 2.20),
    Sector(300.0, 0.077, 7.5, 2.05),
    Sector(330.0, 0.055, 6.6, 2.00),
]


def speed_bins(power_curve=POWER_CURVE):
    """(lower, upper, power kW) for each power-curve point, bins meeting halfway."""
    speeds = [speed for speed, _ in power_curve]
    bins = []
    for i, (speed, power) in enumerate(power_curve):
        lower = (speeds[i - 1] + speed) / 2 if i > 0 else speed - 0.5
        upper = (speed + speeds[i + 1]) / 2 if i + 1 < len(speeds) else speed + 0.5
        bins.append((lower, upper, power))
    return bins


def bin_edges(power_curve=POWER_CURVE):
    """The speed bins as arrays: their edges (one more than the bins) and their power (kW)."""
    bins = speed_bins(power_curve)
    assert all(upper == lower for (_, upper, _), (lower, _, _) in zip(bins, bins[1:]))
    edges = np.array([lower for lower, _, _ in bins] + [bins[-1][1]])
    return edges, np.array([power for _, _, power in bins])


def bin_probabilities(scale, shape, edges):
    """Probability of each bin between consecutive edges, for sectors of any array shape.

    wbl_bins computes the survival term once per edge and differences it: bit
    for bit what vindral.wbl_cdf gives for each bin, at half the work. The
    result has the sectors' shape with one more axis, the bins.
    """
    return vindral_ufunc.wbl_bins(scale, shape, edges)
