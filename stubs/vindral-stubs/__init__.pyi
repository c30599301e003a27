"""Weibull wind-speed functions, implemented natively in C++.

Speeds are in m/s. ``c`` is the Weibull scale parameter (m/s) and ``k`` the
shape parameter (dimensionless). Every argument is a real number: a float, an
int, a bool, or any object with ``__float__`` or ``__index__``; it may be given
by position or by keyword. Every result is a new float, reproducible to the
last bit on the same C library.

No argument is range-checked: NaN and infinities pass through IEEE 754
arithmetic, and out-of-domain inputs give whatever that arithmetic gives.
"""

from typing import SupportsFloat, SupportsIndex

__all__ = ["v_k_2_c", "c_k_2_v", "wbl_cdf"]

def v_k_2_c(v: SupportsFloat | SupportsIndex, k: SupportsFloat | SupportsIndex) -> float:
    """Weibull scale parameter for a mean wind speed.

    ``c = v / Γ(1 + 1/k)``, with Γ a fixed Lanczos approximation.

    Args:
        v: mean wind speed, m/s.
        k: shape parameter.

    Returns the scale ``c`` in m/s. At the edges: NaN in either argument gives
    NaN; ``k = 0`` gives ``0.0`` (Γ(+inf) is +inf); ``k = ±inf`` gives
    ``v / 0.9999999999999996``; a positive ``k`` below about 0.005926 gives
    ``0.0``, as Γ(1 + 1/k) overflows; ``k = -1`` gives ``0.0``; other negative
    shapes give finite values of either sign (at ``1 + 1/k`` a negative integer
    they are very large). A negative ``v`` gives a negative scale.

    Raises:
        TypeError: an argument is missing, repeated, surplus or unknown, or
            cannot be converted to float; the message names the parameter,
            as in "argument 'k': must be real number, not str".
        OverflowError: an int too large for a float.
        Exception: whatever an argument's ``__float__`` or ``__index__``
            raises, other than ``TypeError`` itself, passes unchanged.
    """

def c_k_2_v(c: SupportsFloat | SupportsIndex, k: SupportsFloat | SupportsIndex) -> float:
    """Mean wind speed of a Weibull distribution.

    ``v = c · Γ(1 + 1/k)``, with the same Γ as :func:`v_k_2_c`, so that
    ``c_k_2_v(v_k_2_c(v, k), k)`` gives ``v`` back to within one unit in the
    last place whenever the scale is finite and non-zero (exactly, in most
    cases).

    Args:
        c: scale parameter, m/s.
        k: shape parameter.

    Returns the mean speed in m/s. At the edges: NaN in either argument gives
    NaN; ``k = 0`` gives ``+inf`` for positive ``c``; ``k = ±inf`` gives
    ``c · 0.9999999999999996``; a positive ``k`` below about 0.005926 gives
    ``+inf``; ``k = -1`` gives ``+inf``; at ``1 + 1/k`` a negative integer
    (``k = -0.5``, for example) the result is very large but finite.

    Raises:
        TypeError: as for :func:`v_k_2_c`.
        OverflowError: an int too large for a float.
        Exception: errors of an argument's own conversion pass unchanged.
    """

def wbl_cdf(
    c: SupportsFloat | SupportsIndex,
    k: SupportsFloat | SupportsIndex,
    v1: SupportsFloat | SupportsIndex,
    v2: SupportsFloat | SupportsIndex,
) -> float:
    """Probability that the wind speed lies between ``v1`` and ``v2``.

    ``F(v2) - F(v1)`` with ``F(x) = 1 - exp(-(x/c)^k)``, computed as
    ``exp(-(v1/c)^k) - exp(-(v2/c)^k)``.

    Args:
        c: scale parameter, m/s.
        k: shape parameter.
        v1: lower speed of the interval, m/s.
        v2: upper speed of the interval, m/s.

    Returns a probability in [0, 1] for ``0 <= v1 <= v2`` and positive ``c``
    and ``k``. The bounds are not ordered for you: with ``v1 > v2`` the result
    is the negated probability of the interval from ``v2`` to ``v1``. At the
    edges: ``v2 = +inf`` gives ``F(+inf) = 1``; ``k = 0`` gives ``0.0`` for any
    speeds, NaN included; ``c = 0`` with a zero speed gives NaN; a negative
    speed gives NaN for a non-integral ``k`` and counts like its absolute
    value for an even integral ``k``; NaN anywhere else gives NaN.

    Raises:
        TypeError: as for :func:`v_k_2_c`.
        OverflowError: an int too large for a float.
        Exception: errors of an argument's own conversion pass unchanged.
    """
