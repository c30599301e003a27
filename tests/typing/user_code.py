"""Typed user code that calls all three functions; checked with mypy --strict."""

from fractions import Fraction

import vindral


def sector_scales(climate: list[tuple[float, float]]) -> list[float]:
    return [vindral.v_k_2_c(mean, shape) for mean, shape in climate]


def mean_speed(scale: float, shape: int) -> float:
    return vindral.c_k_2_v(c=scale, k=shape)


def bin_probability(scale: float, shape: float, lower: Fraction, upper: bool) -> float:
    probability: float = vindral.wbl_cdf(scale, shape, v1=lower, v2=upper)
    return probability


names: list[str] = vindral.__all__
